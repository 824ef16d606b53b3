#include "app/print.h"

#include <array>

#include "base/format.h"
#include "base/text.h"

namespace kestrel {
namespace {

struct CommandTimeoutRow {
  std::string_view cmd;
  std::uint16_t seconds;
};

constexpr std::uint16_t kDefaultTimeoutSec = 19;

constexpr std::array<CommandTimeoutRow, 10> kCommandTimeouts = {{
    {"test", 9},
    {"cashin", 14},
    {"cashout", 14},
    {"xrep", 39},
    {"xrepsec", 39},
    {"xrepop", 39},
    {"xreptax", 39},
    {"zrep", 130},
    {"zbuf", 130},
    {"printzbuf", 600},
}};

struct ModelNameRow {
  std::string_view received;
  std::string_view driver_name;
};

// The Jarus names are Cyrillic except for the final Latin K; the Shtrih name
// is Cyrillic throughout.
constexpr std::array<ModelNameRow, 5> kModelNameMap = {{
    {"Ярус-01K", "JARUS-01K"},
    {"Ярус-02K", "JARUS-02K"},
    {"PayVKP-80K", "PayVPK80K"},
    {"PayCTS-2000K", "PayCTS2000K"},
    {"ШТРИХ-МИНИ-ФР-К", "SHTRIH-MINI-FR-K"},
}};

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string_view TrimBlanksAndControls(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlankOrControl(text.back()))
    text.remove_suffix(1);
  return text;
}

bool IsFileNameSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

}  // namespace

std::uint16_t CommandTimeout(std::string_view cmd) {
  for (const CommandTimeoutRow& row : kCommandTimeouts) {
    if (row.cmd == cmd)
      return row.seconds;
  }
  return kDefaultTimeoutSec;
}

bool IsZReportCommand(std::string_view cmd) {
  return cmd == "zrep" || cmd == "zbuf";
}

std::string MapModelName(const std::string& name) {
  const std::string_view trimmed = TrimBlanksAndControls(name);
  for (const ModelNameRow& row : kModelNameMap) {
    if (row.received == trimmed)
      return std::string(row.driver_name);
  }
  return name;
}

std::string PortForFileName(std::string_view port) {
  // One "_" per character, not per byte of a multi-byte character; a byte
  // that is no valid UTF-8 counts as a character of its own.
  std::string result;
  std::size_t pos = 0;
  while (pos < port.size()) {
    if (IsFileNameSafe(port[pos])) {
      result += port[pos++];
      continue;
    }
    result += '_';
    char32_t code_point = 0;
    if (!DecodeUtf8(port, pos, code_point))
      ++pos;
  }
  return result;
}

std::string ParamsFileName(const std::string& program_folder, std::string_view port,
                           const platform::CivilTime& now) {
  return program_folder + "P" +
         Format("%.2d%.2d%.2d%.2d%.2d%.2d%.3d", now.year % 100, now.month, now.day, now.hour,
                now.minute, now.second, now.millisecond) +
         PortForFileName(port) + ".dat";
}

}  // namespace kestrel
