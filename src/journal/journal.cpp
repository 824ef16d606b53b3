#include "journal/journal.h"

#include <utility>

#include "base/exception.h"
#include "base/format.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace kestrel {
namespace {

// auto_vacuum must be chosen before the first table exists: it lets a trim
// give the freed pages back to the file system, so that the file's size
// follows the size bound.
constexpr char kSchema[] = R"(
PRAGMA auto_vacuum = INCREMENTAL;
CREATE TABLE IF NOT EXISTS commands(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  received TEXT NOT NULL,
  started TEXT,
  ended TEXT,
  id TEXT,
  final INTEGER NOT NULL DEFAULT 0,
  port TEXT,
  cmd TEXT,
  model TEXT,
  sender TEXT,
  fingerprint INTEGER,
  outcome TEXT NOT NULL,
  error TEXT,
  answer BLOB,
  size INTEGER NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS final_ids ON commands(id) WHERE final = 1;
CREATE INDEX IF NOT EXISTS by_received ON commands(received);
)";

// How long a writer waits for the other connection's transaction.
constexpr char kBusyTimeout[] = "PRAGMA busy_timeout = 10000";

// A trim deletes or empties this many rows per transaction, so that a
// printing thread never waits long for the write lock.
constexpr int kTrimBatch = 200;

// What a row costs beside its texts (its three times as long as the first)
// and answer: its numbers and SQLite's own bookkeeping, roughly.
constexpr std::int64_t kRowOverhead = 64;

std::int64_t RowSize(const JournalCommand& command, const std::string& error,
                     const std::string& answer) {
  return static_cast<std::int64_t>(command.received.size() * 3 + command.id.size() +
                                   command.port.size() + command.cmd.size() + command.model.size() +
                                   command.sender.size() + error.size() + answer.size()) +
         kRowOverhead;
}

std::int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatJournalTime(const platform::CivilTime& t) {
  return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
}

// Marks the journal's own databases; a database of another kind or another
// layout is not taken for one.
constexpr std::int64_t kSchemaVersion = 1;

void CheckIntegrity(sqlite::Connection& db) {
  sqlite::Statement check(db, "PRAGMA quick_check");
  const std::string verdict = check.Step() ? check.Text(0) : std::string("no verdict");
  if (verdict != "ok")
    throw sqlite::Corrupt(verdict);
  sqlite::Statement version(db, "PRAGMA user_version");
  version.Step();
  const std::int64_t found = version.Integer(0);
  if (found != 0 && found != kSchemaVersion)
    throw sqlite::Corrupt("schema version " + std::to_string(found));
}

std::unique_ptr<sqlite::Connection> OpenWritable(const std::string& file) {
  auto db = std::make_unique<sqlite::Connection>(file, sqlite::Connection::Mode::kReadWrite);
  db->Execute(kBusyTimeout);
  db->Execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL");
  return db;
}

// The row numbers that `statement` yields.
std::vector<std::int64_t> RowsOf(sqlite::Statement& statement) {
  std::vector<std::int64_t> rows;
  while (statement.Step())
    rows.push_back(statement.Integer(0));
  return rows;
}

// Deletes the rows received before `cutoff`, ids and all, batch by batch.
void TrimByAge(sqlite::Connection& db, const std::string& cutoff) {
  for (;;) {
    sqlite::Statement select(db,
                             "SELECT seq FROM commands WHERE received < ?1 AND outcome <> "
                             "'running' ORDER BY seq LIMIT " +
                                 std::to_string(kTrimBatch));
    select.Bind(1, cutoff);
    const std::vector<std::int64_t> rows = RowsOf(select);
    if (rows.empty())
      return;
    sqlite::Transaction transaction(db);
    sqlite::Statement erase(db, "DELETE FROM commands WHERE seq = ?1");
    for (const std::int64_t row : rows) {
      erase.Bind(1, row).Run();
      erase.Reset();
    }
    transaction.Commit();
  }
}

std::int64_t TotalSize(sqlite::Connection& db) {
  sqlite::Statement total(db, "SELECT COALESCE(SUM(size), 0) FROM commands");
  total.Step();
  return total.Integer(0);
}

// Drops the oldest answers until the rows fit `max_bytes`: a row with a
// final id keeps its id, fingerprint and outcome, any other row goes.
void TrimBySize(sqlite::Connection& db, std::int64_t max_bytes) {
  for (;;) {
    // The total is read under the write lock: another trimmer's changes
    // are then either all in it or all after it.
    sqlite::Transaction transaction(db);
    std::int64_t total = TotalSize(db);
    if (total <= max_bytes)
      return;
    sqlite::Statement select(db,
                             "SELECT seq, final, size, length(answer) FROM commands "
                             "WHERE answer IS NOT NULL ORDER BY seq LIMIT " +
                                 std::to_string(kTrimBatch));
    sqlite::Statement erase(db, "DELETE FROM commands WHERE seq = ?1");
    sqlite::Statement empty(db,
                            "UPDATE commands SET size = size - length(answer), answer = NULL "
                            "WHERE seq = ?1");
    bool any = false;
    while (total > max_bytes && select.Step()) {
      any = true;
      const bool final = select.Integer(1) != 0;
      sqlite::Statement& change = final ? empty : erase;
      change.Bind(1, select.Integer(0)).Run();
      change.Reset();
      total -= final ? select.Integer(3) : select.Integer(2);
    }
    select.Reset();
    transaction.Commit();
    if (!any)
      return;
  }
}

JournalIdState StateOf(const std::string& outcome, bool answer_kept) {
  if (outcome == "running")
    return JournalIdState::kRunning;
  if (outcome == "interrupted")
    return JournalIdState::kInterrupted;
  return answer_kept ? JournalIdState::kDone : JournalIdState::kDropped;
}

}  // namespace

