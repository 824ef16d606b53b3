#include "platform/memory.h"

namespace kestrel::platform {

// Nothing to change on Windows: the C runtime's malloc is the Windows heap,
// which serves every block above its threshold (under 1 MiB on every
// version) straight from VirtualAlloc and gives its pages back to the system
// as soon as it is freed. No threshold creeps upwards as glibc's does.
void ReturnLargeBlocksToTheSystem() {}

}  // namespace kestrel::platform
