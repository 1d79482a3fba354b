#include "common/native_frame.h"
#include "common/stop_flag.h"
#include "common/test_support.h"
#include "common/timed_io.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bix::bridge {

namespace {

constexpr int kShortTimeoutMs = 100;

struct ReadCase {
    const char* name;
    std::string sent;
    bool close_after;
    bool end_of_file_allowed;
    int expected_error; // 0: success
    BixReadOutcome expected_outcome;
};

TEST(TimedIo, ReadExactHandlesEveryEndingOfThePeer) {
    const std::vector<ReadCase> cases = {
        {"complete", "abcd", false, false, 0, BixReadOutcome::complete},
        {"eof-before-first-byte-allowed", "", true, true, 0, BixReadOutcome::end_of_file},
        {"eof-before-first-byte-refused", "", true, false, ECONNRESET, {}},
        {"eof-after-some-bytes", "ab", true, true, ECONNRESET, {}},
        {"silent-peer-times-out", "ab", false, true, ETIMEDOUT, {}},
    };
    for (const ReadCase& c : cases) {
        FdPair pair = make_socketpair();
        write_bytes(pair.second.get(), c.sent);
        if (c.close_after) {
            pair.second.reset();
        }
        char buffer[4] = {};
        auto result = bix_read_exact_timeout(pair.first.get(), buffer, sizeof buffer,
                                             c.end_of_file_allowed, kShortTimeoutMs);
        if (c.expected_error != 0) {
            EXPECT_FALSE(result.ok()) << c.name;
            EXPECT_EQ(result.error(), c.expected_error) << c.name;
        } else {
            ASSERT_TRUE(result.ok()) << c.name << " errno " << result.error();
            EXPECT_EQ(result.value(), c.expected_outcome) << c.name;
        }
    }
}

TEST(TimedIo, ReadExactCollectsBytesArrivingInPieces) {
    FdPair pair = make_socketpair();
    ASSERT_TRUE(bix_set_nonblocking(pair.first.get()).ok());
    std::thread writer([fd = pair.second.get()] {
        for (char c : std::string("0123456789")) {
            write_bytes(fd, std::string(1, c));
        }
    });
    char buffer[10] = {};
    auto result = bix_read_exact_timeout(pair.first.get(), buffer, sizeof buffer, false);
    writer.join();
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(std::string(buffer, sizeof buffer), "0123456789");
}

TEST(TimedIo, WriteAllMovesLargeBuffersThroughANonBlockingPipe) {
    FdPair pipe = make_pipe();
    ASSERT_TRUE(bix_set_nonblocking(pipe.second.get()).ok());
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 31);
    }
    std::string received(data.size(), '\0');
    std::thread reader([&] {
        (void)bix_read_exact_timeout(pipe.first.get(), received.data(), received.size(), false);
    });
    BixStatus status = bix_write_all_timeout(pipe.second.get(), data.data(), data.size());
    reader.join();
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(received, data);
}

TEST(TimedIo, VectorWriteResumesInsideAPartAfterAShortWrite) {
    // Parts of odd sizes through a one-page pipe: short writes end inside parts and between them.
    FdPair pipe = make_pipe();
    ASSERT_GE(fcntl(pipe.second.get(), F_SETPIPE_SZ, 4096), 0);
    ASSERT_TRUE(bix_set_nonblocking(pipe.second.get()).ok());
    std::vector<std::string> pieces = {std::string(3001, 'a'), "", std::string(5, 'b'),
                                       std::string(7000, 'c'), std::string(1, 'd')};
    std::vector<iovec> parts;
    std::string expected;
    for (std::string& piece : pieces) {
        parts.push_back(iovec{piece.data(), piece.size()});
        expected += piece;
    }
    std::string received(expected.size(), '\0');
    std::thread reader([&] {
        (void)bix_read_exact_timeout(pipe.first.get(), received.data(), received.size(), false);
    });
    BixStatus status = bix_write_vector_timeout(pipe.second.get(), parts.data(), parts.size(),
                                                kBixIoTimeoutMs, BixFdMode::nonblocking);
    reader.join();
    EXPECT_TRUE(status.ok()) << status.error();
    EXPECT_EQ(received, expected);
    for (const iovec& part : parts) {
        EXPECT_EQ(part.iov_len, 0u);
    }
}

