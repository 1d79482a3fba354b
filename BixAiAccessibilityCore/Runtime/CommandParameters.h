#pragma once

#include "Protocol/JSONValue.h"
#include "Protocol/Validation.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace bix::ax {

// Limits shared by the parameters of several commands.
inline constexpr std::size_t kMaximumIdentifierBytes = 128;
inline constexpr std::size_t kMaximumBundleIdBytes = 255;
inline constexpr std::size_t kMaximumProfileHashBytes = 64;

// An opaque identifier parameter such as "bindingId": at most 128 bytes of [A-Za-z0-9_-].
inline std::string identifierParameter(const JSONObject& params, std::string_view key) {
    return Validation::boundedText(params, key, kMaximumIdentifierBytes,
                                   Validation::Pattern::opaque);
}

} // namespace bix::ax
