#include "messages/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {
namespace {

using Names = std::vector<std::string>;

// Every property as "Name:type", in table order.
Names Schema(const TPersistent& object) {
  Names schema;
  for (const PropInfo& p : object.Properties().All())
    schema.push_back(std::string(p.name) + ":" + std::string(p.type_name));
  return schema;
}

// The names of the properties that would be written, in order.
Names Written(const TPersistent& object) {
  Names names;
  for (const PropInfo& p : object.Properties().All()) {
    if (p.IsStored(object))
      names.emplace_back(p.name);
  }
  return names;
}

// Reads each property through its accessor and reports the first that is not
// empty, zero or false.
std::string FirstNonDefault(const TPersistent& object) {
  for (const PropInfo& p : object.Properties().All()) {
    bool is_default = true;
    if (p.get_ordinal)
      is_default = p.get_ordinal(object) == 0;
    else if (p.get_float)
      is_default = p.get_float(object) == 0.0;
    else if (p.get_string)
      is_default = p.get_string(object).empty();
    else if (p.get_int64)
      is_default = p.get_int64(object) == 0;
    if (!is_default)
      return std::string(p.name);
  }
  return "";
}

TEST(MessageSchema, PrintCommand) {
  const Names term = {"Host:string",      "Port:string",    "Name:string",    "Dealer:Integer",
                      "Pwd:string",       "Term:Integer",   "DocNo:Integer",  "DocDT:TDateTime",
                      "Text:string",      "Summ0:Currency", "Summ1:Currency", "Section0:Integer",
                      "Section1:Integer", "INN:string"};
  EXPECT_EQ(Schema(TTermPrintCmd()), term);
  Names print = term;
  print.insert(print.end(),
               {"Cmd:string", "BaudRate:Integer", "SrvVer:string", "IdCommand:string"});
  EXPECT_EQ(Schema(TPrintCmd()), print);
}

TEST(MessageSchema, DeviceCommand) {
  EXPECT_EQ(Schema(TPrnDeviceCmd()),
            (Names{"Cmd:string", "HardwareName:string", "PrinterPort:string", "BaudRate:Integer",
                   "Password:string", "Text:string", "Summ0:Currency", "Summ1:Currency",
                   "TimeOutSec:Word", "Cut:Boolean", "Copy:Boolean"}));
}

const Names kPrintRes = {"NetError:string", "Error:string", "FiscalText:string", "Version:string",
                         "Log:string"};

TEST(MessageSchema, TermPrintResultExtendsInitResult) {
  Names init = kPrintRes;
  init.insert(init.end(), {"SerialNo:string", "INN:string"});
  EXPECT_EQ(Schema(TPrintRes()), kPrintRes);
  EXPECT_EQ(Schema(TInitPrintRes()), init);
  Names term = init;
  term.insert(term.end(),
              {"KKM:string", "RegNo:string", "EKLZNo:string", "OperNo:string", "KPKno:string",
               "KPKvalue:string", "DocNo:Int64", "CheckNo:Integer", "CheckDT:TDateTime",
               "Summ0:Currency", "Summ1:Currency", "CicleNo:Integer"});
  EXPECT_EQ(Schema(TTermPrintRes()), term);
}

TEST(MessageSchema, ZReportResult) {
  Names zrep = kPrintRes;
  zrep.insert(zrep.end(), {"KKM:string", "SerialNo:string", "INN:string", "RegNo:string",
                           "EKLZNo:string", "OperNo:string", "KPKno:string", "KPKvalue:string",
                           "DocCnt:Integer", "StartDT:TDateTime", "EndDT:TDateTime", "DocNo:Int64",
                           "CicleNo:Integer", "CicleSumm0:Currency", "CicleSumm1:Currency",
                           "GrossStartSumm:Currency", "GrossEndSumm:Currency"});
  EXPECT_EQ(Schema(TPrnZREPRes()), zrep);
}

TEST(MessageSchema, ListingAndUpdate) {
  EXPECT_EQ(Schema(TEnumCOMs()), (Names{"EnumCOMs:Boolean"}));
  EXPECT_EQ(Schema(TEnumCOMsRes()), (Names{"COMs:string"}));
  EXPECT_EQ(Schema(TUpdateFile()), (Names{"Name:string", "Body:RawByteString", "CRC32:Integer"}));
  EXPECT_EQ(Schema(TUpdateInfo()), (Names{"EXEver:string", "Files:TPersistentObjArray"}));
}

TEST(MessageDefaults, EveryPropertyStartsEmptyOrZero) {
  std::vector<std::unique_ptr<TPersistent>> messages;
  messages.push_back(std::make_unique<TEnumCOMs>());
  messages.push_back(std::make_unique<TEnumCOMsRes>());
  messages.push_back(std::make_unique<TPrintCmd>());
  messages.push_back(std::make_unique<TPrnDeviceCmd>());
  messages.push_back(std::make_unique<TTermPrintRes>());
  messages.push_back(std::make_unique<TPrnZREPRes>());
  messages.push_back(std::make_unique<TUpdateFile>());
  messages.push_back(std::make_unique<TUpdateInfo>());
  for (const auto& message : messages)
    EXPECT_EQ(FirstNonDefault(*message), "") << message->ClassName();
  EXPECT_FALSE(TTermPrintRes().FSended);
}

TEST(PrintCmdStored, HostIsNeverWrittenAndHidesPort) {
  TPrintCmd cmd;
  cmd.FHost = "server";
  cmd.FPort = "COM3";
  const Names with_host = Written(cmd);
  EXPECT_EQ(with_host.front(), "Name");
  EXPECT_EQ(std::count(with_host.begin(), with_host.end(), "Host"), 0);
  EXPECT_EQ(std::count(with_host.begin(), with_host.end(), "Port"), 0);
  cmd.FHost.clear();
  EXPECT_EQ(Written(cmd).front(), "Port");
}

TEST(PrintCmdStored, OnlyTheSecondAmountWritten) {
  TPrintCmd cmd;
  cmd.FSumm1 = Currency::FromAmount(12.50);
  EXPECT_EQ(Written(cmd), (Names{"Port", "Name", "Dealer", "Pwd", "Term", "DocNo", "DocDT", "Summ1",
                                 "Cmd", "BaudRate", "SrvVer"}));
}

TEST(PrintCmdStored, OptionalPropertiesAppearWhenSet) {
  TPrintCmd cmd;
  cmd.FText = "line";
  cmd.FSumm0 = Currency::FromRaw(1);
  cmd.FSection0 = -1;
  cmd.FSection1 = 2;
  cmd.FINN = "7700";
  EXPECT_EQ(Written(cmd),
            (Names{"Port", "Name", "Dealer", "Pwd", "Term", "DocNo", "DocDT", "Text", "Summ0",
                   "Section0", "Section1", "INN", "Cmd", "BaudRate", "SrvVer"}));
}

TEST(ResultStored, EmptyTextsOfTheBaseAreLeftOut) {
  TTermPrintRes res;
  EXPECT_EQ(Written(res),
            (Names{"SerialNo", "INN", "KKM", "RegNo", "EKLZNo", "OperNo", "KPKno", "KPKvalue",
                   "DocNo", "CheckNo", "CheckDT", "Summ0", "Summ1", "CicleNo"}));
  res.FError = "Ошибка";
  res.FLog = "log";
  const Names written = Written(res);
  EXPECT_EQ(Names(written.begin(), written.begin() + 3), (Names{"Error", "Log", "SerialNo"}));
}

TEST(ResultStored, ZReportWritesItsOwnPropertiesAlways) {
  TPrnZREPRes res;
  res.FVersion = "1.0";
  const Names written = Written(res);
  ASSERT_EQ(written.size(), 18u);
  EXPECT_EQ(written.front(), "Version");
  EXPECT_EQ(written.back(), "GrossEndSumm");
}

TEST(OtherStored, DeviceCommandListingAndUpdateWriteEverything) {
  TPrnDeviceCmd device;
  EXPECT_EQ(Written(device).size(), 11u);
  EXPECT_FALSE(device.FCut);
  EXPECT_FALSE(device.FCopy);
  EXPECT_EQ(Written(TEnumCOMs()), (Names{"EnumCOMs"}));
  EXPECT_EQ(Written(TEnumCOMsRes()), (Names{"COMs"}));
  EXPECT_EQ(Written(TUpdateFile()), (Names{"Name", "Body", "CRC32"}));
  EXPECT_EQ(Written(TUpdateInfo()), (Names{"EXEver", "Files"}));
}

struct NormalisationCase {
  std::string input;
  std::string stored;
};

class Normalisation : public ::testing::TestWithParam<NormalisationCase> {};

// The four normalising setters, and the table's accessor that a reader uses.
std::vector<std::function<std::string(const std::string&)>> Setters() {
  return {
      [](const std::string& v) {
        TInitPrintRes r;
        r.SetINN(v);
        return r.INN();
      },
      [](const std::string& v) {
        TInitPrintRes r;
        r.SetSerialNo(v);
        return r.SerialNo();
      },
      [](const std::string& v) {
        TPrnZREPRes r;
        r.SetINN(v);
        return r.INN();
      },
      [](const std::string& v) {
        TPrnZREPRes r;
        r.SetSerialNo(v);
        return r.SerialNo();
      },
      [](const std::string& v) {
        TTermPrintRes r;
        r.Properties().FindIgnoringCase("SerialNo")->set_string(r, v);
        return r.SerialNo();
      },
      [](const std::string& v) {
        TPrnZREPRes r;
        r.Properties().FindIgnoringCase("INN")->set_string(r, v);
        return r.Properties().FindIgnoringCase("INN")->get_string(r);
      },
  };
}

TEST_P(Normalisation, EverySetterStoresTheSameForm) {
  const NormalisationCase& c = GetParam();
  for (const auto& set : Setters())
    EXPECT_EQ(set(c.input), c.stored) << "input \"" << c.input << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    WholeNumbers, Normalisation,
    ::testing::Values(NormalisationCase{"0012", "12"}, NormalisationCase{"-0", "0"},
                      NormalisationCase{"  42", "42"}, NormalisationCase{"+7", "7"},
                      NormalisationCase{"$1F", "31"}, NormalisationCase{"x1f", "31"},
                      NormalisationCase{"X10", "16"}, NormalisationCase{"0x0A", "10"},
                      NormalisationCase{"0XfF", "255"}, NormalisationCase{"-$10", "-16"},
                      NormalisationCase{"9223372036854775807", "9223372036854775807"},
                      NormalisationCase{"-9223372036854775808", "-9223372036854775808"},
                      NormalisationCase{"$7FFFFFFFFFFFFFFF", "9223372036854775807"}));

INSTANTIATE_TEST_SUITE_P(
    KeptAsTheyCome, Normalisation,
    ::testing::Values(NormalisationCase{"", ""}, NormalisationCase{"   ", "   "},
                      NormalisationCase{"12a", "12a"}, NormalisationCase{"42 ", "42 "},
                      NormalisationCase{"99999999999999999999", "99999999999999999999"},
                      NormalisationCase{"9223372036854775808", "9223372036854775808"},
                      NormalisationCase{"-9223372036854775809", "-9223372036854775809"},
                      NormalisationCase{"$8000000000000000", "$8000000000000000"},
                      NormalisationCase{"-", "-"}, NormalisationCase{"$", "$"},
                      NormalisationCase{"0x", "0x"}, NormalisationCase{"- 5", "- 5"},
                      NormalisationCase{"$1G", "$1G"}, NormalisationCase{"1F", "1F"},
                      NormalisationCase{"\t5", "\t5"}, NormalisationCase{"АБВ", "АБВ"}));

TEST(OtherSetters, PlainPropertiesAreAssignedAsTheyCome) {
  TTermPrintRes res;
  res.Properties().FindIgnoringCase("RegNo")->set_string(res, "0012");
  EXPECT_EQ(res.FRegNo, "0012");
  TPrintCmd cmd;
  cmd.Properties().FindIgnoringCase("INN")->set_string(cmd, " 0012");
  EXPECT_EQ(cmd.FINN, " 0012");
}

TEST(UpdateInfo, OwnsAnArrayOfUpdateFiles) {
  TUpdateInfo info;
  EXPECT_EQ(info.Files().Count(), 0);
  auto* file = dynamic_cast<TUpdateFile*>(info.Files().Add());
  ASSERT_NE(file, nullptr);
  file->FName = "corvid.exe";
  file->FBody = std::string("MZ\0\x90", 4);
  info.Files().Add();
  EXPECT_EQ(info.Files().Count(), 2);
  EXPECT_EQ(info.Files().Items(0), file);
}

TEST(UpdateInfo, FilesPropertyIsTheOwnedArrayAndCannotBeReplaced) {
  TUpdateInfo info;
  const PropInfo* files = info.Properties().FindIgnoringCase("Files");
  ASSERT_NE(files, nullptr);
  EXPECT_EQ(files->get_object(info), &info.Files());
  EXPECT_EQ(files->set_object, nullptr);
  auto* array = dynamic_cast<TPersistentObjArray*>(files->get_object(info));
  ASSERT_NE(array, nullptr);
  EXPECT_NE(dynamic_cast<TUpdateFile*>(array->Add()), nullptr);
}

}  // namespace
}  // namespace kestrel
