// The command-line parameters: arguments written as name:value.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

using LogFunction = std::function<void(const std::string& msg)>;

// The value of the first argument that starts with `name` + ":" (compared
// after lower-casing the argument, so the name matches in any case and the
// value comes back lower-cased), trimmed of blanks and control characters;
// `def` when no argument carries the name. `args` excludes the program path.
// When `must_be_int` and the value is not a whole 64-bit integer, the value is
// logged through `log` as invalid and `def` is returned.
std::string GetFromParamStr(const std::vector<std::string>& args, std::string_view name,
                            const std::string& def, bool must_be_int, const LogFunction& log);

// "Неверное значение параметра " + name + ": " + value.
std::string InvalidParamMessage(std::string_view name, std::string_view value);

// A decimal integer with an optional sign and nothing else, within 64 bits.
std::optional<std::int64_t> ParseInt64(std::string_view text);

}  // namespace kestrel
