#include "base/text.h"

#include <array>
#include <cstdint>

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

}  // namespace

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
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    code_point = lead;
    ++pos;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (text.size() - pos < length)
    return false;
  for (std::size_t i = 1; i < length; ++i) {
    if (!IsContinuation(byte(pos + i)))
      return false;
    value = (value << 6) | (byte(pos + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return false;
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