std::string JournalTime() {
  return FormatJournalTime(platform::LocalNow());
}

std::string JournalTime(std::int64_t unix_seconds) {
  return FormatJournalTime(platform::LocalFromUnix(unix_seconds, 0));
}

Journal::Journal(std::string file, JournalLimits limits, Log log)
    : file_(std::move(file)), limits_(limits), log_(std::move(log)) {
  platform::IgnoreFileSizeSignal();
  try {
    Open();
  } catch (const sqlite::Error& failure) {
    // A database that another process holds is sound; only one that does
    // not open or read as a journal is replaced.
    if (failure.Busy())
      throw;
    db_.reset();
    MoveAside(failure.what());
    Open();
  }
  trimmer_ = std::thread([this] { Maintain(); });
}

Journal::~Journal() {
  {
    const std::lock_guard<std::mutex> lock(trim_mutex_);
    closing_ = true;
  }
  trim_wake_.notify_all();
  trimmer_.join();
}

void Journal::Open() {
  db_ = OpenWritable(file_);
  CheckIntegrity(*db_);
  db_->Execute(kSchema);
  db_->Execute("PRAGMA user_version = " + std::to_string(kSchemaVersion));
  // The journal's thread copies the log into the database.
  db_->Execute("PRAGMA wal_autocheckpoint = 0");
  // Nothing of this process runs yet: a run still open was cut short when
  // the program last ended, and its result is unknown.
  db_->Execute("UPDATE commands SET outcome = 'interrupted' WHERE outcome = 'running'");
}

void Journal::MoveAside(const std::string& reason) {
  if (!platform::FileExists(file_))
    throw Exception(reason);
  const platform::CivilTime t = platform::LocalNow();
  const std::string aside = file_ + Format(".%04d%02d%02d-%02d%02d%02d.bad", t.year, t.month, t.day,
                                           t.hour, t.minute, t.second);
  // The log goes first: a new database must never find the old one's log
  // beside it and take its pages for its own.
  platform::SystemError error;
  platform::RemoveFile(file_ + "-shm", error);
  if (platform::FileExists(file_ + "-wal") &&
      !platform::ReplaceFile(file_ + "-wal", aside + "-wal", error))
    throw Exception(reason + "; " + file_ + "-wal: " + error.text);
  if (!platform::ReplaceFile(file_, aside, error))
    throw Exception(reason + "; " + file_ + ": " + error.text);
  log_("Журнал команд " + file_ + " не открывается (" + reason + "): он перенесён в " + aside +
       ", начат новый");
}

// The start of a driver run is synced to the disk before the driver starts:
// that is the promise of an id. Other records are synced with the next start
// or checkpoint; a power loss before that leaves the run interrupted, never
// repeated, and saves a sync on every answer.
void Journal::Synced(bool synced) {
  db_->Execute(synced ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
}

std::int64_t Journal::Started(const JournalCommand& command) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Synced(true);
  sqlite::Statement insert(*db_,
                           "INSERT INTO commands(received, started, id, final, port, cmd, model, "
                           "sender, fingerprint, outcome, size) "
                           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, 'running', ?10)");
  insert.Bind(1, command.received).Bind(2, JournalTime());
  if (command.id.empty())
    insert.BindNull(3).Bind(4, std::int64_t{0});
  else
    insert.Bind(3, command.id).Bind(4, std::int64_t{1});
  insert.Bind(5, command.port).Bind(6, command.cmd).Bind(7, command.model);
  insert.Bind(8, command.sender).Bind(9, command.fingerprint);
  insert.Bind(10, RowSize(command, "", "")).Run();
  return db_->LastInsertedRow();
}

