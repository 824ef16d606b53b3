// kestrel-send: a command-line client of the Kestrel wire protocol, to try a
// server without the sending server. Answers are printed as JSON; an answer
// whose Error is not empty ends with exit code 1.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/self_update.h"
#include "base/datetime.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/text.h"
#include "bson/mapping.h"
#include "bson_json.h"
#include "files/crc32.h"
#include "files/file_utils.h"
#include "files/pack.h"
#include "http_client.h"
#include "journal/journal.h"
#include "messages/messages.h"
#include "options.h"
#include "platform/executable.h"
#include "platform/path.h"

namespace kestrel::tools {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitAnswerError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

// Long enough for a port wait (300 s) followed by the longest command (600 s).
constexpr int kDefaultTimeoutSec = 960;

constexpr const char* kHelp =
    R"(Usage: kestrel-send [--server HOST:PORT] [--timeout SEC] COMMAND [OPTIONS]

Sends one request to a Kestrel server (default 127.0.0.1:8080) and prints the
answer as JSON. Exit code: 0 success, 1 the answer carries an Error,
2 bad command line, 3 no answer (connection or format failure).

Commands:
  version                 the server's program version (DrvVer)
  coms                    the serial ports of the server's machine (EnumCOMs)
  print OPTIONS           a print command (TPrintCmd):
      --printer PORT        printer port, e.g. COM1 (Port)
      --model NAME          printer model, e.g. PayVKP-80K (Name)
      --cmd CMD             command: test, xrep, zrep, cashin, ... (Cmd)
      --text TEXT           text to print (Text); or --text-file FILE
      --summ0 AMOUNT        first amount, up to 4 decimals (Summ0)
      --summ1 AMOUNT        second amount (Summ1)
      --pwd TEXT            printer password (Pwd)
      --baud N              port speed (BaudRate)
      --host NAME           host name (Host; the server then sees no Port)
      --dealer N --term N --docno N --section0 N --section1 N --inn TEXT
      --docdt DATETIME      yyyy-mm-dd[ hh:nn[:ss]] or now (DocDT)
      --srvver TEXT         sender version (SrvVer), default "2012.07.03 14:00"
      --id ID               command id (IdCommand, up to 64 bytes): the server
                            runs the command once and answers a repeat of the
                            id with the stored answer
      --packed              send the request compressed (the answer comes so too)
  result ID               the answer stored for a command id (CmdResult)
  journal [--port P] [--since DATETIME] [--id ID] [--db FILE]
                          print the journal of print commands as JSON, read
                          from FILE (default: kestrel.db in this program's
                          folder), without writing to it
  update --exever VERSION FILE[=NAME]...
                          an update package; NAME (default: the file's own
                          name) is where the server stores the file
  decode FILE [--packed]  print a BSON file (or, with --packed, a packed one)
  --help                  this text
)";

struct Session {
  ServerAddress server;
  int timeout_ms = kDefaultTimeoutSec * 1000;
};

void PrintJson(const std::string& json) {
  std::cout << json << "\n";
}

std::string ReadWholeFile(const std::string& name) {
  std::string body;
  ReadFileBody(name, true, body);
  return body;
}

// The JSON of an answer document and its exit code from its Error.
int ShowResult(const std::string& answer) {
  PrintJson(BsonToJson(answer));
  TPrintRes result;
  BSONToObj(answer, result);
  return result.FError.empty() ? kExitOk : kExitAnswerError;
}

int RunVersion(const Session& session) {
  const std::string answer = PostRequest(session.server, "DrvVer", session.timeout_ms);
  if (answer.empty())
    throw Exception("Empty answer to the version request");
  PrintJson("{\n  \"DrvVer\": " + JsonString(Win1251ToUtf8(answer)) + "\n}");
  return kExitOk;
}

int RunComs(const Session& session) {
  TEnumCOMs request;
  request.FEnumCOMs = true;
  PrintJson(BsonToJson(PostRequest(session.server, ObjToBSON(request), session.timeout_ms)));
  return kExitOk;
}

