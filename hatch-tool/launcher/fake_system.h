#pragma once

#include "platform/hatch_system.h"

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace bix::hatch::testing {

// An in-memory stand-in for the system: a table of paths with their status, canonical forms,
// the executable path, the loaded library's identity and an environment. Everything a check
// would ask the real system is answered from these fields, so each test states its world.
class FakeSystem : public HatchSystem {
public:
    std::map<std::string, FileStatus> files;
    std::map<std::string, std::string> canonical; // path -> canonical path; absent: ENOENT
    PathResult executable{"/opt/bix/runtime/bin/bix-hatch-tool", 0};
    std::string current_directory = "/home/u/ws"; // its status is the one files holds
    int current_error = 0;                        // non-zero: the current directory's status fails
    // Runs once the workspace is held: a test's change to the world between the checks.
    std::function<void()> after_hold;
    uid_t euid = 501;
    FileIdentity library{7, 4242, 0};
    FileIdentity symbol{7, 4242, 0};
    std::vector<std::string> environment;
    std::vector<std::string> removed;
    int remove_error = 0;
    LoadedObjectList loaded{{{LoadedObjectKind::main_program, {}},
                             {LoadedObjectKind::vdso, {}},
                             {LoadedObjectKind::file, "/opt/bix/runtime/lib/libpython3.11.so.1.0"},
                             {LoadedObjectKind::file, "/usr/lib/x86_64-linux-gnu/libc.so.6"}},
                            0};
    std::vector<std::string> system_directories{"/usr/lib/x86_64-linux-gnu", "/usr/lib"};
    std::vector<std::vector<std::string>> restarted_without;
    std::string restart_marker;
    int restart_error = ENOEXEC;
    std::string diagnostics;

    PathResult executable_path() const override { return executable; }
    PathResult canonical_path(const std::string& path) const override {
        const auto found = canonical.find(path);
        if (found == canonical.end()) {
            return PathResult{{}, ENOENT};
        }
        return PathResult{found->second, 0};
    }
    StatusResult status_without_following(const std::string& path) const override {
        const auto found = files.find(path);
        if (found == files.end()) {
            return StatusResult{{}, ENOENT};
        }
        return StatusResult{found->second, 0};
    }
    HeldObject hold_without_following(const std::string& path) const override {
        HeldObject held;
        held.status = status_without_following(path);
        held.canonical =
            held.status.ok() ? canonical_path(path) : PathResult{{}, held.status.error};
        if (after_hold) {
            after_hold();
        }
        return held;
    }
    StatusResult current_directory_status() const override {
        if (current_error != 0) {
            return StatusResult{{}, current_error};
        }
        return status_without_following(current_directory);
    }
    uid_t effective_uid() const override { return euid; }
    TreeListing list_tree(const std::string& root) const override {
        if (files.count(root) == 0) {
            return TreeListing{{}, ENOENT};
        }
        TreeListing listing;
        for (const auto& [path, status] : files) {
            if (path == root || path.rfind(root + "/", 0) == 0) {
                listing.entries.push_back(TreeEntry{path, status});
            }
        }
        return listing;
    }
    FileIdentity mapped_file_identity(const std::string& path) const override {
        const auto found = files.find(path);
        if (found == files.end() || !S_ISREG(found->second.mode)) {
            return FileIdentity{0, 0, ENOENT};
        }
        return FileIdentity{found->second.device, found->second.inode, 0};
    }
    FileIdentity loaded_library_identity(const std::string&) const override { return library; }
    FileIdentity symbol_identity(const std::string&) const override { return symbol; }
    LoadedObjectList loaded_objects() const override { return loaded; }
    std::vector<std::string> system_library_directories() const override {
        return system_directories;
    }
    int restart_without(const std::vector<std::string>& names, const std::string& marker,
                        char**) override {
        restarted_without.push_back(names);
        restart_marker = marker;
        return restart_error;
    }
    std::vector<std::string> environment_names() const override { return environment; }
    int remove_environment(const std::string& name) override {
        if (remove_error != 0) {
            return remove_error;
        }
        removed.push_back(name);
        return 0;
    }
    void write_diagnostic(const std::string& text) override { diagnostics += text; }

    void add_directory(const std::string& path, mode_t mode, uid_t owner = 501) {
        files[path] = FileStatus{S_IFDIR | mode, owner, 2, 7, next_inode_++};
        canonical[path] = path;
    }
    void add_file(const std::string& path, mode_t mode, nlink_t links = 1) {
        files[path] = FileStatus{S_IFREG | mode, 0, links, 7, next_inode_++};
        canonical[path] = path;
    }
    void add_symlink(const std::string& path, const std::string& target) {
        files[path] = FileStatus{S_IFLNK | 0777, 0, 1, 7, next_inode_++};
        canonical[path] = target;
    }

private:
    ino_t next_inode_ = 100;
};

} // namespace bix::hatch::testing
