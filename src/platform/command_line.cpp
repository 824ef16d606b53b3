// Building a command line that the receiving program splits back into the
// words it was made of; the rules are the Windows C runtime's, but nothing
// here calls the system.
#include <string_view>

#include "platform/command_line.h"

namespace kestrel::platform {
namespace {

bool NeedsQuotes(std::string_view word) {
  return word.empty() || word.find_first_of(" \t\n\v\"") != std::string_view::npos;
}

// Inside quotes, backslashes are literal unless a quote follows them: then
// each one is doubled, and the quote itself escaped. The closing quote
// counts as one too, so trailing backslashes are doubled as well.
void AppendQuoted(std::string& line, std::string_view word) {
  if (!NeedsQuotes(word)) {
    line += word;
    return;
  }
  line += '"';
  std::size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"')
      backslashes = backslashes * 2 + 1;
    line.append(backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, '\\');
  line += '"';
}

}  // namespace

std::string QuotedCommandLine(const std::string& program,
                              const std::vector<std::string>& arguments) {
  std::string line = '"' + program + '"';
  for (const auto& argument : arguments) {
    line += ' ';
    AppendQuoted(line, argument);
  }
  return line;
}

}  // namespace kestrel::platform
