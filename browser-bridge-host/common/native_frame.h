#pragma once

// Native-messaging frames: a 32-bit little-endian length, then that many bytes of UTF-8 JSON.
// Frames are carried whole, prefix included, and never interpreted.

#include "common/bix_result.h"
#include "common/secret_buffer.h"
#include "common/timed_io.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t kBixMinFrameLength = 1;
inline constexpr std::uint32_t kBixMaxFrameLength = 262144;
inline constexpr std::size_t kBixFramePrefixSize = 4;

struct BixFrameRead {
    bool end_of_file = false;
    SecretBuffer frame; // prefix and body; empty at end of file
};

// Reads one frame. An end of file before the prefix is a clean end; a length outside 1..262144
// fails with EMSGSIZE, a failed allocation with ENOMEM, a short body or a timeout with the read's
// error.
BixResult<BixFrameRead> bix_read_native_frame(int fd, int timeout_ms = kBixIoTimeoutMs);

// True when `length` is an acceptable frame body length.
inline bool bix_is_valid_frame_length(std::uint32_t length) {
    return length >= kBixMinFrameLength && length <= kBixMaxFrameLength;
}
