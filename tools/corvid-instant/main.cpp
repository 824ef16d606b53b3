// corvid-instant PARAMETER_FILE TIMEOUT_MS — a driver that answers at once
// with a fixed receipt result, so that benchmarks measure the server's own
// cost of a print command rather than a printer's.
#include <cstdio>

#include "bson/mapping.h"
#include "files/file_utils.h"
#include "messages/messages.h"

int main(int argc, char** argv) {
  if (argc != 3)
    return 2;
  kestrel::TTermPrintRes result;
  result.FDocNo = 1;
  result.FCheckNo = 1;
  result.FVersion = __DATE__ " " __TIME__;
  try {
    kestrel::WriteFileBody(argv[1], kestrel::ObjToBSON(result));
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "corvid-instant: %s\n", failure.what());
    return 2;
  }
  return 0;
}
