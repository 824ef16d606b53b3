// Documents per second that the codec encodes and decodes (into a fresh
// object) for the three messages on the print path, then its speed against
// libbson on the same documents: libbson builds each document from a plain
// struct and reads it back into one, without and with its UTF-8 check.
//
// The ratios do not come from two separate runs, whose host noise differs:
// short runs of the codec and of libbson alternate, each pair of them gives
// one ratio, and the median of the pairs is printed.
//   bench_bson [--pairs=N] [--ratios_only] [benchmark flags]
#include <benchmark/benchmark.h>
#include <bson/bson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The three messages as plain structs, for libbson to build from and read into.
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

struct PlainZReport {
  std::string Version, KKM, SerialNo, INN, RegNo, EKLZNo, OperNo, KPKno, KPKvalue;
  std::int32_t DocCnt = 0;
  double StartDT = 0;
  double EndDT = 0;
  std::int64_t DocNo = 0;
  std::int32_t CicleNo = 0;
  double CicleSumm0 = 0;
  double CicleSumm1 = 0;
  double GrossStartSumm = 0;
  double GrossEndSumm = 0;
};

struct PlainCommand {
  std::string Port, Name, Pwd, Text, INN, Cmd, SrvVer;
  std::int32_t Dealer = 0;
  std::int32_t Term = 0;
  std::int32_t DocNo = 0;
  double DocDT = 0;
  double Summ0 = 0;
  std::int32_t BaudRate = 0;
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

PlainZReport PlainFrom(const TPrnZREPRes& r) {
  return {r.FVersion,
          r.FKKM,
          r.SerialNo(),
          r.INN(),
          r.FRegNo,
          r.FEKLZNo,
          r.FOperNo,
          r.FKPKno,
          r.FKPKvalue,
          r.FDocCnt,
          r.FStartDT,
          r.FEndDT,
          r.FDocNo,
          r.FCicleNo,
          r.FCicleSumm0.Amount(),
          r.FCicleSumm1.Amount(),
          r.FGrossStartSumm.Amount(),
          r.FGrossEndSumm.Amount()};
}

PlainCommand PlainFrom(const TPrintCmd& c) {
  return {c.FPort, c.FName,  c.FPwd,   c.FText,           c.FINN,     c.FCmd, c.FSrvVer, c.FDealer,
          c.FTerm, c.FDocNo, c.FDocDT, c.FSumm0.Amount(), c.FBaudRate};
}

void AppendText(bson_t* doc, const char* name, const std::string& value) {
  bson_append_utf8(doc, name, -1, value.data(), static_cast<int>(value.size()));
}

void AppendDate(bson_t* doc, const char* name, double value) {
  bson_append_date_time(doc, name, -1, DateTimeToBSONTime(value));
}

TBSON Finish(bson_t* doc) {
  TBSON bytes(reinterpret_cast<const char*>(bson_get_data(doc)), doc->len);
  bson_destroy(doc);
  return bytes;
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
  AppendDate(&doc, "CheckDT", r.CheckDT);
  bson_append_double(&doc, "Summ0", -1, r.Summ0);
  bson_append_double(&doc, "Summ1", -1, r.Summ1);
  bson_append_int32(&doc, "CicleNo", -1, r.CicleNo);
  return Finish(&doc);
}

TBSON LibbsonEncode(const PlainZReport& r) {
  bson_t doc;
  bson_init(&doc);
  AppendText(&doc, "Version", r.Version);
  AppendText(&doc, "KKM", r.KKM);
  AppendText(&doc, "SerialNo", r.SerialNo);
  AppendText(&doc, "INN", r.INN);
  AppendText(&doc, "RegNo", r.RegNo);
  AppendText(&doc, "EKLZNo", r.EKLZNo);
  AppendText(&doc, "OperNo", r.OperNo);
  AppendText(&doc, "KPKno", r.KPKno);
  AppendText(&doc, "KPKvalue", r.KPKvalue);
  bson_append_int32(&doc, "DocCnt", -1, r.DocCnt);
  AppendDate(&doc, "StartDT", r.StartDT);
  AppendDate(&doc, "EndDT", r.EndDT);
  bson_append_int64(&doc, "DocNo", -1, r.DocNo);
  bson_append_int32(&doc, "CicleNo", -1, r.CicleNo);
  bson_append_double(&doc, "CicleSumm0", -1, r.CicleSumm0);
  bson_append_double(&doc, "CicleSumm1", -1, r.CicleSumm1);
  bson_append_double(&doc, "GrossStartSumm", -1, r.GrossStartSumm);
  bson_append_double(&doc, "GrossEndSumm", -1, r.GrossEndSumm);
  return Finish(&doc);
}

TBSON LibbsonEncode(const PlainCommand& c) {
  bson_t doc;
  bson_init(&doc);
  AppendText(&doc, "Port", c.Port);
  AppendText(&doc, "Name", c.Name);
  bson_append_int32(&doc, "Dealer", -1, c.Dealer);
  AppendText(&doc, "Pwd", c.Pwd);
  bson_append_int32(&doc, "Term", -1, c.Term);
  bson_append_int32(&doc, "DocNo", -1, c.DocNo);
  AppendDate(&doc, "DocDT", c.DocDT);
  AppendText(&doc, "Text", c.Text);
  bson_append_double(&doc, "Summ0", -1, c.Summ0);
  AppendText(&doc, "INN", c.INN);
  AppendText(&doc, "Cmd", c.Cmd);
  bson_append_int32(&doc, "BaudRate", -1, c.BaudRate);
  AppendText(&doc, "SrvVer", c.SrvVer);
  return Finish(&doc);
}

// One member of a plain struct that the reader fills; exactly one pointer is set.
template <class Plain>
struct PlainField {
  std::string_view name;
  std::string Plain::*text = nullptr;
  std::int32_t Plain::*int32 = nullptr;
  std::int64_t Plain::*int64 = nullptr;
  double Plain::*number = nullptr;
  double Plain::*date = nullptr;
};

template <class Plain>
std::span<const PlainField<Plain>> FieldsOf();

template <>
std::span<const PlainField<PlainResult>> FieldsOf<PlainResult>() {
  using P = PlainResult;
  static const PlainField<P> kFields[] = {{"NetError", &P::NetError},
                                          {"Error", &P::Error},
                                          {"FiscalText", &P::FiscalText},
                                          {"Version", &P::Version},
                                          {"Log", &P::Log},
                                          {"SerialNo", &P::SerialNo},
                                          {"INN", &P::INN},
                                          {"KKM", &P::KKM},
                                          {"RegNo", &P::RegNo},
                                          {"EKLZNo", &P::EKLZNo},
                                          {"OperNo", &P::OperNo},
                                          {"KPKno", &P::KPKno},
                                          {"KPKvalue", &P::KPKvalue},
                                          {.name = "DocNo", .int64 = &P::DocNo},
                                          {.name = "CheckNo", .int32 = &P::CheckNo},
                                          {.name = "CheckDT", .date = &P::CheckDT},
                                          {.name = "Summ0", .number = &P::Summ0},
                                          {.name = "Summ1", .number = &P::Summ1},
                                          {.name = "CicleNo", .int32 = &P::CicleNo}};
  return kFields;
}

template <>
std::span<const PlainField<PlainZReport>> FieldsOf<PlainZReport>() {
  using P = PlainZReport;
  static const PlainField<P> kFields[] = {{"Version", &P::Version},
                                          {"KKM", &P::KKM},
                                          {"SerialNo", &P::SerialNo},
                                          {"INN", &P::INN},
                                          {"RegNo", &P::RegNo},
                                          {"EKLZNo", &P::EKLZNo},
                                          {"OperNo", &P::OperNo},
                                          {"KPKno", &P::KPKno},
                                          {"KPKvalue", &P::KPKvalue},
                                          {.name = "DocCnt", .int32 = &P::DocCnt},
                                          {.name = "StartDT", .date = &P::StartDT},
                                          {.name = "EndDT", .date = &P::EndDT},
                                          {.name = "DocNo", .int64 = &P::DocNo},
                                          {.name = "CicleNo", .int32 = &P::CicleNo},
                                          {.name = "CicleSumm0", .number = &P::CicleSumm0},
                                          {.name = "CicleSumm1", .number = &P::CicleSumm1},
                                          {.name = "GrossStartSumm", .number = &P::GrossStartSumm},
                                          {.name = "GrossEndSumm", .number = &P::GrossEndSumm}};
  return kFields;
}

template <>
std::span<const PlainField<PlainCommand>> FieldsOf<PlainCommand>() {
  using P = PlainCommand;
  static const PlainField<P> kFields[] = {{"Port", &P::Port},
                                          {"Name", &P::Name},
                                          {.name = "Dealer", .int32 = &P::Dealer},
                                          {"Pwd", &P::Pwd},
                                          {.name = "Term", .int32 = &P::Term},
                                          {.name = "DocNo", .int32 = &P::DocNo},
                                          {.name = "DocDT", .date = &P::DocDT},
                                          {"Text", &P::Text},
                                          {.name = "Summ0", .number = &P::Summ0},
                                          {"INN", &P::INN},
                                          {"Cmd", &P::Cmd},
                                          {.name = "BaudRate", .int32 = &P::BaudRate},
                                          {"SrvVer", &P::SrvVer}};
  return kFields;
}

// Reads every element into the struct, looking each name up in the field
// list. With `check_utf8` each text is checked first, as the codec does (it
// repairs what fails).
template <class Plain>
bool LibbsonDecode(const TBSON& bytes, Plain& r, bool check_utf8) {
  bson_t doc;
  if (!bson_init_static(&doc, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
    return false;
  bson_iter_t iter;
  if (!bson_iter_init(&iter, &doc))
    return false;
  const auto fields = FieldsOf<Plain>();
  while (bson_iter_next(&iter)) {
    const std::string_view key(bson_iter_key(&iter), bson_iter_key_len(&iter));
    const auto field = std::find_if(fields.begin(), fields.end(),
                                    [&](const PlainField<Plain>& f) { return f.name == key; });
    if (field == fields.end())
      continue;
    if (field->text != nullptr && BSON_ITER_HOLDS_UTF8(&iter)) {
      std::uint32_t length = 0;
      const char* text = bson_iter_utf8(&iter, &length);
      if (check_utf8 && !bson_utf8_validate(text, length, false))
        return false;
      (r.*field->text).assign(text, length);
    } else if (field->int32 != nullptr) {
      r.*field->int32 = bson_iter_int32(&iter);
    } else if (field->int64 != nullptr) {
      r.*field->int64 = bson_iter_int64(&iter);
    } else if (field->number != nullptr) {
      r.*field->number = bson_iter_double(&iter);
    } else if (field->date != nullptr) {
      r.*field->date = BSONTimeToDateTime(bson_iter_date_time(&iter));
    }
  }
  return iter.err_off == 0;
}

// The nanoseconds that `runs` calls of `op` take.
template <class Op>
double TimeRuns(const Op& op, int runs) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i)
    op();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

double Quantile(std::vector<double> values, double q) {
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(q * (values.size() - 1));
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

struct Comparison {
  double ratio = 0;  // median of the pairs: our rate over theirs
  double low = 0;    // first and third quartiles of the pairs
  double high = 0;
  double ours_rate = 0;  // median documents per second of each side
  double theirs_rate = 0;
  std::size_t pairs = 0;
};

// About this long per run, so that a preemption spoils few runs while the
// switch from one side to the other costs little against it.
constexpr double kRunNanoseconds = 50e3;
// Runs of each side in one pair, alternating; the quickest of each counts,
// so that a pair stands even when the host's noise hit some of its runs.
constexpr std::size_t kRunsPerPair = 3;

// Times `pairs` pairs of alternating runs of `ours` and `theirs` of equal
// length, each side going first in every other run.
template <class Ours, class Theirs>
Comparison Interleave(const Ours& ours, const Theirs& theirs, std::size_t pairs) {
  // The quickest of a few tries, which the host's noise touched least.
  double each = 1e9;
  for (int i = 0; i < 5; ++i)
    each = std::min(each, std::max(TimeRuns(ours, 100), TimeRuns(theirs, 100)) / 100);
  const int runs = std::max(1, static_cast<int>(kRunNanoseconds / each));
  std::vector<double> ratios, ours_rates, theirs_rates;
  for (std::size_t pair = 0; pair < pairs; ++pair) {
    double ours_ns = 1e300;
    double theirs_ns = 1e300;
    for (std::size_t i = 0; i < kRunsPerPair; ++i) {
      if ((pair + i) % 2 == 0) {
        ours_ns = std::min(ours_ns, TimeRuns(ours, runs));
        theirs_ns = std::min(theirs_ns, TimeRuns(theirs, runs));
      } else {
        theirs_ns = std::min(theirs_ns, TimeRuns(theirs, runs));
        ours_ns = std::min(ours_ns, TimeRuns(ours, runs));
      }
    }
    ratios.push_back(theirs_ns / ours_ns);
    ours_rates.push_back(runs * 1e9 / ours_ns);
    theirs_rates.push_back(runs * 1e9 / theirs_ns);
  }
  return {Quantile(ratios, 0.5),     Quantile(ratios, 0.25),      Quantile(ratios, 0.75),
          Quantile(ours_rates, 0.5), Quantile(theirs_rates, 0.5), ratios.size()};
}

void PrintComparison(const char* operation, const char* message, const char* against,
                     const Comparison& c, bool is_goal) {
  std::printf(
      "%s %-13s vs %-13s ratio %.3f%s  (%zu pairs, quartiles %.3f-%.3f; %.0f vs %.0f docs/s)\n",
      operation, message, against, c.ratio, is_goal ? " (target >= 1.0)" : "", c.pairs, c.low,
      c.high, c.ours_rate, c.theirs_rate);
  std::fflush(stdout);
}

// Checks that libbson builds the very document the codec does, so that both
// sides work on the same bytes, and that each reads it back.
template <class Message, class Plain>
bool SameDocuments(const char* name, const TBSON& ours, const Plain& plain) {
  if (LibbsonEncode(plain) != ours) {
    std::fprintf(stderr, "bench_bson: libbson builds another %s document than the codec\n", name);
    return false;
  }
  Plain read;
  if (!LibbsonDecode(ours, read, true)) {
    std::fprintf(stderr, "bench_bson: libbson refuses the %s document\n", name);
    return false;
  }
  return true;
}

template <class Message, void (*Fill)(Message&)>
bool CompareWithLibbson(const char* name, std::size_t pairs) {
  Message original;
  Fill(original);
  const auto plain = PlainFrom(original);
  const TBSON doc = ObjToBSON(original);
  if (!SameDocuments<Message>(name, doc, plain))
    return false;

  const auto encode = [&] { benchmark::DoNotOptimize(ObjToBSON(original)); };
  const auto libbson_encode = [&] { benchmark::DoNotOptimize(LibbsonEncode(plain)); };
  PrintComparison("encode", name, "libbson", Interleave(encode, libbson_encode, pairs), true);

  const auto decode = [&] {
    Message message;
    BSONToObj(doc, message);
    benchmark::DoNotOptimize(message);
  };
  for (const bool check_utf8 : {false, true}) {
    const auto libbson_decode = [&] {
      decltype(PlainFrom(original)) read;
      benchmark::DoNotOptimize(LibbsonDecode(doc, read, check_utf8));
      benchmark::DoNotOptimize(read);
    };
    PrintComparison("decode", name, check_utf8 ? "libbson+utf8" : "libbson",
                    Interleave(decode, libbson_decode, pairs), !check_utf8);
  }
  return true;
}

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  std::size_t pairs = 1001;
  bool ratios_only = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--pairs="))
      pairs = std::max<std::size_t>(1, std::strtoul(argv[i] + arg.find('=') + 1, nullptr, 10));
    else if (arg == "--ratios_only")
      ratios_only = true;
    else
      args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (!ratios_only)
    benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  using namespace kestrel;
  std::printf(
      "Median over pairs of %zu alternating runs of %.0f us each of the ratio of the "
      "quickest runs' documents per second (above 1: the codec is faster)\n",
      kRunsPerPair, kRunNanoseconds / 1e3);
  const bool ok = CompareWithLibbson<TTermPrintRes, FillResult>("TTermPrintRes", pairs) &&
                  CompareWithLibbson<TPrnZREPRes, FillZReport>("TPrnZREPRes", pairs) &&
                  CompareWithLibbson<TPrintCmd, FillCommand>("TPrintCmd", pairs);
  return ok ? 0 : 1;
}
