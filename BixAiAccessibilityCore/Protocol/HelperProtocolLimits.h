#pragma once

#include <cstddef>

namespace bix::ax {

// The protocol's three size limits.
struct HelperProtocolLimits {
    HelperProtocolLimits() = delete;

    // Largest frame payload in either direction (the 4 header bytes not counted); also the limit
    // of a request payload and of an encoded reply.
    static constexpr std::size_t maximumFrameBytes = 262'144;
    // Largest composer text, in UTF-8 bytes.
    static constexpr std::size_t maximumPromptUTF8Bytes = 245'760;
    // Largest assistant response text returned, in UTF-8 bytes.
    static constexpr std::size_t maximumResponseUTF8Bytes = 245'760;
};

} // namespace bix::ax
