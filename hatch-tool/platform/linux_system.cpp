#include "platform/linux_system.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <link.h>
#include <memory>
#include <sstream>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

extern char** environ;

namespace bix_hatch {
namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

// Closes a dlopen handle once; the library itself stays loaded (it is a link-time dependency).
class LibraryHandle {
public:
    explicit LibraryHandle(void* handle) : handle_(handle) {}
    ~LibraryHandle() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;
    void* get() const { return handle_; }

private:
    void* handle_;
};

bool parse_hex(std::string_view text, std::uintptr_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parse_decimal(std::string_view text, std::uint64_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t position = 0;
    while (position < line.size() && fields.size() < 6) {
        while (position < line.size() && line[position] == ' ') {
            ++position;
        }
        std::size_t end = line.find(' ', position);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        if (end > position) {
            fields.push_back(line.substr(position, end - position));
        }
        position = end;
    }
    return fields;
}

// One maps line: "start-end perms offset major:minor inode [path]".
bool mapping_contains(std::string_view line, std::uintptr_t address, FileIdentity& identity) {
    const auto fields = split_fields(line);
    if (fields.size() < 5) {
        return false;
    }
    const auto dash = fields[0].find('-');
    const auto colon = fields[3].find(':');
    std::uintptr_t start = 0, end = 0, major = 0, minor = 0;
    std::uint64_t inode = 0;
    if (dash == std::string_view::npos || colon == std::string_view::npos ||
        !parse_hex(fields[0].substr(0, dash), start) ||
        !parse_hex(fields[0].substr(dash + 1), end) ||
        !parse_hex(fields[3].substr(0, colon), major) ||
        !parse_hex(fields[3].substr(colon + 1), minor) || !parse_decimal(fields[4], inode)) {
        return false;
    }
    if (address < start || address >= end || inode == 0) {
        return false;
    }
    identity = FileIdentity{makedev(major, minor), static_cast<ino_t>(inode), 0};
    return true;
}

// Closes a descriptor once.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Unmaps one read-only mapping once.
class Mapping {
public:
    Mapping(int fd, std::size_t length)
        : length_(length), address_(mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0)) {}
    ~Mapping() {
        if (address_ != MAP_FAILED) {
            munmap(address_, length_);
        }
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    const void* get() const { return address_ == MAP_FAILED ? nullptr : address_; }

private:
    std::size_t length_;
    void* address_;
};

FileIdentity identity_of_address(const void* address) {
    std::ifstream maps("/proc/self/maps");
    if (!maps) {
        return FileIdentity{0, 0, EIO};
    }
    std::stringstream contents;
    contents << maps.rdbuf();
    return find_mapped_file(contents.str(), reinterpret_cast<std::uintptr_t>(address));
}

} // namespace

FileIdentity find_mapped_file(const std::string& maps, std::uintptr_t address) {
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line)) {
        FileIdentity identity;
        if (mapping_contains(line, address, identity)) {
            return identity;
        }
    }
    return FileIdentity{0, 0, ENOENT};
}

PathResult LinuxSystem::executable_path() const {
    char buffer[kPathBufferSize];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length < 0) {
        return PathResult{{}, errno};
    }
    // A result that fills the buffer may have been cut short.
    if (static_cast<std::size_t>(length) >= sizeof buffer) {
        return PathResult{{}, ENAMETOOLONG};
    }
    return PathResult{std::string(buffer, static_cast<std::size_t>(length)), 0};
}

PathResult LinuxSystem::canonical_path(const std::string& path) const {
    std::unique_ptr<char, FreeDeleter> resolved(realpath(path.c_str(), nullptr));
    if (!resolved) {
        return PathResult{{}, errno};
    }
    return PathResult{resolved.get(), 0};
}

PathResult LinuxSystem::current_directory() const {
    char buffer[kPathBufferSize];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        return PathResult{{}, errno};
    }
    return PathResult{buffer, 0};
}

StatusResult LinuxSystem::status_without_following(const std::string& path) const {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return StatusResult{{}, errno};
    }
    return StatusResult{FileStatus{st.st_mode, st.st_uid, st.st_nlink, st.st_dev, st.st_ino}, 0};
}

uid_t LinuxSystem::effective_uid() const {
    return geteuid();
}

FileIdentity LinuxSystem::mapped_file_identity(const std::string& path) const {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        return FileIdentity{0, 0, errno};
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        return FileIdentity{0, 0, errno};
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0) {
        return FileIdentity{0, 0, EINVAL};
    }
    const Mapping mapping(fd.get(), 1);
    if (mapping.get() == nullptr) {
        return FileIdentity{0, 0, errno};
    }
    return identity_of_address(mapping.get());
}

FileIdentity LinuxSystem::loaded_library_identity(const std::string& soname) const {
    // RTLD_NOLOAD only looks the library up among those already loaded.
    LibraryHandle handle(dlopen(soname.c_str(), RTLD_LAZY | RTLD_NOLOAD));
    if (handle.get() == nullptr) {
        return FileIdentity{0, 0, ENOENT};
    }
    link_map* map = nullptr;
    if (dlinfo(handle.get(), RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_ld == nullptr) {
        return FileIdentity{0, 0, ENOENT};
    }
    // The dynamic section lies inside the library's own file mapping.
    return identity_of_address(map->l_ld);
}

FileIdentity LinuxSystem::symbol_identity(const std::string& symbol) const {
    dlerror();
    void* address = dlsym(RTLD_DEFAULT, symbol.c_str());
    if (address == nullptr) {
        return FileIdentity{0, 0, ENOENT};
    }
    return identity_of_address(address);
}

std::vector<std::string> LinuxSystem::environment_names() const {
    std::vector<std::string> names;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        names.emplace_back(text.substr(0, text.find('=')));
    }
    return names;
}

int LinuxSystem::remove_environment(const std::string& name) {
    return unsetenv(name.c_str()) == 0 ? 0 : errno;
}

void LinuxSystem::write_diagnostic(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

} // namespace bix_hatch