void Journal::Ended(std::int64_t row, const std::string& error, const std::string& answer) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Synced(false);
  sqlite::Statement update(*db_,
                           "UPDATE commands SET ended = ?2, outcome = 'done', error = ?3, "
                           "answer = ?4, size = size + ?5 WHERE seq = ?1");
  update.Bind(1, row).Bind(2, JournalTime()).Bind(3, error).BindBlob(4, answer);
  update.Bind(5, static_cast<std::int64_t>(error.size() + answer.size())).Run();
}

void Journal::Answered(const JournalCommand& command, const std::string& outcome,
                       const std::string& error, const std::string& answer) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Synced(false);
  sqlite::Statement insert(*db_,
                           "INSERT INTO commands(received, ended, id, port, cmd, model, sender, "
                           "fingerprint, outcome, error, answer, size) "
                           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
  insert.Bind(1, command.received).Bind(2, JournalTime());
  if (command.id.empty())
    insert.BindNull(3);
  else
    insert.Bind(3, command.id);
  insert.Bind(4, command.port).Bind(5, command.cmd).Bind(6, command.model);
  insert.Bind(7, command.sender).Bind(8, command.fingerprint).Bind(9, outcome).Bind(10, error);
  // A repeat's answer is its first run's: kept once, there.
  if (outcome == "repeat")
    insert.BindNull(11).Bind(12, RowSize(command, error, ""));
  else
    insert.BindBlob(11, answer).Bind(12, RowSize(command, error, answer));
  insert.Run();
}

JournalIdRecord Journal::Find(const std::string& id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  sqlite::Statement select(*db_,
                           "SELECT outcome, fingerprint, answer IS NOT NULL, answer "
                           "FROM commands WHERE id = ?1 AND final = 1");
  select.Bind(1, id);
  JournalIdRecord record;
  if (!select.Step())
    return record;
  record.state = StateOf(select.Text(0), select.Integer(2) != 0);
  record.fingerprint = select.Integer(1);
  if (record.state == JournalIdState::kDone)
    record.answer = select.Text(3);
  return record;
}

void Journal::Trim(std::int64_t now_unix_seconds) {
  const auto db = OpenWritable(file_);
  TrimWith(*db, now_unix_seconds);
}

void Journal::TrimWith(sqlite::Connection& db, std::int64_t now_unix_seconds) const {
  TrimByAge(db, JournalTime(now_unix_seconds - limits_.max_age_seconds));
  TrimBySize(db, limits_.max_bytes);
  db.Execute("PRAGMA incremental_vacuum");
}

void Journal::Maintain() {
  std::unique_ptr<sqlite::Connection> db;
  auto next_trim = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(trim_mutex_);
  while (!closing_) {
    lock.unlock();
    const bool trim_due = std::chrono::steady_clock::now() >= next_trim;
    if (trim_due)
      next_trim = std::chrono::steady_clock::now() + limits_.trim_interval;
    try {
      if (!db)
        db = OpenWritable(file_);
      db->Execute("PRAGMA wal_checkpoint(PASSIVE)");
      if (trim_due)
        TrimWith(*db, UnixNow());
    } catch (const Exception& failure) {
      // Tried again a moment later; told once for each trim.
      db.reset();
      if (trim_due)
        log_("Не удалось сократить журнал команд: " + failure.Message());
    }
    lock.lock();
    trim_wake_.wait_for(lock, limits_.checkpoint_interval, [this] { return closing_; });
  }
}

std::vector<JournalRow> ReadJournal(const std::string& file, const JournalQuery& query) {
  sqlite::Connection db(file, sqlite::Connection::Mode::kReadOnly);
  db.Execute(kBusyTimeout);
  sqlite::Statement select(
      db,
      "SELECT * FROM (SELECT seq, received, started, ended, id, port, cmd, model, sender, "
      "outcome, error, answer IS NOT NULL, answer FROM commands "
      "WHERE (?1 = '' OR port = ?1) AND (?2 = '' OR received >= ?2) AND (?3 = '' OR id = ?3) "
      "ORDER BY seq DESC LIMIT ?4) ORDER BY seq");
  // A negative limit is none.
  select.Bind(1, query.port)
      .Bind(2, query.since)
      .Bind(3, query.id)
      .Bind(4, query.newest > 0 ? query.newest : std::int64_t{-1});
  std::vector<JournalRow> rows;
  while (select.Step()) {
    JournalRow row;
    row.seq = select.Integer(0);
    row.received = select.Text(1);
    row.started = select.Text(2);
    row.ended = select.Text(3);
    row.id = select.Text(4);
    row.port = select.Text(5);
    row.cmd = select.Text(6);
    row.model = select.Text(7);
    row.sender = select.Text(8);
    row.outcome = select.Text(9);
    row.error = select.Text(10);
    if (select.Integer(11) != 0)
      row.answer = select.Text(12);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace kestrel