TEST(TimedIo, WriteAllTimesOutOnAFullPipeAndFailsWithoutAReader) {
    // Both modes ignore SIGPIPE at start-up; a write to a pipe without a reader is an EPIPE.
    signal(SIGPIPE, SIG_IGN);
    FdPair pipe = make_pipe();
    ASSERT_TRUE(bix_set_nonblocking(pipe.second.get()).ok());
    std::string data(1 << 20, 'x');
    BixStatus full =
        bix_write_all_timeout(pipe.second.get(), data.data(), data.size(), kShortTimeoutMs);
    EXPECT_EQ(full.error(), ETIMEDOUT);

    pipe.first.reset();
    BixStatus orphaned = bix_write_all_timeout(pipe.second.get(), "y", 1, kShortTimeoutMs);
    EXPECT_FALSE(orphaned.ok());
}

TEST(TimedIo, PollTreatsHangUpAsReadableAndClosedDescriptorAsError) {
    FdPair pair = make_socketpair();
    pair.second.reset();
    EXPECT_TRUE(bix_poll_fd(pair.first.get(), POLLIN, kShortTimeoutMs).ok());

    FdPair pipe = make_pipe();
    int closed = pipe.first.get();
    pipe.first.reset();
    EXPECT_EQ(bix_poll_fd(closed, POLLIN, kShortTimeoutMs).error(), EIO);
}

#ifdef BIX_TEST_HOOKS
TEST(TimedIo, StopRequestEndsEveryTimedWait) {
    FdPair pair = make_socketpair();
    bix_request_stop();
    char byte = 0;
    auto read = bix_read_exact_timeout(pair.first.get(), &byte, 1, true);
    BixStatus write = bix_write_all_timeout(pair.first.get(), "x", 1);
    bix_clear_stop_for_tests();
    EXPECT_EQ(read.error(), ECANCELED);
    EXPECT_EQ(write.error(), ECANCELED);
}
#endif

std::string prefix(std::uint32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), 4);
}

struct FrameCase {
    const char* name;
    std::string sent;
    int expected_error; // 0: success
    bool expected_end_of_file;
};

TEST(NativeFrame, ReadChecksLengthAndBody) {
    const std::vector<FrameCase> cases = {
        {"one-byte", prefix(1) + "1", 0, false},
        {"clean-end", "", 0, true},
        {"zero-length", prefix(0), EMSGSIZE, false},
        {"above-limit", prefix(262145), EMSGSIZE, false},
        {"huge-length", prefix(0xffffffffu), EMSGSIZE, false},
        {"short-body", prefix(5) + "ab", ECONNRESET, false},
        {"short-prefix", std::string("\x01\x00", 2), ECONNRESET, false},
    };
    for (const FrameCase& c : cases) {
        FdPair pair = make_socketpair();
        write_bytes(pair.second.get(), c.sent);
        pair.second.reset();
        auto result = bix_read_native_frame(pair.first.get(), kShortTimeoutMs);
        if (c.expected_error != 0) {
            EXPECT_EQ(result.error(), c.expected_error) << c.name;
            continue;
        }
        ASSERT_TRUE(result.ok()) << c.name;
        EXPECT_EQ(result->end_of_file, c.expected_end_of_file) << c.name;
        if (!c.expected_end_of_file) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(result->frame.data()),
                                  result->frame.size()),
                      c.sent)
                << c.name;
        }
    }
}

TEST(NativeFrame, LargestFrameArrivesWholeWithItsPrefix) {
    FdPair pair = make_socketpair();
    std::string frame = prefix(kBixMaxFrameLength) + std::string(kBixMaxFrameLength, 'z');
    std::thread writer([&] { write_bytes(pair.second.get(), frame); });
    auto result = bix_read_native_frame(pair.first.get());
    writer.join();
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result->frame.size(), frame.size());
    EXPECT_EQ(0, memcmp(result->frame.data(), frame.data(), frame.size()));
}

TEST(SecretBuffer, AllocatesZeroedAndEmptiesOnMoveAndRelease) {
    auto buffer = SecretBuffer::allocate(64);
    ASSERT_TRUE(buffer.has_value());
    for (std::size_t i = 0; i < buffer->size(); ++i) {
        EXPECT_EQ(buffer->data()[i], 0);
    }
    buffer->data()[0] = 7;
    SecretBuffer moved = std::move(*buffer);
    EXPECT_TRUE(buffer->empty());
    EXPECT_EQ(buffer->data(), nullptr);
    EXPECT_EQ(moved.data()[0], 7);
    moved.release();
    EXPECT_TRUE(moved.empty());
}

} // namespace

} // namespace bix::bridge
