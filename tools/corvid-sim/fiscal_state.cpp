#include "fiscal_state.h"

#include <charconv>
#include <sstream>

#include "base/exception.h"
#include "base/format.h"
#include "files/file_utils.h"

namespace kestrel::tools {
namespace {

template <class T>
void Parse(const std::string& name, const std::string& text, T& value) {
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size())
    throw Exception("Malformed state value " + name + "=" + text);
}

void Assign(FiscalState& state, const std::string& name, const std::string& value) {
  if (name == "DocNo")
    return Parse(name, value, state.doc_no);
  if (name == "CheckNo")
    return Parse(name, value, state.check_no);
  if (name == "CicleNo")
    return Parse(name, value, state.cicle_no);
  if (name == "DocCnt")
    return Parse(name, value, state.doc_cnt);
  if (name == "CicleSumm0")
    return Parse(name, value, state.cicle_summ0);
  if (name == "CicleSumm1")
    return Parse(name, value, state.cicle_summ1);
  if (name == "GrossStart")
    return Parse(name, value, state.gross_start);
  if (name == "Gross")
    return Parse(name, value, state.gross);
  if (name == "CicleStart")
    return Parse(name, value, state.cicle_start);
  if (name == "BufferedZReps")
    return Parse(name, value, state.buffered_zreps);
  throw Exception("Unknown state value " + name);
}

}  // namespace

FiscalState LoadFiscalState(const std::string& file_name) {
  FiscalState state;
  std::string body;
  ReadFileBody(file_name, false, body);
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos)
      throw Exception("Malformed state line " + line);
    Assign(state, line.substr(0, equals), line.substr(equals + 1));
  }
  return state;
}

void SaveFiscalState(const std::string& file_name, const FiscalState& s) {
  WriteFileBody(file_name,
                Format("DocNo=%lld\nCheckNo=%d\nCicleNo=%d\nDocCnt=%d\nCicleSumm0=%lld\n"
                       "CicleSumm1=%lld\nGrossStart=%lld\nGross=%lld\nCicleStart=%.17g\n"
                       "BufferedZReps=%d\n",
                       static_cast<long long>(s.doc_no), s.check_no, s.cicle_no, s.doc_cnt,
                       static_cast<long long>(s.cicle_summ0), static_cast<long long>(s.cicle_summ1),
                       static_cast<long long>(s.gross_start), static_cast<long long>(s.gross),
                       s.cicle_start, s.buffered_zreps));
}

}  // namespace kestrel::tools
