// The main of a fuzz target built without libFuzzer: runs each input file
// named on the command line through the target once, so that ctest replays
// the seeds and the kept crash inputs in every build.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    const std::string input((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    // Named first, so that a crash or a failed check shows its input.
    std::printf("%s\n", argv[i]);
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  // No input at all means a wrong path, not a pass.
  return argc > 1 ? 0 : 1;
}
