#include "platform/linux_system.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <link.h>
#include <memory>
#include <sstream>
#include <string_view>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

extern char** environ;

namespace bix::hatch {
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

FileStatus status_of(const struct stat& st) {
    return FileStatus{st.st_mode, st.st_uid, st.st_nlink, st.st_dev, st.st_ino};
}

bool is_dot_entry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

constexpr std::size_t kDirectoryBufferBytes = 32768;

int list_directory(int fd, const std::string& path, std::size_t depth,
                   std::vector<TreeEntry>& entries);

// Lists one directory entry and, for a directory, everything below it. A directory is opened
// without following a link and examined through that descriptor, so the status recorded is
// the status of the very directory that is then read.
int list_entry(int parent, const char* name, unsigned char type, const std::string& path,
               std::size_t depth, std::vector<TreeEntry>& entries) {
    if (entries.size() >= kMaxTreeEntries) {
        return E2BIG;
    }
    struct stat st {};
    int child = -1;
    if (type == DT_DIR || type == DT_UNKNOWN) {
        child = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0 && (type == DT_DIR || (errno != ENOTDIR && errno != ELOOP))) {
            return errno;
        }
    }
    if (child >= 0 ? fstat(child, &st) != 0
                   : fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        if (child >= 0) {
            close(child);
        }
        return error;
    }
    const std::string child_path = path + "/" + name;
    entries.push_back(TreeEntry{child_path, status_of(st)});
    if (child < 0) {
        return S_ISDIR(st.st_mode) ? ESTALE : 0; // became a directory after it was read
    }
    if (depth + 1 > kMaxTreeDepth) {
        close(child);
        return ELOOP;
    }
    return list_directory(child, child_path, depth + 1, entries);
}

// Appends every object below the directory open on fd (taken over) to entries; returns an
// errno value or 0. Each level holds one descriptor, so the depth bound also bounds those.
int list_directory(int fd, const std::string& path, std::size_t depth,
                   std::vector<TreeEntry>& entries) {
    const UniqueFd directory(fd);
    std::vector<char> buffer(kDirectoryBufferBytes);
    for (;;) {
        const ssize_t length = getdents64(directory.get(), buffer.data(), buffer.size());
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            return length == 0 ? 0 : errno;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            if (is_dot_entry(entry->d_name)) {
                continue;
            }
            if (const int error =
                    list_entry(directory.get(), entry->d_name, entry->d_type, path, depth, entries);
                error != 0) {
                return error;
            }
        }
    }
}

PathResult read_own_maps() {
    std::ifstream maps("/proc/self/maps");
    if (!maps) {
        return PathResult{{}, EIO};
    }
    std::stringstream contents;
    contents << maps.rdbuf();
    return PathResult{contents.str(), 0};
}

FileIdentity identity_of_address(const void* address) {
    const PathResult maps = read_own_maps();
    if (!maps.ok()) {
        return FileIdentity{0, 0, maps.error};
    }
    return find_mapped_file(maps.path, reinterpret_cast<std::uintptr_t>(address));
}

// One object as the dynamic loader reports it.
struct LoaderEntry {
    std::string name;
    std::uintptr_t first_segment = 0; // where its first loadable segment is mapped
    const void* headers = nullptr;    // its program headers
};

struct LoaderWalk {
    std::vector<LoaderEntry> entries;
    bool failed = false;
};

int record_loaded_object(dl_phdr_info* info, std::size_t, void* data) noexcept {
    auto* walk = static_cast<LoaderWalk*>(data);
    LoaderEntry entry;
    entry.headers = info->dlpi_phdr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            entry.first_segment = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            break;
        }
    }
    try {
        entry.name = info->dlpi_name != nullptr ? info->dlpi_name : "";
        walk->entries.push_back(std::move(entry));
    } catch (...) {
        walk->failed = true;
        return 1;
    }
    return 0;
}

// The kernel's virtual shared object has no file; it is recognised by its program headers
// lying where the kernel said it put the object.
bool is_vdso(const LoaderEntry& entry) {
    const auto base = getauxval(AT_SYSINFO_EHDR);
    if (base == 0) {
        return false;
    }
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(base);
    return entry.headers == reinterpret_cast<const char*>(base) + header->e_phoff;
}

// A loaded file object with its canonical path and a fresh mapping of that path, so that one
// listing of the mappings can prove the path leads to the very file the loader mapped.
struct FileObject {
    std::string path;
    std::uintptr_t loaded = 0;
    std::unique_ptr<Mapping> fresh;
};

