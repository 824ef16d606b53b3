#include "app/enum_coms.h"

#include "app/serial_ports.h"
#include "bson/mapping.h"
#include "messages/messages.h"

namespace kestrel {

std::string EnumCOMs(const std::string& Buf, const std::string& root) {
  TEnumCOMs request;
  BSONToObj(Buf, request, {bsoIgnoreUnknownProperties});
  TEnumCOMsRes answer;
  answer.FCOMs = ListCOMs(root);
  return ObjToBSON(answer);
}

}  // namespace kestrel
