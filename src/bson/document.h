// TBSONDocBulder: one BSON document in a byte string, with the writers that
// append elements to it and the cursor readers that walk it. Every document
// on the wire and in the driver's files goes through this class; a document
// from outside is checked on loading and every read checks the bytes that
// remain, so no input can make it read outside its buffer.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"
#include "base/exception.h"

namespace kestrel {

class TPersistent;
class TPersistentObjArray;
class Variant;
class TBSONItem;
struct PropInfo;
class PropertyTable;

// One whole BSON document as bytes.
using TBSON = std::string;

// The element type byte.
enum bson_type : std::uint8_t {
  bson_eoo = 0,
  bson_double,
  bson_string,
  bson_object,
  bson_array,
  bson_bindata,
  bson_undefined,
  bson_oid,
  bson_bool,
  bson_date,
  bson_null,
  bson_regex,
  bson_dbref,
  bson_code,
  bson_symbol,
  bson_codewscope,
  bson_int,
  bson_timestamp,
  bson_long,
};

enum TBSONSerializationOption : std::uint8_t {
  bsoDateTimeAsFloat = 0,
  bsoClearObjectBeforeRead = 1,
  bsoIgnoreUnknownProperties = 2,
};

// A set of options held in one byte, bit n standing for option n.
class TBSONSerializationOptions {
 public:
  constexpr TBSONSerializationOptions() = default;
  constexpr TBSONSerializationOptions(std::initializer_list<TBSONSerializationOption> options) {
    for (const auto option : options)
      Include(option);
  }
  constexpr bool Contains(TBSONSerializationOption option) const { return (bits_ >> option) & 1u; }
  constexpr void Include(TBSONSerializationOption option) {
    bits_ = static_cast<std::uint8_t>(bits_ | (1u << option));
  }
  constexpr void Exclude(TBSONSerializationOption option) {
    bits_ = static_cast<std::uint8_t>(bits_ & ~(1u << option));
  }
  constexpr void Set(TBSONSerializationOption option, bool on) {
    on ? Include(option) : Exclude(option);
  }
  constexpr std::uint8_t Bits() const { return bits_; }
  friend constexpr bool operator==(TBSONSerializationOptions, TBSONSerializationOptions) = default;

 private:
  std::uint8_t bits_ = 0;
};

struct TBSONTimestamp {
  std::uint32_t Increment = 0;
  std::uint32_t Seconds = 0;
  friend bool operator==(const TBSONTimestamp&, const TBSONTimestamp&) = default;
};

// A 96-bit object id, least significant byte first (bytes[0] is the lowest).
// A length below 12 means the missing high bytes are zero.
struct TBSONoid12 {
  std::array<std::uint8_t, 12> bytes{};
  int length = 12;
};

// One entry of the item index: where an element's type byte stands.
struct TBSONItemDescriptor {
  bson_type typ = bson_eoo;
  std::size_t index = 0;  // offset of the type byte in the buffer
  std::string name;
};

// Every failure the codec detects itself.
class EBSONError : public Exception {
 public:
  using Exception::Exception;
};

// Milliseconds since 1970-01-01 of a date-time taken as it is (no time-zone
// conversion), rounded half to even; 0 before 1970. ERangeError when the
// count does not fit 64 bits.
std::int64_t DateTimeToBSONTime(TDateTime value);
TDateTime BSONTimeToDateTime(std::int64_t milliseconds);

class TBSONDocBulder {
 public:
  // The empty document, with {bsoIgnoreUnknownProperties}.
  TBSONDocBulder();
  // Loads `data` (see SetAsString).
  explicit TBSONDocBulder(const TBSON& data);
  TBSONDocBulder(const TBSON& data, TBSONSerializationOptions options);
  // Writes the stored published properties of `obj`, with `options` in force.
  explicit TBSONDocBulder(const TPersistent& obj);
  TBSONDocBulder(const TPersistent& obj, TBSONSerializationOptions options);
  // Builds a document from a flat list of names and values (empty options):
  // each name is followed by its value, or by a pattern and options when it
  // ends in ":regex"; a float under a name ending in ":dt" is a date-time.
  // Byte strings do not convert to items implicitly, so that a TBSON given
  // in braces still selects the loading constructor.
  TBSONDocBulder(std::initializer_list<TBSONItem> items);

  void Clear();
  bool IsEmpty() const { return buf_.size() < 6; }

  // The finished document: the buffer cut to the length in the header, with
  // its terminator in place. Writing may go on afterwards.
  TBSON AsString();
  // AsString without the copy: the document is moved out and the builder
  // becomes the empty document (options kept).
  TBSON TakeDocument();
  // Loads a document: fewer than 5 bytes mean the empty document; anything
  // else must pass IsBSON ("Invalid BSON document (AnsiString)", and the
  // builder keeps its content). Writes then append, reads start at the first
  // element.
  void SetAsString(const TBSON& data);
  void SetAsString(TBSON&& data);
  // Loads a view of `data` instead of a copy, checked like SetAsString;
  // `data` must outlive the reading.
  void ViewDocument(std::string_view data);

