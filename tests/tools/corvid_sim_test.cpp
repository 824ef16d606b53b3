// The simulated fiscal driver as the server runs it: a real process given a
// parameter file and a time-out, in a program folder of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/driver_call.h"
#include "bson/mapping.h"
#include "messages/messages.h"
#include "process/exe_process.h"
#include "support/environment.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

template <class Result>
std::unique_ptr<Result> Decode(const std::string& document) {
  auto result = std::make_unique<Result>();
  BSONToObj(document, *result);
  return result;
}

class CorvidSim : public ::testing::Test {
 protected:
  CorvidSim() {
    std::filesystem::copy_file(KESTREL_BIN_DIR "/corvid.exe", dir_.Path() / "corvid.exe");
  }

  // Runs the driver on `cmd` as the server would and returns its result.
  std::string Run(const std::string& cmd, const std::string& port = "COM1", std::int64_t summ0 = 0,
                  std::int64_t summ1 = 0, int timeout_sec = 9) {
    TPrnDeviceCmd device;
    device.FCmd = cmd;
    device.FPrinterPort = port;
    device.FHardwareName = "PayVPK80K";
    device.FText = "Хлеб 1 x 12.50";
    device.FSumm0 = Currency::FromRaw(summ0);
    device.FSumm1 = Currency::FromRaw(summ1);
    device.FTimeOutSec = static_cast<std::uint16_t>(timeout_sec);
    return RunDocument(ObjToBSON(device), timeout_sec);
  }
  std::string RunDocument(std::string data, int timeout_sec = 9) {
    const std::string error =
        CallDrvExe(dir_.Folder() + "corvid.exe", dir_.Folder() + "P1.dat", timeout_sec, data);
    EXPECT_EQ(error, "");
    return data;
  }
  std::string Tape(const std::string& port = "COM1") const {
    return dir_.Read("corvid-sim/port-" + port + ".tape");
  }

  testing::TempDir dir_;
};

TEST_F(CorvidSim, TestCommandAnswersWithAReadableVersionAndPrints) {
  const auto result = Decode<TTermPrintRes>(Run("test"));
  EXPECT_EQ(result->FError, "");
  EXPECT_EQ(result->FDocNo, 1);
  EXPECT_EQ(result->FKKM, "PayVPK80K");
  EXPECT_NO_THROW(BuildDateToDateTime(result->FVersion)) << result->FVersion;
  EXPECT_NE(result->FFiscalText.find("ТЕСТ ПРИНТЕРА"), std::string::npos);
  EXPECT_NE(Tape().find("ТЕСТ ПРИНТЕРА"), std::string::npos);
}

TEST_F(CorvidSim, ReceiptsCountAndZReportClosesTheCycle) {
  const auto first = Decode<TTermPrintRes>(Run("sale", "COM1", 125000, 50000));
  EXPECT_EQ(first->FCheckNo, 1);
  EXPECT_EQ(first->FSumm0.Raw(), 125000);
  EXPECT_EQ(Decode<TTermPrintRes>(Run("sale", "COM1", 10000))->FCheckNo, 2);
  EXPECT_EQ(Decode<TTermPrintRes>(Run("cashout", "COM1", 35000))->FError, "");
  const std::string document = Run("zrep", "COM1");
  EXPECT_NE(document.find("Gross"), std::string::npos);
  const auto z = Decode<TPrnZREPRes>(document);
  EXPECT_EQ(z->FError, "");
  EXPECT_EQ(z->FCicleNo, 1);
  EXPECT_EQ(z->FDocCnt, 4);
  EXPECT_EQ(z->FCicleSumm0.Raw(), 125000 + 10000 - 35000);
  EXPECT_EQ(z->FCicleSumm1.Raw(), 50000);
  EXPECT_EQ(z->FGrossStartSumm.Raw(), 0);
  EXPECT_EQ(z->FGrossEndSumm.Raw(), 185000);
  EXPECT_LE(z->FStartDT, z->FEndDT);
  const auto next = Decode<TTermPrintRes>(Run("sale", "COM1", 10000));
  EXPECT_EQ(next->FCheckNo, 1);
  EXPECT_EQ(next->FCicleNo, 2);
  EXPECT_EQ(next->FDocNo, 5);
}

TEST_F(CorvidSim, EveryPortHasItsOwnPrinter) {
  Run("sale", "COM1", 10000);
  EXPECT_EQ(Decode<TTermPrintRes>(Run("sale", "COM2", 10000))->FCheckNo, 1);
  EXPECT_NE(Decode<TTermPrintRes>(Run("test", "COM1"))->SerialNo(),
            Decode<TTermPrintRes>(Run("test", "COM2"))->SerialNo());
  EXPECT_NE(Tape("COM2").find("ЧЕК ПРОДАЖИ № 1"), std::string::npos);
}

TEST_F(CorvidSim, RefusedCommandsSayWhyAndChangeNothing) {
  EXPECT_EQ(Decode<TTermPrintRes>(Run("dance"))->FError, "Неизвестная команда dance");
  EXPECT_EQ(Decode<TTermPrintRes>(Run("sale", "COM1", 0))->FError, "Неверная сумма чека: 0.00");
  EXPECT_EQ(Decode<TTermPrintRes>(Run("cashout", "COM1", 10000))->FError,
            "Недостаточно наличных в кассе: 0.00");
  EXPECT_EQ(Decode<TPrnZREPRes>(Run("zrep", ""))->FError, "Не задан порт принтера");
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "corvid-sim" / "port-COM1.state"));
}

TEST_F(CorvidSim, MalformedParameterFileIsAnsweredWithAnError) {
  const auto result = Decode<TTermPrintRes>(RunDocument("not a document"));
  EXPECT_EQ(result->FError, "Неверный файл параметров: Invalid BSON document (AnsiString)");
}

TEST_F(CorvidSim, CommandSlowerThanItsTimeOutStopsThere) {
  std::string result;
  {
    const testing::ScopedEnvironmentVariable delay("CORVID_SIM_DELAY_MS", "5000");
    result = Run("test", "COM1", 0, 0, 1);
  }
  EXPECT_EQ(Decode<TTermPrintRes>(result)->FError, "Принтер не ответил за 1000 мс");
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "corvid-sim" / "port-COM1.tape"));
}

}  // namespace
}  // namespace kestrel
