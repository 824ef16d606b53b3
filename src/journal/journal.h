// The journal of print commands: one row per command in an SQLite database
// (WAL mode; the start of a driver run synced to the disk before it begins) with its times, port,
// command, model, sender, command id, outcome and whole answer. A command id is final once the row
// of a started driver run holds it; its answer can then be given again. Old rows are trimmed by age
// and size on a thread of the journal's own, never by the threads that print.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "journal/sqlite.h"

namespace kestrel {

// The journal's file name in the program folder.
inline constexpr char kJournalFileName[] = "kestrel.db";

struct JournalLimits {
  // Rows older than this are deleted, ids included.
  std::int64_t max_age_seconds = 30 * 24 * 3600;
  // Above this many bytes of rows, the oldest answers are dropped (the rows
  // of commands with an id stay, without their answer; others go whole).
  std::int64_t max_bytes = 256 * 1024 * 1024;
  // How often the journal's thread trims.
  std::chrono::milliseconds trim_interval{std::chrono::minutes(10)};
  // How often it copies the write-ahead log into the database, which the
  // printing threads never do themselves (a copy waits for the disk).
  std::chrono::milliseconds checkpoint_interval{std::chrono::seconds(1)};
};

// What is known of a command when it is recorded.
struct JournalCommand {
  std::string received;  // local time, "yyyy-mm-dd hh:nn:ss.zzz"
  std::string id;        // empty: the command has none
  std::string port;
  std::string cmd;
  std::string model;
  std::string sender;  // "address:port"
  // Stands for the fields that reach the driver, to tell a repeat of the
  // same command from another command under the same id.
  std::int64_t fingerprint = 0;
};

// Where an id stands in the journal.
enum class JournalIdState {
  kUnknown,      // no started run holds it
  kRunning,      // its driver run has not ended yet
  kDone,         // ended; its answer is kept
  kDropped,      // ended; its answer was dropped to keep the size bound
  kInterrupted,  // the program ended while its driver ran
};

struct JournalIdRecord {
  JournalIdState state = JournalIdState::kUnknown;
  std::int64_t fingerprint = 0;
  std::string answer;  // kDone only
};

// One row as kestrel-send shows it.
struct JournalRow {
  std::int64_t seq = 0;
  std::string received, started, ended;
  std::string id, port, cmd, model, sender, outcome, error;
  std::optional<std::string> answer;  // absent once dropped or never stored
};

struct JournalQuery {
  std::string port;         // empty: any
  std::string since;        // empty: any; else rows received at or after this text
  std::string id;           // empty: any
  std::int64_t newest = 0;  // 0: every row; else only the newest this many
};

// Reads a journal file without writing to it (another process may be
// writing it meanwhile). Raises Exception when it cannot be read.
std::vector<JournalRow> ReadJournal(const std::string& file, const JournalQuery& query);

// The current local time in the journal's form.
std::string JournalTime();
// The local time of a Unix time, in that form.
std::string JournalTime(std::int64_t unix_seconds);

class Journal {
 public:
  using Log = std::function<void(const std::string&)>;

  // Opens `file`, or creates it. A file that cannot be opened, is not a
  // database or fails its integrity check is moved aside to
  // "<file>.<yyyymmdd-hhnnss>.bad" (its -wal file beside it), which is told
  // to `log`, and a new one is made. Rows whose driver run never ended are
  // marked interrupted. Raises Exception when no journal can be made.
  // The journal's thread starts at once.
  Journal(std::string file, JournalLimits limits, Log log);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Records, durably, a command whose driver is about to start; for a
  // command with an id this makes the id final. Returns the row's number.
  // Raises Exception when the record cannot be written.
  std::int64_t Started(const JournalCommand& command);
  // Completes the row of Started with the answer document and its Error.
  void Ended(std::int64_t row, const std::string& error, const std::string& answer);
  // Records a command that ended without a driver run of its own: refused
  // before its start (`outcome` "refused") or answered from an earlier run
  // ("repeat"). Its id stays free.
  void Answered(const JournalCommand& command, const std::string& outcome, const std::string& error,
                const std::string& answer);

  JournalIdRecord Find(const std::string& id);

  // One trimming pass as of `now_unix_seconds`; the thread calls it with the
  // clock, tests with any time.
  void Trim(std::int64_t now_unix_seconds);

  const std::string& File() const { return file_; }

 private:
  void Open();
  // Chooses whether the next commit waits for the disk. Under mutex_.
  void Synced(bool synced);
  void MoveAside(const std::string& reason);
  // The journal's thread: checkpoints and trims until the journal closes.
  void Maintain();
  // One pass of Trim on `db`.
  void TrimWith(sqlite::Connection& db, std::int64_t now_unix_seconds) const;

  const std::string file_;
  const JournalLimits limits_;
  const Log log_;
  // The printing threads' connection; the trimming thread has its own, so
  // that a trim never waits on this lock (SQLite orders their writes).
  std::mutex mutex_;
  std::unique_ptr<sqlite::Connection> db_;

  std::mutex trim_mutex_;
  std::condition_variable trim_wake_;
  bool closing_ = false;
  std::thread trimmer_;
};

}  // namespace kestrel
