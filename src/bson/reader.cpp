// The reading half of TBSONDocBulder: loading and checking a document, the
// cursor readers and the item index. Every read checks the bytes that remain
// before it touches them, and every count is checked for sign and size.
#include <cstring>

#include "base/format.h"
#include "base/text.h"
#include "bson/document.h"

namespace kestrel {
namespace {

constexpr std::size_t kOidSize = 12;

std::uint32_t LoadUInt32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
         std::uint32_t{b[3]} << 24;
}

std::uint64_t LoadUInt64(const char* p) {
  return std::uint64_t{LoadUInt32(p)} | std::uint64_t{LoadUInt32(p + 4)} << 32;
}

bool IsAscii(std::string_view bytes) {
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80)
      return false;
  }
  return true;
}

[[noreturn]] void ThrowInvalidFormat() {
  throw EBSONError("Stream read error - invalid format");
}

}  // namespace

TDateTime BSONTimeToDateTime(std::int64_t milliseconds) {
  return static_cast<double>(milliseconds) / 86400.0 / 1000.0 + 25569.0;
}

bool TBSONDocBulder::IsBSON(std::string_view Str) {
  if (Str.size() < 5)
    return false;
  return LoadUInt32(Str.data()) == Str.size() && Str.back() == '\0' &&
         static_cast<unsigned char>(Str[4]) <= bson_long;
}

bool TBSONDocBulder::IsBSONarrayitems(std::string_view Str) {
  return IsBSON(Str) && Str.size() >= 8 && Str[5] == '0' && Str[6] == '\0';
}

void TBSONDocBulder::SetAsString(const TBSON& data) {
  SetAsString(TBSON(data));
}

void TBSONDocBulder::SetAsString(TBSON&& data) {
  if (data.size() < 5)
    data.assign("\x05\x00\x00\x00\x00", 5);
  else if (!IsBSON(data))
    throw EBSONError("Invalid BSON document (AnsiString)");
  buf_ = std::move(data);
  wr_pos_ = buf_.size() - 1;
  rd_pos_ = 4;
  doc_parsed_ = false;
}

void TBSONDocBulder::CheckAvailable(std::size_t n) const {
  if (rd_pos_ > buf_.size() || n > buf_.size() - rd_pos_)
    throw EBSONError("End of doc");
}

std::uint8_t TBSONDocBulder::TakeByte() {
  CheckAvailable(1);
  return static_cast<std::uint8_t>(buf_[rd_pos_++]);
}

std::int32_t TBSONDocBulder::TakeInt32() {
  CheckAvailable(4);
  const auto value = static_cast<std::int32_t>(LoadUInt32(buf_.data() + rd_pos_));
  rd_pos_ += 4;
  return value;
}

std::int64_t TBSONDocBulder::TakeInt64() {
  CheckAvailable(8);
  const auto value = static_cast<std::int64_t>(LoadUInt64(buf_.data() + rd_pos_));
  rd_pos_ += 8;
  return value;
}

// The bytes of a string body, without its zero byte; the count includes it.
std::string_view TBSONDocBulder::TakeStringBody() {
  const std::int32_t count = TakeInt32();
  if (count < 1)
    ThrowInvalidFormat();
  CheckAvailable(static_cast<std::size_t>(count));
  const std::size_t length = static_cast<std::size_t>(count) - 1;
  if (buf_[rd_pos_ + length] != '\0')
    ThrowInvalidFormat();
  const std::string_view bytes(buf_.data() + rd_pos_, length);
  rd_pos_ += length + 1;
  return bytes;
}

// The name that follows the type byte at the cursor, up to its zero byte.
std::string_view TBSONDocBulder::PeekName() const {
  const std::size_t start = rd_pos_ + 1;
  if (start > buf_.size())
    throw EBSONError("End of doc");
  const void* zero = std::memchr(buf_.data() + start, 0, buf_.size() - start);
  if (zero == nullptr)
    throw EBSONError("End of doc");
  return std::string_view(buf_.data() + start,
                          static_cast<const char*>(zero) - buf_.data() - start);
}

void TBSONDocBulder::ReadElementHeader(bson_type expected) {
  CheckAvailable(1);
  const auto type = static_cast<std::uint8_t>(buf_[rd_pos_]);
  if (type != expected) {
    throw EBSONError(Format("Stream read error - invalid item type %d instead %d for %s", type,
                            static_cast<int>(expected), Win1251ToUtf8(last_read_name_).c_str()));
  }
  const std::string_view name = PeekName();
  last_read_name_.assign(name);
  rd_pos_ += 1 + name.size() + 1;
}

bson_type TBSONDocBulder::GetNextType() {
  CheckAvailable(1);
  return static_cast<bson_type>(static_cast<std::uint8_t>(buf_[rd_pos_]));
}

