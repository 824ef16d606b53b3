#include "platform/path.h"

#include <gtest/gtest.h>

namespace kestrel::platform {
namespace {

TEST(WindowsPaths, EitherSeparatorEndsTheFolderPart) {
  EXPECT_EQ(FileNameStart("C:\\Program Files\\Kestrel\\kestrel.exe"), 25u);
  EXPECT_EQ(FileNameStart("C:/Kestrel\\forms/main.frm"), 17u);
  EXPECT_EQ(FileNameStart("kestrel.exe"), 0u);
}

TEST(WindowsPaths, DevicesDrivesStreamsAndDroppedEndingsAreNoOrdinaryNames) {
  for (const char* name : {"NUL", "con", "Com1.txt", "lpt9.log.old", "AUX .dat", "CONOUT$",
                           "C:", "kestrel.exe:stream", "a?b", "a*", "tab\there", "name.", "name "})
    EXPECT_FALSE(IsOrdinaryName(name)) << name;
  for (const char* name :
       {"kestrel.exe", "COM10", "console.txt", "nul2", ".profile", "P1.dat", "Чек.txt", ""})
    EXPECT_TRUE(IsOrdinaryName(name)) << name;
}

}  // namespace
}  // namespace kestrel::platform
