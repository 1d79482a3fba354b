#include "common/test_support.h"

#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bix::bridge {

ScratchDirectory::ScratchDirectory() {
    char pattern[] = "/tmp/bxbu-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

FdPair make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

FdPair make_socketpair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void write_file(const std::string& path, const std::string& content, int mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("open failed: " + path);
    }
    write_bytes(fd, content);
    close(fd);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void write_bytes(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            throw std::runtime_error("write failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace bix::bridge
