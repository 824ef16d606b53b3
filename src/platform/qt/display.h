// Whether a desktop session can be reached from this process, and which kind
// of display server serves it, so that Qt can be told which plugin to load.
#pragma once

namespace kestrel::platform {

enum class DisplayKind { kNone, kX11, kWayland };

// The display named by DISPLAY, or else by WAYLAND_DISPLAY, whose server
// accepts a connection; X11 is preferred when both do.
DisplayKind UsableDisplay();

}  // namespace kestrel::platform
