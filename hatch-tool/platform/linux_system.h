#pragma once

#include "platform/hatch_system.h"

namespace bix::hatch {

// The launcher's system calls on Linux: /proc/self/exe stands in for _NSGetExecutablePath and
// /proc/self/maps tells which file a loaded library was mapped from. Owns nothing; stateless.
class LinuxSystem final : public HatchSystem {
public:
    PathResult executable_path() const override;
    PathResult canonical_path(const std::string& path) const override;
    StatusResult status_without_following(const std::string& path) const override;
    HeldObject hold_without_following(const std::string& path) const override;
    StatusResult current_directory_status() const override;
    uid_t effective_uid() const override;
    TreeListing list_tree(const std::string& root) const override;
    FileIdentity mapped_file_identity(const std::string& path) const override;
    FileIdentity loaded_library_identity(const std::string& soname) const override;
    FileIdentity symbol_identity(const std::string& symbol) const override;
    LoadedObjectList loaded_objects() const override;
    std::vector<std::string> system_library_directories() const override;
    int restart_without(const std::vector<std::string>& names, const std::string& marker,
                        char** argv) override;
    std::vector<std::string> environment_names() const override;
    int remove_environment(const std::string& name) override;
    void write_diagnostic(const std::string& text) override;
};

// Finds the mapping that contains address in a /proc/<pid>/maps listing and returns the device
// and inode of its file; ENOENT when no file-backed mapping contains it.
FileIdentity find_mapped_file(const std::string& maps, std::uintptr_t address);

} // namespace bix::hatch
