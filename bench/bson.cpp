// Documents per second that the codec encodes and decodes (into a fresh
// object) for the three messages on the print path, and the same receipt
// result built and fully read with libbson, with the ratio of the two rates.
#include <benchmark/benchmark.h>
#include <bson/bson.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "bson/mapping.h"
#include "messages/messages.h"

namespace kestrel {
namespace {

const std::string kText =
    "\xD0\x9A\xD0\xB0\xD1\x81\xD1\x81\xD0\xB0 1: \xD1\x87\xD0\xB5\xD0\xBA \xE2\x84\x96 17, "
    "\xD0\xB8\xD1\x82\xD0\xBE\xD0\xB3\xD0\xBE 12.34";  // Касса 1: чек № 17, итого 12.34

void FillResult(TTermPrintRes& r) {
  r.FNetError = "no route to host";
  r.FError = "Printer is offline";
  r.FFiscalText = kText + "\r\n" + kText + "\r\n" + kText;
  r.FVersion = "2012.07.03 14:00";
  r.FLog = "open COM1; status 0x00; print; cut; close";
  r.SetSerialNo("0012345678");
  r.SetINN("7701234567");
  r.FKKM = "KKM-0042";
  r.FRegNo = "000123456789";
  r.FEKLZNo = "2345678901";
  r.FOperNo = "17";
  r.FKPKno = "00000123";
  r.FKPKvalue = "8E3A91F0";
  r.FDocNo = 1234567890123;
  r.FCheckNo = 17;
  r.FCheckDT = 41093.583333;
  r.FSumm0 = Currency::FromRaw(123400);
  r.FSumm1 = Currency::FromRaw(5000);
  r.FCicleNo = 9;
}

void FillZReport(TPrnZREPRes& r) {
  r.FVersion = "2012.07.03 14:00";
  r.FKKM = "KKM-0042";
  r.SetSerialNo("0012345678");
  r.SetINN("7701234567");
  r.FRegNo = "000123456789";
  r.FEKLZNo = "2345678901";
  r.FOperNo = "17";
  r.FKPKno = "00000123";
  r.FKPKvalue = "8E3A91F0";
  r.FDocCnt = 120;
  r.FStartDT = 41093.333333;
  r.FEndDT = 41093.916666;
  r.FDocNo = 1234567890123;
  r.FCicleNo = 9;
  r.FCicleSumm0 = Currency::FromRaw(98765400);
  r.FCicleSumm1 = Currency::FromRaw(1234500);
  r.FGrossStartSumm = Currency::FromRaw(9876543210000);
  r.FGrossEndSumm = Currency::FromRaw(9876641975400);
}

void FillCommand(TPrintCmd& c) {
  c.FPort = "COM1";
  c.FName = "FPrint-5200K";
  c.FDealer = 12;
  c.FPwd = "0000";
  c.FTerm = 3;
  c.FDocNo = 1001;
  c.FDocDT = 41093.5;
  c.FText = kText;
  c.FSumm0 = Currency::FromRaw(123400);
  c.FINN = "7701234567";
  c.FCmd = "cashin";
  c.FBaudRate = 115200;
  c.FSrvVer = "2012.07.03 14:00";
}

template <class Message, void (*Fill)(Message&)>
void BM_Encode(benchmark::State& state) {
  Message message;
  Fill(message);
  for (auto _ : state)
    benchmark::DoNotOptimize(ObjToBSON(message));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(ObjToBSON(message).size()));
}

template <class Message, void (*Fill)(Message&)>
void BM_Decode(benchmark::State& state) {
  Message original;
  Fill(original);
  const TBSON doc = ObjToBSON(original);
  for (auto _ : state) {
    Message message;
    BSONToObj(doc, message);
    benchmark::DoNotOptimize(message);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(doc.size()));
}

BENCHMARK(BM_Encode<TTermPrintRes, FillResult>)->Name("Encode/TTermPrintRes");
BENCHMARK(BM_Decode<TTermPrintRes, FillResult>)->Name("Decode/TTermPrintRes");
BENCHMARK(BM_Encode<TPrnZREPRes, FillZReport>)->Name("Encode/TPrnZREPRes");
BENCHMARK(BM_Decode<TPrnZREPRes, FillZReport>)->Name("Decode/TPrnZREPRes");
BENCHMARK(BM_Encode<TPrintCmd, FillCommand>)->Name("Encode/TPrintCmd");
BENCHMARK(BM_Decode<TPrintCmd, FillCommand>)->Name("Decode/TPrintCmd");

// The receipt result as a plain struct, for libbson to build from and read into.
struct PlainResult {
  std::string NetError, Error, FiscalText, Version, Log, SerialNo, INN, KKM, RegNo, EKLZNo, OperNo,
      KPKno, KPKvalue;
  std::int64_t DocNo = 0;
  std::int32_t CheckNo = 0;
  double CheckDT = 0;
  double Summ0 = 0;
  double Summ1 = 0;
  std::int32_t CicleNo = 0;
};

PlainResult PlainFrom(const TTermPrintRes& r) {
  return {r.FNetError,
          r.FError,
          r.FFiscalText,
          r.FVersion,
          r.FLog,
          r.SerialNo(),
          r.INN(),
          r.FKKM,
          r.FRegNo,
          r.FEKLZNo,
          r.FOperNo,
          r.FKPKno,
          r.FKPKvalue,
          r.FDocNo,
          r.FCheckNo,
          r.FCheckDT,
          r.FSumm0.Amount(),
          r.FSumm1.Amount(),
          r.FCicleNo};
}

void AppendText(bson_t* doc, const char* name, const std::string& value) {
  bson_append_utf8(doc, name, -1, value.data(), static_cast<int>(value.size()));
}

TBSON LibbsonEncode(const PlainResult& r) {
  bson_t doc;
  bson_init(&doc);
  AppendText(&doc, "NetError", r.NetError);
  AppendText(&doc, "Error", r.Error);
  AppendText(&doc, "FiscalText", r.FiscalText);
  AppendText(&doc, "Version", r.Version);
  AppendText(&doc, "Log", r.Log);
  AppendText(&doc, "SerialNo", r.SerialNo);
  AppendText(&doc, "INN", r.INN);
  AppendText(&doc, "KKM", r.KKM);
  AppendText(&doc, "RegNo", r.RegNo);
  AppendText(&doc, "EKLZNo", r.EKLZNo);
  AppendText(&doc, "OperNo", r.OperNo);
  AppendText(&doc, "KPKno", r.KPKno);
  AppendText(&doc, "KPKvalue", r.KPKvalue);
  bson_append_int64(&doc, "DocNo", -1, r.DocNo);
  bson_append_int32(&doc, "CheckNo", -1, r.CheckNo);
  bson_append_date_time(&doc, "CheckDT", -1, DateTimeToBSONTime(r.CheckDT));
  bson_append_double(&doc, "Summ0", -1, r.Summ0);
  bson_append_double(&doc, "Summ1", -1, r.Summ1);
  bson_append_int32(&doc, "CicleNo", -1, r.CicleNo);
  TBSON bytes(reinterpret_cast<const char*>(bson_get_data(&doc)), doc.len);
  bson_destroy(&doc);
  return bytes;
}

std::string* TextField(PlainResult& r, std::string_view key) {
  static const std::pair<std::string_view, std::string PlainResult::*> kFields[] = {
      {"NetError", &PlainResult::NetError},
      {"Error", &PlainResult::Error},
      {"FiscalText", &PlainResult::FiscalText},
      {"Version", &PlainResult::Version},
      {"Log", &PlainResult::Log},
      {"SerialNo", &PlainResult::SerialNo},
      {"INN", &PlainResult::INN},
      {"KKM", &PlainResult::KKM},
      {"RegNo", &PlainResult::RegNo},
      {"EKLZNo", &PlainResult::EKLZNo},
      {"OperNo", &PlainResult::OperNo},
      {"KPKno", &PlainResult::KPKno},
      {"KPKvalue", &PlainResult::KPKvalue}};
  for (const auto& [name, field] : kFields) {
    if (name == key)
      return &(r.*field);
  }
  return nullptr;
}

void ReadOther(PlainResult& r, const bson_iter_t& iter, std::string_view key) {
  if (key == "DocNo")
    r.DocNo = bson_iter_int64(&iter);
  else if (key == "CheckNo")
    r.CheckNo = bson_iter_int32(&iter);
  else if (key == "CheckDT")
    r.CheckDT = BSONTimeToDateTime(bson_iter_date_time(&iter));
  else if (key == "Summ0")
    r.Summ0 = bson_iter_double(&iter);
  else if (key == "Summ1")
    r.Summ1 = bson_iter_double(&iter);
  else if (key == "CicleNo")
    r.CicleNo = bson_iter_int32(&iter);
}

// Reads every element into the struct. With `check_utf8` each text is
// checked first, as the codec does (it repairs what fails).
bool LibbsonDecode(const TBSON& bytes, PlainResult& r, bool check_utf8) {
  bson_t doc;
  if (!bson_init_static(&doc, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
    return false;
  bson_iter_t iter;
  if (!bson_iter_init(&iter, &doc))
    return false;
  while (bson_iter_next(&iter)) {
    const std::string_view key(bson_iter_key(&iter), bson_iter_key_len(&iter));
    if (BSON_ITER_HOLDS_UTF8(&iter)) {
      std::uint32_t length = 0;
      const char* text = bson_iter_utf8(&iter, &length);
      if (check_utf8 && !bson_utf8_validate(text, length, false))
        return false;
      if (std::string* field = TextField(r, key))
        field->assign(text, length);
    } else {
      ReadOther(r, iter, key);
    }
  }
  return iter.err_off == 0;
}

void BM_LibbsonEncode(benchmark::State& state) {
  TTermPrintRes result;
  FillResult(result);
  const PlainResult plain = PlainFrom(result);
  for (auto _ : state)
    benchmark::DoNotOptimize(LibbsonEncode(plain));
  state.SetItemsProcessed(state.iterations());
}

void BM_LibbsonDecode(benchmark::State& state, bool check_utf8) {
  TTermPrintRes result;
  FillResult(result);
  const TBSON doc = LibbsonEncode(PlainFrom(result));
  for (auto _ : state) {
    PlainResult plain;
    if (!LibbsonDecode(doc, plain, check_utf8))
      state.SkipWithError("libbson refused the document");
    benchmark::DoNotOptimize(plain);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_LibbsonEncode)->Name("Encode/libbson/TTermPrintRes");
BENCHMARK_CAPTURE(BM_LibbsonDecode, plain, false)->Name("Decode/libbson/TTermPrintRes");
BENCHMARK_CAPTURE(BM_LibbsonDecode, utf8, true)->Name("Decode/libbson+utf8/TTermPrintRes");

// Keeps each benchmark's documents per second (the median when repeated)
// for the ratios printed at the end.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto found = run.counters.find("items_per_second");
      if (found == run.counters.end())
        continue;
      if (run.aggregate_name.empty() || run.aggregate_name == "median")
        rates_[run.run_name.str()] = found->second.value;
    }
  }
  void PrintRatio(const char* what, const std::string& ours, const std::string& theirs) const {
    const auto a = rates_.find(ours);
    const auto b = rates_.find(theirs);
    if (a == rates_.end() || b == rates_.end() || b->second <= 0)
      return;
    std::printf("%s TTermPrintRes: %.0f docs/s, libbson %.0f docs/s, ratio %.2f\n", what, a->second,
                b->second, a->second / b->second);
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kestrel::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("encode", "Encode/TTermPrintRes", "Encode/libbson/TTermPrintRes");
  reporter.PrintRatio("decode", "Decode/TTermPrintRes", "Decode/libbson/TTermPrintRes");
  reporter.PrintRatio("decode", "Decode/TTermPrintRes", "Decode/libbson+utf8/TTermPrintRes");
  benchmark::Shutdown();
  return 0;
}
