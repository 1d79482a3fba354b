#include "anchors/root.h"

namespace bix::safe_path {

bool has_directory_identity(const platform::FileStat& stat, const DirectoryIdentity& identity) {
    return stat.is_directory() && stat.device == identity.device && stat.inode == identity.inode &&
           stat.uid == identity.uid;
}

bool on_root_file_system(const platform::FileStat& stat, const platform::FileStat& root_stat) {
    return stat.device == root_stat.device && stat.mount_id == root_stat.mount_id;
}

Result<OpenedDirectory> open_verified_directory_path(const std::string& path,
                                                     const DirectoryIdentity& identity) {
    auto fd = platform::open_directory_path(path);
    if (!fd)
        return fd.status();
    auto stat = platform::stat_descriptor(fd->get());
    if (!stat)
        return stat.status();
    if (!has_directory_identity(*stat, identity))
        return stale();
    return OpenedDirectory{std::move(*fd), *stat};
}

Result<Root> open_root(const std::string& path, const DirectoryIdentity& identity) {
    auto opened = open_verified_directory_path(path, identity);
    if (!opened)
        return opened.status();
    Root root;
    root.path = path;
    root.identity = identity;
    root.fd = std::move(opened->fd);
    root.stat = opened->stat;
    auto file_system = platform::file_system_id(root.fd.get());
    if (file_system)
        root.file_system = *file_system;
    else
        root.file_system_error = file_system.error();
    return root;
}

} // namespace bix::safe_path
