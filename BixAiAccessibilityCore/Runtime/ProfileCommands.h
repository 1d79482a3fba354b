#pragma once

#include "Profiles/ProfileResolutionStore.h"
#include "Protocol/JSONValue.h"

namespace bix::ax {

// What a resolution lets the host do; never anything by coordinates.
JSONValue capabilitiesObject(const ResolvedDesktopProfile& resolution);
// The members every resolving command answers with: capabilities, the profile's id and version,
// the resolution identifier and the structure fingerprint.
JSONObject resolutionResult(const ResolvedDesktopProfile& resolution);

} // namespace bix::ax
