// The program's picture, shared by the window and the tray icon: a receipt
// printer with a slip coming out of it.
#pragma once

#include <QIcon>

namespace kestrel::platform {

QIcon KestrelIcon();

}  // namespace kestrel::platform
