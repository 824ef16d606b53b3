// Whether a desktop session can be reached from this process.
#pragma once

namespace kestrel::platform {

enum class DisplayKind { kNone, kX11, kWayland };

// The display named by DISPLAY, or else by WAYLAND_DISPLAY, whose server
// accepts a connection; X11 is preferred when both do.
DisplayKind UsableDisplay();

}  // namespace kestrel::platform