void FillPrintCmd(const CommandLine& line, TPrintCmd& cmd) {
  cmd.FPort = line.Value("printer", line.Value("port"));
  cmd.FName = line.Value("model", line.Value("name"));
  cmd.FCmd = line.Value("cmd");
  cmd.FHost = line.Value("host");
  cmd.FPwd = line.Value("pwd");
  cmd.FINN = line.Value("inn");
  cmd.FSrvVer = line.Value("srvver", "2012.07.03 14:00");
  cmd.FIdCommand = line.Value("id");
  cmd.FText = line.Has("text-file") ? ReadWholeFile(line.Value("text-file")) : line.Value("text");
  const std::pair<const char*, std::int32_t*> integers[] = {
      {"baud", &cmd.FBaudRate}, {"dealer", &cmd.FDealer},     {"term", &cmd.FTerm},
      {"docno", &cmd.FDocNo},   {"section0", &cmd.FSection0}, {"section1", &cmd.FSection1}};
  for (const auto& [name, field] : integers) {
    if (line.Has(name))
      *field = ParseInteger(name, line.Value(name));
  }
  if (line.Has("summ0"))
    cmd.FSumm0 = ParseAmount("summ0", line.Value("summ0"));
  if (line.Has("summ1"))
    cmd.FSumm1 = ParseAmount("summ1", line.Value("summ1"));
  if (line.Has("docdt"))
    cmd.FDocDT = ParseDateTime("docdt", line.Value("docdt"));
}

int RunPrint(const Session& session, const CommandLine& line) {
  if (!line.Has("cmd"))
    throw UsageError("print needs --cmd");
  TPrintCmd cmd;
  FillPrintCmd(line, cmd);
  const bool packed = line.Flag("packed");
  const std::string request = ObjToBSON(cmd);
  std::string answer =
      PostRequest(session.server, packed ? PackString(request) : request, session.timeout_ms);
  if (answer.empty())
    throw Exception("Empty answer to the print command");
  return ShowResult(packed ? UnpackString(answer) : answer);
}

void AddUpdateFile(TUpdateInfo& info, const std::string& operand) {
  const std::size_t equals = operand.find('=');
  const std::string path = operand.substr(0, equals);
  std::string name = equals == std::string::npos ? path : operand.substr(equals + 1);
  if (equals == std::string::npos)
    name = name.substr(platform::FileNameStart(name));
  auto* file = static_cast<TUpdateFile*>(info.Files().Add());
  file->FName = name;
  file->FBody = ReadWholeFile(path);
  file->FCRC32 = CalcCRC32(file->FBody);
}

int RunUpdate(const Session& session, const CommandLine& line) {
  if (!line.Has("exever") || line.operands.empty())
    throw UsageError("update needs --exever VERSION and at least one FILE");
  TUpdateInfo info;
  info.FEXEver = line.Value("exever");
  for (const std::string& operand : line.operands)
    AddUpdateFile(info, operand);
  const std::string answer = PostRequest(session.server, ObjToBSON(info), session.timeout_ms);
  // The answer is empty on success, else the failure as single-byte text.
  const std::string error = Win1251ToUtf8(answer);
  PrintJson(error.empty() ? "{}" : "{\n  \"Error\": " + JsonString(error) + "\n}");
  return error.empty() ? kExitOk : kExitAnswerError;
}

int RunResult(const Session& session, const CommandLine& line) {
  if (line.operands.size() != 1)
    throw UsageError("result needs exactly one ID");
  TCmdResult request;
  request.FCmdResult = line.operands[0];
  const std::string answer = PostRequest(session.server, ObjToBSON(request), session.timeout_ms);
  if (answer.empty())
    throw Exception("Empty answer to the result request");
  return ShowResult(answer);
}

// The journal's own time form, so that the texts compare in time order.
std::string JournalSince(const std::string& text) {
  const DateTimeParts parts = DecodeDateTime(ParseDateTime("since", text));
  return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.year, parts.month, parts.day,
                parts.hour, parts.minute, parts.second, parts.millisecond);
}

