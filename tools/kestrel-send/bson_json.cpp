#include "bson_json.h"

#include <cmath>
#include <cstdint>

#include "base/ascii.h"
#include "base/datetime.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/text.h"
#include "bson/document.h"

namespace kestrel::tools {
namespace {

// Documents nested deeper than this are refused rather than followed.
constexpr int kMaxDepth = 100;

[[noreturn]] void ThrowMalformed(const std::string& what) {
  throw Exception("Malformed BSON: " + what);
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t chunk = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size())
      chunk |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size())
      chunk |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(chunk >> 18) & 63];
    out += kDigits[(chunk >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(chunk >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[chunk & 63] : '=';
  }
  return out;
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value))
    return "null";
  return Format("%.17g", value);
}

std::string JsonDate(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  return "{\"$date\": " +
         JsonString(Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d", p.year, p.month, p.day, p.hour,
                           p.minute, p.second, p.millisecond)) +
         "}";
}

std::string DocumentJson(std::string_view bytes, bool is_array, int depth);

// The element at the cursor, which moves past it.
std::string ValueJson(TBSONDocBulder& doc, int depth) {
  switch (const bson_type type = doc.GetNextType()) {
    case bson_double:
      return JsonNumber(doc.ReadDouble());
    case bson_string:
      return JsonString(doc.ReadUTF8());
    case bson_symbol:
      return JsonString(doc.ReadString());
    case bson_object:
    case bson_array:
      return DocumentJson(doc.ReadDocView(type == bson_array), type == bson_array, depth + 1);
    case bson_bindata:
      return "{\"$binary\": \"" + Base64(doc.ReadBin()) + "\"}";
    case bson_oid:
      return "{\"$oid\": \"" + LowerAscii(doc.ReadObjectID()) + "\"}";
    case bson_bool:
      return doc.ReadBool() ? "true" : "false";
    case bson_date:
      return JsonDate(doc.ReadDateTime());
    case bson_null:
      doc.ReadNull();
      return "null";
    case bson_int:
      return std::to_string(doc.ReadInt32());
    case bson_timestamp: {
      const TBSONTimestamp stamp = doc.ReadTimestamp();
      return Format("{\"$timestamp\": {\"t\": %u, \"i\": %u}}", stamp.Seconds, stamp.Increment);
    }
    case bson_long:
      return std::to_string(doc.ReadInt64());
    default:
      ThrowMalformed(Format("element type %d is not supported", static_cast<int>(type)));
  }
}

std::string DocumentJson(std::string_view bytes, bool is_array, int depth) {
  if (depth > kMaxDepth)
    ThrowMalformed("documents nested too deeply");
  TBSONDocBulder doc;
  doc.ViewDocument(bytes);
  const std::string indent(2 * (depth + 1), ' ');
  std::string elements;
  while (doc.GetNextType() != bson_eoo) {
    const std::string value = ValueJson(doc, depth);
    elements += elements.empty() ? "\n" : ",\n";
    elements += indent;
    if (!is_array)
      elements += JsonString(doc.LastReadName()) + ": ";
    elements += value;
  }
  if (!doc.AtEnd())
    ThrowMalformed("bytes after the last element");
  if (!elements.empty())
    elements += "\n" + std::string(2 * depth, ' ');
  return (is_array ? "[" : "{") + elements + (is_array ? "]" : "}");
}

}  // namespace

std::string JsonString(std::string_view text) {
  const std::string valid = SanitizeUtf8(text);
  std::string out = "\"";
  for (const char c : valid) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20)
          out += Format("\\u%04x", c);
        else
          out += c;
    }
  }
  return out + "\"";
}

std::string BsonToJson(std::string_view document) {
  if (!TBSONDocBulder::IsBSON(document))
    ThrowMalformed("not one whole document");
  try {
    return DocumentJson(document, false, 0);
  } catch (const EBSONError& e) {
    ThrowMalformed(e.what());
  }
}

}  // namespace kestrel::tools
