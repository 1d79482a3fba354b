#include "test_support/temp_tree.h"

#include "anchors/bookmark.h"
#include "platform/sha256.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace bix::safe_path::testing {

TempTree::TempTree() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/bix-sph-unit-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempTree::~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempTree::make_directory(const std::string& relative, mode_t mode) const {
    if (::mkdir(at(relative).c_str(), mode) != 0 || ::chmod(at(relative).c_str(), mode) != 0)
        throw std::runtime_error("mkdir failed: " + relative);
}

void TempTree::write_file(const std::string& relative, const std::string& content,
                          mode_t mode) const {
    {
        std::ofstream out(at(relative), std::ios::binary | std::ios::trunc);
        out << content;
        if (!out)
            throw std::runtime_error("write failed: " + relative);
    }
    ::chmod(at(relative).c_str(), mode);
}

void TempTree::symlink(const std::string& target, const std::string& relative) const {
    if (::symlink(target.c_str(), at(relative).c_str()) != 0)
        throw std::runtime_error("symlink failed: " + relative);
}

std::string TempTree::read_file(const std::string& relative) const {
    std::ifstream in(at(relative), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool TempTree::exists(const std::string& relative) const {
    struct stat ignored;
    return ::lstat(at(relative).c_str(), &ignored) == 0;
}

struct stat TempTree::stat_of(const std::string& relative) const {
    struct stat result {};
    if (::lstat(at(relative).c_str(), &result) != 0)
        throw std::runtime_error("lstat failed: " + relative);
    return result;
}

Root TempTree::open_as_root() const {
    struct stat self = stat_of(".");
    auto root = open_root(path_, DirectoryIdentity{self.st_dev, self.st_ino, self.st_uid});
    if (!root)
        throw std::runtime_error("root did not open");
    return std::move(*root);
}

std::string sha256_hex(const std::string& content) {
    auto digest = platform::sha256_of(content.data(), content.size());
    return to_hex(*digest);
}

} // namespace bix::safe_path::testing
