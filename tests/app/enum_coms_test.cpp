#include "app/enum_coms.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bson/document.h"
#include "bson/mapping.h"
#include "messages/messages.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

std::string ListingRequest() {
  TEnumCOMs request;
  request.FEnumCOMs = true;
  return ObjToBSON(request);
}

TEST(EnumCOMs, AnswersWithTheProbedPortsSorted) {
  testing::TempDir root;
  std::filesystem::create_directories(root.Path() / "dev");
  root.Write("dev/ttyUSB0", "");
  root.Write("dev/ttyS1", "");
  TEnumCOMsRes answer;
  BSONToObj(EnumCOMs(ListingRequest(), root.Folder()), answer, {});
  EXPECT_EQ(answer.FCOMs, "ttyS1\r\nttyUSB0\r\n");
}

TEST(EnumCOMs, NoPortsGiveAnEmptyText) {
  testing::TempDir root;
  const std::string answer = EnumCOMs(ListingRequest(), root.Folder());
  TEnumCOMsRes decoded;
  decoded.FCOMs = "stale";
  BSONToObj(answer, decoded, {});
  EXPECT_EQ(decoded.FCOMs, "");
}

TEST(EnumCOMs, ABodyThatIsNotADocumentRaises) {
  testing::TempDir root;
  EXPECT_THROW(EnumCOMs(std::string("EnumCOMs\x01\x02\x03", 11), root.Folder()), EBSONError);
}

}  // namespace
}  // namespace kestrel
