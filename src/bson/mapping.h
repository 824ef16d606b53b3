// The two entry points of the codec: an object with published properties to
// one BSON document and back. Each stored property becomes one element named
// like the property, in table order; sub-objects become embedded documents,
// object arrays arrays of embedded documents.
#pragma once

#include "bson/document.h"

namespace kestrel {

class TPersistent;

// The system encodes with the empty option set.
TBSON ObjToBSON(const TPersistent& Obj, TBSONSerializationOptions Options = {});

// Checks `Data` and fills the existing `Obj` in place (its sub-objects and
// arrays must exist); properties without an element keep their values. The
// system decodes with {bsoIgnoreUnknownProperties}. Raises EBSONError (or the
// range error of a Currency that does not fit); `Obj` may then be partly filled.
void BSONToObj(const TBSON& Data, TPersistent& Obj,
               TBSONSerializationOptions Options = {bsoIgnoreUnknownProperties});

}  // namespace kestrel
