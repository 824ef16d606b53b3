// What the fault tests send and read back: print commands for the real
// server, their decoded answers, and port names no other test uses.
#pragma once

#include <memory>
#include <random>
#include <string>

#include "app/tcp_printer.h"
#include "bson/mapping.h"
#include "messages/messages.h"

namespace kestrel::testing {

// A print command document for `port`, with a sum, so that an answer that
// merely echoes the command shows it.
inline std::string PrintCommand(const std::string& port, const std::string& cmd,
                                const std::string& text = "") {
  TPrintCmd command;
  command.FPort = port;
  command.FName = "PayVKP-80K";
  command.FCmd = cmd;
  command.FText = text;
  command.FSumm0 = Currency::FromRaw(125000);
  command.FSrvVer = ProgramVersion;
  return ObjToBSON(command);
}

// The receipt result in `document`; a result whose decoding fails carries
// the failure as its Error, so that a test sees it.
inline std::unique_ptr<TTermPrintRes> ReceiptResult(const std::string& document) {
  auto result = std::make_unique<TTermPrintRes>();
  try {
    BSONToObj(document, *result);
  } catch (const std::exception& failure) {
    result->FError = std::string("undecodable answer: ") + failure.what();
  }
  return result;
}

// The port locks are machine-wide: a name of this run only keeps parallel
// test runs out of each other's queues.
inline std::string UniquePortName(const std::string& stem) {
  static std::random_device seed;
  return stem + "-" + std::to_string(seed());
}

// The server's version answer, for "is it still serving".
inline constexpr char kVersionAnswer[] = "2012.07.03 14:00";

}  // namespace kestrel::testing
