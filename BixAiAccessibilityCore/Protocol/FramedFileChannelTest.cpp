#include "Protocol/FramedFileChannel.h"

#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/HelperProtocolLimits.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace bix::ax {
namespace {

using namespace std::string_literals;

constexpr std::size_t kLimit = HelperProtocolLimits::maximumFrameBytes;

std::string header(std::uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>((length >> 16) & 0xFF),
            static_cast<char>((length >> 8) & 0xFF), static_cast<char>(length & 0xFF)};
}

// A pipe whose ends close with the test. Sized to hold the largest frame so a test can write a
// whole frame before reading it on one thread.
class Pipe {
public:
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        readFd_ = fds[0];
        writeFd_ = fds[1];
        if (::fcntl(writeFd_, F_SETPIPE_SZ, 1 << 20) < static_cast<int>(kLimit + 4)) {
            throw std::runtime_error("cannot size a pipe to hold a whole frame");
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    void send(std::string_view bytes) { FileDescriptorHandle(writeFd_).writeAll(bytes); }
    void closeWrite() {
        if (writeFd_ >= 0) {
            ::close(writeFd_);
            writeFd_ = -1;
        }
    }
    void closeRead() {
        if (readFd_ >= 0) {
            ::close(readFd_);
            readFd_ = -1;
        }
    }
    // Whatever is left unread, once the write end is closed.
    std::string drain() {
        closeWrite();
        std::string rest;
        char buffer[4096];
        for (std::size_t got; (got = FileDescriptorHandle(readFd_).readUpTo(buffer, 4096)) > 0;) {
            rest.append(buffer, got);
        }
        return rest;
    }
    int readFd() const { return readFd_; }
    int writeFd() const { return writeFd_; }

private:
    int readFd_ = -1;
    int writeFd_ = -1;
};

// Passes reads through to a real descriptor, at most `maximumPerRead` bytes each, and records
// how many bytes each read asked for.
class RecordingInput final : public InputHandle {
public:
    RecordingInput(int fd, std::size_t maximumPerRead) : fd_(fd), maximumPerRead_(maximumPerRead) {}
    std::size_t readUpTo(char* buffer, std::size_t count) override {
        requested.push_back(count);
        return fd_.readUpTo(buffer, std::min(count, maximumPerRead_));
    }
    std::vector<std::size_t> requested;

private:
    FileDescriptorHandle fd_;
    std::size_t maximumPerRead_;
};

class FramedFileChannelOverPipe : public ::testing::Test {
protected:
    FramedFileChannel channelReading(std::size_t maximumPerRead = SIZE_MAX) {
        input_ = std::make_shared<RecordingInput>(in_.readFd(), maximumPerRead);
        return FramedFileChannel(input_, std::make_shared<FileDescriptorHandle>(out_.writeFd()));
    }
    Pipe in_;
    Pipe out_;
    std::shared_ptr<RecordingInput> input_;
};

TEST_F(FramedFileChannelOverPipe, ReadsConsecutiveFramesAndThenCleanEnd) {
    in_.send(header(5) + "hello" + header(2) + "{}");
    in_.closeWrite();
    FramedFileChannel channel = channelReading();
    EXPECT_EQ(channel.read(), "hello");
    EXPECT_EQ(channel.read(), "{}");
    EXPECT_EQ(channel.read(), std::nullopt);
}

TEST_F(FramedFileChannelOverPipe, ReadsAFrameDeliveredOneByteAtATime) {
    const std::string payload = R"({"command":"checkTrust"})";
    in_.send(header(static_cast<std::uint32_t>(payload.size())) + payload);
    in_.closeWrite();
    FramedFileChannel channel = channelReading(1);
    EXPECT_EQ(channel.read(), payload);
    // Each read asks only for the bytes still missing from the header or the payload.
    std::vector<std::size_t> expected{4, 3, 2, 1};
    for (std::size_t missing = payload.size(); missing > 0; --missing) {
        expected.push_back(missing);
    }
    EXPECT_EQ(input_->requested, expected);
}

TEST_F(FramedFileChannelOverPipe, AcceptsAFrameOfExactlyTheLimit) {
    const std::string payload(kLimit, 'p');
    in_.send(header(kLimit) + payload);
    in_.closeWrite();
    FramedFileChannel channel = channelReading();
    EXPECT_EQ(channel.read(), payload);
}

TEST_F(FramedFileChannelOverPipe, RefusesAHostileLengthWithoutReadingThePayload) {
    for (const std::uint32_t hostile : {static_cast<std::uint32_t>(kLimit + 1), 0xFFFFFFFFu}) {
        Pipe in;
        in.send(header(hostile) + "payload bytes");
        auto input = std::make_shared<RecordingInput>(in.readFd(), SIZE_MAX);
        FramedFileChannel channel(input, std::make_shared<FileDescriptorHandle>(out_.writeFd()));
        EXPECT_THAT([&] { channel.read(); },
                    FailsWith(HelperErrorCode::frameTooLarge, "Frame exceeds the protocol limit."));
        EXPECT_EQ(input->requested, std::vector<std::size_t>{4});
        EXPECT_EQ(in.drain(), "payload bytes");
    }
}

TEST_F(FramedFileChannelOverPipe, RefusesBrokenFrames) {
    struct Case {
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {"\0\0\0"s, "Frame header is truncated."},
        {"\0\0"s, "Frame header is truncated."},
        {header(0) + "x", "Empty frames are not accepted."},
        {header(10) + "abcd", "Frame payload is truncated."},
        {header(1), "Frame payload is truncated."},
    };
    for (const Case& testCase : cases) {
        Pipe in;
        in.send(testCase.bytes);
        in.closeWrite();
        FramedFileChannel channel(std::make_shared<FileDescriptorHandle>(in.readFd()),
                                  std::make_shared<FileDescriptorHandle>(out_.writeFd()));
        EXPECT_THAT([&] { channel.read(); },
                    FailsWith(HelperErrorCode::invalidFrame, testCase.message))
            << ::testing::PrintToString(testCase.bytes);
    }
}

TEST_F(FramedFileChannelOverPipe, WritesWholeFrames) {
    FramedFileChannel channel = channelReading();
    channel.write("{\"ok\":true}");
    channel.write("x");
    EXPECT_EQ(out_.drain(), header(11) + "{\"ok\":true}" + header(1) + "x");
}

TEST_F(FramedFileChannelOverPipe, RefusesToWriteEmptyOrOversizedPayloads) {
    FramedFileChannel channel = channelReading();
    EXPECT_THAT([&] { channel.write(""); },
                FailsWith(HelperErrorCode::invalidFrame, "Empty frames are not accepted."));
    EXPECT_THAT([&] { channel.write(std::string(kLimit + 1, 'x')); },
                FailsWith(HelperErrorCode::frameTooLarge, "Frame exceeds the protocol limit."));
    EXPECT_EQ(out_.drain(), "");
}

TEST_F(FramedFileChannelOverPipe, PassesWriteFailuresThroughAsSystemErrors) {
    // With SIGPIPE ignored (as the helper does), writing to a pipe nobody reads fails with EPIPE.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    FramedFileChannel channel = channelReading();
    out_.closeRead();
    try {
        channel.write("x");
        ADD_FAILURE() << "write to a closed pipe succeeded";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EPIPE);
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(FrameCodec, EncodesBigEndianLengthBeforePayload) {
    const FrameCodec codec;
    EXPECT_EQ(codec.encode("hello"), "\0\0\0\x05hello"s);
    EXPECT_EQ(codec.encode(std::string(kLimit, 'z')).substr(0, 4), "\0\x04\0\0"s);
    EXPECT_THAT([&] { codec.encode(""); },
                FailsWith(HelperErrorCode::invalidFrame, "Empty frames are not accepted."));
    EXPECT_THAT([&] { codec.encode(std::string(kLimit + 1, 'z')); },
                FailsWith(HelperErrorCode::frameTooLarge, "Frame exceeds the protocol limit."));
}

TEST(FrameCodec, DecodesOneWholeFrame) {
    const FrameCodec codec;
    EXPECT_EQ(codec.decode("\0\0\0\x05hello"s), "hello");
    EXPECT_EQ(codec.decode(header(kLimit) + std::string(kLimit, 'q')), std::string(kLimit, 'q'));
    struct Case {
        std::string frame;
        HelperErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {"\0\0\0"s, HelperErrorCode::invalidFrame, "Frame header is truncated."},
        {header(0), HelperErrorCode::invalidFrame, "Empty frames are not accepted."},
        {header(5) + "hello!", HelperErrorCode::invalidFrame,
         "Frame length does not match payload."},
        {header(5) + "hell", HelperErrorCode::invalidFrame, "Frame length does not match payload."},
        // The size check comes first, even when the sizes also disagree.
        {header(kLimit + 1) + "x", HelperErrorCode::frameTooLarge,
         "Frame exceeds the protocol limit."},
    };
    for (const Case& testCase : cases) {
        EXPECT_THAT([&] { codec.decode(testCase.frame); },
                    FailsWith(testCase.code, testCase.message))
            << ::testing::PrintToString(testCase.frame);
    }
}

} // namespace
} // namespace bix::ax
