#pragma once

#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bix::hatch {

// Size of every path buffer the launcher uses; a path must fit with its terminating NUL.
inline constexpr std::size_t kPathBufferSize = 1024;

// A path produced by the system, or the errno value explaining why there is none.
struct PathResult {
    std::string path;
    int error = 0;

    bool ok() const { return error == 0; }
};

// What the launcher needs to know about one file-system object.
struct FileStatus {
    mode_t mode = 0;
    uid_t owner = 0;
    nlink_t links = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

struct StatusResult {
    FileStatus status;
    int error = 0;

    bool ok() const { return error == 0; }
};

// One object found under a directory tree: its path (the tree's root path, then "/" and the
// names below it) and its status.
struct TreeEntry {
    std::string path;
    FileStatus status;
};

// Every object of a tree, the root first, or the errno value that stopped the listing.
struct TreeListing {
    std::vector<TreeEntry> entries;
    int error = 0;

    bool ok() const { return error == 0; }
};

// Owns one descriptor and closes it once; -1 owns nothing.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// An object opened by its path without following a final symbolic link, with what its
// descriptor reports. Whatever happens to the path afterwards, the status and canonical path
// describe the object that was opened, and holding the descriptor keeps its device and inode
// from passing to another object.
struct HeldObject {
    UniqueFd descriptor; // none in an in-memory system
    StatusResult status;
    PathResult canonical; // the held object's own canonical path
};

// Bounds on a listed tree; a deeper or larger tree is refused (ELOOP, E2BIG), never cut short.
inline constexpr std::size_t kMaxTreeDepth = 64;
inline constexpr std::size_t kMaxTreeEntries = 65536;

// Device and inode of the file behind a mapping of this process.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    int error = 0;

    bool ok() const { return error == 0; }
};

// What the dynamic loader has loaded into this process, as far as the launcher cares.
enum class LoadedObjectKind {
    main_program, // the executable itself
    vdso,         // the kernel's virtual shared object, no file
    file,         // a shared object mapped from a file
};

struct LoadedObject {
    LoadedObjectKind kind;
    std::string path; // file objects: the canonical path of the file proved to be mapped
};

// Every loaded object in load order, or the errno value that stopped the listing (ESTALE when
// a file object's name no longer leads to the file that is mapped).
struct LoadedObjectList {
    std::vector<LoadedObject> objects;
    int error = 0;

    bool ok() const { return error == 0; }
};

// Every operating-system call the launcher makes before the interpreter exists. The Linux
// implementation stands in for the macOS one; tests substitute an in-memory system.
class HatchSystem {
public:
    virtual ~HatchSystem() = default;

    // Path of the running executable as the system reports it, in a kPathBufferSize buffer;
    // ENAMETOOLONG when it does not fit.
    virtual PathResult executable_path() const = 0;
    // The canonical absolute form of path, every symbolic link resolved.
    virtual PathResult canonical_path(const std::string& path) const = 0;
    // Status of path itself; a final symbolic link is reported, not followed.
    virtual StatusResult status_without_following(const std::string& path) const = 0;
    // Holds the object at path as status_without_following sees it (a FIFO or device is not
    // opened for reading); its canonical path, read through the descriptor, must fit a
    // kPathBufferSize buffer.
    virtual HeldObject hold_without_following(const std::string& path) const = 0;
    // Status of the current directory itself; its device and inode identify it.
    virtual StatusResult current_directory_status() const = 0;
    virtual uid_t effective_uid() const = 0;
    // Every object under root, root included, each examined without following a symbolic link
    // (a link is listed, never entered), within kMaxTreeDepth and kMaxTreeEntries.
    virtual TreeListing list_tree(const std::string& root) const = 0;
    // Identity of the file at path as a memory mapping of it reports it. Mappings are compared
    // with mappings, since a stacked file system may show a mapped file with the identity of the
    // file underneath rather than the one stat reports.
    virtual FileIdentity mapped_file_identity(const std::string& path) const = 0;
    // Identity of the file that the loaded shared library with this SONAME was mapped from.
    virtual FileIdentity loaded_library_identity(const std::string& soname) const = 0;
    // Identity of the file mapped where the process's global lookup resolves symbol.
    virtual FileIdentity symbol_identity(const std::string& symbol) const = 0;
    // Every object the dynamic loader has loaded into this process.
    virtual LoadedObjectList loaded_objects() const = 0;
    // Canonical paths of the directories the system installs its own shared libraries in.
    virtual std::vector<std::string> system_library_directories() const = 0;
    // Replaces this process with a fresh start of the same executable file, argv unchanged and
    // the environment without the named variables but with marker set to "1". Returns only on
    // failure, with its errno value.
    virtual int restart_without(const std::vector<std::string>& names, const std::string& marker,
                                char** argv) = 0;
    // Names of every variable in the process environment.
    virtual std::vector<std::string> environment_names() const = 0;
    // Removes one variable from the process environment; returns an errno value or 0.
    virtual int remove_environment(const std::string& name) = 0;
    // Writes a whole diagnostic line to standard error (best effort).
    virtual void write_diagnostic(const std::string& text) = 0;
};

} // namespace bix::hatch
