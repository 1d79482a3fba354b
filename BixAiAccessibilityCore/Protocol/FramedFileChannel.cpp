#include "Protocol/FramedFileChannel.h"

#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolLimits.h"

#include <cstdint>

namespace bix::ax {
namespace {

constexpr std::size_t kHeaderBytes = 4;

[[noreturn]] void failFrame(HelperErrorCode code, const char* message) {
    throw HelperProtocolError(code, message);
}

std::uint32_t readBigEndianLength(std::string_view header) {
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < kHeaderBytes; ++i) {
        length = (length << 8) | static_cast<unsigned char>(header[i]);
    }
    return length;
}

// The two checks every declared or actual payload length passes, in both directions.
void checkPayloadLength(std::size_t length) {
    if (length == 0) {
        failFrame(HelperErrorCode::invalidFrame, "Empty frames are not accepted.");
    }
    if (length > HelperProtocolLimits::maximumFrameBytes) {
        failFrame(HelperErrorCode::frameTooLarge, "Frame exceeds the protocol limit.");
    }
}

} // namespace

std::string FrameCodec::encode(std::string_view payload) const {
    checkPayloadLength(payload.size());
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string frame;
    frame.reserve(kHeaderBytes + payload.size());
    frame += static_cast<char>((length >> 24) & 0xFF);
    frame += static_cast<char>((length >> 16) & 0xFF);
    frame += static_cast<char>((length >> 8) & 0xFF);
    frame += static_cast<char>(length & 0xFF);
    frame += payload;
    return frame;
}

std::string FrameCodec::decode(std::string_view frame) const {
    if (frame.size() < kHeaderBytes) {
        failFrame(HelperErrorCode::invalidFrame, "Frame header is truncated.");
    }
    const std::uint32_t length = readBigEndianLength(frame);
    checkPayloadLength(length);
    if (frame.size() != kHeaderBytes + length) {
        failFrame(HelperErrorCode::invalidFrame, "Frame length does not match payload.");
    }
    return std::string(frame.substr(kHeaderBytes));
}

std::optional<std::string> FramedFileChannel::readExactly(std::size_t count) {
    // `count` is at most the frame limit here, so sizing the buffer up front is bounded.
    std::string buffer(count, '\0');
    std::size_t filled = 0;
    while (filled < count) {
        const std::size_t got = input_->readUpTo(buffer.data() + filled, count - filled);
        if (got == 0) {
            break;
        }
        filled += got;
    }
    if (filled == 0 && count > 0) {
        return std::nullopt;
    }
    buffer.resize(filled);
    return buffer;
}

std::optional<std::string> FramedFileChannel::read() {
    const std::optional<std::string> header = readExactly(kHeaderBytes);
    if (!header) {
        return std::nullopt;
    }
    if (header->size() < kHeaderBytes) {
        failFrame(HelperErrorCode::invalidFrame, "Frame header is truncated.");
    }
    const std::uint32_t length = readBigEndianLength(*header);
    // Checked before any payload byte is read or any room is made for one.
    checkPayloadLength(length);
    std::optional<std::string> payload = readExactly(length);
    if (!payload || payload->size() < length) {
        failFrame(HelperErrorCode::invalidFrame, "Frame payload is truncated.");
    }
    return payload;
}

void FramedFileChannel::write(std::string_view payload) {
    const std::string frame = codec_.encode(payload);
    std::lock_guard lock(writeLock_);
    output_->writeAll(frame);
}

} // namespace bix::ax
