#include "messages/messages.h"

#include <gtest/gtest.h>

#include "support/bson_bytes.h"

#include "bson/document.h"
#include "bson/item_list.h"
#include "bson/mapping.h"

namespace kestrel {
namespace {

using testing::Bytes;

std::vector<std::string> ElementNames(const TBSON& doc) {
  TBSONDocBulder reader(doc);
  std::vector<std::string> names;
  for (int i = 0; i < reader.ItemCount(); ++i) {
    if (reader.GetNextType() == bson_bindata)
      reader.ReadBin();
    else
      reader.ReadVariant();
    names.emplace_back(reader.LastReadName());
  }
  return names;
}

const std::string kCyrillic =
    "\xD0\x9A\xD0\xB0\xD1\x81\xD1\x81\xD0\xB0 \xE2\x84\x96 1";  // Касса № 1

TEST(MessageBytes, EnumComsRequest) {
  TEnumCOMs request;
  request.FEnumCOMs = true;
  EXPECT_EQ(ObjToBSON(request), Bytes({0x10, 0, 0, 0, 0x08, 0x45, 0x6E, 0x75, 0x6D, 0x43, 0x4F,
                                       0x4D, 0x73, 0x00, 0x01, 0x00}));
}

TEST(MessageBytes, EnumComsAnswerBothWays) {
  const TBSON bytes = Bytes({0x14, 0, 0, 0, 0x02, 0x43, 0x4F, 0x4D, 0x73, 0x00,
                             0x05, 0, 0, 0, 0x43, 0x4F, 0x4D, 0x31, 0x00, 0x00});
  TEnumCOMsRes answer;
  answer.FCOMs = "COM1";
  EXPECT_EQ(ObjToBSON(answer), bytes);
  TEnumCOMsRes decoded;
  BSONToObj(bytes, decoded);
  EXPECT_EQ(decoded.FCOMs, "COM1");
}

TEST(MessageOrder, PrintCommandWithOnlySumm1) {
  TPrintCmd cmd;
  cmd.FSumm1 = Currency::FromRaw(125000);
  const std::vector<std::string> expected = {"Port", "Name",     "Dealer", "Pwd",
                                             "Term", "DocNo",    "DocDT",  "Summ1",
                                             "Cmd",  "BaudRate", "SrvVer"};
  const TBSON doc = ObjToBSON(cmd);
  EXPECT_EQ(ElementNames(doc), expected);
  EXPECT_NE(doc.find("Cmd"), std::string::npos);
}

TEST(MessageOrder, HostHidesPortAndIsNeverWritten) {
  TPrintCmd cmd;
  cmd.FHost = "srv";
  cmd.FPort = "COM3";
  const auto with_host = ElementNames(ObjToBSON(cmd));
  EXPECT_EQ(with_host.front(), "Name");
  EXPECT_EQ(std::count(with_host.begin(), with_host.end(), "Port"), 0);
  EXPECT_EQ(std::count(with_host.begin(), with_host.end(), "Host"), 0);
  cmd.FHost.clear();
  EXPECT_EQ(ElementNames(ObjToBSON(cmd)).front(), "Port");
  // Host is still accepted on reading.
  TPrintCmd decoded;
  BSONToObj(TBSONDocBulder{"Host", "h"}.AsString(), decoded);
  EXPECT_EQ(decoded.FHost, "h");
}

TEST(MessageOrder, ResultWithoutErrorStillCarriesItsOwnProperties) {
  TTermPrintRes result;
  const std::vector<std::string> expected = {"SerialNo", "INN",   "KKM",      "RegNo",  "EKLZNo",
                                             "OperNo",   "KPKno", "KPKvalue", "DocNo",  "CheckNo",
                                             "CheckDT",  "Summ0", "Summ1",    "CicleNo"};
  EXPECT_EQ(ElementNames(ObjToBSON(result)), expected);
  result.FError = "e";
  EXPECT_EQ(ElementNames(ObjToBSON(result))[0], "Error");
}

TEST(MessageOrder, DeviceCommandWritesAllElevenProperties) {
  TPrnDeviceCmd cmd;
  const std::vector<std::string> expected = {
      "Cmd",   "HardwareName", "PrinterPort", "BaudRate", "Password", "Text",
      "Summ0", "Summ1",        "TimeOutSec",  "Cut",      "Copy"};
  const TBSON doc = ObjToBSON(cmd);
  EXPECT_EQ(ElementNames(doc), expected);
  TBSONDocBulder reader(doc);
  for (int i = 0; i < 9; ++i)
    reader.ReadVariant();
  EXPECT_FALSE(reader.ReadBool());
  EXPECT_FALSE(reader.ReadBool());
}

TEST(MessageOrder, ZReportResultNamesGross) {
  TPrnZREPRes result;
  const auto names = ElementNames(ObjToBSON(result));
  ASSERT_EQ(names.size(), 17u);
  EXPECT_EQ(names.front(), "KKM");
  EXPECT_EQ(names[15], "GrossStartSumm");
  EXPECT_EQ(names[16], "GrossEndSumm");
}

TEST(MessageValues, CurrencyIsRoundedToFourPlacesOnReading) {
  TPrintCmd cmd;
  BSONToObj(TBSONDocBulder{"Summ0", 12.345678}.AsString(), cmd);
  EXPECT_EQ(cmd.FSumm0.Raw(), 123457);
  cmd.FSumm1 = Currency::FromRaw(123400);
  TBSONDocBulder reader(ObjToBSON(cmd));
  for (int i = 0; i < 7; ++i)
    reader.ReadVariant();
  EXPECT_EQ(reader.ReadDouble(), 12.3457);
  EXPECT_EQ(reader.ReadDouble(), 12.34);
}

TEST(MessageValues, SerialAndTaxpayerNumbersAreNormalisedOnReading) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0012", "12"}, {"-0", "0"},
      {"$1F", "31"},  {" 42", "42"},
      {"42 ", "42 "}, {"12a", "12a"},
      {"", ""},       {"99999999999999999999", "99999999999999999999"}};
  for (const auto& [text, stored] : cases) {
    TPrnZREPRes zrep;
    BSONToObj(TBSONDocBulder{"INN", std::string_view(text), "SerialNo", std::string_view(text)}
                  .AsString(),
              zrep);
    EXPECT_EQ(zrep.INN(), stored) << text;
    EXPECT_EQ(zrep.SerialNo(), stored) << text;
    TTermPrintRes term;
    BSONToObj(TBSONDocBulder{"INN", std::string_view(text)}.AsString(), term);
    EXPECT_EQ(term.INN(), stored) << text;
  }
}

