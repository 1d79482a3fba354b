#pragma once

// Buffered input for the relay paths. Frames that arrive together are taken from the kernel
// with one read into a small staging buffer and then copied into their own exact-size buffers;
// a body too large for the staging buffer is read straight into its frame. Every wait keeps the
// timed reader's budget, and the staging bytes are zeroed before release.

#include "common/bix_result.h"
#include "common/native_frame.h"
#include "common/secret_buffer.h"
#include "common/timed_io.h"

#include <array>
#include <cstddef>

namespace bix::bridge {

inline constexpr std::size_t kBixReadAheadSize = 65536;
// One gathered write carries at most this many frames, and stops taking more once this many
// bytes are gathered, so one slow reader holds a single-threaded relay for one budget at most.
inline constexpr std::size_t kBixBatchFrames = 16;
inline constexpr std::size_t kBixBatchBytes = 65536;

// Whole frames read together for one gathered write; each keeps its own exact-size buffer.
struct BixFrameBatch {
    std::array<SecretBuffer, kBixBatchFrames> frames;
    std::size_t count = 0;
};

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
    // Reads one frame as read_frame does, then every further frame already staged whole, within
    // the batch limits, without another system call. A staged frame with a bad length is left
    // for the next call, which then fails on it.
    BixResult<BixReadOutcome> read_frames(BixFrameBatch& batch, int timeout_ms = kBixIoTimeoutMs);

    // Staged bytes not yet consumed, for looking ahead without consuming them.
    std::size_t buffered_size() const { return end_ - begin_; }
    const std::uint8_t* buffered_data() const { return staging_.data() + begin_; }
    // True when a frame with an acceptable length is staged whole.
    bool has_whole_frame() const;

private:
    std::size_t take_buffered(std::uint8_t* out, std::size_t wanted);
    // One read of whatever has arrived (waiting within the budget) into the empty staging buffer.
    BixResult<std::size_t> refill(std::int64_t deadline_ms);

    int fd_;
    BixFdMode mode_ = BixFdMode::unknown;
    SecretBuffer staging_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

} // namespace bix::bridge
