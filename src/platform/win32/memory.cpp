#include "platform/memory.h"

namespace kestrel::platform {

// Nothing to change on Windows: the C runtime's heap hands a block this large
// (anything above about 512 KiB on 64-bit Windows) straight to VirtualAlloc,
// and freeing it gives the pages back to the system at once. No threshold
// creeps upwards as glibc's does.
void ReturnLargeBlocksToTheSystem() {}

}  // namespace kestrel::platform
