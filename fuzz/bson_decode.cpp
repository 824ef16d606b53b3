// Feeds one input to every decoder a hostile peer or driver can reach: the
// object reader for every message class under each reading option, and a
// walk over the elements with the item index and ReadVariant. Every failure
// must be one of the system's exceptions; a decoded object must encode to a
// document that reads back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/exception.h"
#include "bson/document.h"
#include "bson/mapping.h"
#include "bson/variant.h"
#include "messages/messages.h"

namespace kestrel {
namespace {

const TBSONSerializationOptions kOptionSets[] = {
    {},
    {bsoIgnoreUnknownProperties},
    {bsoClearObjectBeforeRead},
    {bsoIgnoreUnknownProperties, bsoClearObjectBeforeRead},
};

// What was decoded must encode to a document, and that document must read
// back into a fresh object of the same class.
template <class Message>
void CheckReEncodes(const Message& decoded) {
  TBSON again;
  try {
    again = ObjToBSON(decoded);
  } catch (const ERangeError&) {
    return;  // a date or amount at the edge of its range
  }
  if (!TBSONDocBulder::IsBSON(again))
    std::abort();
  Message fresh;
  try {
    BSONToObj(again, fresh, {});
  } catch (const ERangeError&) {
  }
}

template <class Message>
void DecodeAs(const TBSON& input) {
  for (const auto options : kOptionSets) {
    Message message;
    try {
      BSONToObj(input, message, options);
    } catch (const Exception&) {
      continue;
    }
    CheckReEncodes(message);
  }
}

void WalkElements(const TBSON& input) {
  try {
    TBSONDocBulder doc(input);
    const int count = doc.ItemCount();
    for (int i = 0; i < count; ++i) {
      const Variant value = doc.ReadVariant();
      TBSONDocBulder copy;
      copy.WriteVariant(doc.LastReadName(), value);
    }
  } catch (const Exception&) {
  }
}

}  // namespace
}  // namespace kestrel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  const TBSON input(reinterpret_cast<const char*>(data), size);
  DecodeAs<TPrintCmd>(input);
  DecodeAs<TTermPrintCmd>(input);
  DecodeAs<TPrnDeviceCmd>(input);
  DecodeAs<TPrintRes>(input);
  DecodeAs<TInitPrintRes>(input);
  DecodeAs<TTermPrintRes>(input);
  DecodeAs<TPrnZREPRes>(input);
  DecodeAs<TEnumCOMs>(input);
  DecodeAs<TEnumCOMsRes>(input);
  DecodeAs<TUpdateInfo>(input);
  DecodeAs<TUpdateFile>(input);
  WalkElements(input);
  return 0;
}
