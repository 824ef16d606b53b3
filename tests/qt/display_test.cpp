#include "platform/qt/display.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace kestrel::platform {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    Set(value);
  }
  ~ScopedVariable() { Set(old_ ? old_->c_str() : nullptr); }

 private:
  void Set(const char* value) {
    if (value)
      setenv(name_, value, 1);
    else
      unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

DisplayKind With(const char* display, const char* wayland) {
  ScopedVariable x11("DISPLAY", display);
  ScopedVariable wayland_display("WAYLAND_DISPLAY", wayland);
  return UsableDisplay();
}

TEST(UsableDisplay, NoneWithoutVariables) {
  EXPECT_EQ(With(nullptr, nullptr), DisplayKind::kNone);
  EXPECT_EQ(With("", ""), DisplayKind::kNone);
}

TEST(UsableDisplay, NamedServersThatDoNotAnswerAreNotUsable) {
  EXPECT_EQ(With(":9731", nullptr), DisplayKind::kNone);
  EXPECT_EQ(With("unix:9731.0", nullptr), DisplayKind::kNone);
  EXPECT_EQ(With("127.0.0.1:9731", nullptr), DisplayKind::kNone);
  EXPECT_EQ(With(nullptr, "/nonexistent/wayland-7"), DisplayKind::kNone);
  ScopedVariable runtime("XDG_RUNTIME_DIR", "/nonexistent");
  EXPECT_EQ(With(nullptr, "wayland-7"), DisplayKind::kNone);
}

TEST(UsableDisplay, MalformedDisplayIsNotUsable) {
  for (const char* display : {"garbage", ":", ":x", "host:", ":123456789012"})
    EXPECT_EQ(With(display, nullptr), DisplayKind::kNone) << display;
}

}  // namespace
}  // namespace kestrel::platform
