#include "common/read_ahead.h"
#include "common/test_support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace bix::bridge {

namespace {

std::string frame_of(const std::string& body) {
    auto length = static_cast<std::uint32_t>(body.size());
    return std::string(reinterpret_cast<const char*>(&length), 4) + body;
}

std::string text(const BixFrameRead& read) {
    return std::string(reinterpret_cast<const char*>(read.frame.data()), read.frame.size());
}

TEST(ReadAhead, FramesArrivingTogetherAreServedFromTheStagingBuffer) {
    FdPair pair = make_socketpair();
    ASSERT_TRUE(bix_set_nonblocking(pair.first.get()).ok());
    std::vector<std::string> frames = {frame_of("{}"), frame_of("[1,2]"), frame_of("\"x\"")};
    write_bytes(pair.second.get(), frames[0] + frames[1] + frames[2]);
    pair.second.reset();

    BixReadAhead reader(pair.first.get());
    for (const std::string& expected : frames) {
        auto read = reader.read_frame(100);
        ASSERT_TRUE(read.ok()) << read.error();
        EXPECT_EQ(text(read.value()), expected);
    }
    EXPECT_FALSE(reader.has_buffered());
    auto end = reader.read_frame(100);
    ASSERT_TRUE(end.ok());
    EXPECT_TRUE(end->end_of_file);
}

TEST(ReadAhead, LargeFramesAndSplitArrivalsKeepTheirBytes) {
    FdPair pair = make_socketpair();
    ASSERT_TRUE(bix_set_nonblocking(pair.first.get()).ok());
    std::string big(kBixMaxFrameLength, 'b');
    for (std::size_t i = 0; i < big.size(); i += 97) {
        big[i] = static_cast<char>('a' + i % 13);
    }
    std::string stream = frame_of("s") + frame_of(big) + frame_of("tail");
    std::thread writer([&] {
        for (std::size_t i = 0; i < stream.size(); i += 50000) {
            write_bytes(pair.second.get(), stream.substr(i, 50000));
        }
    });
    BixReadAhead reader(pair.first.get());
    auto first = reader.read_frame();
    auto second = reader.read_frame();
    auto third = reader.read_frame();
    writer.join();
    ASSERT_TRUE(first.ok() && second.ok() && third.ok());
    EXPECT_EQ(text(first.value()), frame_of("s"));
    EXPECT_EQ(text(second.value()), frame_of(big));
    EXPECT_EQ(text(third.value()), frame_of("tail"));
}

TEST(ReadAhead, BadLengthsShortBodiesAndStallsFail) {
    struct Case {
        std::string sent;
        bool hang_up;
        int expected_error;
    };
    const std::vector<Case> cases = {
        {frame_of("ok").substr(0, 4) + "o", true, ECONNRESET},
        {std::string("\0\0\0\0", 4), true, EMSGSIZE},
        {std::string("\x01\x00\x04\x00", 4), true, EMSGSIZE},
        {frame_of("stalled").substr(0, 6), false, ETIMEDOUT},
    };
    for (const Case& c : cases) {
        FdPair pair = make_socketpair();
        ASSERT_TRUE(bix_set_nonblocking(pair.first.get()).ok());
        write_bytes(pair.second.get(), c.sent);
        if (c.hang_up) {
            pair.second.reset();
        }
        BixReadAhead reader(pair.first.get());
        EXPECT_EQ(reader.read_frame(100).error(), c.expected_error) << c.sent.size();
    }
}

} // namespace

} // namespace bix::bridge
