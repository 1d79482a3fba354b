#include "common/fuzz_support.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bix::fuzz {

std::vector<std::string> split_arguments(std::string_view text) {
    std::vector<std::string> pieces;
    while (!text.empty()) {
        const std::size_t end = text.find('\0');
        pieces.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return pieces;
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

void Fd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            property_failed("could not write the input to a descriptor");
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

Fd memory_file(std::string_view bytes) {
    Fd fd(::memfd_create("bix-fuzz-input", MFD_CLOEXEC));
    if (fd.get() < 0)
        property_failed("memfd_create failed");
    write_all(fd.get(), bytes);
    if (::lseek(fd.get(), 0, SEEK_SET) != 0)
        property_failed("lseek on the memory file failed");
    return fd;
}

namespace {

// Removes every entry inside the directory open as `directory` (which this call closes).
void remove_contents(int directory) {
    DIR* stream = ::fdopendir(directory);
    if (stream == nullptr) {
        ::close(directory);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    for (const std::string& name : names) {
        if (::unlinkat(directory, name.c_str(), 0) == 0)
            continue;
        struct stat info {};
        if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(info.st_mode))
            continue;
        // A target may have left a directory without search or write permission.
        ::fchmodat(directory, name.c_str(), 0700, 0);
        const int child =
            ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0)
            remove_contents(child);
        ::unlinkat(directory, name.c_str(), AT_REMOVEDIR);
    }
    ::closedir(stream);
}

void remove_tree(const std::string& path) {
    ::chmod(path.c_str(), 0700);
    const int directory = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory >= 0)
        remove_contents(directory);
    ::rmdir(path.c_str());
}

// The scratch directory's path for the sanitizer's death callback, which takes no argument.
// Written once, before the callback is installed.
char g_scratch_path[4096];

void remove_scratch_on_death() {
    if (g_scratch_path[0] != '\0')
        remove_tree(g_scratch_path);
}

} // namespace

ScratchDirectory& ScratchDirectory::instance() {
    static ScratchDirectory directory;
    return directory;
}

ScratchDirectory::ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") +
                          "/bix-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        property_failed("mkdtemp failed");
    path_ = pattern;
    if (path_.size() < sizeof g_scratch_path) {
        std::memcpy(g_scratch_path, path_.c_str(), path_.size() + 1);
        __sanitizer_set_death_callback(remove_scratch_on_death);
    }
}

ScratchDirectory::~ScratchDirectory() {
    g_scratch_path[0] = '\0';
    remove_tree(path_);
}

void remove_directory_contents(const std::string& path) {
    ::chmod(path.c_str(), 0700);
    const int directory = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory >= 0)
        remove_contents(directory);
}

std::vector<std::string> directory_entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* stream = ::opendir(path.c_str());
    if (stream == nullptr)
        return names;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    ::closedir(stream);
    return names;
}

} // namespace bix::fuzz
