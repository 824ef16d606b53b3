// Any BSON document as readable JSON text, for showing answers and files.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::tools {

// The document as indented JSON (UTF-8), read as the driver reads it.
// Strings that are not valid UTF-8 are repaired; binary data becomes
// {"$binary": base64}, date-times {"$date": "yyyy-mm-dd hh:nn:ss.zzz"},
// object ids {"$oid": hex}. A document that is cut short or malformed, or
// holds an element type the driver does not read, raises Exception saying
// what is wrong.
std::string BsonToJson(std::string_view document);

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace kestrel::tools
