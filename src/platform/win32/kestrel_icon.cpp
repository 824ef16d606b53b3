#include "platform/win32/kestrel_icon.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace kestrel::platform {
namespace {

// The picture is drawn on a 64 × 64 grid, as on the other desktop, and
// sampled 4 × 4 times per pixel, so every size shows the same smooth picture
// without a drawing library.
constexpr double kGrid = 64.0;
constexpr int kSamplesPerAxis = 4;
constexpr double kPenHalfWidth = 0.75;

struct Point {
  double x;
  double y;
};

struct Colour {
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;
};

constexpr Colour kBody{0x1f, 0x4e, 0x8c};
constexpr Colour kInk{0x14, 0x33, 0x5c};
constexpr Colour kLamp{0x7c, 0xd9, 0x6b};
constexpr Colour kPaper{0xff, 0xff, 0xff};
constexpr Colour kLid{0xe8, 0x8a, 0x1a};

bool InRoundedRect(Point p, double left, double top, double width, double height, double radius) {
  if (p.x < left || p.y < top || p.x > left + width || p.y > top + height)
    return false;
  const double dx = std::max({left + radius - p.x, 0.0, p.x - (left + width - radius)});
  const double dy = std::max({top + radius - p.y, 0.0, p.y - (top + height - radius)});
  return dx * dx + dy * dy <= radius * radius;
}

bool InEllipse(Point p, double left, double top, double width, double height) {
  const double dx = (p.x - left - width / 2) / (width / 2);
  const double dy = (p.y - top - height / 2) / (height / 2);
  return dx * dx + dy * dy <= 1;
}

double DistanceToSegment(Point p, Point a, Point b) {
  const double length_squared = (b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y);
  double t = ((p.x - a.x) * (b.x - a.x) + (p.y - a.y) * (b.y - a.y)) / length_squared;
  t = std::clamp(t, 0.0, 1.0);
  return std::hypot(p.x - (a.x + t * (b.x - a.x)), p.y - (a.y + t * (b.y - a.y)));
}

// The slip with its torn edge of seven teeth.
std::vector<Point> SlipOutline() {
  std::vector<Point> outline{{18, 26}, {46, 26}, {46, 58}};
  for (int tooth = 0; tooth < 7; ++tooth) {
    outline.push_back({46.0 - tooth * 4 - 2, 62});
    outline.push_back({46.0 - tooth * 4 - 4, 58});
  }
  return outline;
}

bool InPolygon(Point p, const std::vector<Point>& polygon) {
  bool inside = false;
  for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
    const Point a = polygon[i];
    const Point b = polygon[j];
    if ((a.y > p.y) != (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x)
      inside = !inside;
  }
  return inside;
}

bool OnOutline(Point p, const std::vector<Point>& polygon) {
  for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
    if (DistanceToSegment(p, polygon[j], polygon[i]) <= kPenHalfWidth)
      return true;
  }
  return false;
}

bool OnPrintedRow(Point p) {
  for (int row = 0; row < 4; ++row) {
    const double y = 34 + row * 6;
    if (DistanceToSegment(p, {22, y}, {row == 3 ? 32.0 : 42.0, y}) <= kPenHalfWidth)
      return true;
  }
  return false;
}

// The colour at one point of the grid, the later shapes over the earlier.
const Colour* ColourAt(Point p, const std::vector<Point>& slip) {
  if (InRoundedRect(p, 14, 4, 36, 16, 3))
    return &kLid;
  const bool in_slip = InPolygon(p, slip);
  if (OnOutline(p, slip) || (in_slip && OnPrintedRow(p)))
    return &kInk;
  if (in_slip)
    return &kPaper;
  if (InEllipse(p, 48, 40, 6, 6))
    return &kLamp;
  if (p.x >= 14 && p.x <= 50 && p.y >= 24 && p.y <= 28)
    return &kInk;
  if (InRoundedRect(p, 4, 22, 56, 30, 6))
    return &kBody;
  return nullptr;
}

// Straight (not premultiplied) BGRA, top row first, as icons take it.
std::vector<std::uint32_t> Render(int size) {
  const std::vector<Point> slip = SlipOutline();
  const double scale = kGrid / size;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * size);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      std::array<double, 3> sum{};
      int covered = 0;
      for (int sy = 0; sy < kSamplesPerAxis; ++sy) {
        for (int sx = 0; sx < kSamplesPerAxis; ++sx) {
          const Point p{(x + (sx + 0.5) / kSamplesPerAxis) * scale,
                        (y + (sy + 0.5) / kSamplesPerAxis) * scale};
          if (const Colour* colour = ColourAt(p, slip)) {
            sum[0] += colour->blue;
            sum[1] += colour->green;
            sum[2] += colour->red;
            ++covered;
          }
        }
      }
      if (covered == 0)
        continue;
      const auto channel = [covered](double total) {
        return static_cast<std::uint32_t>(std::lround(total / covered));
      };
      const std::uint32_t alpha = covered * 255 / (kSamplesPerAxis * kSamplesPerAxis);
      pixels[static_cast<std::size_t>(y) * size + x] =
          alpha << 24 | channel(sum[2]) << 16 | channel(sum[1]) << 8 | channel(sum[0]);
    }
  }
  return pixels;
}

}  // namespace

HICON CreateKestrelIcon(int size) {
  const std::vector<std::uint32_t> pixels = Render(size);
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = size;
  header.bV5Height = -size;
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00ff0000;
  header.bV5GreenMask = 0x0000ff00;
  header.bV5BlueMask = 0x000000ff;
  header.bV5AlphaMask = 0xff000000;
  void* bits = nullptr;
  const HDC screen = GetDC(nullptr);
  const HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                          DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (!colour)
    return nullptr;
  std::copy(pixels.begin(), pixels.end(), static_cast<std::uint32_t*>(bits));
  // With an alpha channel the mask is not looked at, but an icon needs one.
  const HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmColor = colour;
  info.hbmMask = mask;
  const HICON icon = mask ? CreateIconIndirect(&info) : nullptr;
  DeleteObject(colour);
  if (mask)
    DeleteObject(mask);
  return icon;
}

}  // namespace kestrel::platform
