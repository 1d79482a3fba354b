#pragma once

#include "Platform/FileHandle.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace bix::ax {

// Builds and checks frames: a 4-byte big-endian payload length, then the payload (1 to
// HelperProtocolLimits::maximumFrameBytes bytes). Stateless. Failures throw HelperProtocolError
// with invalidFrame or frameTooLarge.
class FrameCodec {
public:
    // The frame carrying `payload`.
    std::string encode(std::string_view payload) const;
    // Checks one complete frame held in memory and returns its payload.
    std::string decode(std::string_view frame) const;
};

// Reads whole frames from one handle and writes whole frames to another. Shares ownership of
// both handles. Holds no bytes between frames: each read() starts at a frame boundary, and after
// a failed read the stream position is undefined, so the channel must not be read again.
// `writeLock_` is held for the whole of one frame write, so frames never interleave.
class FramedFileChannel {
public:
    FramedFileChannel(std::shared_ptr<InputHandle> input, std::shared_ptr<OutputHandle> output)
        : input_(std::move(input)), output_(std::move(output)) {}

    // Blocks until one whole frame has been read and returns its payload; nothing when the
    // input ends cleanly before the first header byte. Never reads past the frame, and refuses
    // an oversized length before reading (or allocating for) any payload byte. Called from one
    // thread only.
    std::optional<std::string> read();

    // Encodes `payload` (outside the lock), then writes the frame under the write lock.
    void write(std::string_view payload);

private:
    // Up to `count` bytes: fewer only when the input ended; nothing when it ended at once.
    std::optional<std::string> readExactly(std::size_t count);

    std::shared_ptr<InputHandle> input_;
    std::shared_ptr<OutputHandle> output_;
    std::mutex writeLock_; // guards writes to output_, one frame at a time
    FrameCodec codec_;
};

} // namespace bix::ax
