// The process's heap as the system's allocator keeps it.
#pragma once

namespace kestrel::platform {

// Makes every block of 1 MiB or more come from the system and go back to it
// when freed. Left to itself the allocator raises that bound to the largest
// block freed so far and keeps such blocks for reuse, so a few requests of
// megabytes would leave the server that much larger for good. Call it once,
// first thing, before other threads start.
void ReturnLargeBlocksToTheSystem();

}  // namespace kestrel::platform
