// A private temporary directory tree for unit tests, removed with everything below it.
#pragma once

#include "anchors/root.h"

#include <string>
#include <sys/stat.h>

namespace bix::safe_path::testing {

// Owns one fresh directory under the system temporary directory. Paths are relative to it.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& path() const { return path_; }
    std::string at(const std::string& relative) const { return path_ + "/" + relative; }
    void make_directory(const std::string& relative, mode_t mode = 0700) const;
    void write_file(const std::string& relative, const std::string& content,
                    mode_t mode = 0600) const;
    void symlink(const std::string& target, const std::string& relative) const;
    std::string read_file(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    struct stat stat_of(const std::string& relative) const;
    // The tree's root opened and verified as the command line would.
    Root open_as_root() const;

private:
    std::string path_;
};

// SHA-256 of a string as 64 lowercase hexadecimal digits.
std::string sha256_hex(const std::string& content);

} // namespace bix::safe_path::testing
