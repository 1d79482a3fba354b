#pragma once

#include "Platform/Clock.h"

#include <string>

namespace bix::ax {

// `time` as an ISO 8601 internet date-time in UTC with whole seconds, e.g.
// "2026-03-01T14:03:22Z" (fractions of a second are dropped, not rounded).
std::string iso8601UTC(TimePoint time);

} // namespace bix::ax
