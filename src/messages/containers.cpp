#include "messages/containers.h"

#include "base/exception.h"

namespace kestrel {
namespace {

// The slot buffer grows linearly, by this many slots at a time.
constexpr std::int32_t kCapacityStep = 16;

template <class Array>
void DeleteKeepingOrder(Array& items, std::int32_t index) {
  CheckIndex(index, static_cast<std::int64_t>(items.size()));
  items.erase(items.begin() + index);
}

}  // namespace

const PropertyTable& TPersistentObj::Table() {
  return TPersistent::Table();
}

const PropertyTable& TPersistentObjArray::Table() {
  return TPersistentObj::Table();
}

TPersistentObjArray::TPersistentObjArray(TPersistentObjClass item_class, std::int32_t max_count)
    : max_count_(max_count), item_class_(item_class) {}

TPersistentObjArray::~TPersistentObjArray() {
  Clear();
}

TPersistentObj* TPersistentObjArray::Add() {
  if (count_ >= max_count_)
    throw ERangeError();
  std::unique_ptr<TPersistentObj> item = item_class_.Create();
  if (Capacity() <= count_)
    SetCapacity(Capacity() + kCapacityStep);
  slots_[count_] = item.release();
  return slots_[count_++];
}

void TPersistentObjArray::Delete(std::int32_t index) {
  // Checked against Count, not Capacity: a slot beyond the elements holds
  // nothing this array may free.
  CheckIndex(index, count_);
  delete slots_[index];
  const std::int32_t last = count_ - 1;
  slots_[index] = slots_[last];
  slots_[last] = nullptr;
  count_ = last;
}

void TPersistentObjArray::Clear() {
  for (std::int32_t i = 0; i < count_; ++i) {
    delete slots_[i];
    slots_[i] = nullptr;
  }
  count_ = 0;
}

void TPersistentObjArray::SetCapacity(std::int32_t capacity) {
  if (capacity < count_)
    throw Exception("Capacity less than item count");
  slots_.resize(static_cast<std::size_t>(capacity), nullptr);
}

TPersistentObj* TPersistentObjArray::Items(std::int32_t index) const {
  CheckIndex(index, Capacity());
  return slots_[index];
}

void TPersistentObjArray::SetItems(std::int32_t index, TPersistentObj* item) {
  CheckIndex(index, Capacity());
  slots_[index] = item;
}

const PropertyTable& TPersistentStrArray::Table() {
  return TPersistent::Table();
}

std::int32_t TPersistentStrArray::Add(std::string str) {
  Items.push_back(std::move(str));
  return Count() - 1;
}

void TPersistentStrArray::Delete(std::int32_t index) {
  DeleteKeepingOrder(Items, index);
}

const PropertyTable& TPersistentIntArray::Table() {
  return TPersistent::Table();
}

std::int32_t TPersistentIntArray::Add(std::int32_t value) {
  Items.push_back(value);
  return Count() - 1;
}

void TPersistentIntArray::Delete(std::int32_t index) {
  DeleteKeepingOrder(Items, index);
}

}  // namespace kestrel
