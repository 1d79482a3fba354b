#include "common/native_frame.h"

namespace bix::bridge {

BixResult<BixFrameRead> bix_read_native_frame(int fd, int timeout_ms) {
    return bix_read_frame_with(
        [fd](std::uint8_t* data, std::size_t size, bool end_allowed, int timeout) {
            return bix_read_exact_timeout(fd, data, size, end_allowed, timeout);
        },
        timeout_ms);
}

} // namespace bix::bridge
