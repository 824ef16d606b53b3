// The writing half of TBSONDocBulder: appending elements, buffer growth,
// the length header, object ids and date-times.
#include <cmath>
#include <cstring>

#include "base/ascii.h"
#include "base/format.h"
#include "bson/document.h"

namespace kestrel {
namespace {

constexpr std::string_view kEmptyDocument("\x05\x00\x00\x00\x00", 5);
constexpr std::size_t kGrowthStep = 4096;
constexpr std::size_t kOidSize = 12;

// Round half to even without depending on the floating-point rounding mode.
long double RoundHalfToEven(long double value) {
  const long double floor = std::floor(value);
  const long double fraction = value - floor;
  if (fraction > 0.5L)
    return floor + 1.0L;
  if (fraction < 0.5L)
    return floor;
  return std::fmod(floor, 2.0L) == 0.0L ? floor : floor + 1.0L;
}

std::uint8_t HexPairValue(char high, char low) {
  const int h = DigitValue(high, 16);
  const int l = DigitValue(low, 16);
  if (h < 0 || l < 0) {
    const std::string text{'$', high, low};
    throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
  }
  return static_cast<std::uint8_t>(h * 16 + l);
}

}  // namespace

std::int64_t DateTimeToBSONTime(TDateTime value) {
  if (!(value >= kUnixEpochDays))
    return 0;
  const long double milliseconds =
      RoundHalfToEven((static_cast<long double>(value) - 25569.0L) * 86400.0L * 1000.0L);
  // 2^63 is exact in long double; every smaller whole number converts.
  if (!(milliseconds < 9223372036854775808.0L))
    throw ERangeError();
  return static_cast<std::int64_t>(milliseconds);
}

TBSONDocBulder::TBSONDocBulder() : buf_(kEmptyDocument) {}

TBSONDocBulder::TBSONDocBulder(const TBSON& data) : TBSONDocBulder() {
  SetAsString(data);
}

TBSONDocBulder::TBSONDocBulder(const TBSON& data, TBSONSerializationOptions options)
    : TBSONDocBulder() {
  options_ = options;
  SetAsString(data);
}

void TBSONDocBulder::Clear() {
  buf_.assign(kEmptyDocument);
  external_ = {};
  named_header_ = kNoPosition;
  wr_pos_ = 4;
  rd_pos_ = 4;
  last_read_name_.clear();
  items_.clear();
  doc_parsed_ = false;
}

// A builder that reads a document owned elsewhere copies it before it
// changes or hands out its bytes.
void TBSONDocBulder::Materialize() {
  if (external_.data() == nullptr)
    return;
  buf_.assign(external_);
  external_ = {};
}

TBSON TBSONDocBulder::AsString() {
  Materialize();
  const std::size_t length = wr_pos_ + 1;
  if (buf_.size() != length)
    buf_.resize(length);
  buf_[wr_pos_] = '\0';
  return buf_;
}

TBSON TBSONDocBulder::TakeDocument() {
  AsString();  // materializes
  TBSON document = std::move(buf_);
  Clear();
  return document;
}

// Keeps one spare byte for the terminator. Small buffers double, large ones
// grow by fixed steps, unless the piece alone is larger.
void TBSONDocBulder::EnsureSpace(std::size_t n) {
  Materialize();
  named_header_ = kNoPosition;
  const std::size_t length = buf_.size();
  if (wr_pos_ + 1 + n <= length)
    return;
  std::size_t growth = n;
  if (length < kGrowthStep && 2 * length > n)
    growth = 2 * length;
  else if (length >= kGrowthStep && n < kGrowthStep)
    growth = kGrowthStep;
  buf_.resize(length + growth, '\xFF');
}

void TBSONDocBulder::UpdateLength() {
  const auto length = static_cast<std::uint32_t>(wr_pos_ + 1);
  for (int i = 0; i < 4; ++i)
    buf_[i] = static_cast<char>(length >> (8 * i));
}

void TBSONDocBulder::Put(const void* bytes, std::size_t n) {
  EnsureSpace(n);
  if (n > 0)
    std::memcpy(buf_.data() + wr_pos_, bytes, n);
  wr_pos_ += n;
  UpdateLength();
}

void TBSONDocBulder::PutByte(std::uint8_t byte) {
  Put(&byte, 1);
}

void TBSONDocBulder::PutInt32(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
      static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
  Put(bytes, 4);
}

void TBSONDocBulder::PutInt64(std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Put(bytes, 8);
}

// The bytes and their zero byte as one piece.
void TBSONDocBulder::PutCString(std::string_view bytes) {
  EnsureSpace(bytes.size() + 1);
  std::memcpy(buf_.data() + wr_pos_, bytes.data(), bytes.size());
  buf_[wr_pos_ + bytes.size()] = '\0';
  wr_pos_ += bytes.size() + 1;
  UpdateLength();
}

void TBSONDocBulder::PutHeader(bson_type type, std::string_view name) {
  PutByte(type);
  PutCString(name);
}

void TBSONDocBulder::PutStringBody(std::string_view bytes) {
  PutInt32(static_cast<std::int32_t>(bytes.size() + 1));
  PutCString(bytes);
}

void TBSONDocBulder::WriteDouble(std::string_view name, double value) {
  PutHeader(bson_double, name);
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutInt64(static_cast<std::int64_t>(bits));
}

void TBSONDocBulder::WriteUFT8(std::string_view name, std::string_view value) {
  PutHeader(bson_string, name);
  PutStringBody(value);
}

void TBSONDocBulder::WriteString(std::string_view name, std::string_view value) {
  PutHeader(bson_symbol, name);
  PutStringBody(value);
}

void TBSONDocBulder::WriteDoc(std::string_view name, bool isArray, std::string_view value) {
  PutHeader(isArray ? bson_array : bson_object, name);
  Put(value.data(), value.size());
}

void TBSONDocBulder::WriteArrayDoc(std::string_view name, std::string_view value) {
  WriteDoc(name, true, value);
}

void TBSONDocBulder::WriteBin(std::string_view name, std::string_view buffer) {
  WriteBin(name, buffer.data(), static_cast<int>(buffer.size()));
}

void TBSONDocBulder::WriteBin(std::string_view name, const void* buffer, int len) {
  PutHeader(bson_bindata, name);
  PutInt32(len);
  PutByte(0);
  if (len > 0)
    Put(buffer, static_cast<std::size_t>(len));
}

void TBSONDocBulder::WriteObjectIDBytes(std::string_view name, const TBSONoid12& id) {
  PutHeader(bson_oid, name);
  std::uint8_t wire[kOidSize];
  for (std::size_t i = 0; i < kOidSize; ++i)
    wire[i] = id.bytes[kOidSize - 1 - i];
  Put(wire, kOidSize);
}

void TBSONDocBulder::WriteObjectID(std::string_view name, std::int64_t value) {
  if (value == 0)
    return;
  TBSONoid12 id;
  const auto bits = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i)
    id.bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  WriteObjectIDBytes(name, id);
}

