#pragma once

#include "Protocol/JSONValue.h"

#include <string>

namespace bix::ax {

// Canonical compact JSON: object members sorted by key, no whitespace, the solidus unescaped,
// doubles in shortest round-trip form. No size limit (HelperProtocolEncoder adds the frame limit).
// Throws HelperProtocolError (internalFailure) for a non-finite double, which JSON cannot carry.
std::string encodeCanonicalJSON(const JSONValue& value);

} // namespace bix::ax
