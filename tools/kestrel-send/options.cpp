#include "options.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <regex>

#include "base/exception.h"
#include "platform/clock.h"

namespace kestrel::tools {
namespace {

[[noreturn]] void Invalid(const std::string& option, const std::string& text, const char* what) {
  throw UsageError("--" + option + ": '" + text + "' is not " + what);
}

}  // namespace

bool CommandLine::Flag(const std::string& name) const {
  return std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::string CommandLine::Value(const std::string& name, const std::string& fallback) const {
  const auto found = values.find(name);
  return found == values.end() ? fallback : found->second;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& flag_names) {
  CommandLine line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const std::string name = arg.substr(2);
      if (std::find(flag_names.begin(), flag_names.end(), name) != flag_names.end()) {
        line.flags.push_back(name);
        continue;
      }
      if (i + 1 >= args.size())
        throw UsageError("Option " + arg + " needs a value");
      line.values[name] = args[++i];
    } else if (line.command.empty()) {
      line.command = arg;
    } else {
      line.operands.push_back(arg);
    }
  }
  return line;
}

std::int32_t ParseInteger(const std::string& option, const std::string& text) {
  std::int32_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size())
    Invalid(option, text, "a 32-bit integer");
  return value;
}

Currency ParseAmount(const std::string& option, const std::string& text) {
  std::size_t pos = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+'))
    ++pos;
  std::int64_t raw = 0;
  int digits = 0;
  int decimals = -1;
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 10;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if ((c == '.' || c == ',') && decimals < 0) {
      decimals = 0;
      continue;
    }
    if (c < '0' || c > '9' || decimals == 4 || raw > kLimit)
      Invalid(option, text, "an amount with at most four decimals");
    raw = raw * 10 + (c - '0');
    ++digits;
    if (decimals >= 0)
      ++decimals;
  }
  if (digits == 0)
    Invalid(option, text, "an amount");
  for (int i = std::max(decimals, 0); i < 4; ++i) {
    if (raw > kLimit)
      Invalid(option, text, "an amount in range");
    raw *= 10;
  }
  return Currency::FromRaw(negative ? -raw : raw);
}

TDateTime ParseDateTime(const std::string& option, const std::string& text) {
  if (text == "now")
    return platform::Now();
  static const std::regex kForm(
      R"((\d{4})-(\d{1,2})-(\d{1,2})(?: (\d{1,2}):(\d{1,2})(?::(\d{1,2}))?)?)");
  std::smatch match;
  DateTimeParts parts;
  TDateTime value = 0;
  if (std::regex_match(text, match, kForm)) {
    int* fields[] = {&parts.year, &parts.month,  &parts.day,
                     &parts.hour, &parts.minute, &parts.second};
    for (std::size_t i = 0; i < 6; ++i)
      *fields[i] = match[i + 1].matched ? std::stoi(match[i + 1].str()) : 0;
    if (TryEncodeDateTime(parts, value))
      return value;
  }
  Invalid(option, text, "a date-time (yyyy-mm-dd hh:nn:ss or now)");
}

}  // namespace kestrel::tools
