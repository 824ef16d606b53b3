#include "messages/persistent.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

class TSample : public TPersistent {
  KESTREL_PUBLISHED(TSample)
 public:
  std::string FName;
  std::int32_t FCount = 0;
  std::uint16_t FPort = 0;
  bool FFlag = false;
  Currency FSumm;
  TDateTime FWhen = 0;
  std::int64_t FBig = 0;
  std::string FBytes;
  void SetCount(std::int32_t value) { FCount = value < 0 ? 0 : value; }
};

class TSampleChild : public TSample {
  KESTREL_PUBLISHED(TSampleChild)
 public:
  TSample FInner;
};

const PropertyTable& TSample::Table() {
  static const PropertyTable table(
      TPersistent::Table(),
      {props::String<&TSample::FName>("Name", props::NonEmpty<&TSample::FName>),
       props::Integer<&TSample::FCount, &TSample::SetCount>("Count"),
       props::Word<&TSample::FPort>("Port"), props::Boolean<&TSample::FFlag>("Flag"),
       props::Currency<&TSample::FSumm>("Summ", props::NonZero<&TSample::FSumm>),
       props::DateTime<&TSample::FWhen>("When"), props::Int64<&TSample::FBig>("Big"),
       props::RawByteString<&TSample::FBytes>("Bytes")});
  return table;
}

const PropertyTable& TSampleChild::Table() {
  static const PropertyTable table(TSample::Table(),
                                   {props::Object<&TSampleChild::FInner>("Inner", "TSample")});
  return table;
}

TEST(PropertyTable, InheritedPropertiesComeFirst) {
  TSampleChild child;
  const auto all = child.Properties().All();
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(all.front().name, "Name");
  EXPECT_EQ(all.back().name, "Inner");
  EXPECT_EQ(all.back().get_object(child), &child.FInner);
  EXPECT_EQ(child.ClassName(), "TSampleChild");
}

TEST(PropertyTable, LookUpIgnoresAsciiCaseOnly) {
  const auto& table = TSample::Table();
  ASSERT_NE(table.FindIgnoringCase("cOUNT"), nullptr);
  EXPECT_EQ(table.FindIgnoringCase("cOUNT")->name, "Count");
  EXPECT_EQ(table.FindIgnoringCase("Coun"), nullptr);
  std::size_t hint = 7;
  EXPECT_EQ(table.FindIgnoringCase("name", hint)->name, "Name");
  EXPECT_EQ(hint, 1u);
}

TEST(PropertyTable, AccessorsGoThroughSettersAndConvert) {
  TSample sample;
  const auto& table = TSample::Table();
  table.FindIgnoringCase("Count")->set_ordinal(sample, -5);
  EXPECT_EQ(sample.FCount, 0);
  table.FindIgnoringCase("Port")->set_ordinal(sample, 70000);
  EXPECT_EQ(sample.FPort, 70000 - 65536);
  table.FindIgnoringCase("Flag")->set_ordinal(sample, 7);
  EXPECT_TRUE(sample.FFlag);
  table.FindIgnoringCase("Summ")->set_float(sample, 12.345678);
  EXPECT_EQ(sample.FSumm.Raw(), 123457);
  EXPECT_DOUBLE_EQ(table.FindIgnoringCase("Summ")->get_float(sample), 12.3457);
}

TEST(PropertyTable, StoredPredicates) {
  TSample sample;
  const auto& table = TSample::Table();
  EXPECT_FALSE(table.FindIgnoringCase("Name")->IsStored(sample));
  EXPECT_FALSE(table.FindIgnoringCase("Summ")->IsStored(sample));
  EXPECT_TRUE(table.FindIgnoringCase("Count")->IsStored(sample));
  sample.FName = "x";
  sample.FSumm = Currency::FromRaw(1);
  EXPECT_TRUE(table.FindIgnoringCase("Name")->IsStored(sample));
  EXPECT_TRUE(table.FindIgnoringCase("Summ")->IsStored(sample));
}

}  // namespace
}  // namespace kestrel
