// The command and result messages: the wire schema of print commands, the
// driver's parameter and result files, the serial-port listing and the
// update package. Each class's property table lists its BSON elements in
// writing order (inherited first); the stored predicates decide which are
// written. Text is UTF-8, RawByteString fields hold bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/currency.h"
#include "base/datetime.h"
#include "messages/containers.h"
#include "messages/persistent.h"

namespace kestrel {

// Serial-port listing request; the value of EnumCOMs is not used.
class TEnumCOMs : public TPersistent {
  KESTREL_PUBLISHED(TEnumCOMs)
 public:
  bool FEnumCOMs = false;
};

// Serial-port listing answer: port names, each line ended by "\r\n".
class TEnumCOMsRes : public TPersistent {
  KESTREL_PUBLISHED(TEnumCOMsRes)
 public:
  std::string FCOMs;
};

// The terminal's print command. Host is read but never written; Port is
// written only while Host is empty.
class TTermPrintCmd : public TPersistent {
  KESTREL_PUBLISHED(TTermPrintCmd)
 public:
  Currency FSumm0;
  Currency FSumm1;
  std::int32_t FTerm = 0;
  std::int32_t FDealer = 0;
  std::int32_t FDocNo = 0;
  std::string FHost;
  std::string FName;
  std::string FText;
  std::string FPwd;
  std::string FPort;
  TDateTime FDocDT = 0;
  std::string FINN;
  std::int32_t FSection0 = 0;
  std::int32_t FSection1 = 0;
};

// The print command as the sending server posts it. IdCommand, when not
// empty, names the command so that a repeat of it is answered without a
// second run; it is written only when set, so a command without one keeps
// its bytes.
class TPrintCmd : public TTermPrintCmd {
  KESTREL_PUBLISHED(TPrintCmd)
 public:
  std::int32_t FBaudRate = 0;
  std::string FCmd;
  std::string FSrvVer;
  std::string FIdCommand;
};

// The longest IdCommand, in bytes.
inline constexpr std::size_t kMaxIdCommandBytes = 64;

// Asks for the answer stored for a command id.
class TCmdResult : public TPersistent {
  KESTREL_PUBLISHED(TCmdResult)
 public:
  std::string FCmdResult;
};

// The command written for the driver executable; every property is written.
class TPrnDeviceCmd : public TPersistent {
  KESTREL_PUBLISHED(TPrnDeviceCmd)
 public:
  std::int32_t FBaudRate = 0;
  std::string FCmd;
  std::string FPrinterPort;
  std::string FText;
  Currency FSumm0;
  std::string FHardwareName;
  Currency FSumm1;
  std::string FPassword;
  std::uint16_t FTimeOutSec = 0;
  bool FCut = false;
  bool FCopy = false;
};

// The base of all results; each text is written only when not empty, and an
// empty Error means success.
class TPrintRes : public TPersistent {
  KESTREL_PUBLISHED(TPrintRes)
 public:
  std::string FError;
  std::string FFiscalText;
  std::string FNetError;
  std::string FVersion;
  std::string FLog;
};

// Adds the printer's serial and taxpayer numbers. Their setters store a text
// that is a whole 64-bit integer (leading blanks, a sign, decimal or hex with
// "$", "x" or "0x") in plain decimal, and any other text unchanged.
class TInitPrintRes : public TPrintRes {
  KESTREL_PUBLISHED(TInitPrintRes)
 public:
  const std::string& INN() const { return FINN; }
  void SetINN(std::string value);
  const std::string& SerialNo() const { return FSerialNo; }
  void SetSerialNo(std::string value);

 private:
  // Behind the normalising setters.
  std::string FINN;
  std::string FSerialNo;
};

// The result of every print command other than "zrep" and "zbuf".
class TTermPrintRes : public TInitPrintRes {
  KESTREL_PUBLISHED(TTermPrintRes)
 public:
  bool FSended = false;  // public but not published: never written or read
  std::int64_t FDocNo = 0;
  std::string FKPKno;
  std::int32_t FCheckNo = 0;
  std::string FKKM;
  TDateTime FCheckDT = 0;
  std::string FOperNo;
  std::string FEKLZNo;
  std::int32_t FCicleNo = 0;
  std::string FKPKvalue;
  std::string FRegNo;
  Currency FSumm0;
  Currency FSumm1;
};

// The result of the Z-report commands "zrep" and "zbuf". SerialNo and INN
// are normalised as in TInitPrintRes.
class TPrnZREPRes : public TPrintRes {
  KESTREL_PUBLISHED(TPrnZREPRes)
 public:
  const std::string& INN() const { return FINN; }
  void SetINN(std::string value);
  const std::string& SerialNo() const { return FSerialNo; }
  void SetSerialNo(std::string value);

  Currency FCicleSumm0;
  std::int64_t FDocNo = 0;
  std::string FKPKno;
  Currency FCicleSumm1;
  std::int32_t FDocCnt = 0;
  std::string FKKM;
  TDateTime FEndDT = 0;
  std::string FOperNo;
  std::string FEKLZNo;
  Currency FGrossStartSumm;
  std::int32_t FCicleNo = 0;
  std::string FKPKvalue;
  Currency FGrossEndSumm;
  std::string FRegNo;
  TDateTime FStartDT = 0;

 private:
  // Behind the normalising setters.
  std::string FINN;
  std::string FSerialNo;
};

// One file of an update package. CRC32 holds the CRC-32 of Body with the
// same bits as a signed 32-bit value.
class TUpdateFile : public TPersistentObj {
  KESTREL_PUBLISHED(TUpdateFile)
 public:
  std::string FName;  // relative to the program's folder
  std::string FBody;  // the file's whole content (bytes)
  std::int32_t FCRC32 = 0;
};

// The most files one update package may carry: a program and its few
// companions are far below it, and a package decodes into no more objects.
inline constexpr std::int32_t kMaxUpdateFiles = 1024;

// An update package. It owns Files, an array of at most kMaxUpdateFiles
// TUpdateFile that exists for the object's whole life: readers fill it, they
// never replace it.
class TUpdateInfo : public TPersistent {
  KESTREL_PUBLISHED(TUpdateInfo)
 public:
  TUpdateInfo();

  TPersistentObjArray& Files() { return FFiles; }
  const TPersistentObjArray& Files() const { return FFiles; }

  std::string FEXEver;

 private:
  TPersistentObjArray FFiles;
};

}  // namespace kestrel
