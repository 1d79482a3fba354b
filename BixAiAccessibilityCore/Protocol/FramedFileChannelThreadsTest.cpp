#include "Protocol/FramedFileChannel.h"

#include <condition_variable>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace bix::ax {
namespace {

// Reads through a real pipe and tells the writer each time a read has returned, so the writer
// can put exactly one byte into the pipe per read: the reader then sees the frame one byte at a
// time, deterministically and without sleeping.
class LockstepInput final : public InputHandle {
public:
    explicit LockstepInput(int fd) : fd_(fd) {}

    std::size_t readUpTo(char* buffer, std::size_t count) override {
        const std::size_t got = fd_.readUpTo(buffer, count);
        {
            std::lock_guard lock(mutex_);
            sizes_.push_back(got);
            ++reads_;
        }
        readDone_.notify_one();
        return got;
    }

    void waitForReads(std::size_t count) {
        std::unique_lock lock(mutex_);
        readDone_.wait(lock, [&] { return reads_ >= count; });
    }

    std::vector<std::size_t> sizes() {
        std::lock_guard lock(mutex_);
        return sizes_;
    }

private:
    FileDescriptorHandle fd_;
    std::mutex mutex_; // guards sizes_ and reads_
    std::condition_variable readDone_;
    std::vector<std::size_t> sizes_;
    std::size_t reads_ = 0;
};

TEST(FramedFileChannelThreads, ReadsAFrameWrittenOneByteAtATimeWhole) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const std::string payload = R"({"protocol":"bix.ax.helper"})";
    const std::string frame =
        std::string("\0\0\0", 3) + static_cast<char>(payload.size()) + payload;

    auto input = std::make_shared<LockstepInput>(fds[0]);
    FramedFileChannel channel(input, std::make_shared<FileDescriptorHandle>(fds[1]));
    std::thread writer([&] {
        FileDescriptorHandle out(fds[1]);
        for (std::size_t i = 0; i < frame.size(); ++i) {
            out.writeAll(frame.substr(i, 1));
            input->waitForReads(i + 1);
        }
    });
    const std::optional<std::string> read = channel.read();
    writer.join();
    ::close(fds[0]);
    ::close(fds[1]);

    EXPECT_EQ(read, payload);
    EXPECT_EQ(input->sizes(), std::vector<std::size_t>(frame.size(), 1));
}

} // namespace
} // namespace bix::ax
