#include "messages/messages.h"

#include <charconv>
#include <limits>
#include <optional>
#include <string_view>

#include "base/ascii.h"

namespace kestrel {
namespace {

PropInfo NeverWritten(PropInfo property) {
  property.never_stored = true;
  return property;
}

// The port names the printer only for a local command, one without a host.
bool PortStored(const TPersistent& object) {
  return static_cast<const TTermPrintCmd&>(object).FHost.empty();
}

// Skips a hexadecimal prefix ("$", "x", "X", "0x", "0X") at `pos`; returns the base.
unsigned SkipBasePrefix(std::string_view text, std::size_t& pos) {
  const std::string_view rest = text.substr(pos);
  if (rest.starts_with('$') || rest.starts_with('x') || rest.starts_with('X')) {
    pos += 1;
    return 16;
  }
  if (rest.starts_with("0x") || rest.starts_with("0X")) {
    pos += 2;
    return 16;
  }
  return 10;
}

// The value of a text that is one whole signed 64-bit integer: leading
// blanks, an optional sign, then decimal digits or a prefixed hexadecimal
// number, and nothing after it.
std::optional<std::int64_t> ParseWholeInt64(std::string_view text) {
  std::size_t pos = text.find_first_not_of(' ');
  if (pos == std::string_view::npos)
    return std::nullopt;
  const bool negative = text[pos] == '-';
  if (negative || text[pos] == '+')
    ++pos;
  const unsigned base = SkipBasePrefix(text, pos);
  if (pos == text.size())
    return std::nullopt;
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
  // magnitude * base + digit stays within the limit while magnitude is below
  // limit / base, or equal to it with a digit up to limit % base.
  const std::uint64_t last_whole = limit / base;
  const auto last_digit = static_cast<int>(limit % base);
  std::uint64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    const int digit = DigitValue(text[pos], base);
    if (digit < 0 || magnitude > last_whole || (magnitude == last_whole && digit > last_digit))
      return std::nullopt;
    magnitude = magnitude * base + static_cast<std::uint64_t>(digit);
  }
  return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

// Decimal digits without a leading zero, after an optional minus sign, and
// not "-0": the plain form itself, or a number too large to have one. Either
// way normalising leaves such a text as it is.
bool IsPlainDecimal(std::string_view text) {
  const std::size_t first = text.starts_with('-') ? 1 : 0;
  if (first == text.size())
    return false;
  if (text[first] == '0')
    return text.size() == 1;
  for (std::size_t i = first; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9')
      return false;
  }
  return true;
}

// Serial and taxpayer numbers are kept in one plain decimal form. The text's
// own buffer takes the digits, so normalising allocates nothing.
std::string NormalizeNumber(std::string text) {
  if (IsPlainDecimal(text))
    return text;
  const std::optional<std::int64_t> value = ParseWholeInt64(text);
  if (!value)
    return text;
  char digits[24];
  const char* const digits_end = std::to_chars(digits, digits + sizeof digits, *value).ptr;
  text.assign(digits, static_cast<std::size_t>(digits_end - digits));
  return text;
}

}  // namespace

const PropertyTable& TEnumCOMs::Table() {
  static const PropertyTable table(TPersistent::Table(),
                                   {props::Boolean<&TEnumCOMs::FEnumCOMs>("EnumCOMs")});
  return table;
}

const PropertyTable& TEnumCOMsRes::Table() {
  static const PropertyTable table(TPersistent::Table(),
                                   {props::String<&TEnumCOMsRes::FCOMs>("COMs")});
  return table;
}

const PropertyTable& TTermPrintCmd::Table() {
  using C = TTermPrintCmd;
  static const PropertyTable table(
      TPersistent::Table(),
      {NeverWritten(props::String<&C::FHost>("Host")),
       props::String<&C::FPort>("Port", &PortStored), props::String<&C::FName>("Name"),
       props::Integer<&C::FDealer>("Dealer"), props::String<&C::FPwd>("Pwd"),
       props::Integer<&C::FTerm>("Term"), props::Integer<&C::FDocNo>("DocNo"),
       props::DateTime<&C::FDocDT>("DocDT"),
       props::String<&C::FText>("Text", props::NonEmpty<&C::FText>),
       props::Currency<&C::FSumm0>("Summ0", props::NonZero<&C::FSumm0>),
       props::Currency<&C::FSumm1>("Summ1", props::NonZero<&C::FSumm1>),
       props::Integer<&C::FSection0>("Section0", props::NonZero<&C::FSection0>),
       props::Integer<&C::FSection1>("Section1", props::NonZero<&C::FSection1>),
       props::String<&C::FINN>("INN", props::NonEmpty<&C::FINN>)});
  return table;
}

const PropertyTable& TPrintCmd::Table() {
  using C = TPrintCmd;
  static const PropertyTable table(
      TTermPrintCmd::Table(),
      {props::String<&C::FCmd>("Cmd"), props::Integer<&C::FBaudRate>("BaudRate"),
       props::String<&C::FSrvVer>("SrvVer"),
       props::String<&C::FIdCommand>("IdCommand", props::NonEmpty<&C::FIdCommand>)});
  return table;
}

const PropertyTable& TCmdResult::Table() {
  static const PropertyTable table(TPersistent::Table(),
                                   {props::String<&TCmdResult::FCmdResult>("CmdResult")});
  return table;
}

const PropertyTable& TPrnDeviceCmd::Table() {
  using C = TPrnDeviceCmd;
  static const PropertyTable table(
      TPersistent::Table(),
      {props::String<&C::FCmd>("Cmd"), props::String<&C::FHardwareName>("HardwareName"),
       props::String<&C::FPrinterPort>("PrinterPort"), props::Integer<&C::FBaudRate>("BaudRate"),
       props::String<&C::FPassword>("Password"), props::String<&C::FText>("Text"),
       props::Currency<&C::FSumm0>("Summ0"), props::Currency<&C::FSumm1>("Summ1"),
       props::Word<&C::FTimeOutSec>("TimeOutSec"), props::Boolean<&C::FCut>("Cut"),
       props::Boolean<&C::FCopy>("Copy")});
  return table;
}

const PropertyTable& TPrintRes::Table() {
  using C = TPrintRes;
  static const PropertyTable table(
      TPersistent::Table(),
      {props::String<&C::FNetError>("NetError", props::NonEmpty<&C::FNetError>),
       props::String<&C::FError>("Error", props::NonEmpty<&C::FError>),
       props::String<&C::FFiscalText>("FiscalText", props::NonEmpty<&C::FFiscalText>),
       props::String<&C::FVersion>("Version", props::NonEmpty<&C::FVersion>),
       props::String<&C::FLog>("Log", props::NonEmpty<&C::FLog>)});
  return table;
}

const PropertyTable& TInitPrintRes::Table() {
  using C = TInitPrintRes;
  static const PropertyTable table(TPrintRes::Table(),
                                   {props::String<&C::FSerialNo, &C::SetSerialNo>("SerialNo"),
                                    props::String<&C::FINN, &C::SetINN>("INN")});
  return table;
}

void TInitPrintRes::SetINN(std::string value) {
  FINN = NormalizeNumber(std::move(value));
}

void TInitPrintRes::SetSerialNo(std::string value) {
  FSerialNo = NormalizeNumber(std::move(value));
}

const PropertyTable& TTermPrintRes::Table() {
  using C = TTermPrintRes;
  static const PropertyTable table(
      TInitPrintRes::Table(),
      {props::String<&C::FKKM>("KKM"), props::String<&C::FRegNo>("RegNo"),
       props::String<&C::FEKLZNo>("EKLZNo"), props::String<&C::FOperNo>("OperNo"),
       props::String<&C::FKPKno>("KPKno"), props::String<&C::FKPKvalue>("KPKvalue"),
       props::Int64<&C::FDocNo>("DocNo"), props::Integer<&C::FCheckNo>("CheckNo"),
       props::DateTime<&C::FCheckDT>("CheckDT"), props::Currency<&C::FSumm0>("Summ0"),
       props::Currency<&C::FSumm1>("Summ1"), props::Integer<&C::FCicleNo>("CicleNo")});
  return table;
}

const PropertyTable& TPrnZREPRes::Table() {
  using C = TPrnZREPRes;
  static const PropertyTable table(
      TPrintRes::Table(),
      {props::String<&C::FKKM>("KKM"), props::String<&C::FSerialNo, &C::SetSerialNo>("SerialNo"),
       props::String<&C::FINN, &C::SetINN>("INN"), props::String<&C::FRegNo>("RegNo"),
       props::String<&C::FEKLZNo>("EKLZNo"), props::String<&C::FOperNo>("OperNo"),
       props::String<&C::FKPKno>("KPKno"), props::String<&C::FKPKvalue>("KPKvalue"),
       props::Integer<&C::FDocCnt>("DocCnt"), props::DateTime<&C::FStartDT>("StartDT"),
       props::DateTime<&C::FEndDT>("EndDT"), props::Int64<&C::FDocNo>("DocNo"),
       props::Integer<&C::FCicleNo>("CicleNo"), props::Currency<&C::FCicleSumm0>("CicleSumm0"),
       props::Currency<&C::FCicleSumm1>("CicleSumm1"),
       props::Currency<&C::FGrossStartSumm>("GrossStartSumm"),
       props::Currency<&C::FGrossEndSumm>("GrossEndSumm")});
  return table;
}

void TPrnZREPRes::SetINN(std::string value) {
  FINN = NormalizeNumber(std::move(value));
}

void TPrnZREPRes::SetSerialNo(std::string value) {
  FSerialNo = NormalizeNumber(std::move(value));
}

const PropertyTable& TUpdateFile::Table() {
  using C = TUpdateFile;
  static const PropertyTable table(
      TPersistentObj::Table(),
      {props::String<&C::FName>("Name"), props::RawByteString<&C::FBody>("Body"),
       props::Integer<&C::FCRC32>("CRC32")});
  return table;
}

TUpdateInfo::TUpdateInfo() : FFiles(TPersistentObjClass::Of<TUpdateFile>(), kMaxUpdateFiles) {}

const PropertyTable& TUpdateInfo::Table() {
  using C = TUpdateInfo;
  static const PropertyTable table(TPersistent::Table(),
                                   {props::String<&C::FEXEver>("EXEver"),
                                    props::Object<&C::FFiles>("Files", "TPersistentObjArray")});
  return table;
}

}  // namespace kestrel
