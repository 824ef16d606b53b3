// The command line of kestrel-send: a command word, then --name value pairs
// and flags.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/currency.h"
#include "base/datetime.h"
#include "base/exception.h"

namespace kestrel::tools {

// A command line that cannot be carried out as written.
class UsageError : public Exception {
 public:
  using Exception::Exception;
};

struct CommandLine {
  std::string command;
  std::map<std::string, std::string> values;  // "--name value", without "--"
  std::vector<std::string> flags;             // "--name" alone
  std::vector<std::string> operands;          // everything else, in order

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  bool Flag(const std::string& name) const;
  std::string Value(const std::string& name, const std::string& fallback = "") const;
};

// `flag_names` lists the options that take no value. Raises UsageError for an
// option without its value.
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& flag_names);

// A whole decimal integer; UsageError naming the option otherwise.
std::int32_t ParseInteger(const std::string& option, const std::string& text);
// A decimal amount with at most four decimals ("12.5", "-0,0001"), exactly.
Currency ParseAmount(const std::string& option, const std::string& text);
// "now", "yyyy-mm-dd" or "yyyy-mm-dd hh:nn[:ss]" as a local date-time.
TDateTime ParseDateTime(const std::string& option, const std::string& text);

}  // namespace kestrel::tools