void TBSONDocBulder::WriteObjectID(std::string_view name, std::string_view value) {
  if (value.empty())
    return;
  WriteObjectIDBytes(name, HexOIDToMem(value));
}

void TBSONDocBulder::WriteBool(std::string_view name, bool value) {
  PutHeader(bson_bool, name);
  PutByte(value ? 1 : 0);
}

void TBSONDocBulder::WriteDateTime(std::string_view name, TDateTime value) {
  const std::int64_t milliseconds = DateTimeToBSONTime(value);
  PutHeader(bson_date, name);
  PutInt64(milliseconds);
}

void TBSONDocBulder::WriteNull(std::string_view name) {
  PutHeader(bson_null, name);
}

void TBSONDocBulder::WriteRegex(std::string_view name, std::string_view pattern,
                                std::string_view options) {
  PutHeader(bson_regex, name);
  PutCString(pattern);
  PutCString(options);
}

void TBSONDocBulder::WriteInt32(std::string_view name, std::int32_t value) {
  PutHeader(bson_int, name);
  PutInt32(value);
}

void TBSONDocBulder::WriteTimestamp(std::string_view name, TBSONTimestamp value) {
  PutHeader(bson_timestamp, name);
  PutInt32(static_cast<std::int32_t>(value.Increment));
  PutInt32(static_cast<std::int32_t>(value.Seconds));
}

void TBSONDocBulder::WriteInt64(std::string_view name, std::int64_t value) {
  PutHeader(bson_long, name);
  PutInt64(value);
}

TBSONoid12 TBSONDocBulder::HexOIDToMem(std::string_view HexStr) {
  std::string text;
  if (HexStr.size() % 2 != 0)
    text = "0";
  text.append(HexStr);
  TBSONoid12 id;
  std::size_t filled = 0;
  for (std::size_t end = text.size(); end >= 2 && filled < kOidSize; end -= 2)
    id.bytes[filled++] = HexPairValue(text[end - 2], text[end - 1]);
  return id;
}

std::string TBSONDocBulder::MemToHexOID(const TBSONoid12& o_id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::size_t used = o_id.length < 0 ? 0 : std::min<std::size_t>(o_id.length, kOidSize);
  std::string text;
  text.reserve(2 * kOidSize);
  for (std::size_t i = kOidSize; i-- > 0;) {
    const std::uint8_t byte = i < used ? o_id.bytes[i] : 0;
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace kestrel
