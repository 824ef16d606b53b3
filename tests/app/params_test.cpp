#include "app/params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

using Args = std::vector<std::string>;

struct Lookup {
  std::string value;
  std::vector<std::string> logged;
};

Lookup Get(const Args& args, std::string_view name, const std::string& def, bool must_be_int) {
  Lookup result;
  result.value = GetFromParamStr(args, name, def, must_be_int,
                                 [&](const std::string& msg) { result.logged.push_back(msg); });
  return result;
}

std::string Port(const Args& args) {
  return Get(args, "port", "8080", true).value;
}

TEST(GetFromParamStr, NoArgumentGivesTheDefault) {
  EXPECT_EQ(Port({}), "8080");
  EXPECT_EQ(Get({"port:9000"}, "ip", "0.0.0.0", false).value, "0.0.0.0");
}

TEST(GetFromParamStr, NameMatchesInAnyCase) {
  EXPECT_EQ(Port({"PORT:9000"}), "9000");
  EXPECT_EQ(Port({"Port:9100"}), "9100");
}

TEST(GetFromParamStr, ValueIsTrimmedOfBlanksAndControlCharacters) {
  EXPECT_EQ(Port({"port: 9100"}), "9100");
  EXPECT_EQ(Port({"port:\t 9100 \r\n"}), "9100");
  EXPECT_EQ(Get({"ip:  10.0.0.1\x01"}, "ip", "0.0.0.0", false).value, "10.0.0.1");
}

TEST(GetFromParamStr, ValueComesBackLowerCased) {
  EXPECT_EQ(Get({"IP:LocalHost"}, "ip", "0.0.0.0", false).value, "localhost");
}

TEST(GetFromParamStr, OnlyTheFirstArgumentWithTheNameCounts) {
  EXPECT_EQ(Port({"port:9000", "port:9001"}), "9000");
  const Lookup first_bad = Get({"port:abc", "port:9001"}, "port", "8080", true);
  EXPECT_EQ(first_bad.value, "8080");
  EXPECT_EQ(first_bad.logged.size(), 1u);
}

TEST(GetFromParamStr, ArgumentsWithoutTheExactPrefixAreSkipped) {
  EXPECT_EQ(Port({"port9000", "xport:1", "portx:2", "port :3", "-port:4", "port:5"}), "5");
}

TEST(GetFromParamStr, NonIntegerIsLoggedAndTheDefaultKept) {
  const Lookup lookup = Get({"port:ABC"}, "port", "8080", true);
  EXPECT_EQ(lookup.value, "8080");
  EXPECT_EQ(lookup.logged, std::vector<std::string>{"Неверное значение параметра port: abc"});
}

TEST(GetFromParamStr, NothingAfterTheColonIsNotAnInteger) {
  const Lookup lookup = Get({"port:  "}, "port", "8080", true);
  EXPECT_EQ(lookup.value, "8080");
  EXPECT_EQ(lookup.logged, std::vector<std::string>{"Неверное значение параметра port: "});
}

TEST(GetFromParamStr, EmptyTextValueIsTaken) {
  const Lookup lookup = Get({"ip:"}, "ip", "0.0.0.0", false);
  EXPECT_EQ(lookup.value, "");
  EXPECT_TRUE(lookup.logged.empty());
}

TEST(GetFromParamStr, TextValuesAreNotChecked) {
  EXPECT_EQ(Get({"ip:abc"}, "ip", "0.0.0.0", false).value, "abc");
}

TEST(ParseInt64, AcceptsSignedDecimalsWithin64Bits) {
  EXPECT_EQ(ParseInt64("0"), 0);
  EXPECT_EQ(ParseInt64("+9000"), 9000);
  EXPECT_EQ(ParseInt64("-17"), -17);
  EXPECT_EQ(ParseInt64("007"), 7);
  EXPECT_EQ(ParseInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ParseInt64("-9223372036854775808"), INT64_MIN);
}

TEST(ParseInt64, RefusesEverythingElse) {
  for (const char* text : {"", "-", "+", "9223372036854775808", "-9223372036854775809",
                           "99999999999999999999", "1 2", "12a", "0x10", "1.5", "--1", " 1"}) {
    EXPECT_FALSE(ParseInt64(text)) << text;
  }
}

}  // namespace
}  // namespace kestrel
