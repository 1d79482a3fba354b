#pragma once

// Buffered input for the relay paths. Frames that arrive together are taken from the kernel
// with one read into a small staging buffer and then copied into their own exact-size buffers;
// a body too large for the staging buffer is read straight into its frame. Every wait keeps the
// timed reader's budget, and the staging bytes are zeroed before release.

#include "common/bix_result.h"
#include "common/native_frame.h"
#include "common/secret_buffer.h"
#include "common/timed_io.h"

#include <cstddef>

inline constexpr std::size_t kBixReadAheadSize = 65536;

// Owns the staging buffer of one input descriptor (not the descriptor). Invariant:
// begin_ <= end_ <= staging_.size(); bytes in [begin_, end_) arrived but are not yet consumed.
class BixReadAhead {
public:
    explicit BixReadAhead(int fd) : fd_(fd) {}

    int fd() const { return fd_; }
    // True when bytes have arrived that no poll of the descriptor would report.
    bool has_buffered() const { return begin_ < end_; }

    // Like bix_read_exact_timeout, consuming buffered bytes first.
    BixResult<BixReadOutcome> read_exact(void* buffer, std::size_t size, bool end_of_file_allowed,
                                         int timeout_ms = kBixIoTimeoutMs);
    // Like bix_read_native_frame, consuming buffered bytes first.
    BixResult<BixFrameRead> read_frame(int timeout_ms = kBixIoTimeoutMs);

private:
    std::size_t take_buffered(std::uint8_t* out, std::size_t wanted);
    // One read of whatever has arrived (waiting within the budget) into the empty staging buffer.
    BixResult<std::size_t> refill(std::int64_t deadline_ms);

    int fd_;
    SecretBuffer staging_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};
