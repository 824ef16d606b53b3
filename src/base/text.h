// Text encodings: UTF-8 text to and from Windows-1251 byte strings (the
// single-byte code page of the system), and repair of malformed UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Every byte becomes its character; none is lost, so bytes survive a round
// trip through Utf8ToWin1251.
std::string Win1251ToUtf8(std::string_view bytes);

// Characters that have no Windows-1251 byte, and malformed sequences, become "?".
std::string Utf8ToWin1251(std::string_view text);

// Whether `text` is well-formed UTF-8: no overlong forms, surrogates, code
// points beyond U+10FFFF, stray continuation bytes or truncated end. The one
// check of the code base; quick for ASCII and Cyrillic text.
bool IsValidUtf8(std::string_view text);

// Every malformed UTF-8 sequence (bad lead or continuation bytes, overlong
// forms, surrogates, code points beyond U+10FFFF, a truncated end) is replaced
// by U+FFFD, so the result is always valid UTF-8.
std::string SanitizeUtf8(std::string_view text);

// Decodes one UTF-8 character at `pos`; on success stores it and advances `pos`
// past it, otherwise leaves `pos` alone and returns false.
bool DecodeUtf8(std::string_view text, std::size_t& pos, char32_t& code_point);
void AppendUtf8(std::string& out, char32_t code_point);

// `text` when it has at most `max_characters` characters, else its first
// `max_characters` characters followed by "…". A character is a UTF-8 lead
// byte with its continuation bytes, so valid text is never cut inside one; a
// stray continuation byte goes with the character before it.
std::string CutText(std::string_view text, std::size_t max_characters);

}  // namespace kestrel
