#include "messages/containers.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/exception.h"

namespace kestrel {
namespace {

// An element that records its creation number and when it is freed.
class TTracked : public TPersistentObj {
  KESTREL_PUBLISHED(TTracked)
 public:
  TTracked() : Id(++created) {}
  ~TTracked() override { freed.push_back(Id); }

  static void Reset() {
    created = 0;
    freed.clear();
  }

  int Id;
  static inline int created = 0;
  static inline std::vector<int> freed;
};

const PropertyTable& TTracked::Table() {
  return TPersistentObj::Table();
}

class TFailing : public TPersistentObj {
 public:
  TFailing() { throw std::runtime_error("no element"); }
};

// An array type with a default constructor, so arrays can nest in arrays.
class TTrackedList : public TPersistentObjArray {
 public:
  TTrackedList() : TPersistentObjArray(TPersistentObjClass::Of<TTracked>()) {}
};

int IdAt(const TPersistentObjArray& array, std::int32_t index) {
  return dynamic_cast<const TTracked&>(*array.Items(index)).Id;
}

std::vector<int> Ids(const TPersistentObjArray& array) {
  std::vector<int> ids;
  for (std::int32_t i = 0; i < array.Count(); ++i)
    ids.push_back(IdAt(array, i));
  return ids;
}

class ObjArray : public ::testing::Test {
 protected:
  void SetUp() override { TTracked::Reset(); }
  void AddThree() {
    for (int i = 0; i < 3; ++i)
      array.Add();
  }
  TPersistentObjArray array{TPersistentObjClass::Of<TTracked>()};
};

TEST_F(ObjArray, StartsEmptyWithoutSlots) {
  EXPECT_EQ(array.Count(), 0);
  EXPECT_EQ(array.Capacity(), 0);
  EXPECT_THROW(array.Items(0), ERangeError);
}

TEST_F(ObjArray, AddCreatesElementsOfTheItemClassAndReturnsThem) {
  TPersistentObj* first = array.Add();
  ASSERT_NE(dynamic_cast<TTracked*>(first), nullptr);
  EXPECT_EQ(array.Items(0), first);
  EXPECT_EQ(array.Count(), 1);
  EXPECT_EQ(array.ItemClass().Create()->ClassName(), "TTracked");
}

TEST_F(ObjArray, CapacityGrowsInStepsOfSixteenAndClearKeepsIt) {
  array.Add();
  EXPECT_EQ(array.Capacity(), 16);
  for (int i = 1; i < 16; ++i)
    array.Add();
  EXPECT_EQ(array.Capacity(), 16);
  array.Add();
  EXPECT_EQ(array.Capacity(), 32);
  EXPECT_EQ(array.Count(), 17);
  array.Clear();
  EXPECT_EQ(array.Count(), 0);
  EXPECT_EQ(array.Capacity(), 32);
}

TEST_F(ObjArray, ClearFreesInAscendingOrder) {
  AddThree();
  array.Clear();
  EXPECT_EQ(TTracked::freed, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(array.Items(0), nullptr);
}

TEST_F(ObjArray, DestructionFreesEveryElement) {
  {
    TPersistentObjArray local(TPersistentObjClass::Of<TTracked>());
    local.Add();
    local.Add();
  }
  EXPECT_EQ(TTracked::freed, (std::vector<int>{1, 2}));
}

TEST_F(ObjArray, CapacityBelowCountIsRefusedAndChangesNothing) {
  for (int i = 0; i < 6; ++i)
    array.Add();
  try {
    array.SetCapacity(5);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Capacity less than item count");
  }
  EXPECT_EQ(array.Capacity(), 16);
  EXPECT_EQ(Ids(array), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  array.SetCapacity(6);
  EXPECT_EQ(array.Capacity(), 6);
  EXPECT_EQ(Ids(array), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  array.SetCapacity(40);
  EXPECT_EQ(array.Capacity(), 40);
  EXPECT_EQ(array.Items(39), nullptr);
}

TEST_F(ObjArray, AddAfterExactCapacityGrowsFromThere) {
  for (int i = 0; i < 6; ++i)
    array.Add();
  array.SetCapacity(6);
  array.Add();
  EXPECT_EQ(array.Capacity(), 22);
}

TEST_F(ObjArray, DeleteFirstMovesLastIntoTheGap) {
  AddThree();
  array.Delete(0);
  EXPECT_EQ(TTracked::freed, (std::vector<int>{1}));
  EXPECT_EQ(Ids(array), (std::vector<int>{3, 2}));
  EXPECT_EQ(array.Items(2), nullptr);
}

TEST_F(ObjArray, DeleteLastJustDropsIt) {
  AddThree();
  array.Delete(2);
  EXPECT_EQ(TTracked::freed, (std::vector<int>{3}));
  EXPECT_EQ(Ids(array), (std::vector<int>{1, 2}));
}

TEST_F(ObjArray, DeleteOutsideTheElementsFreesNothing) {
  AddThree();
  array.Delete(0);
  // Slot 2 once held the element now in slot 0; freeing it would free twice.
  EXPECT_THROW(array.Delete(2), ERangeError);
  EXPECT_THROW(array.Delete(-1), ERangeError);
  EXPECT_EQ(TTracked::freed, (std::vector<int>{1}));
  EXPECT_EQ(array.Count(), 2);
}

TEST_F(ObjArray, SlotIndexIsCheckedAgainstCapacity) {
  array.Add();
  EXPECT_EQ(array.Items(15), nullptr);
  try {
    array.Items(16);
    FAIL() << "no exception";
  } catch (const ERangeError& e) {
    EXPECT_EQ(e.Message(), "Range check error");
  }
  EXPECT_THROW(array.Items(-1), ERangeError);
  EXPECT_THROW(array.SetItems(16, nullptr), ERangeError);
  EXPECT_THROW(array.SetItems(-1, nullptr), ERangeError);
}

TEST_F(ObjArray, WritingSlotsMovesReferencesWithoutFreeing) {
  AddThree();
  TPersistentObj* first = array.Items(0);
  array.SetItems(0, array.Items(2));
  array.SetItems(2, first);
  EXPECT_TRUE(TTracked::freed.empty());
  EXPECT_EQ(array.Count(), 3);
  EXPECT_EQ(Ids(array), (std::vector<int>{3, 2, 1}));
}

TEST_F(ObjArray, FailingConstructorLeavesTheArrayUnchanged) {
  TPersistentObjArray failing(TPersistentObjClass::Of<TFailing>());
  EXPECT_THROW(failing.Add(), std::runtime_error);
  EXPECT_EQ(failing.Count(), 0);
  EXPECT_EQ(failing.Capacity(), 0);
}

TEST_F(ObjArray, ArraysNestAsElementsAndFreeTheirContent) {
  {
    TPersistentObjArray outer(TPersistentObjClass::Of<TTrackedList>());
    auto* inner = dynamic_cast<TTrackedList*>(outer.Add());
    ASSERT_NE(inner, nullptr);
    inner->Add();
    inner->Add();
  }
  EXPECT_EQ(TTracked::freed, (std::vector<int>{1, 2}));
}

TEST_F(ObjArray, HasNoPublishedPropertiesOfItsOwn) {
  EXPECT_EQ(array.Properties().Size(), 0u);
  EXPECT_EQ(array.ClassName(), "TPersistentObjArray");
}

TEST(StrArray, DeleteKeepsOrderAndAddReturnsTheNewIndex) {
  TPersistentStrArray array;
  EXPECT_EQ(array.Add("a"), 0);
  EXPECT_EQ(array.Add("b"), 1);
  EXPECT_EQ(array.Add("c"), 2);
  array.Delete(1);
  EXPECT_EQ(array.Items, (TStringDynArray{"a", "c"}));
  EXPECT_EQ(array.Add("d"), 2);
  EXPECT_EQ(array.Items, (TStringDynArray{"a", "c", "d"}));
  EXPECT_EQ(array.Count(), 3);
}

TEST(StrArray, DeleteOutsideTheElementsRaisesRangeError) {
  TPersistentStrArray array;
  EXPECT_THROW(array.Delete(0), ERangeError);
  array.Add("a");
  EXPECT_THROW(array.Delete(1), ERangeError);
  EXPECT_THROW(array.Delete(-1), ERangeError);
  EXPECT_EQ(array.Items, (TStringDynArray{"a"}));
}

TEST(StrArray, ClearEmptiesItems) {
  TPersistentStrArray array;
  array.Add("Привет");
  array.Clear();
  EXPECT_EQ(array.Count(), 0);
  EXPECT_TRUE(array.Items.empty());
  EXPECT_EQ(array.ClassName(), "TPersistentStrArray");
}

TEST(IntArray, AddDeleteAndClear) {
  TPersistentIntArray array;
  EXPECT_EQ(array.Add(7), 0);
  EXPECT_EQ(array.Add(-1), 1);
  EXPECT_EQ(array.Add(9), 2);
  array.Delete(0);
  EXPECT_EQ(array.Items, (TIntegerDynArray{-1, 9}));
  EXPECT_THROW(array.Delete(2), ERangeError);
  EXPECT_EQ(array.Add(5), 2);
  array.Clear();
  EXPECT_EQ(array.Count(), 0);
  EXPECT_EQ(array.ClassName(), "TPersistentIntArray");
}

}  // namespace
}  // namespace kestrel
