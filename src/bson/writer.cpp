// The writing half of TBSONDocBulder: appending elements, buffer growth,
// the length header, object ids and date-times.
#include <array>
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

template <class Unsigned>
std::array<char, sizeof(Unsigned)> LittleEndian(Unsigned value) {
  std::array<char, sizeof(Unsigned)> bytes;
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i)
    bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

template <std::size_t N>
std::string_view View(const std::array<char, N>& bytes) {
  return std::string_view(bytes.data(), N);
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
  SetLastReadName({});
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

// The bytes and their zero byte as one piece.
void TBSONDocBulder::PutCString(std::string_view bytes) {
  EnsureSpace(bytes.size() + 1);
  std::memcpy(buf_.data() + wr_pos_, bytes.data(), bytes.size());
  buf_[wr_pos_ + bytes.size()] = '\0';
  wr_pos_ += bytes.size() + 1;
  UpdateLength();
}

void TBSONDocBulder::PutPiece(const Piece& piece) {
  if (piece.c_string)
    PutCString(piece.bytes);
  else
    Put(piece.bytes.data(), piece.bytes.size());
}

// An element that fits the buffer as it is goes in with one copy per piece
// and one header update; one that makes it grow goes piece by piece, since
// the growth depends on the size of the piece that finds no room.
void TBSONDocBulder::PutElement(bson_type type, std::string_view name,
                                std::initializer_list<Piece> payload) {
  Materialize();
  named_header_ = kNoPosition;
  std::size_t size = 1 + name.size() + 1;
  for (const Piece& piece : payload)
    size += piece.bytes.size() + (piece.c_string ? 1 : 0);
  if (wr_pos_ + 1 + size > buf_.size()) {
    PutByte(type);
    PutCString(name);
    for (const Piece& piece : payload)
      PutPiece(piece);
    return;
  }
  char* out = buf_.data() + wr_pos_;
  const auto copy = [&out](std::string_view bytes, bool c_string) {
    if (!bytes.empty())
      std::memcpy(out, bytes.data(), bytes.size());
    out += bytes.size();
    if (c_string)
      *out++ = '\0';
  };
  *out++ = static_cast<char>(type);
  copy(name, true);
  for (const Piece& piece : payload)
    copy(piece.bytes, piece.c_string);
  wr_pos_ += size;
  UpdateLength();
}

void TBSONDocBulder::WriteDouble(std::string_view name, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const auto bytes = LittleEndian(bits);
  PutElement(bson_double, name, {{View(bytes)}});
}

void TBSONDocBulder::WriteUFT8(std::string_view name, std::string_view value) {
  const auto count = LittleEndian(static_cast<std::uint32_t>(value.size() + 1));
  PutElement(bson_string, name, {{View(count)}, {value, true}});
}

void TBSONDocBulder::WriteString(std::string_view name, std::string_view value) {
  const auto count = LittleEndian(static_cast<std::uint32_t>(value.size() + 1));
  PutElement(bson_symbol, name, {{View(count)}, {value, true}});
}

void TBSONDocBulder::WriteDoc(std::string_view name, bool isArray, std::string_view value) {
  PutElement(isArray ? bson_array : bson_object, name, {{value}});
}

void TBSONDocBulder::WriteArrayDoc(std::string_view name, std::string_view value) {
  WriteDoc(name, true, value);
}

void TBSONDocBulder::WriteBin(std::string_view name, std::string_view buffer) {
  WriteBin(name, buffer.data(), static_cast<int>(buffer.size()));
}

void TBSONDocBulder::WriteBin(std::string_view name, const void* buffer, int len) {
  const auto count = LittleEndian(static_cast<std::uint32_t>(len));
  const std::string_view data =
      len > 0 ? std::string_view(static_cast<const char*>(buffer), static_cast<std::size_t>(len))
              : std::string_view();
  PutElement(bson_bindata, name, {{View(count)}, {std::string_view("\0", 1)}, {data}});
}

void TBSONDocBulder::WriteObjectIDBytes(std::string_view name, const TBSONoid12& id) {
  std::array<char, kOidSize> wire;
  for (std::size_t i = 0; i < kOidSize; ++i)
    wire[i] = static_cast<char>(id.bytes[kOidSize - 1 - i]);
  PutElement(bson_oid, name, {{View(wire)}});
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
  PutElement(bson_bool, name, {{value ? std::string_view("\1", 1) : std::string_view("\0", 1)}});
}

void TBSONDocBulder::WriteDateTime(std::string_view name, TDateTime value) {
  const auto bytes = LittleEndian(static_cast<std::uint64_t>(DateTimeToBSONTime(value)));
  PutElement(bson_date, name, {{View(bytes)}});
}

void TBSONDocBulder::WriteNull(std::string_view name) {
  PutElement(bson_null, name, {});
}

void TBSONDocBulder::WriteRegex(std::string_view name, std::string_view pattern,
                                std::string_view options) {
  PutElement(bson_regex, name, {{pattern, true}, {options, true}});
}

void TBSONDocBulder::WriteInt32(std::string_view name, std::int32_t value) {
  const auto bytes = LittleEndian(static_cast<std::uint32_t>(value));
  PutElement(bson_int, name, {{View(bytes)}});
}

void TBSONDocBulder::WriteTimestamp(std::string_view name, TBSONTimestamp value) {
  const auto increment = LittleEndian(value.Increment);
  const auto seconds = LittleEndian(value.Seconds);
  PutElement(bson_timestamp, name, {{View(increment)}, {View(seconds)}});
}

void TBSONDocBulder::WriteInt64(std::string_view name, std::int64_t value) {
  const auto bytes = LittleEndian(static_cast<std::uint64_t>(value));
  PutElement(bson_long, name, {{View(bytes)}});
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
