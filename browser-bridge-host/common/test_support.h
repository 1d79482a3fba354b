#pragma once

// Helpers shared by the bridge's unit tests: scratch directories and descriptor pairs.

#include "common/unique_fd.h"

#include <string>
#include <utility>

namespace bix::bridge {

// A private directory under /tmp, removed with its content on destruction.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string join(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct FdPair {
    UniqueFd first;
    UniqueFd second;
};

FdPair make_pipe();       // first: read end, second: write end
FdPair make_socketpair(); // a connected Unix stream pair
void write_file(const std::string& path, const std::string& content, int mode);
void write_bytes(int fd, const std::string& bytes);

} // namespace bix::bridge
