#pragma once

// Native-messaging frames: a 32-bit little-endian length, then that many bytes of UTF-8 JSON.
// Frames are carried whole, prefix included, and never interpreted.

#include "common/bix_result.h"
#include "common/byte_order.h"
#include "common/secret_buffer.h"
#include "common/timed_io.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace bix::bridge {

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

// Reads one frame through `read_exact(buffer, size, end_of_file_allowed, timeout_ms)`, which
// returns BixResult<BixReadOutcome>: the one framing rule shared by direct and buffered readers.
template <typename ReadExact>
BixResult<BixFrameRead> bix_read_frame_with(ReadExact&& read_exact, int timeout_ms) {
    std::uint8_t prefix[kBixFramePrefixSize] = {};
    auto head = read_exact(prefix, sizeof prefix, true, timeout_ms);
    if (!head.ok()) {
        return BixStatus::failure(head.error());
    }
    if (head.value() == BixReadOutcome::end_of_file) {
        return BixFrameRead{true, SecretBuffer()};
    }
    std::uint32_t length = bix_load_le32(prefix);
    if (!bix_is_valid_frame_length(length)) {
        return BixStatus::failure(EMSGSIZE);
    }
    auto frame = SecretBuffer::allocate(length + kBixFramePrefixSize);
    if (!frame) {
        return BixStatus::failure(ENOMEM);
    }
    std::memcpy(frame->data(), prefix, sizeof prefix);
    auto body = read_exact(frame->data() + kBixFramePrefixSize, length, false, timeout_ms);
    if (!body.ok()) {
        return BixStatus::failure(body.error());
    }
    return BixFrameRead{false, std::move(*frame)};
}

} // namespace bix::bridge
