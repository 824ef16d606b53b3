#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/currency.h"
#include "base/datetime.h"
#include "base/exception.h"
#include "base/format.h"
#include "platform/clock.h"

namespace kestrel {
namespace {

TEST(Currency, AmountIsRoundedToFourPlacesHalvesToEven) {
  EXPECT_EQ(Currency::FromAmount(12.345678).Raw(), 123457);
  EXPECT_EQ(Currency::FromAmount(12.34).Raw(), 123400);
  EXPECT_EQ(Currency::FromAmount(-12.345678).Raw(), -123457);
  EXPECT_EQ(Currency::FromAmount(0.00004).Raw(), 0);
  EXPECT_EQ(Currency::FromAmount(-2.5).Raw(), -25000);
  EXPECT_DOUBLE_EQ(Currency::FromRaw(123400).Amount(), 12.34);
}

TEST(Currency, AmountsThatDoNotFitRaiseRangeError) {
  EXPECT_THROW(Currency::FromAmount(1e300), ERangeError);
  EXPECT_THROW(Currency::FromAmount(std::numeric_limits<double>::quiet_NaN()), ERangeError);
  EXPECT_THROW(Currency::FromAmount(-std::numeric_limits<double>::infinity()), ERangeError);
}

TEST(DateTime, EncodesDayCountsFrom1899) {
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1970, 1, 1, 0, 0, 0, 0}), kUnixEpochDays);
  EXPECT_DOUBLE_EQ(EncodeDateTime({2012, 7, 3, 12, 0, 0, 0}), 41093.5);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 29, 6, 0, 0, 0}), -1.25);
}

TEST(DateTime, DecodeInvertsEncode) {
  const DateTimeParts parts{2012, 5, 6, 9, 7, 3, 456};
  EXPECT_EQ(DecodeDateTime(EncodeDateTime(parts)), parts);
  const DateTimeParts before{1899, 12, 29, 6, 0, 0, 0};
  EXPECT_EQ(DecodeDateTime(-1.25), before);
}

TEST(DateTime, InvalidFieldsAreRefused) {
  TDateTime ignored;
  EXPECT_FALSE(TryEncodeDateTime({2011, 2, 29, 0, 0, 0, 0}, ignored));
  EXPECT_TRUE(TryEncodeDateTime({2012, 2, 29, 0, 0, 0, 0}, ignored));
  EXPECT_FALSE(TryEncodeDateTime({2012, 13, 1, 0, 0, 0, 0}, ignored));
  EXPECT_FALSE(TryEncodeDateTime({2012, 1, 1, 24, 0, 0, 0}, ignored));
  EXPECT_THROW(EncodeDateTime({2012, 4, 31, 0, 0, 0, 0}), EConvertError);
}

TEST(DateTime, NowIsTheLocalPresent) {
  const TDateTime now = platform::Now();
  EXPECT_GT(now, EncodeDateTime({2020, 1, 1, 0, 0, 0, 0}));
  EXPECT_LT(now, EncodeDateTime({2200, 1, 1, 0, 0, 0, 0}));
}

TEST(RangeCheck, OutsideBoundsRaisesTheSystemMessage) {
  EXPECT_NO_THROW(CheckIndex(0, 1));
  try {
    CheckIndex(1, 1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Range check error");
  }
  EXPECT_THROW(CheckIndex(-1, 5), ERangeError);
}

TEST(Format, FillsPrintfPatterns) {
  EXPECT_EQ(Format("System Error.  Code: %d.\r\n%s", 2, "No such file"),
            "System Error.  Code: 2.\r\nNo such file");
  EXPECT_EQ(Format("%s", ""), "");
}

}  // namespace
}  // namespace kestrel
