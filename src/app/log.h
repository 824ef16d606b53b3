// The program's one log: a list of lines, newest first and at most 1000 long,
// that every thread writes through `WriteLOG` and every view observes.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// What a view is told about the log. Every call is made while the log's lock is
// held, in the order of the writes, so an implementation must only record or
// queue the change and return: it must not wait for anything.
class LogListener {
 public:
  virtual void LineInserted(const std::string& line) = 0;  // as the new top line
  virtual void OldestLineRemoved() = 0;                    // the bottom line
  virtual void BalloonShown(const std::string& text) = 0;
  // The default start line was logged: the window hides itself.
  virtual void MinimizeRequested() = 0;
  // Any other message that is not a notice: a minimised window comes back.
  virtual void RestoreRequested() = 0;

 protected:
  ~LogListener() = default;
};

class TLog {
 public:
  static constexpr std::size_t kMaxLines = 1000;
  // Every line is cut to this many characters (and "…"), so the log and its
  // views hold at most kMaxLines such lines, whatever they are told.
  static constexpr std::size_t kMaxLineCharacters = 2048;
  // What a line quotes from a request or a driver (a port, a model, an
  // error) is cut to this many characters (and "…") by LogField.
  static constexpr std::size_t kMaxFieldCharacters = 256;

  // `cs` serialises the writers; it is shared with other users of the main
  // window's lock and must outlive the log.
  explicit TLog(std::mutex& cs) : cs_(cs) {}
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  // The listener may be null (nothing observes); set it before writers start.
  void SetListener(LogListener* listener);

  // Callable from any thread. A message that starts with "$" is a notice: it is
  // logged without the "$" and never brings the window back. The message is
  // cut to kMaxLineCharacters before it is logged.
  void WriteLOG(std::string_view msg);

  std::vector<std::string> Lines() const;  // newest first

 private:
  void InsertLine(const std::string& line);
  void Announce(const std::string& line, bool alert);

  std::mutex& cs_;
  LogListener* listener_ = nullptr;
  std::deque<std::string> lines_;
};

// `text` as a log line quotes it: cut to TLog::kMaxFieldCharacters.
std::string LogField(std::string_view text);

// The text as it is logged: every CR LF becomes one blank, then one
// left-to-right pass turns each pair of blanks into one (three become two).
std::string NormalizeLogText(std::string_view text);

}  // namespace kestrel
