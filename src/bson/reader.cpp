// The reading half of TBSONDocBulder: loading and checking a document, the
// cursor readers and the item index. Every read checks the bytes that remain
// before it touches them, and every count is checked for sign and size.
#include <algorithm>
#include <bit>
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

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

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
  external_ = {};
  wr_pos_ = buf_.size() - 1;
  rd_pos_ = 4;
  doc_parsed_ = false;
  named_header_ = kNoPosition;
}

void TBSONDocBulder::ViewDocument(std::string_view data) {
  if (data.size() < 5) {
    SetAsString(TBSON());
    return;
  }
  if (!IsBSON(data))
    throw EBSONError("Invalid BSON document (AnsiString)");
  buf_.clear();
  external_ = data;
  wr_pos_ = data.size() - 1;
  rd_pos_ = 4;
  doc_parsed_ = false;
  named_header_ = kNoPosition;
}

void TBSONDocBulder::CheckAvailable(std::size_t n) const {
  if (rd_pos_ > Content().size() || n > Content().size() - rd_pos_)
    throw EBSONError("End of doc");
}

std::uint8_t TBSONDocBulder::TakeByte() {
  CheckAvailable(1);
  return static_cast<std::uint8_t>(Content()[rd_pos_++]);
}

std::int32_t TBSONDocBulder::TakeInt32() {
  CheckAvailable(4);
  const auto value = static_cast<std::int32_t>(LoadUInt32(Content().data() + rd_pos_));
  rd_pos_ += 4;
  return value;
}

std::int64_t TBSONDocBulder::TakeInt64() {
  CheckAvailable(8);
  const auto value = static_cast<std::int64_t>(LoadUInt64(Content().data() + rd_pos_));
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
  if (Content()[rd_pos_ + length] != '\0')
    ThrowInvalidFormat();
  const std::string_view bytes(Content().data() + rd_pos_, length);
  rd_pos_ += length + 1;
  return bytes;
}

// The name that follows the type byte at the cursor, up to its zero byte.
// Names are short: eight bytes at a time beats a call to memchr.
std::string_view TBSONDocBulder::PeekName() const {
  const std::string_view content = Content();
  const std::size_t start = rd_pos_ + 1;
  if (start > content.size())
    throw EBSONError("End of doc");
  const char* const begin = content.data() + start;
  const char* const end = content.data() + content.size();
  const char* p = begin;
  while (end - p >= 8) {
    const std::uint64_t word = LoadUInt64(p);
    const std::uint64_t zero_bytes = (word - 0x0101010101010101u) & ~word & kHighBits;
    if (zero_bytes != 0)
      return std::string_view(begin,
                              static_cast<std::size_t>(p - begin) +
                                  static_cast<std::size_t>(std::countr_zero(zero_bytes)) / 8);
    p += 8;
  }
  while (p < end && *p != '\0')
    ++p;
  if (p == end)
    throw EBSONError("End of doc");
  return std::string_view(begin, static_cast<std::size_t>(p - begin));
}

void TBSONDocBulder::ReadElementHeader(bson_type expected) {
  CheckAvailable(1);
  const auto type = static_cast<std::uint8_t>(Content()[rd_pos_]);
  if (type != expected) {
    throw EBSONError(Format("Stream read error - invalid item type %d instead %d for %s", type,
                            static_cast<int>(expected), Win1251ToUtf8(LastReadName()).c_str()));
  }
  if (rd_pos_ == named_header_) {
    named_header_ = kNoPosition;
    rd_pos_ += 1 + LastReadName().size() + 1;
    return;
  }
  const std::string_view name = PeekName();
  SetLastReadName(name);
  rd_pos_ += 1 + name.size() + 1;
}

const char* TBSONDocBulder::TakeNamedValue(bson_type expected, std::size_t size) {
  const std::string_view content = Content();
  if (rd_pos_ != named_header_ || static_cast<std::uint8_t>(content[rd_pos_]) != expected)
    return nullptr;
  // The name's zero byte lies inside the content, so `value` does too or is its end.
  const std::size_t value = rd_pos_ + 1 + LastReadName().size() + 1;
  if (size > content.size() - value)
    return nullptr;
  named_header_ = kNoPosition;
  rd_pos_ = value + size;
  return content.data() + value;
}

std::optional<std::int32_t> TBSONDocBulder::TryReadInt32() {
  if (const char* value = TakeNamedValue(bson_int, 4))
    return static_cast<std::int32_t>(LoadUInt32(value));
  return std::nullopt;
}

std::optional<bool> TBSONDocBulder::TryReadBool() {
  if (const char* value = TakeNamedValue(bson_bool, 1))
    return *value != 0;
  return std::nullopt;
}

