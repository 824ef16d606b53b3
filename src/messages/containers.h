// The persistent containers that messages and folder listings build their
// lists from: an object array that owns and creates its elements, and
// growable arrays of strings and of 32-bit integers. The BSON mapping
// recognises these three kinds and fills them through Clear/Add/Items.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "messages/persistent.h"

namespace kestrel {

using TStringDynArray = std::vector<std::string>;  // UTF-8 text
using TIntegerDynArray = std::vector<std::int32_t>;

// The base of every object that can be an element of an object array. Each
// descendant must be default-constructible into a valid state (empty texts,
// zero numbers, owned sub-objects created): that is the only way an array
// creates its elements.
class TPersistentObj : public TPersistent {
  KESTREL_PUBLISHED(TPersistentObj)
};

// A class reference: designates TPersistentObj or one of its descendants and
// creates default instances of it (the parameterless virtual constructor).
class TPersistentObjClass {
 public:
  template <class T>
  requires std::derived_from<T, TPersistentObj> && std::default_initializable<T>
  static constexpr TPersistentObjClass Of() { return TPersistentObjClass(&CreateDefault<T>); }

  // A new default instance of the designated class; its constructor's
  // exceptions pass through.
  std::unique_ptr<TPersistentObj> Create() const { return create_(); }

 private:
  using Factory = std::unique_ptr<TPersistentObj> (*)();
  template <class T>
  static std::unique_ptr<TPersistentObj> CreateDefault() {
    return std::make_unique<T>();
  }
  constexpr explicit TPersistentObjClass(Factory create) : create_(create) {}

  Factory create_;
};

// An array of slots that owns the elements in slots 0 .. Count-1 and creates
// new ones from its item class. Slots Count .. Capacity-1 hold no element
// (they read as null).
class TPersistentObjArray : public TPersistentObj {
  KESTREL_PUBLISHED(TPersistentObjArray)

 public:
  // An empty array (no slots) whose elements will be of `item_class`; it
  // never holds more than `max_count` of them.
  explicit TPersistentObjArray(TPersistentObjClass item_class,
                               std::int32_t max_count = std::numeric_limits<std::int32_t>::max());
  ~TPersistentObjArray() override;

  // Creates a default element, appends it and returns it (still owned by the
  // array). Capacity grows by 16 slots when full. If the element's
  // constructor throws, or the array already holds MaxCount elements
  // (ERangeError), nothing changes.
  TPersistentObj* Add();
  // Frees element `index` (0 .. Count-1, else ERangeError) and moves the last
  // element into its slot; the order of the others is not kept.
  void Delete(std::int32_t index);
  // Frees every element in ascending slot order; Capacity stays.
  void Clear();

  std::int32_t Count() const { return count_; }
  std::int32_t MaxCount() const { return max_count_; }
  std::int32_t Capacity() const { return static_cast<std::int32_t>(slots_.size()); }
  // Resizes the slot buffer to exactly `capacity` slots; below Count it
  // raises "Capacity less than item count" and changes nothing.
  void SetCapacity(std::int32_t capacity);

  // Slot access, checked against Capacity (ERangeError outside it). Writing a
  // slot only stores the reference: it neither frees what was there nor
  // changes Count, so the caller that overwrites an element takes over
  // freeing it, and must leave every element in at most one slot below Count.
  TPersistentObj* Items(std::int32_t index) const;
  void SetItems(std::int32_t index, TPersistentObj* item);

  TPersistentObjClass ItemClass() const { return item_class_; }

 private:
  std::vector<TPersistentObj*> slots_;
  std::int32_t count_ = 0;
  std::int32_t max_count_;
  TPersistentObjClass item_class_;
};

// A growable array of UTF-8 strings; `Items` is public and its length is the count.
class TPersistentStrArray : public TPersistent {
  KESTREL_PUBLISHED(TPersistentStrArray)

 public:
  // Appends `str` and returns its index (the former count).
  std::int32_t Add(std::string str);
  // Removes element `index` (ERangeError outside 0 .. Count-1), keeping the order.
  void Delete(std::int32_t index);
  void Clear() { Items.clear(); }
  std::int32_t Count() const { return static_cast<std::int32_t>(Items.size()); }

  TStringDynArray Items;
};

// A growable array of 32-bit integers; `Items` is public and its length is the count.
class TPersistentIntArray : public TPersistent {
  KESTREL_PUBLISHED(TPersistentIntArray)

 public:
  // Appends `value` and returns its index (the former count).
  std::int32_t Add(std::int32_t value);
  // Removes element `index` (ERangeError outside 0 .. Count-1), keeping the order.
  void Delete(std::int32_t index);
  void Clear() { Items.clear(); }
  std::int32_t Count() const { return static_cast<std::int32_t>(Items.size()); }

  TIntegerDynArray Items;
};

}  // namespace kestrel
