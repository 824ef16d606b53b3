#include "base/text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace kestrel {
namespace {

// Characters of the bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
// 0x98 has no character of its own and keeps its C1 code point, as Windows does.
constexpr std::array<char16_t, 64> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

char32_t CharOfByte(unsigned char byte) {
  if (byte < 0x80)
    return byte;
  if (byte >= 0xC0)
    return 0x0410 + (byte - 0xC0);
  return kHighHalf[byte - 0x80];
}

int ByteOfChar(char32_t c) {
  if (c < 0x80)
    return static_cast<int>(c);
  if (c >= 0x0410 && c <= 0x044F)
    return static_cast<int>(0xC0 + (c - 0x0410));
  for (std::size_t i = 0; i < kHighHalf.size(); ++i) {
    if (kHighHalf[i] == c)
      return static_cast<int>(0x80 + i);
  }
  return -1;
}

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The length of the sequence led by `lead` after the lead byte, and the range
// its second byte must fall in (which rules out overlong forms, surrogates
// and code points beyond U+10FFFF); 0 for a byte that cannot lead.
std::size_t SequenceTail(unsigned char lead, unsigned char& low, unsigned char& high) {
  low = 0x80;
  high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF)
    return 1;
  if (lead >= 0xE0 && lead <= 0xEF) {
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
    return 2;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
    return 3;
  }
  return 0;
}

// The length of the well-formed sequence at `p` (1 to 4); 0 when it is
// malformed or cut short by `end`.
std::size_t SequenceLength(const unsigned char* p, const unsigned char* end) {
  if (*p < 0x80)
    return 1;
  unsigned char low, high;
  const std::size_t tail = SequenceTail(*p, low, high);
  if (tail == 0 || static_cast<std::size_t>(end - p) <= tail || p[1] < low || p[1] > high)
    return 0;
  for (std::size_t i = 2; i <= tail; ++i) {
    if (!IsContinuation(p[i]))
      return 0;
  }
  return tail + 1;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Eight bytes, the first one lowest, in one load.
std::uint64_t LoadWord(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i)
      swapped = swapped << 8 | ((word >> (8 * i)) & 0xFF);
    word = swapped;
  }
  return word;
}

// How many of the eight bytes in `word` (the first one lowest) are whole
// ASCII characters and two-byte sequences, counted up to the first byte that
// is neither, and without a two-byte lead left open just before it. All eight
// when the word holds nothing else, or seven when its last byte opens a
// sequence that goes on in the next word.
std::size_t ShortSequencesPrefix(std::uint64_t word) {
  const std::uint64_t high = word & kHighBits;
  const std::uint64_t bit6 = (word << 1) & kHighBits;
  const std::uint64_t bit5 = (word << 2) & kHighBits;
  const std::uint64_t continuation = high & ~bit6;
  const std::uint64_t lead = high & bit6 & ~bit5;
  // A two-byte lead below 0xC2 would be an overlong form.
  const std::uint64_t wide_lead = ((word & 0x1E1E1E1E1E1E1E1Eu) + 0x7F7F7F7F7F7F7F7Fu) & kHighBits;
  const std::uint64_t other =
      (high & bit6 & bit5) | (lead & ~wide_lead) | (continuation ^ (lead << 8));
  if (other == 0)
    return 8 - static_cast<std::size_t>(lead >> 63);
  const auto first = static_cast<std::size_t>(std::countr_zero(other)) / 8;
  const bool open_lead = first > 0 && ((lead >> (8 * first - 1)) & 1) != 0;
  return first - (open_lead ? 1 : 0);
}

// The `count` (1 to 7) bytes at `p` as the low bytes of a word, zeros above:
// zeros read as ASCII. The bytes before `p` are used when the text has them.
std::uint64_t LoadTail(const unsigned char* begin, const unsigned char* p, std::size_t count) {
  if (p + count - begin >= 8)
    return LoadWord(p + count - 8) >> (8 * (8 - count));
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i)
    word |= std::uint64_t{p[i]} << (8 * i);
  return word;
}

}  // namespace

// ASCII and two-byte sequences (Cyrillic text) are checked eight bytes at a
// time, anything else one sequence at a time.
bool IsValidUtf8(std::string_view text) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const auto* p = begin;
  while (end - p >= 8 && (LoadWord(p) & kHighBits) == 0)
    p += 8;
  // An ASCII end shorter than a word, seen through the word that ends the text.
  if (end - p < 8 && end - begin >= 8 && (LoadWord(end - 8) & kHighBits) == 0)
    return true;
  while (p < end) {
    const auto left = static_cast<std::size_t>(end - p);
    const bool whole_word = left >= 8;
    const std::uint64_t word = whole_word ? LoadWord(p) : LoadTail(begin, p, left);
    if ((word & kHighBits) == 0) {
      p += whole_word ? 8 : left;
      continue;
    }
    // The zeros past the end close no sequence, so the prefix stops before
    // one left open there.
    const std::size_t prefix = std::min(ShortSequencesPrefix(word), whole_word ? 8 : left);
    if (prefix > 0) {
      p += prefix;
      continue;
    }
    const std::size_t length = SequenceLength(p, end);
    if (length == 0)
      return false;
    p += length;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool DecodeUtf8(std::string_view text, std::size_t& pos, char32_t& code_point) {
  const auto* const p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t length = SequenceLength(p, p + (text.size() - pos));
  if (length == 0)
    return false;
  // The lead byte's value bits: all seven of ASCII, then five, four, three.
  char32_t value = length == 1 ? p[0] : p[0] & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i)
    value = (value << 6) | (p[i] & 0x3F);
  code_point = value;
  pos += length;
  return true;
}

std::string Win1251ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char b : bytes)
    AppendUtf8(out, CharOfByte(static_cast<unsigned char>(b)));
  return out;
}

std::string Utf8ToWin1251(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    if (!DecodeUtf8(text, pos, c)) {
      out += '?';
      ++pos;
      continue;
    }
    const int b = ByteOfChar(c);
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

std::string CutText(std::string_view text, std::size_t max_characters) {
  std::size_t characters = 0;
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    const bool starts_character = (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
    if (starts_character && characters++ == max_characters)
      return std::string(text.substr(0, pos)) + "…";
  }
  return std::string(text);
}

std::string SanitizeUtf8(std::string_view text) {
  if (IsValidUtf8(text))
    return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    char32_t c;
    if (DecodeUtf8(text, pos, c)) {
      out.append(text.substr(start, pos - start));
      continue;
    }
    AppendUtf8(out, 0xFFFD);
    // Skip the lead byte and whatever continuation bytes follow it, so one
    // broken sequence gives one replacement character.
    ++pos;
    while (pos < text.size() && IsContinuation(static_cast<unsigned char>(text[pos])) &&
           pos - start < 4) {
      ++pos;
    }
  }
  return out;
}

}  // namespace kestrel