  // The name of the element whose header was read last.
  std::string_view LastReadName() const {
    return matched_name_.data() != nullptr ? matched_name_ : std::string_view(read_name_);
  }
  // The number of elements; builds the item index once per content. The
  // cursor does not move.
  int ItemCount();

  TBSONSerializationOptions Options() const { return options_; }
  void SetOptions(TBSONSerializationOptions options) { options_ = options; }
  bool DateTimeAsFloat() const { return options_.Contains(bsoDateTimeAsFloat); }
  void SetDateTimeAsFloat(bool on) { options_.Set(bsoDateTimeAsFloat, on); }
  bool ClearObjectBeforeRead() const { return options_.Contains(bsoClearObjectBeforeRead); }
  void SetClearObjectBeforeRead(bool on) { options_.Set(bsoClearObjectBeforeRead, on); }
  bool IgnoreUnknownProperties() const { return options_.Contains(bsoIgnoreUnknownProperties); }
  void SetIgnoreUnknownProperties(bool on) { options_.Set(bsoIgnoreUnknownProperties, on); }

  // The raw buffer, spare bytes included, for diagnostics and tests.
  std::string_view Buffer() const { return Content(); }

  // Writers: each appends one element named `name` (bytes, not inspected).
  void WriteDouble(std::string_view name, double value);
  // `value` is UTF-8 text, written as it is.
  void WriteUFT8(std::string_view name, std::string_view value);
  // A symbol element holding the bytes unchanged.
  void WriteString(std::string_view name, std::string_view value);
  // Copies `value` whole, unchecked, as an embedded document or array.
  void WriteDoc(std::string_view name, bool isArray, std::string_view value);
  void WriteBin(std::string_view name, std::string_view buffer);
  void WriteBin(std::string_view name, const void* buffer, int len);
  // Both forms write nothing for 0 or an empty text; the text form raises
  // EConvertError for a pair that is not hexadecimal.
  void WriteObjectID(std::string_view name, std::int64_t value);
  void WriteObjectID(std::string_view name, std::string_view value);
  void WriteBool(std::string_view name, bool value);
  void WriteDateTime(std::string_view name, TDateTime value);
  void WriteNull(std::string_view name);
  void WriteRegex(std::string_view name, std::string_view pattern, std::string_view options);
  void WriteInt32(std::string_view name, std::int32_t value);
  void WriteTimestamp(std::string_view name, TBSONTimestamp value);
  void WriteInt64(std::string_view name, std::int64_t value);
  // Array documents of elements "0", "1", …: the strings become symbol
  // elements of Windows-1251 bytes, the integers int32 elements.
  void WriteArray(std::string_view name, const std::vector<std::string>& items);
  void WriteArray(std::string_view name, const std::vector<std::int32_t>& items);
  // "Variant arrays not supported" for an array; ERangeError for a 64-bit
  // value outside the 32-bit range.
  void WriteVariant(std::string_view name, const Variant& value);
  void WriteSubObject(std::string_view name, const TPersistent& value);

  // Readers: each expects one element type at the cursor and moves past the
  // element. On a type mismatch the cursor stays on the type byte.
  bson_type GetNextType();
  double ReadDouble();
  // UTF-8 text; malformed sequences become U+FFFD.
  std::string ReadUTF8();
  std::string ReadString();
  TBSON ReadDoc(bool IsArray);
  // ReadDoc without the copy: a view into the content being read.
  std::string_view ReadDocView(bool IsArray);
  std::string ReadBin();
  std::string ReadObjectID();
  std::int32_t ReadObjectID32();
  std::int64_t ReadObjectID64();
  bool ReadBool();
  TDateTime ReadDateTime();
  void ReadNull();
  std::int32_t ReadInt32();
  TBSONTimestamp ReadTimestamp();
  std::int64_t ReadInt64();
  std::vector<std::string> ReadStrArray();
  std::vector<std::int32_t> ReadIntArray();
  Variant ReadVariant();
  // The cursor stands on the document's terminator, with no bytes between
  // the last element read and it.
  bool AtEnd() const { return rd_pos_ + 1 == Content().size(); }

  // Fills `obj` from the cursor on (clearing it first under
  // bsoClearObjectBeforeRead).
  void ReadObject(TPersistent& obj);
  void ReadSubObject(TPersistent& obj);
  // Fills `obj` from `document` with this builder's options.
  void ReadObjectFrom(std::string_view document, TPersistent& obj) const;

  friend void BSONToObj(const TBSON& Data, TPersistent& Obj, TBSONSerializationOptions Options);

  static bool IsBSON(std::string_view Str);
  // IsBSON, and the first element is named "0".
  static bool IsBSONarrayitems(std::string_view Str);
  // Hexadecimal text to an id; EConvertError for a pair that is not hex.
  static TBSONoid12 HexOIDToMem(std::string_view HexStr);
  // 24 uppercase hexadecimal digits, highest byte first.
  static std::string MemToHexOID(const TBSONoid12& o_id);
  // Empties every published property of `obj` and of its sub-objects.
  static void ClearObject(TPersistent& obj);

