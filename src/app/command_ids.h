// Command ids: a print command that carries an IdCommand runs at most once.
// A repeat gets the answer of the first run, waits for it while it runs, and
// is refused when the id stands for another command or for a run whose
// result is unknown. The ids live in the journal of print commands, which
// this component owns; the runs in progress are also kept here, in memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "journal/journal.h"

namespace kestrel {

// The Error texts of command ids.
std::string IdTooLongText();
std::string UnknownIdText(const std::string& id);
std::string IdOfOtherCommandText(const std::string& id);
std::string IdStillRunningText(const std::string& id);
std::string IdInterruptedText(const std::string& id);
std::string ResultNoLongerKeptText(const std::string& id);
std::string JournalWriteFailedText(const std::string& reason);

// Stands for a command's fields as they reach the driver (its device
// command document): equal documents give equal values, and different
// commands under one id are told apart with near certainty.
std::int64_t CommandFingerprint(std::string_view device_document);

class TCommandIds {
 public:
  using Log = std::function<void(const std::string&)>;

  // `journal` may be null when it could not be opened (`unavailable` says
  // why): commands with an id are then refused, others print unrecorded.
  TCommandIds(std::unique_ptr<Journal> journal, std::string unavailable, Log log);
  TCommandIds(const TCommandIds&) = delete;
  TCommandIds& operator=(const TCommandIds&) = delete;

  // Presents `id` for a command with `fingerprint`. nullopt: the caller now
  // holds the id and must Release it. Otherwise the answer document of the
  // id's earlier run. A run of the id in progress is awaited for at most
  // `wait`. Raises Exception with the id's Error text when the id stands
  // for another command, a run that was interrupted, a dropped result or a
  // run still going, and JournalWriteFailedText when the journal fails.
  std::optional<std::string> Claim(const std::string& id, std::int64_t fingerprint,
                                   std::chrono::milliseconds wait);
  // Ends the caller's hold of `id`. With an answer, the driver ran and the
  // id is final: waiting repeats get the answer. Without one, the id is
  // free again and a waiting repeat may run it.
  void Release(const std::string& id, const std::string* answer);

  // The answer document stored for `id`; raises Exception with its Error
  // text when there is none to give.
  std::string Lookup(const std::string& id);

  // The journal, or null when there is none.
  Journal* journal() const { return journal_.get(); }
  const std::string& Unavailable() const { return unavailable_; }
  // Logs a journal failure of a command that prints nevertheless.
  void ReportJournalFailure(const std::string& reason) const;

 private:
  struct Run {
    std::int64_t fingerprint = 0;
    bool ended = false;
    std::optional<std::string> answer;  // set when the run made the id final
  };

  // The journal's record of `id`, or its failure as an Exception.
  JournalIdRecord Find(const std::string& id);
  // The stored answer of a record that has one; raises the Error of others.
  static std::string AnswerOf(const std::string& id, const JournalIdRecord& record);

  const std::unique_ptr<Journal> journal_;
  const std::string unavailable_;
  const Log log_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::map<std::string, std::shared_ptr<Run>> running_;
};

// Holds an id from a successful Claim to its release, on every path.
class TIdHold {
 public:
  TIdHold(TCommandIds& ids, std::string id) : ids_(ids), id_(std::move(id)) {}
  ~TIdHold() {
    if (!released_)
      ids_.Release(id_, nullptr);
  }
  TIdHold(const TIdHold&) = delete;
  TIdHold& operator=(const TIdHold&) = delete;
  // The driver ran: the id is final with this answer.
  void Finish(const std::string& answer) {
    released_ = true;
    ids_.Release(id_, &answer);
  }

 private:
  TCommandIds& ids_;
  const std::string id_;
  bool released_ = false;
};

}  // namespace kestrel
