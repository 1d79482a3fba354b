#include "common/native_frame.h"

#include "common/byte_order.h"

#include <cerrno>
#include <cstring>

BixResult<BixFrameRead> bix_read_native_frame(int fd, int timeout_ms) {
    std::uint8_t prefix[kBixFramePrefixSize] = {};
    auto head = bix_read_exact_timeout(fd, prefix, sizeof prefix, true, timeout_ms);
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
    auto body =
        bix_read_exact_timeout(fd, frame->data() + kBixFramePrefixSize, length, false, timeout_ms);
    if (!body.ok()) {
        return BixStatus::failure(body.error());
    }
    return BixFrameRead{false, std::move(*frame)};
}
