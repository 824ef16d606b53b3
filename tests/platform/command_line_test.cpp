#include <gtest/gtest.h>

#include "platform/command_line.h"

namespace kestrel::platform {
namespace {

// Each line is what the Windows C runtime splits back into the words given.
TEST(QuotedCommandLine, QuotesOnlyWordsThatNeedItAndEscapesQuotesWithTheirBackslashes) {
  EXPECT_EQ(QuotedCommandLine("C:\\Program Files\\corvid.exe", {}),
            "\"C:\\Program Files\\corvid.exe\"");
  EXPECT_EQ(QuotedCommandLine("p", {"P1.dat", "19000", ""}), "\"p\" P1.dat 19000 \"\"");
  EXPECT_EQ(QuotedCommandLine("p", {"a b", "tab\there", "a\\\\b"}),
            "\"p\" \"a b\" \"tab\there\" a\\\\b");
  EXPECT_EQ(QuotedCommandLine("p", {"say \"hi\"", "a\\\"b"}),
            "\"p\" \"say \\\"hi\\\"\" \"a\\\\\\\"b\"");
  // A closing quote after backslashes would be escaped by them.
  EXPECT_EQ(QuotedCommandLine("p", {"C:\\My Dir\\", "x\\\\ "}),
            "\"p\" \"C:\\My Dir\\\\\" \"x\\\\ \"");
}

}  // namespace
}  // namespace kestrel::platform