TEST(MessageValues, UpdatePackageWithoutFilesHasAnEmptyArray) {
  TUpdateInfo info;
  info.FEXEver = "2012.07.03 14:00";
  TBSONDocBulder reader(ObjToBSON(info));
  EXPECT_EQ(reader.ReadUTF8(), "2012.07.03 14:00");
  EXPECT_EQ(reader.ReadDoc(true), Bytes({5, 0, 0, 0, 0}));
}

TEST(MessageValues, UpdatePackageFilesAreAnArrayOfDocuments) {
  TUpdateInfo info;
  for (int i = 0; i < 2; ++i) {
    auto& file = static_cast<TUpdateFile&>(*info.Files().Add());
    file.FName = "f" + std::to_string(i);
    file.FBody = std::string("\x00\x01", 2);
  }
  TBSONDocBulder reader(ObjToBSON(info));
  reader.ReadUTF8();
  TBSONDocBulder files(reader.ReadDoc(true));
  EXPECT_EQ(files.ItemCount(), 2);
  EXPECT_EQ(ElementNames(files.AsString()), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(files.GetNextType(), bson_object);

  TUpdateInfo decoded;
  decoded.Files().Add();
  decoded.Files().Add();
  decoded.Files().Add();
  BSONToObj(ObjToBSON(info), decoded);
  ASSERT_EQ(decoded.Files().Count(), 2);
  EXPECT_EQ(static_cast<TUpdateFile&>(*decoded.Files().Items(1)).FName, "f1");
}

TEST(MessageValues, NullFilesElementKeepsTheOwnedArray) {
  TUpdateInfo info;
  info.Files().Add();
  TBSONDocBulder doc;
  doc.WriteNull("Files");
  BSONToObj(doc.AsString(), info);
  EXPECT_EQ(info.Files().Count(), 1);
}

template <class Message>
void ExpectStableRoundTrip(const Message& message) {
  const TBSON first = ObjToBSON(message);
  Message decoded;
  BSONToObj(first, decoded);
  EXPECT_EQ(ObjToBSON(decoded), first);
  // Under the other options the same document reads the same way.
  Message cleared;
  BSONToObj(first, cleared, {bsoClearObjectBeforeRead});
  EXPECT_EQ(ObjToBSON(cleared), first);
}

TEST(MessageRoundTrip, PrintCommand) {
  TPrintCmd cmd;
  cmd.FPort = "COM1";
  cmd.FName = kCyrillic;
  cmd.FDealer = 12;
  cmd.FPwd = "0000";
  cmd.FTerm = 3;
  cmd.FDocNo = 1001;
  cmd.FDocDT = 41093.5;
  cmd.FText = kCyrillic + "\r\n";
  cmd.FSumm0 = Currency::FromRaw(15000);
  cmd.FSumm1 = Currency::FromRaw(-1);
  cmd.FSection0 = 1;
  cmd.FSection1 = 2;
  cmd.FINN = "7701234567";
  cmd.FCmd = "cashin";
  cmd.FBaudRate = 115200;
  cmd.FSrvVer = "2012.07.03 14:00";
  ExpectStableRoundTrip(cmd);
  TPrintCmd decoded;
  BSONToObj(ObjToBSON(cmd), decoded);
  EXPECT_EQ(decoded.FName, kCyrillic);
  EXPECT_EQ(decoded.FSumm1.Raw(), -1);
  EXPECT_EQ(decoded.FDocDT, 41093.5);
  EXPECT_EQ(decoded.FINN, "7701234567");
}

TEST(MessageRoundTrip, DeviceCommand) {
  TPrnDeviceCmd cmd;
  cmd.FCmd = "zrep";
  cmd.FHardwareName = kCyrillic;
  cmd.FPrinterPort = "COM2";
  cmd.FBaudRate = 9600;
  cmd.FPassword = "pw";
  cmd.FText = kCyrillic;
  cmd.FSumm0 = Currency::FromRaw(1);
  cmd.FSumm1 = Currency::FromRaw(999999999);
  cmd.FTimeOutSec = 65535;
  cmd.FCut = true;
  cmd.FCopy = true;
  ExpectStableRoundTrip(cmd);
  TPrnDeviceCmd decoded;
  BSONToObj(ObjToBSON(cmd), decoded);
  EXPECT_EQ(decoded.FTimeOutSec, 65535);
  EXPECT_TRUE(decoded.FCopy);
}

TEST(MessageRoundTrip, ReceiptResult) {
  TTermPrintRes result;
  result.FNetError = "net";
  result.FError = kCyrillic;
  result.FFiscalText = kCyrillic;
  result.FVersion = "1.0";
  result.FLog = "log";
  result.SetSerialNo("00123");
  result.SetINN("7701234567");
  result.FKKM = "kkm";
  result.FRegNo = "reg";
  result.FEKLZNo = "eklz";
  result.FOperNo = "op";
  result.FKPKno = "kpk";
  result.FKPKvalue = "kv";
  result.FDocNo = std::int64_t{1} << 40;
  result.FCheckNo = 17;
  result.FCheckDT = 41093.75;
  result.FSumm0 = Currency::FromRaw(123400);
  result.FSumm1 = Currency::FromRaw(5);
  result.FCicleNo = 9;
  ExpectStableRoundTrip(result);
  TTermPrintRes decoded;
  BSONToObj(ObjToBSON(result), decoded);
  EXPECT_EQ(decoded.SerialNo(), "123");
  EXPECT_EQ(decoded.FError, kCyrillic);
  EXPECT_EQ(decoded.FDocNo, std::int64_t{1} << 40);
  EXPECT_EQ(decoded.FCheckDT, 41093.75);
  EXPECT_FALSE(decoded.FSended);
}

TEST(MessageRoundTrip, ZReportResult) {
  TPrnZREPRes result;
  result.FError = kCyrillic;
  result.FKKM = kCyrillic;
  result.SetSerialNo("$FF");
  result.SetINN("12");
  result.FRegNo = "r";
  result.FEKLZNo = "e";
  result.FOperNo = "o";
  result.FKPKno = "k";
  result.FKPKvalue = "v";
  result.FDocCnt = 4;
  result.FStartDT = 41000.5;
  result.FEndDT = 41093.5;
  result.FDocNo = 77;
  result.FCicleNo = 3;
  result.FCicleSumm0 = Currency::FromRaw(1);
  result.FCicleSumm1 = Currency::FromRaw(2);
  result.FGrossStartSumm = Currency::FromRaw(3);
  result.FGrossEndSumm = Currency::FromRaw(4);
  ExpectStableRoundTrip(result);
  TPrnZREPRes decoded;
  BSONToObj(ObjToBSON(result), decoded);
  EXPECT_EQ(decoded.SerialNo(), "255");
  EXPECT_EQ(decoded.FGrossEndSumm.Raw(), 4);
  EXPECT_EQ(decoded.FStartDT, 41000.5);
}

TEST(MessageRoundTrip, ListingAndUpdateMessages) {
  TEnumCOMs request;
  request.FEnumCOMs = true;
  ExpectStableRoundTrip(request);
  TEnumCOMsRes answer;
  answer.FCOMs = "COM1\r\nCOM2\r\n";
  ExpectStableRoundTrip(answer);

  TUpdateInfo info;
  info.FEXEver = kCyrillic;
  auto& file = static_cast<TUpdateFile&>(*info.Files().Add());
  file.FName = kCyrillic + ".exe";
  file.FBody = std::string("MZ\x00\xFF\x90", 5);
  file.FCRC32 = -123456789;
  const TBSON first = ObjToBSON(info);
  TUpdateInfo decoded;
  BSONToObj(first, decoded);
  EXPECT_EQ(ObjToBSON(decoded), first);
  const auto& back = static_cast<TUpdateFile&>(*decoded.Files().Items(0));
  EXPECT_EQ(back.FName, kCyrillic + ".exe");
  EXPECT_EQ(back.FBody, file.FBody);
  EXPECT_EQ(back.FCRC32, -123456789);
  EXPECT_EQ(ElementNames(first).front(), "EXEver");
}

TEST(MessageRead, MalformedUtf8IsRepairedBeforeItIsReEncoded) {
  TTermPrintRes result;
  TBSONDocBulder doc;
  doc.WriteUFT8("KKM", "a\xFF\xC0z");
  BSONToObj(doc.AsString(), result);
  EXPECT_EQ(result.FKKM, "a\xEF\xBF\xBD\xEF\xBF\xBDz");
}

}  // namespace
}  // namespace kestrel