std::string JournalRowJson(const JournalRow& row) {
  std::string json = "  {\n    \"seq\": " + std::to_string(row.seq);
  const std::pair<const char*, const std::string*> texts[] = {
      {"received", &row.received}, {"started", &row.started},
      {"ended", &row.ended},       {"id", &row.id},
      {"port", &row.port},         {"cmd", &row.cmd},
      {"model", &row.model},       {"sender", &row.sender},
      {"outcome", &row.outcome},   {"error", &row.error}};
  for (const auto& [name, value] : texts)
    json += ",\n    \"" + std::string(name) + "\": " + JsonString(*value);
  json += ",\n    \"answer\": ";
  std::string answer = row.answer ? BsonToJson(*row.answer) : "null";
  for (std::size_t at = answer.find('\n'); at != std::string::npos; at = answer.find('\n', at + 1))
    answer.insert(at + 1, "    ");
  json += answer;
  return json + "\n  }";
}

int RunJournal(const CommandLine& line) {
  JournalQuery query;
  query.port = line.Value("port");
  query.id = line.Value("id");
  if (line.Has("since"))
    query.since = JournalSince(line.Value("since"));
  const std::string file = line.Value(
      "db", UpdateProgramOf(platform::RunningExecutablePath(), {}).folder + kJournalFileName);
  const std::vector<JournalRow> rows = ReadJournal(file, query);
  std::string json = "[";
  for (std::size_t i = 0; i < rows.size(); ++i)
    json += (i == 0 ? "\n" : ",\n") + JournalRowJson(rows[i]);
  PrintJson(json + (rows.empty() ? "]" : "\n]"));
  return kExitOk;
}

int RunDecode(const CommandLine& line) {
  if (line.operands.size() != 1)
    throw UsageError("decode needs exactly one FILE");
  const std::string body = ReadWholeFile(line.operands[0]);
  PrintJson(BsonToJson(line.Flag("packed") ? UnpackString(body) : body));
  return kExitOk;
}

int Run(const CommandLine& line) {
  Session session;
  if (line.Has("server")) {
    try {
      session.server = ParseServerAddress(line.Value("server"));
    } catch (const Exception& e) {
      throw UsageError(e.what());
    }
  }
  if (line.Has("timeout"))
    session.timeout_ms = ParseInteger("timeout", line.Value("timeout")) * 1000;
  if (line.command == "version")
    return RunVersion(session);
  if (line.command == "coms")
    return RunComs(session);
  if (line.command == "print")
    return RunPrint(session, line);
  if (line.command == "update")
    return RunUpdate(session, line);
  if (line.command == "decode")
    return RunDecode(line);
  if (line.command == "result")
    return RunResult(session, line);
  if (line.command == "journal")
    return RunJournal(line);
  throw UsageError("Unknown command '" + line.command + "' (see --help)");
}

}  // namespace
}  // namespace kestrel::tools

int main(int argc, char** argv) {
  using namespace kestrel::tools;
  // In UTF-8 on every system: Windows hands argv over in its ANSI code page,
  // where a Cyrillic model name or text would not survive.
  const std::vector<std::string> words = kestrel::platform::ProgramArguments(argc, argv);
  const std::vector<std::string> args(words.begin() + (words.empty() ? 0 : 1), words.end());
  CommandLine line;
  try {
    line = ParseCommandLine(args, {"packed", "help"});
  } catch (const UsageError& e) {
    std::cerr << "kestrel-send: " << e.what() << "\n";
    return kExitUsage;
  }
  if (line.Flag("help") || line.command.empty()) {
    std::cout << kHelp;
    return line.Flag("help") ? kExitOk : kExitUsage;
  }
  try {
    return Run(line);
  } catch (const UsageError& e) {
    std::cerr << "kestrel-send: " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "kestrel-send: " << e.what() << "\n";
    return kExitFailure;
  }
}