 private:
  void EnsureSpace(std::size_t n);
  void UpdateLength();
  // One piece of an element's payload: the bytes, followed by a zero byte
  // when `c_string`.
  struct Piece {
    std::string_view bytes;
    bool c_string = false;
  };
  void Put(const void* bytes, std::size_t n);
  void PutByte(std::uint8_t byte);
  void PutCString(std::string_view bytes);
  void PutPiece(const Piece& piece);
  // The type byte, the name as a C string, then the payload.
  void PutElement(bson_type type, std::string_view name, std::initializer_list<Piece> payload);
  void WriteArrayDoc(std::string_view name, std::string_view value);
  void WriteObjectIDBytes(std::string_view name, const TBSONoid12& id);

  // What the readers walk: a checked document owned elsewhere while one is
  // viewed (it must outlive the reading), else the buffer.
  std::string_view Content() const {
    return external_.data() != nullptr ? external_ : std::string_view(buf_);
  }
  void Materialize();
  void CheckAvailable(std::size_t n) const;
  std::uint8_t TakeByte();
  std::int32_t TakeInt32();
  std::int64_t TakeInt64();
  std::string_view TakeStringBody();
  std::string_view TakeDocumentBytes();
  std::string_view TakeBinaryBytes();
  void SetLastReadName(std::string_view name) {
    read_name_.assign(name);
    matched_name_ = {};
  }
  void ReadElementHeader(bson_type expected);
  std::string_view PeekName() const;
  // The readers of the element whose name has just been taken (see
  // named_header_), for when it has the expected type and a whole, well-formed
  // value: they move past it. Otherwise they return nothing and leave the
  // cursor, for the readers above to deal with (errors and repair included).
  const char* TakeNamedValue(bson_type expected, std::size_t size);
  std::optional<std::int32_t> TryReadInt32();
  std::optional<bool> TryReadBool();
  std::optional<double> TryReadDouble();
  std::optional<TDateTime> TryReadDateTime();
  std::optional<std::int64_t> TryReadInt64();
  // Well-formed UTF-8 only, as a view into the document.
  std::optional<std::string_view> TryReadUTF8();
  std::array<std::uint8_t, 12> TakeObjectIdWireBytes();
  void SkipElement(bson_type type);
  void ParseItems();
  // Checks every element as the item index does and returns their number;
  // `index`, when given, receives them. The cursor does not move.
  std::size_t WalkItems(std::vector<TBSONItemDescriptor>* index);
  // The checked number of elements without building the index, for readers
  // that then take the elements in order: an index entry costs many times
  // the two bytes an element can be.
  int CountItems();
  void SeekItem(int index);
  void CheckArrayIndexName(int index) const;

  void WriteItem(std::string_view name, const TBSONItem& item);
  void WriteItemId(const TBSONItem& item);
  void WriteVariantId(std::string_view name, const Variant& value);
  void WriteItemBytes(std::string_view name, std::string_view bytes);
  void WriteTextOrDocument(std::string_view name, std::string_view bytes, std::string_view utf8);

  void WriteObjectProps(const TPersistent& obj);
  void WriteProperty(const TPersistent& obj, const PropInfo& prop);
  void WriteIdProperty(const TPersistent& obj, const PropInfo& prop);
  void WriteObjectProperty(const TPersistent& obj, const PropInfo& prop);
  void WriteByteStringProperty(std::string_view name, std::string_view type_name,
                               const std::string& value);
  void ReadObjectProps(TPersistent& obj);
  const PropInfo* MatchHint(std::span<const PropInfo> all, std::size_t hint);
  const PropInfo* FindProperty(std::span<const PropInfo> all, std::size_t& hint, bool& exact);
  void ReadUnknownElement(TPersistent& obj, bson_type type);
  bool ReadPlainProperty(TPersistent& obj, const PropInfo& prop);
  void ReadProperty(TPersistent& obj, const PropInfo& prop, bson_type type, bool exact);
  void ReadIdProperty(TPersistent& obj, const PropInfo& prop);
  void ReadValueProperty(TPersistent& obj, const PropInfo& prop, bson_type type);
  void ReadObjectProperty(TPersistent& obj, const PropInfo& prop);
  std::string ReadByteStringProperty(std::string_view type_name, bson_type type);
  void ReadPersistentObjArray(TPersistentObjArray& array);
  static void ClearProperty(TPersistent& obj, const PropInfo& prop);

  static constexpr std::size_t kNoPosition = ~std::size_t{0};

  std::string buf_;
  std::string_view external_;  // see Content()
  std::size_t wr_pos_ = 4;     // offset of the next element byte = document length - 1
  std::size_t rd_pos_ = 4;     // offset of the next byte to read
  // The last read name: a copy of the element's name, or, when the element
  // was found to bear exactly a property's name, that name (in the class's
  // property table, which outlives every reading), which spares the copy.
  std::string read_name_;
  std::string_view matched_name_;
  std::vector<TBSONItemDescriptor> items_;
  bool doc_parsed_ = false;
  // The element whose name ReadObjectProps has already put into
  // LastReadName(), so that its reader need not scan the name again.
  std::size_t named_header_ = kNoPosition;
  TBSONSerializationOptions options_{bsoIgnoreUnknownProperties};
};

}  // namespace kestrel
