// The simulated printer's memory of one port: counters and totals that a
// fiscal printer keeps between documents, stored as "name=value" lines.
#pragma once

#include <cstdint>
#include <string>

#include "base/datetime.h"

namespace kestrel::tools {

struct FiscalState {
  std::int64_t doc_no = 0;       // every document printed
  std::int32_t check_no = 0;     // receipts in the open cycle
  std::int32_t cicle_no = 1;     // the open cycle (shift)
  std::int32_t doc_cnt = 0;      // documents in the open cycle
  std::int64_t cicle_summ0 = 0;  // cycle totals, amount x 10000
  std::int64_t cicle_summ1 = 0;
  std::int64_t gross_start = 0;     // grand total when the cycle opened
  std::int64_t gross = 0;           // grand total now
  TDateTime cicle_start = 0;        // when the cycle opened
  std::int32_t buffered_zreps = 0;  // Z-reports kept for "printzbuf"
};

// The state in `file_name`; a missing file is a new printer. Raises
// Exception for a file that cannot be read or holds a malformed line.
FiscalState LoadFiscalState(const std::string& file_name);
void SaveFiscalState(const std::string& file_name, const FiscalState& state);

}  // namespace kestrel::tools
