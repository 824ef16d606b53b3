#include "app/print.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel {
namespace {

TEST(CommandTimeouts, EveryListedCommandAndTheDefault) {
  EXPECT_EQ(CommandTimeout("test"), 9);
  EXPECT_EQ(CommandTimeout("cashin"), 14);
  EXPECT_EQ(CommandTimeout("cashout"), 14);
  for (const char* cmd : {"xrep", "xrepsec", "xrepop", "xreptax"})
    EXPECT_EQ(CommandTimeout(cmd), 39) << cmd;
  EXPECT_EQ(CommandTimeout("zrep"), 130);
  EXPECT_EQ(CommandTimeout("zbuf"), 130);
  EXPECT_EQ(CommandTimeout("printzbuf"), 600);
  EXPECT_EQ(CommandTimeout("sale"), 19);
  EXPECT_EQ(CommandTimeout(""), 19);
}

TEST(CommandTimeouts, MatchIsCaseSensitive) {
  EXPECT_EQ(CommandTimeout("Zrep"), 19);
  EXPECT_EQ(CommandTimeout("TEST"), 19);
  EXPECT_FALSE(IsZReportCommand("Zrep"));
  EXPECT_TRUE(IsZReportCommand("zbuf"));
}

TEST(ModelNameMap, KnownNamesAreRewrittenAfterTrimming) {
  EXPECT_EQ(MapModelName("Ярус-01K"), "JARUS-01K");
  EXPECT_EQ(MapModelName("Ярус-02K"), "JARUS-02K");
  EXPECT_EQ(MapModelName("  PayVKP-80K\t\r\n"), "PayVPK80K");
  EXPECT_EQ(MapModelName("PayCTS-2000K"), "PayCTS2000K");
  EXPECT_EQ(MapModelName("ШТРИХ-МИНИ-ФР-К"), "SHTRIH-MINI-FR-K");
}

TEST(ModelNameMap, OtherNamesPassUnchangedBlanksIncluded) {
  EXPECT_EQ(MapModelName("ярус-01K"), "ярус-01K");
  EXPECT_EQ(MapModelName(" Other "), " Other ");
  // Latin letters where the Cyrillic ones belong.
  EXPECT_EQ(MapModelName("Ярус-01К"), "Ярус-01К");
  EXPECT_EQ(MapModelName("PayVKP-80k"), "PayVKP-80k");
}

TEST(ParamsFileName, TimeToTheMillisecondThenPort) {
  const platform::CivilTime at{2012, 7, 3, 14, 0, 0, 123};
  EXPECT_EQ(ParamsFileName("/opt/k/", "COM1", at), "/opt/k/P120703140000123COM1.dat");
  const platform::CivilTime early{2009, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(ParamsFileName("/opt/k/", "ttyUSB0", early), "/opt/k/P090102030405006ttyUSB0.dat");
}

TEST(ParamsFileName, UnsafePortCharactersCannotLeaveTheFolder) {
  const platform::CivilTime at{2012, 7, 3, 14, 0, 0, 123};
  EXPECT_EQ(ParamsFileName("/k/", "../../x", at), "/k/P120703140000123.._.._x.dat");
  EXPECT_EQ(ParamsFileName("/k/", "/dev/ttyS0", at), "/k/P120703140000123_dev_ttyS0.dat");
  EXPECT_EQ(PortForFileName("a\\b:c*d e"), "a_b_c_d_e");
  EXPECT_EQ(PortForFileName("ПОРТ1"), "____1");
  EXPECT_EQ(PortForFileName(std::string("x\xFF\0y", 4)), "x__y");
  EXPECT_EQ(PortForFileName("tty_USB-0.1"), "tty_USB-0.1");
}

}  // namespace
}  // namespace kestrel