double TBSONDocBulder::ReadDouble() {
  ReadElementHeader(bson_double);
  const auto bits = static_cast<std::uint64_t>(TakeInt64());
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string TBSONDocBulder::ReadUTF8() {
  ReadElementHeader(bson_string);
  const std::string_view bytes = TakeStringBody();
  if (IsAscii(bytes))
    return std::string(bytes);
  return SanitizeUtf8(bytes);
}

std::string TBSONDocBulder::ReadString() {
  ReadElementHeader(bson_symbol);
  return std::string(TakeStringBody());
}

// An embedded document from its length field to its terminator, unchecked.
std::string_view TBSONDocBulder::TakeDocumentBytes() {
  CheckAvailable(4);
  const auto length = static_cast<std::int32_t>(LoadUInt32(buf_.data() + rd_pos_));
  if (length < 5)
    ThrowInvalidFormat();
  CheckAvailable(static_cast<std::size_t>(length));
  const std::string_view bytes(buf_.data() + rd_pos_, static_cast<std::size_t>(length));
  rd_pos_ += bytes.size();
  return bytes;
}

// The data bytes of a binary element; the subtype carries nothing we use.
std::string_view TBSONDocBulder::TakeBinaryBytes() {
  const std::int32_t count = TakeInt32();
  if (count < 0)
    ThrowInvalidFormat();
  TakeByte();
  CheckAvailable(static_cast<std::size_t>(count));
  const std::string_view bytes(buf_.data() + rd_pos_, static_cast<std::size_t>(count));
  rd_pos_ += bytes.size();
  return bytes;
}

TBSON TBSONDocBulder::ReadDoc(bool IsArray) {
  ReadElementHeader(IsArray ? bson_array : bson_object);
  return TBSON(TakeDocumentBytes());
}

std::string TBSONDocBulder::ReadBin() {
  ReadElementHeader(bson_bindata);
  return std::string(TakeBinaryBytes());
}

std::array<std::uint8_t, 12> TBSONDocBulder::TakeObjectIdWireBytes() {
  CheckAvailable(kOidSize);
  std::array<std::uint8_t, kOidSize> wire;
  std::memcpy(wire.data(), buf_.data() + rd_pos_, kOidSize);
  rd_pos_ += kOidSize;
  return wire;
}

std::string TBSONDocBulder::ReadObjectID() {
  ReadElementHeader(bson_oid);
  const auto wire = TakeObjectIdWireBytes();
  TBSONoid12 id;
  for (std::size_t i = 0; i < kOidSize; ++i)
    id.bytes[i] = wire[kOidSize - 1 - i];
  return MemToHexOID(id);
}

std::int32_t TBSONDocBulder::ReadObjectID32() {
  ReadElementHeader(bson_oid);
  const auto wire = TakeObjectIdWireBytes();
  for (std::size_t i = 0; i < 8; ++i) {
    if (wire[i] != 0)
      throw EBSONError("_id out of range 32");
  }
  std::uint32_t value = 0;
  for (std::size_t i = 8; i < kOidSize; ++i)
    value = value << 8 | wire[i];
  return static_cast<std::int32_t>(value);
}

std::int64_t TBSONDocBulder::ReadObjectID64() {
  ReadElementHeader(bson_oid);
  const auto wire = TakeObjectIdWireBytes();
  for (std::size_t i = 0; i < 4; ++i) {
    if (wire[i] != 0)
      throw EBSONError("_id out of range 64");
  }
  std::uint64_t value = 0;
  for (std::size_t i = 4; i < kOidSize; ++i)
    value = value << 8 | wire[i];
  return static_cast<std::int64_t>(value);
}

bool TBSONDocBulder::ReadBool() {
  ReadElementHeader(bson_bool);
  return TakeByte() != 0;
}

TDateTime TBSONDocBulder::ReadDateTime() {
  ReadElementHeader(bson_date);
  return BSONTimeToDateTime(TakeInt64());
}

void TBSONDocBulder::ReadNull() {
  ReadElementHeader(bson_null);
}

std::int32_t TBSONDocBulder::ReadInt32() {
  ReadElementHeader(bson_int);
  return TakeInt32();
}

TBSONTimestamp TBSONDocBulder::ReadTimestamp() {
  ReadElementHeader(bson_timestamp);
  TBSONTimestamp value;
  value.Increment = static_cast<std::uint32_t>(TakeInt32());
  value.Seconds = static_cast<std::uint32_t>(TakeInt32());
  return value;
}

std::int64_t TBSONDocBulder::ReadInt64() {
  ReadElementHeader(bson_long);
  return TakeInt64();
}

// Steps over one element with the checks of its reader, copying nothing.
void TBSONDocBulder::SkipElement(bson_type type) {
  switch (type) {
    case bson_double:
    case bson_date:
    case bson_long:
    case bson_timestamp:
      ReadElementHeader(type);
      TakeInt64();
      return;
    case bson_string:
    case bson_symbol:
      ReadElementHeader(type);
      TakeStringBody();
      return;
    case bson_object:
    case bson_array:
      ReadElementHeader(type);
      TakeDocumentBytes();
      return;
    case bson_bindata:
      ReadElementHeader(type);
      TakeBinaryBytes();
      return;
    case bson_oid:
      ReadElementHeader(type);
      TakeObjectIdWireBytes();
      return;
    case bson_bool:
      ReadElementHeader(type);
      TakeByte();
      return;
    case bson_null:
      ReadElementHeader(type);
      return;
    case bson_int:
      ReadElementHeader(type);
      TakeInt32();
      return;
    default:
      throw EBSONError("Stream read error - not supported item type");
  }
}

void TBSONDocBulder::ParseItems() {
  if (doc_parsed_)
    return;
  items_.clear();
  const std::size_t saved = rd_pos_;
  rd_pos_ = 4;
  try {
    for (;;) {
      const std::size_t start = rd_pos_;
      const bson_type type = GetNextType();
      if (type == bson_eoo)
        break;
      SkipElement(type);
      items_.push_back({type, start, last_read_name_});
    }
  } catch (...) {
    rd_pos_ = saved;
    throw;
  }
  rd_pos_ = saved;
  doc_parsed_ = true;
}

int TBSONDocBulder::ItemCount() {
  ParseItems();
  return static_cast<int>(items_.size());
}

void TBSONDocBulder::SeekItem(int index) {
  ParseItems();
  CheckIndex(index, static_cast<std::int64_t>(items_.size()));
  rd_pos_ = items_[static_cast<std::size_t>(index)].index;
}

}  // namespace kestrel
