// corvid.exe PARAMETER_FILE TIMEOUT_MS — a simulated fiscal driver.
//
// Reads the device command from PARAMETER_FILE, carries it out on a
// simulated printer whose state is kept per port in the folder
// "corvid-sim" beside this program (port-PORT.state, and the printed text
// appended to port-PORT.tape), and writes its result document into the same file.
// It never touches a serial device. CORVID_SIM_DELAY_MS (default 0) sets how
// long a command "prints"; a command that would take TIMEOUT_MS or longer
// stops at TIMEOUT_MS with an Error and changes nothing; with CORVID_SIM_OVERRUN
// set it sleeps the whole delay first, as a driver hung by its printer would
// (for testing the server's own time-out). Exit code 0 when a
// result was written, 2 when there was no file to answer in.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/print.h"
#include "base/exception.h"
#include "base/format.h"
#include "bson/mapping.h"
#include "files/file_utils.h"
#include "fiscal_state.h"
#include "platform/clock.h"
#include "platform/path.h"
#include "simulator.h"

namespace kestrel::tools {
namespace {

// The build moment in the form the server's version check reads.
const std::string kVersion = __DATE__ " " __TIME__;

// Tapes are cut back to their newest half once they pass this size.
constexpr std::size_t kMaxTapeBytes = 2 * 1024 * 1024;

std::string StateFolder(const std::string& program) {
  return program.substr(0, platform::FileNameStart(program)) + "corvid-sim/";
}

void AppendTape(const std::string& file_name, const std::string& text) {
  std::string tape;
  ReadFileBody(file_name, false, tape);
  tape += text + "--------------------------------\n";
  if (tape.size() > kMaxTapeBytes)
    tape.erase(0, tape.find('\n', tape.size() - kMaxTapeBytes / 2) + 1);
  WriteFileBody(file_name, tape);
}

long DelayMs() {
  const char* setting = std::getenv("CORVID_SIM_DELAY_MS");
  return setting == nullptr ? 0 : std::strtol(setting, nullptr, 10);
}

// The result for `cmd`: printed within the time-out, or the time-out error.
std::string Carry(const TPrnDeviceCmd& cmd, const std::string& folder, long timeout_ms) {
  const long delay_ms = DelayMs();
  const bool overruns = std::getenv("CORVID_SIM_OVERRUN") != nullptr;
  std::this_thread::sleep_for(
      std::chrono::milliseconds(overruns ? delay_ms : std::min(delay_ms, timeout_ms)));
  if (delay_ms >= timeout_ms && timeout_ms >= 0)
    return ErrorResult(cmd.FCmd, Format("Принтер не ответил за %ld мс", timeout_ms), kVersion);
  // "port-" first: Windows takes a name like "COM1.tape" for the serial
  // device itself, in whatever folder it is written.
  const std::string base = folder + "port-" + PortForFileName(cmd.FPrinterPort);
  FiscalState state = LoadFiscalState(base + ".state");
  if (state.cicle_start == 0)
    state.cicle_start = platform::Now();
  const SimulatedOutcome outcome = Execute(cmd, state, kVersion);
  if (!outcome.tape.empty()) {
    SaveFiscalState(base + ".state", state);
    AppendTape(base + ".tape", outcome.tape);
  }
  return outcome.result;
}

std::string Answer(const std::string& params, const std::string& folder, long timeout_ms) {
  TPrnDeviceCmd cmd;
  try {
    BSONToObj(params, cmd);
  } catch (const std::exception& malformed) {
    return ErrorResult("", std::string("Неверный файл параметров: ") + malformed.what(), kVersion);
  }
  try {
    return Carry(cmd, folder, timeout_ms);
  } catch (const std::exception& failure) {
    return ErrorResult(cmd.FCmd, failure.what(), kVersion);
  }
}

}  // namespace
}  // namespace kestrel::tools

int main(int argc, char** argv) {
  using namespace kestrel::tools;
  if (argc != 3) {
    std::fprintf(stderr, "usage: corvid.exe PARAMETER_FILE TIMEOUT_MS\n");
    return 2;
  }
  try {
    std::string params;
    kestrel::ReadFileBody(argv[1], true, params);
    kestrel::WriteFileBody(argv[1], Answer(params, StateFolder(argv[0]), std::atol(argv[2])));
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "corvid.exe: %s\n", failure.what());
    return 2;
  }
}
