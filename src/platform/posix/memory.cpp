#include "platform/memory.h"

#include <malloc.h>

namespace kestrel::platform {

void ReturnLargeBlocksToTheSystem() {
  constexpr int kLargeBlock = 1 << 20;
  mallopt(M_MMAP_THRESHOLD, kLargeBlock);
}

}  // namespace kestrel::platform