int map_file_object(const LoaderEntry& entry, FileObject& object) {
    std::unique_ptr<char, FreeDeleter> canonical(realpath(entry.name.c_str(), nullptr));
    if (!canonical || entry.first_segment == 0) {
        return ESTALE;
    }
    object.path = canonical.get();
    object.loaded = entry.first_segment;
    const UniqueFd fd(open(object.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        return ESTALE;
    }
    object.fresh = std::make_unique<Mapping>(fd.get(), 1);
    return object.fresh->get() == nullptr ? errno : 0;
}

bool same_file(const std::string& maps, std::uintptr_t a, std::uintptr_t b) {
    const FileIdentity first = find_mapped_file(maps, a);
    const FileIdentity second = find_mapped_file(maps, b);
    return first.ok() && second.ok() && first.device == second.device &&
           first.inode == second.inode;
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

namespace {

// The target of one of the kernel's /proc links, read into a kPathBufferSize buffer.
PathResult read_proc_link(const std::string& link) {
    char buffer[kPathBufferSize];
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
    if (length < 0) {
        return PathResult{{}, errno};
    }
    // A result that fills the buffer may have been cut short.
    if (static_cast<std::size_t>(length) >= sizeof buffer) {
        return PathResult{{}, ENAMETOOLONG};
    }
    return PathResult{std::string(buffer, static_cast<std::size_t>(length)), 0};
}

} // namespace

PathResult LinuxSystem::executable_path() const {
    return read_proc_link("/proc/self/exe");
}

PathResult LinuxSystem::canonical_path(const std::string& path) const {
    std::unique_ptr<char, FreeDeleter> resolved(realpath(path.c_str(), nullptr));
    if (!resolved) {
        return PathResult{{}, errno};
    }
    return PathResult{resolved.get(), 0};
}

StatusResult LinuxSystem::status_without_following(const std::string& path) const {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return StatusResult{{}, errno};
    }
    return StatusResult{status_of(st), 0};
}

HeldObject LinuxSystem::hold_without_following(const std::string& path) const {
    HeldObject held;
    // O_PATH only names the object: nothing is read, so a FIFO or device is never opened.
    held.descriptor = UniqueFd(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (held.descriptor.get() < 0 || fstat(held.descriptor.get(), &st) != 0) {
        held.status.error = errno;
        held.canonical.error = held.status.error;
        return held;
    }
    held.status = StatusResult{status_of(st), 0};
    // The kernel names the object the descriptor holds, not whatever the path leads to now.
    held.canonical = read_proc_link("/proc/self/fd/" + std::to_string(held.descriptor.get()));
    return held;
}

StatusResult LinuxSystem::current_directory_status() const {
    struct stat st {};
    if (stat(".", &st) != 0) {
        return StatusResult{{}, errno};
    }
    return StatusResult{status_of(st), 0};
}

TreeListing LinuxSystem::list_tree(const std::string& root) const {
    TreeListing listing;
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        listing.error = errno;
        return listing;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        listing.error = errno;
        close(fd);
        return listing;
    }
    listing.entries.push_back(TreeEntry{root, status_of(st)});
    listing.error = list_directory(fd, root, 0, listing.entries);
    return listing;
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

LoadedObjectList LinuxSystem::loaded_objects() const {
    LoaderWalk walk;
    dl_iterate_phdr(record_loaded_object, &walk);
    if (walk.failed) {
        return LoadedObjectList{{}, ENOMEM};
    }
    LoadedObjectList list;
    std::vector<FileObject> files;
    for (std::size_t i = 0; i < walk.entries.size(); ++i) {
        const LoaderEntry& entry = walk.entries[i];
        // The loader reports the executable first, without a name.
        if (i == 0 && entry.name.empty()) {
            list.objects.push_back(LoadedObject{LoadedObjectKind::main_program, {}});
        } else if (is_vdso(entry)) {
            list.objects.push_back(LoadedObject{LoadedObjectKind::vdso, {}});
        } else {
            FileObject object;
            if (const int error = map_file_object(entry, object); error != 0) {
                return LoadedObjectList{{}, error};
            }
            list.objects.push_back(LoadedObject{LoadedObjectKind::file, object.path});
            files.push_back(std::move(object));
        }
    }
    const PathResult maps = read_own_maps();
    if (!maps.ok()) {
        return LoadedObjectList{{}, maps.error};
    }
    for (const FileObject& object : files) {
        if (!same_file(maps.path, object.loaded,
                       reinterpret_cast<std::uintptr_t>(object.fresh->get()))) {
            return LoadedObjectList{{}, ESTALE};
        }
    }
    return list;
}

std::vector<std::string> LinuxSystem::system_library_directories() const {
#if defined(__x86_64__)
    constexpr const char* kMultiarch = "x86_64-linux-gnu";
#elif defined(__aarch64__)
    constexpr const char* kMultiarch = "aarch64-linux-gnu";
#else
    constexpr const char* kMultiarch = "";
#endif
    const std::string candidates[] = {std::string("/lib/") + kMultiarch,
                                      std::string("/usr/lib/") + kMultiarch,
                                      "/lib64",
                                      "/usr/lib64",
                                      "/lib",
                                      "/usr/lib"};
    std::vector<std::string> directories;
    for (const std::string& candidate : candidates) {
        const PathResult canonical = canonical_path(candidate);
        if (canonical.ok() && std::find(directories.begin(), directories.end(), canonical.path) ==
                                  directories.end()) {
            directories.push_back(canonical.path);
        }
    }
    return directories;
}

int LinuxSystem::restart_without(const std::vector<std::string>& names, const std::string& marker,
                                 char** argv) {
    // The running file itself, not whatever its path leads to by now.
    const UniqueFd self(open("/proc/self/exe", O_PATH | O_CLOEXEC));
    if (self.get() < 0) {
        return errno;
    }
    std::vector<char*> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string name(text.substr(0, text.find('=')));
        if (name != marker && std::find(names.begin(), names.end(), name) == names.end()) {
            environment.push_back(*entry);
        }
    }
    std::string marker_entry = marker + "=1";
    environment.push_back(marker_entry.data());
    environment.push_back(nullptr);
    fexecve(self.get(), argv, environment.data());
    return errno;
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

} // namespace bix::hatch