std::optional<double> TBSONDocBulder::TryReadDouble() {
  if (const char* value = TakeNamedValue(bson_double, 8)) {
    const std::uint64_t bits = LoadUInt64(value);
    double result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
  }
  return std::nullopt;
}

std::optional<TDateTime> TBSONDocBulder::TryReadDateTime() {
  if (const char* value = TakeNamedValue(bson_date, 8))
    return BSONTimeToDateTime(static_cast<std::int64_t>(LoadUInt64(value)));
  return std::nullopt;
}

std::optional<std::int64_t> TBSONDocBulder::TryReadInt64() {
  if (const char* value = TakeNamedValue(bson_long, 8))
    return static_cast<std::int64_t>(LoadUInt64(value));
  return std::nullopt;
}

std::optional<std::string_view> TBSONDocBulder::TryReadUTF8() {
  const std::string_view content = Content();
  if (rd_pos_ != named_header_ || static_cast<std::uint8_t>(content[rd_pos_]) != bson_string)
    return std::nullopt;
  const std::size_t value = rd_pos_ + 1 + LastReadName().size() + 1;
  if (content.size() - value < 4)
    return std::nullopt;
  const auto count = static_cast<std::int32_t>(LoadUInt32(content.data() + value));
  if (count < 1 || static_cast<std::size_t>(count) > content.size() - value - 4)
    return std::nullopt;
  const std::size_t length = static_cast<std::size_t>(count) - 1;
  const std::string_view text(content.data() + value + 4, length);
  if (content[value + 4 + length] != '\0' || !IsValidUtf8(text))
    return std::nullopt;
  named_header_ = kNoPosition;
  rd_pos_ = value + 4 + length + 1;
  return text;
}

bson_type TBSONDocBulder::GetNextType() {
  CheckAvailable(1);
  return static_cast<bson_type>(static_cast<std::uint8_t>(Content()[rd_pos_]));
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
  return SanitizeUtf8(TakeStringBody());
}

std::string TBSONDocBulder::ReadString() {
  ReadElementHeader(bson_symbol);
  return std::string(TakeStringBody());
}

// An embedded document from its length field to its terminator, unchecked.
std::string_view TBSONDocBulder::TakeDocumentBytes() {
  CheckAvailable(4);
  const auto length = static_cast<std::int32_t>(LoadUInt32(Content().data() + rd_pos_));
  if (length < 5)
    ThrowInvalidFormat();
  CheckAvailable(static_cast<std::size_t>(length));
  const std::string_view bytes(Content().data() + rd_pos_, static_cast<std::size_t>(length));
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
  const std::string_view bytes(Content().data() + rd_pos_, static_cast<std::size_t>(count));
  rd_pos_ += bytes.size();
  return bytes;
}

TBSON TBSONDocBulder::ReadDoc(bool IsArray) {
  return TBSON(ReadDocView(IsArray));
}

std::string_view TBSONDocBulder::ReadDocView(bool IsArray) {
  ReadElementHeader(IsArray ? bson_array : bson_object);
  return TakeDocumentBytes();
}

std::string TBSONDocBulder::ReadBin() {
  ReadElementHeader(bson_bindata);
  return std::string(TakeBinaryBytes());
}

std::array<std::uint8_t, 12> TBSONDocBulder::TakeObjectIdWireBytes() {
  CheckAvailable(kOidSize);
  std::array<std::uint8_t, kOidSize> wire;
  std::memcpy(wire.data(), Content().data() + rd_pos_, kOidSize);
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
  named_header_ = kNoPosition;
  WalkItems(&items_);
  doc_parsed_ = true;
}

std::size_t TBSONDocBulder::WalkItems(std::vector<TBSONItemDescriptor>* index) {
  const std::size_t saved = rd_pos_;
  rd_pos_ = 4;
  std::size_t count = 0;
  try {
    for (;; ++count) {
      const std::size_t start = rd_pos_;
      const bson_type type = GetNextType();
      if (type == bson_eoo)
        break;
      SkipElement(type);
      if (index != nullptr)
        index->push_back({type, start, std::string(LastReadName())});
    }
  } catch (...) {
    rd_pos_ = saved;
    throw;
  }
  rd_pos_ = saved;
  return count;
}

int TBSONDocBulder::CountItems() {
  named_header_ = kNoPosition;
  return static_cast<int>(WalkItems(nullptr));
}

int TBSONDocBulder::ItemCount() {
  ParseItems();
  return static_cast<int>(items_.size());
}

void TBSONDocBulder::SeekItem(int index) {
  ParseItems();
  named_header_ = kNoPosition;
  CheckIndex(index, static_cast<std::int64_t>(items_.size()));
  rd_pos_ = items_[static_cast<std::size_t>(index)].index;
}

}  // namespace kestrel
