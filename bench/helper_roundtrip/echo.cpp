// The floor of the round-trip benchmark: reads length-prefixed frames from standard input and
// writes each one back unchanged, with nothing but the framing in between.
#include <cstdint>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t kMaximumFrameBytes = 262144;

bool readExactly(unsigned char* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(STDIN_FILENO, buffer + done, count - done);
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(const unsigned char* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t wrote = ::write(STDOUT_FILENO, buffer + done, count - done);
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

} // namespace

int main() {
    std::vector<unsigned char> frame(4 + kMaximumFrameBytes);
    while (readExactly(frame.data(), 4)) {
        const std::uint32_t length = (std::uint32_t{frame[0]} << 24) |
                                     (std::uint32_t{frame[1]} << 16) |
                                     (std::uint32_t{frame[2]} << 8) | std::uint32_t{frame[3]};
        if (length == 0 || length > kMaximumFrameBytes || !readExactly(frame.data() + 4, length) ||
            !writeAll(frame.data(), 4 + length)) {
            return 0;
        }
    }
    return 0;
}
