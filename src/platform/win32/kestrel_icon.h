// The program's picture, shared by the window and the tray icon: a receipt
// printer with a slip coming out of it.
#pragma once

#include <windows.h>

namespace kestrel::platform {

// An icon of `size` × `size` pixels with an alpha channel; null when the
// system has no memory left for it. The caller destroys it.
HICON CreateKestrelIcon(int size);

}  // namespace kestrel::platform
