#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

TEST(Win1251, CyrillicRoundTrip) {
  const std::string text = "Сетевой драйвер принтеров ЁёЇїІіЄєҐґЎў№";
  const std::string bytes = Utf8ToWin1251(text);
  EXPECT_EQ(bytes.size(), 39u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xD1);  // С
  EXPECT_EQ(Win1251ToUtf8(bytes), text);
}

TEST(Win1251, EveryByteSurvivesRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b)
    all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToWin1251(Win1251ToUtf8(all)), all);
}

TEST(Win1251, PunctuationOfTheHighHalf) {
  EXPECT_EQ(Win1251ToUtf8("\x88\x96\x97\xB9"), "€–—№");
}

TEST(Win1251, CharactersWithoutByteBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToWin1251("a中b😀c"), "a?b?c");
  EXPECT_EQ(Utf8ToWin1251("x\xFFy"), "x?y");
}

TEST(SanitizeUtf8, ValidTextIsUnchanged) {
  const std::string text = "abc Привет 😀 €";
  EXPECT_EQ(SanitizeUtf8(text), text);
}

TEST(SanitizeUtf8, MalformedSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(SanitizeUtf8("a\xFF"
                         "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(SanitizeUtf8("\xC0\xAF"), "\xEF\xBF\xBD");          // overlong "/"
  EXPECT_EQ(SanitizeUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD");      // surrogate
  EXPECT_EQ(SanitizeUtf8("\xF4\x90\x80\x80"), "\xEF\xBF\xBD");  // beyond U+10FFFF
  EXPECT_EQ(SanitizeUtf8("ok\xD0"), "ok\xEF\xBF\xBD");          // cut at the end
}

// The check goes eight bytes at a time where it can: a fault or a longer
// sequence must be found at every place within a word and across two words,
// as decoding one character at a time finds it.
TEST(IsValidUtf8, AgreesWithDecodingAtEveryOffset) {
  const auto decodes = [](const std::string& text) {
    std::size_t pos = 0;
    char32_t c;
    while (pos < text.size()) {
      if (!DecodeUtf8(text, pos, c))
        return false;
    }
    return true;
  };
  const std::vector<std::string> bases = {
      "\xD0\x9F\xD1\x80\xD0\xB8 ab \xD0\xB2\xD0\xB5\xD1\x82 cd",  // При ab вет cd
      "plain text \xD0\xB2",  // plain text в: a whole ASCII word, then less than a word
  };
  const std::vector<std::string> inserts = {"",
                                            "\x80",
                                            "\xC1\xBF",
                                            "\xD0",
                                            "\xE2\x84",
                                            "\xE0\x80\xAF",
                                            "\xED\xA0\x80",
                                            "\xF4\x90\x80\x80",
                                            "\xE2\x84\x96",
                                            "\xF0\x9F\x98\x80",
                                            "\xEF\xBF\xBF"};
  int rejected = 0;
  for (const std::string& base : bases) {
    EXPECT_TRUE(IsValidUtf8(base));
    for (std::size_t at = 0; at <= base.size(); ++at) {
      for (const std::string& insert : inserts) {
        const std::string text = base.substr(0, at) + insert + base.substr(at);
        EXPECT_EQ(IsValidUtf8(text), decodes(text)) << "at " << at << ": " << text;
        rejected += decodes(text) ? 0 : 1;
      }
    }
  }
  EXPECT_GT(rejected, 0);
}

TEST(CutText, CutsWholeCharactersAndMarksTheCut) {
  EXPECT_EQ(CutText("COM1", 4), "COM1");
  EXPECT_EQ(CutText("COM12", 4), "COM1…");
  EXPECT_EQ(CutText("Ярус-01K", 2), "Яр…");
  EXPECT_EQ(CutText("Я\x80\x80"
                    "ab",
                    1),
            "Я\x80\x80…");
}

}  // namespace
}  // namespace kestrel
