#include "support/stand_in.h"

#include <fstream>
#include <stdexcept>

namespace kestrel::testing {

std::string BuiltProgram(const std::string& name) {
  const std::string suffix = KESTREL_EXE_SUFFIX;
  return std::string(KESTREL_BIN_DIR) + "/" + name + (name.ends_with(suffix) ? "" : suffix);
}

std::string InstallStandIn(const std::filesystem::path& folder, const std::string& name,
                           const std::string& steps) {
  const std::filesystem::path program = folder / name;
  std::filesystem::copy_file(BuiltProgram("kestrel-stand-in"), program,
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream out(program.string() + ".steps", std::ios::binary | std::ios::trunc);
  if (!(out << steps << "\n"))
    throw std::runtime_error("cannot write the steps of " + program.string());
  return program.string();
}

}  // namespace kestrel::testing
