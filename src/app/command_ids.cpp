#include "app/command_ids.h"

#include <utility>

#include "base/exception.h"
#include "messages/messages.h"

namespace kestrel {

std::string IdTooLongText() {
  return "Идентификатор команды длиннее " + std::to_string(kMaxIdCommandBytes) + " байт";
}

std::string UnknownIdText(const std::string& id) {
  return "Неизвестный идентификатор команды " + id;
}

std::string IdOfOtherCommandText(const std::string& id) {
  return "Идентификатор команды " + id + " уже использован для другой команды";
}

std::string IdStillRunningText(const std::string& id) {
  return "Не дождались окончания команды " + id + ", она ещё выполняется";
}

std::string IdInterruptedText(const std::string& id) {
  return "Выполнение команды " + id +
         " было прервано остановкой программы: результат неизвестен, команда не повторялась";
}

std::string ResultNoLongerKeptText(const std::string& id) {
  return "Результат команды " + id + " больше не хранится";
}

std::string JournalWriteFailedText(const std::string& reason) {
  return "Не удалось записать журнал команд: " + reason;
}

std::int64_t CommandFingerprint(std::string_view device_document) {
  // 64-bit FNV-1a.
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char byte : device_document) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return static_cast<std::int64_t>(hash);
}

TCommandIds::TCommandIds(std::unique_ptr<Journal> journal, std::string unavailable, Log log)
    : journal_(std::move(journal)), unavailable_(std::move(unavailable)), log_(std::move(log)) {}

std::optional<std::string> TCommandIds::Claim(const std::string& id, std::int64_t fingerprint,
                                              std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto found = running_.find(id);
    if (found == running_.end()) {
      const JournalIdRecord record = Find(id);
      if (record.state == JournalIdState::kUnknown) {
        auto run = std::make_shared<Run>();
        run->fingerprint = fingerprint;
        running_.emplace(id, std::move(run));
        return std::nullopt;
      }
      if (record.fingerprint != fingerprint)
        throw Exception(IdOfOtherCommandText(id));
      return AnswerOf(id, record);
    }
    const std::shared_ptr<Run> run = found->second;
    if (run->fingerprint != fingerprint)
      throw Exception(IdOfOtherCommandText(id));
    if (!ended_.wait_until(lock, deadline, [&run] { return run->ended; }))
      throw Exception(IdStillRunningText(id));
    if (run->answer)
      return run->answer;
    // The first run ended before its driver started: the id is free again.
  }
}

void TCommandIds::Release(const std::string& id, const std::string* answer) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = running_.find(id);
    if (found == running_.end())
      return;
    found->second->ended = true;
    if (answer)
      found->second->answer = *answer;
    running_.erase(found);
  }
  ended_.notify_all();
}

std::string TCommandIds::Lookup(const std::string& id) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (running_.count(id) != 0)
    throw Exception(IdStillRunningText(id));
  const JournalIdRecord record = Find(id);
  if (record.state == JournalIdState::kUnknown)
    throw Exception(UnknownIdText(id));
  return AnswerOf(id, record);
}

void TCommandIds::ReportJournalFailure(const std::string& reason) const {
  log_(JournalWriteFailedText(reason));
}

JournalIdRecord TCommandIds::Find(const std::string& id) {
  if (!journal_)
    throw Exception(JournalWriteFailedText(unavailable_));
  try {
    return journal_->Find(id);
  } catch (const Exception& failure) {
    throw Exception(JournalWriteFailedText(failure.Message()));
  }
}

std::string TCommandIds::AnswerOf(const std::string& id, const JournalIdRecord& record) {
  switch (record.state) {
    case JournalIdState::kDone:
      return record.answer;
    case JournalIdState::kDropped:
      throw Exception(ResultNoLongerKeptText(id));
    case JournalIdState::kInterrupted:
      throw Exception(IdInterruptedText(id));
    case JournalIdState::kRunning:
    case JournalIdState::kUnknown:
      break;
  }
  throw Exception(IdStillRunningText(id));
}

}  // namespace kestrel
