#include "bson_json.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/datetime.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/text.h"

namespace kestrel::tools {
namespace {

// Documents nested deeper than this are refused rather than followed.
constexpr int kMaxDepth = 100;

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

std::string JsonDate(std::int64_t milliseconds) {
  const DateTimeParts p =
      DecodeDateTime(static_cast<double>(milliseconds) / kMillisecondsPerDay + kUnixEpochDays);
  return "{\"$date\": " +
         JsonString(Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d", p.year, p.month, p.day, p.hour,
                           p.minute, p.second, p.millisecond)) +
         "}";
}

// A cursor over one document's bytes; every read checks what remains.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  std::string Document(bool is_array, int depth) {
    if (depth > kMaxDepth)
      Fail("documents nested too deeply");
    const std::size_t start = pos_;
    const std::int32_t length = Int32();
    if (length < 5 || static_cast<std::size_t>(length) > bytes_.size() - start)
      Fail("document length out of bounds");
    const std::size_t end = start + static_cast<std::size_t>(length);
    std::string out = is_array ? "[" : "{";
    bool first = true;
    const std::string indent(2 * (depth + 1), ' ');
    while (true) {
      const auto type = static_cast<std::uint8_t>(Bytes(1)[0]);
      if (type == 0)
        break;
      const std::string name(CString());
      out += first ? "\n" : ",\n";
      first = false;
      out += indent;
      if (!is_array)
        out += JsonString(name) + ": ";
      out += Value(type, depth);
      if (pos_ >= end)
        Fail("element runs past its document");
    }
    if (pos_ != end)
      Fail("document length does not match its elements");
    if (!first)
      out += "\n" + std::string(2 * depth, ' ');
    return out + (is_array ? "]" : "}");
  }

  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  [[noreturn]] void Fail(const char* what) const {
    throw Exception(Format("Malformed BSON at offset %zu: %s", pos_, what));
  }

  std::string_view Bytes(std::size_t n) {
    if (n > bytes_.size() - pos_)
      Fail("unexpected end of data");
    const std::string_view result = bytes_.substr(pos_, n);
    pos_ += n;
    return result;
  }

  std::int32_t Int32() {
    std::uint32_t value = 0;
    std::memcpy(&value, Bytes(4).data(), 4);
    return static_cast<std::int32_t>(value);
  }

  std::int64_t Int64() {
    std::uint64_t value = 0;
    std::memcpy(&value, Bytes(8).data(), 8);
    return static_cast<std::int64_t>(value);
  }

  double Double() {
    double value = 0;
    std::memcpy(&value, Bytes(8).data(), 8);
    return value;
  }

  std::string_view CString() {
    const std::size_t zero = bytes_.find('\0', pos_);
    if (zero == std::string_view::npos)
      Fail("name without its terminator");
    const std::string_view result = bytes_.substr(pos_, zero - pos_);
    pos_ = zero + 1;
    return result;
  }

  std::string_view String() {
    const std::int32_t count = Int32();
    if (count < 1)
      Fail("string length out of bounds");
    const std::string_view body = Bytes(static_cast<std::size_t>(count));
    if (body.back() != '\0')
      Fail("string without its terminator");
    return body.substr(0, body.size() - 1);
  }

  std::string Binary() {
    const std::int32_t count = Int32();
    if (count < 0)
      Fail("binary length out of bounds");
    Bytes(1);  // subtype
    return "{\"$binary\": \"" + Base64(Bytes(static_cast<std::size_t>(count))) + "\"}";
  }

  std::string ObjectId() {
    std::string hex;
    for (const char c : Bytes(12))
      hex += Format("%02x", static_cast<unsigned char>(c));
    return "{\"$oid\": \"" + hex + "\"}";
  }

  std::string Regex() {
    const std::string pattern = JsonString(CString());
    return "{\"$regex\": " + pattern + ", \"$options\": " + JsonString(CString()) + "}";
  }

  std::string CodeWithScope(int depth) {
    const std::size_t start = pos_;
    const std::int32_t length = Int32();
    const std::string code = JsonString(String());
    const std::string scope = Document(false, depth + 1);
    if (length < 0 || pos_ - start != static_cast<std::size_t>(length))
      Fail("code with scope length does not match");
    return "{\"$code\": " + code + ", \"$scope\": " + scope + "}";
  }

  std::string Value(std::uint8_t type, int depth) {
    switch (type) {
      case 1:
        return JsonNumber(Double());
      case 2:
      case 14:
        return JsonString(String());
      case 3:
        return Document(false, depth + 1);
      case 4:
        return Document(true, depth + 1);
      case 5:
        return Binary();
      case 6:
        return "{\"$undefined\": true}";
      case 7:
        return ObjectId();
      case 8:
        return Bytes(1)[0] ? "true" : "false";
      case 9:
        return JsonDate(Int64());
      case 10:
        return "null";
      case 11:
        return Regex();
      case 12: {
        const std::string ref = JsonString(String());
        return "{\"$ref\": " + ref + ", \"$id\": " + ObjectId() + "}";
      }
      case 13:
        return "{\"$code\": " + JsonString(String()) + "}";
      case 15:
        return CodeWithScope(depth);
      case 16:
        return std::to_string(Int32());
      case 17: {
        const auto increment = static_cast<std::uint32_t>(Int32());
        const auto seconds = static_cast<std::uint32_t>(Int32());
        return Format("{\"$timestamp\": {\"t\": %u, \"i\": %u}}", seconds, increment);
      }
      case 18:
        return std::to_string(Int64());
      default:
        Fail("unknown element type");
    }
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
};

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
  Reader reader(document);
  std::string json = reader.Document(false, 0);
  if (!reader.AtEnd())
    throw Exception("Malformed BSON: bytes after the end of the document");
  return json;
}

}  // namespace kestrel::tools
