#include "app/log.h"

#include "base/text.h"

namespace kestrel {
namespace {

constexpr std::string_view kNoticeMark = "$";
constexpr std::string_view kDefaultStartLine = "Started at 0.0.0.0:8080";

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit; (hit = text.find(from, pos)) != std::string_view::npos;
       pos = hit + from.size()) {
    result.append(text.substr(pos, hit - pos)).append(to);
  }
  result.append(text.substr(pos));
  return result;
}

}  // namespace

std::string LogField(std::string_view text) {
  return CutText(text, TLog::kMaxFieldCharacters);
}

std::string NormalizeLogText(std::string_view text) {
  return ReplaceAll(ReplaceAll(text, "\r\n", " "), "  ", " ");
}

void TLog::SetListener(LogListener* listener) {
  std::lock_guard lock(cs_);
  listener_ = listener;
}

void TLog::WriteLOG(std::string_view msg) {
  const bool alert = !msg.starts_with(kNoticeMark);
  if (!alert)
    msg.remove_prefix(kNoticeMark.size());
  // Cut first: the normalising only shortens the text, and a huge message
  // is not copied whole.
  std::string line = NormalizeLogText(CutText(msg, kMaxLineCharacters));
  std::lock_guard lock(cs_);
  InsertLine(line);
  Announce(line, alert);
}

void TLog::InsertLine(const std::string& line) {
  lines_.push_front(line);
  if (listener_)
    listener_->LineInserted(line);
  while (lines_.size() > kMaxLines) {
    lines_.pop_back();
    if (listener_)
      listener_->OldestLineRemoved();
  }
}

void TLog::Announce(const std::string& line, bool alert) {
  if (!listener_)
    return;
  if (line == kDefaultStartLine) {
    listener_->MinimizeRequested();
    return;
  }
  listener_->BalloonShown(line);
  if (alert)
    listener_->RestoreRequested();
}

std::vector<std::string> TLog::Lines() const {
  std::lock_guard lock(cs_);
  return {lines_.begin(), lines_.end()};
}

}  // namespace kestrel
