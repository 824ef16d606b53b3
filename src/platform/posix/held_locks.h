// What the thread layer needs to know of the named locks: a thread that
// holds one must end when its body ends, so that the lock is abandoned.
#pragma once

namespace kestrel::platform {

bool CurrentThreadHoldsNamedLocks();

}  // namespace kestrel::platform
