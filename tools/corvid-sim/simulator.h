// The simulated fiscal printer: carries out one device command on the state
// of its port and gives the result document and the text it printed.
#pragma once

#include <string>

#include "fiscal_state.h"
#include "messages/messages.h"

namespace kestrel::tools {

struct SimulatedOutcome {
  std::string result;  // the BSON result document for the parameter file
  std::string tape;    // what the printer printed; empty when nothing was
};

// Executes `cmd` on `state` (changed only when the command succeeds). An
// unknown command, model or port, or an amount the command cannot take, is
// answered with Error and prints nothing. `version` goes into every result.
SimulatedOutcome Execute(const TPrnDeviceCmd& cmd, FiscalState& state, const std::string& version);

// A result that only carries `error`: a Z-report result for "zrep" and
// "zbuf", a receipt result for every other command.
std::string ErrorResult(const std::string& cmd, const std::string& error,
                        const std::string& version);

}  // namespace kestrel::tools
