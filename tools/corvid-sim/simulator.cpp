#include "simulator.h"

#include <array>
#include <functional>
#include <map>

#include "base/exception.h"
#include "base/format.h"
#include "bson/mapping.h"
#include "files/crc32.h"
#include "platform/clock.h"

namespace kestrel::tools {
namespace {

// The models the simulated driver knows (the names it is given).
constexpr std::array<std::string_view, 5> kModels = {"JARUS-01K", "JARUS-02K", "PayVPK80K",
                                                     "PayCTS2000K", "SHTRIH-MINI-FR-K"};

constexpr const char* kTaxpayerNo = "7707083893";
constexpr const char* kRegistrationNo = "0001234567";

// A command's effect: fills the tape, changes the state, and (for a
// Z-report) the report result; raises Exception for a refused command.
struct Job {
  const TPrnDeviceCmd& cmd;
  FiscalState& state;
  std::string tape;
  TTermPrintRes receipt;
  TPrnZREPRes zreport;
};

std::string Money(std::int64_t raw) {
  const std::int64_t magnitude = raw < 0 ? -raw : raw;
  return Format("%s%lld.%02lld", raw < 0 ? "-" : "", static_cast<long long>(magnitude / 10000),
                static_cast<long long>(magnitude % 10000 / 100));
}

std::string SerialNumber(const std::string& port) {
  return Format("%08u", static_cast<unsigned>(CalcCRC32(port)) % 100000000u);
}

void NeedPositive(std::int64_t raw, const char* what) {
  if (raw <= 0)
    throw Exception(Format("Неверная сумма %s: %s", what, Money(raw).c_str()));
}

void Header(Job& job, const std::string& title) {
  ++job.state.doc_no;
  ++job.state.doc_cnt;
  job.tape += Format("%s\nККМ %s № %s  ИНН %s\nДОК %lld  СМЕНА %d\n", title.c_str(),
                     job.cmd.FHardwareName.c_str(), SerialNumber(job.cmd.FPrinterPort).c_str(),
                     kTaxpayerNo, static_cast<long long>(job.state.doc_no), job.state.cicle_no);
}

void Test(Job& job) {
  Header(job, "ТЕСТ ПРИНТЕРА");
  job.tape += "СКОРОСТЬ " + std::to_string(job.cmd.FBaudRate) + "\n";
}

void Text(Job& job) {
  Header(job, "НЕФИСКАЛЬНЫЙ ДОКУМЕНТ");
  job.tape += job.cmd.FText + "\n";
}

void Receipt(Job& job, int sign) {
  NeedPositive(job.cmd.FSumm0.Raw() + job.cmd.FSumm1.Raw(), "чека");
  if (job.cmd.FSumm0.Raw() < 0 || job.cmd.FSumm1.Raw() < 0)
    throw Exception("Неверная сумма чека: отрицательная часть оплаты");
  ++job.state.check_no;
  Header(job, Format("%s № %d", sign > 0 ? "ЧЕК ПРОДАЖИ" : "ЧЕК ВОЗВРАТА", job.state.check_no));
  const std::int64_t total = job.cmd.FSumm0.Raw() + job.cmd.FSumm1.Raw();
  job.state.cicle_summ0 += sign * job.cmd.FSumm0.Raw();
  job.state.cicle_summ1 += sign * job.cmd.FSumm1.Raw();
  if (sign > 0)
    job.state.gross += total;
  job.tape += job.cmd.FText + (job.cmd.FText.empty() ? "" : "\n");
  job.tape += "НАЛИЧНЫМИ =" + Money(job.cmd.FSumm0.Raw()) +
              "\nКАРТОЙ =" + Money(job.cmd.FSumm1.Raw()) + "\nИТОГ =" + Money(total) + "\n";
}

void Cash(Job& job, int sign) {
  NeedPositive(job.cmd.FSumm0.Raw(), sign > 0 ? "внесения" : "выплаты");
  if (sign < 0 && job.cmd.FSumm0.Raw() > job.state.cicle_summ0)
    throw Exception("Недостаточно наличных в кассе: " + Money(job.state.cicle_summ0));
  Header(job, sign > 0 ? "ВНЕСЕНИЕ" : "ВЫПЛАТА");
  job.state.cicle_summ0 += sign * job.cmd.FSumm0.Raw();
  job.tape += "СУММА =" + Money(job.cmd.FSumm0.Raw()) + "\n";
}

void Totals(Job& job) {
  job.tape += "НАЛИЧНЫМИ =" + Money(job.state.cicle_summ0) +
              "\nКАРТОЙ =" + Money(job.state.cicle_summ1) +
              "\nНЕОБНУЛ. ИТОГ =" + Money(job.state.gross) + "\n";
}

void XReport(Job& job) {
  Header(job, "X-ОТЧЕТ (" + job.cmd.FCmd + ")");
  Totals(job);
}

void ZReport(Job& job, bool buffered) {
  Header(job, buffered ? "Z-ОТЧЕТ В БУФЕР" : "Z-ОТЧЕТ");
  Totals(job);
  FiscalState& s = job.state;
  TPrnZREPRes& z = job.zreport;
  z.FStartDT = s.cicle_start;
  z.FEndDT = platform::Now();
  z.FDocCnt = s.doc_cnt;
  z.FCicleNo = s.cicle_no;
  z.FCicleSumm0 = Currency::FromRaw(s.cicle_summ0);
  z.FCicleSumm1 = Currency::FromRaw(s.cicle_summ1);
  z.FGrossStartSumm = Currency::FromRaw(s.gross_start);
  z.FGrossEndSumm = Currency::FromRaw(s.gross);
  s.buffered_zreps += buffered ? 1 : 0;
  s = FiscalState{s.doc_no, 0,       s.cicle_no + 1, 0,        0,
                  0,        s.gross, s.gross,        z.FEndDT, s.buffered_zreps};
}

void PrintZBuffer(Job& job) {
  Header(job, Format("ПЕЧАТЬ БУФЕРА Z-ОТЧЕТОВ: %d", job.state.buffered_zreps));
  job.state.buffered_zreps = 0;
}

using Action = std::function<void(Job&)>;

const std::map<std::string, Action, std::less<>>& Commands() {
  static const std::map<std::string, Action, std::less<>> commands = {
      {"test", Test},
      {"text", Text},
      {"sale", [](Job& job) { Receipt(job, 1); }},
      {"refund", [](Job& job) { Receipt(job, -1); }},
      {"cashin", [](Job& job) { Cash(job, 1); }},
      {"cashout", [](Job& job) { Cash(job, -1); }},
      {"xrep", XReport},
      {"xrepsec", XReport},
      {"xrepop", XReport},
      {"xreptax", XReport},
      {"zrep", [](Job& job) { ZReport(job, false); }},
      {"zbuf", [](Job& job) { ZReport(job, true); }},
      {"printzbuf", PrintZBuffer},
  };
  return commands;
}

void CheckDevice(const TPrnDeviceCmd& cmd) {
  if (cmd.FPrinterPort.empty())
    throw Exception("Не задан порт принтера");
  for (std::string_view model : kModels) {
    if (model == cmd.FHardwareName)
      return;
  }
  throw Exception("Неизвестная модель принтера " + cmd.FHardwareName);
}

template <class Result>
void FillIdentity(const Job& job, const std::string& version, Result& result) {
  result.FVersion = version;
  result.FFiscalText = job.tape;
  result.FLog = "corvid-sim: " + job.cmd.FCmd + " on " + job.cmd.FPrinterPort;
  result.FKKM = job.cmd.FHardwareName;
  result.SetSerialNo(SerialNumber(job.cmd.FPrinterPort));
  result.SetINN(kTaxpayerNo);
  result.FRegNo = kRegistrationNo;
  result.FEKLZNo = "77" + SerialNumber(job.cmd.FPrinterPort);
  result.FOperNo = std::to_string(job.state.doc_no);
  result.FKPKno = std::to_string(job.state.doc_no);
  result.FKPKvalue = Format("%08u", static_cast<unsigned>(CalcCRC32(job.tape)) % 100000000u);
  result.FDocNo = job.state.doc_no;
  result.FCicleNo = job.state.cicle_no;
}

std::string ResultDocument(Job& job, const std::string& version) {
  if (job.cmd.FCmd == "zrep" || job.cmd.FCmd == "zbuf") {
    FillIdentity(job, version, job.zreport);
    job.zreport.FCicleNo = job.state.cicle_no - 1;
    return ObjToBSON(job.zreport);
  }
  FillIdentity(job, version, job.receipt);
  job.receipt.FCheckNo = job.state.check_no;
  job.receipt.FCheckDT = platform::Now();
  job.receipt.FSumm0 = job.cmd.FSumm0;
  job.receipt.FSumm1 = job.cmd.FSumm1;
  return ObjToBSON(job.receipt);
}

}  // namespace

SimulatedOutcome Execute(const TPrnDeviceCmd& cmd, FiscalState& state, const std::string& version) {
  const auto command = Commands().find(cmd.FCmd);
  FiscalState changed = state;
  Job job{cmd, changed, {}, {}, {}};
  try {
    if (command == Commands().end())
      throw Exception("Неизвестная команда " + cmd.FCmd);
    CheckDevice(cmd);
    command->second(job);
  } catch (const Exception& refused) {
    return {ErrorResult(cmd.FCmd, refused.what(), version), ""};
  }
  state = changed;
  return {ResultDocument(job, version), job.tape};
}

std::string ErrorResult(const std::string& cmd, const std::string& error,
                        const std::string& version) {
  if (cmd == "zrep" || cmd == "zbuf") {
    TPrnZREPRes result;
    result.FError = error;
    result.FVersion = version;
    return ObjToBSON(result);
  }
  TTermPrintRes result;
  result.FError = error;
  result.FVersion = version;
  return ObjToBSON(result);
}

}  // namespace kestrel::tools
