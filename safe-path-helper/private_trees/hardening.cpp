#include "private_trees/hardening.h"

#include "anchors/root.h"
#include "platform/sha256.h"
#include "platform/step_hook.h"

#include <algorithm>
#include <utility>

namespace bix::safe_path {
namespace {

bool private_single_link_file(const platform::FileStat& stat, const platform::FileStat& root_stat) {
    return stat.is_regular() && private_owner(stat, root_stat) && stat.link_count == 1;
}

constexpr size_t kMaxReadBytes = size_t{1} << 30;

// Reads exactly `size` bytes from offset 0 and requires end of file right after them.
Result<platform::ContentBuffer> read_exactly(int fd, uint64_t size) {
    auto allocated = platform::ContentBuffer::allocate(static_cast<size_t>(size));
    if (!allocated)
        return allocated.status();
    platform::ContentBuffer bytes = std::move(*allocated);
    uint64_t total = 0;
    while (total < size) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(size - total, kMaxReadBytes));
        auto count = platform::read_at(fd, bytes.data() + total, wanted, total);
        if (!count)
            return count.status();
        if (*count == 0)
            return stale(); // the file shrank while being read
        total += *count;
    }
    unsigned char extra;
    auto count = platform::read_at(fd, &extra, 1, size);
    if (!count)
        return count.status();
    if (*count != 0)
        return stale(); // the file grew while being read
    return bytes;
}

Result<FileContent> read_regular(int fd, const platform::FileStat& root_stat, uint64_t maximum,
                                 bool harden) {
    if (maximum > kMaxContentBytes)
        return invalid();
    auto before = platform::stat_descriptor(fd);
    if (!before)
        return before.status();
    const uint64_t minimum = harden ? 0 : 1;
    auto acceptable = [&](const platform::FileStat& stat) {
        return private_single_link_file(stat, root_stat) && stat.same_inode(*before) &&
               stat.size >= minimum && stat.size <= maximum;
    };
    BIX_TRY(check(acceptable(*before)));
    if (harden) {
        BIX_TRY(platform::change_mode(fd, kPrivateFilePermissions));
        before = platform::stat_descriptor(fd);
        if (!before)
            return before.status();
        BIX_TRY(check(acceptable(*before) && before->permissions() == kPrivateFilePermissions));
    }
    platform::reach_step("read:before-content");
    auto bytes = read_exactly(fd, before->size);
    if (!bytes)
        return bytes.status();
    auto after = platform::stat_descriptor(fd);
    if (!after)
        return after.status();
    BIX_TRY(check(same_file_snapshot(*before, *after)));
    return FileContent{std::move(*bytes), *after};
}

} // namespace

bool private_owner(const platform::FileStat& stat, const platform::FileStat& root_stat) {
    return on_root_file_system(stat, root_stat) && stat.uid == root_stat.uid;
}

Result<HeldParent> hardened_private_parent(const Root& root, const std::string& path) {
    auto parent = open_private_parent(root, path);
    if (!parent)
        return parent.status();
    BIX_TRY(paths_still_anchored(root, {{path, parent->fd.get()}}));
    BIX_TRY(harden_private_directory(parent->fd.get(), root.stat));
    BIX_TRY(paths_still_anchored(root, {{path, parent->fd.get()}}));
    return parent;
}

Result<PrivateRemovalTarget> private_removal_target(const Root& root, const std::string& path) {
    auto parent = hardened_private_parent(root, path);
    if (!parent)
        return parent.status();
    auto present = platform::stat_at(parent->fd.get(), parent->leaf);
    if (!present && present.error() != ENOENT)
        return present.status();
    PrivateRemovalTarget target{std::move(*parent), std::nullopt};
    if (present)
        target.present = *present;
    return target;
}

Result<HardenedDirectory>
open_hardened_private_directory_at(int directory, const std::string& name,
                                   const platform::FileStat& root_stat,
                                   const std::optional<platform::FileStat>& expected) {
    auto named = directory_at(directory, name);
    if (!named)
        return named.status();
    if ((expected && !same_directory_identity(*expected, *named)) ||
        !private_owner(*named, root_stat))
        return stale();
    auto fd = platform::open_directory_at(directory, name);
    if (!fd)
        return fd.status();
    auto held = platform::stat_descriptor(fd->get());
    if (!held)
        return held.status();
    BIX_TRY(check(held->same_inode(*named) && held->uid == root_stat.uid));
    BIX_TRY(harden_private_directory(fd->get(), root_stat));
    auto after = platform::stat_descriptor(fd->get());
    if (!after)
        return after.status();
    auto renamed = platform::stat_at(directory, name);
    if (!renamed)
        return renamed.status();
    BIX_TRY(check(after->is_directory() && renamed->is_directory() && after->same_inode(*held) &&
                  renamed->same_inode(*held) && after->uid == root_stat.uid &&
                  renamed->uid == root_stat.uid &&
                  after->permissions() == kPrivateDirectoryPermissions &&
                  after->mode == renamed->mode));
    return HardenedDirectory{std::move(*fd), *after};
}

Result<platform::FileStat>
harden_private_regular_at(int directory, const std::string& name,
                          const platform::FileStat& root_stat,
                          const std::optional<platform::FileStat>& expected) {
    auto named = regular_at(directory, name);
    if (!named)
        return named.status();
    if ((expected && !same_regular_identity(*expected, *named)) ||
        !private_single_link_file(*named, root_stat))
        return stale();
    platform::reach_step("harden:before-open");
    auto fd = platform::open_read_at(directory, name);
    if (!fd)
        return fd.status();
    auto held = platform::stat_descriptor(fd->get());
    if (!held)
        return held.status();
    BIX_TRY(check(private_single_link_file(*held, root_stat) && held->same_inode(*named)));
    BIX_TRY(platform::change_mode(fd->get(), kPrivateFilePermissions));
    auto after = platform::stat_descriptor(fd->get());
    if (!after)
        return after.status();
    BIX_TRY(check(private_single_link_file(*after, root_stat) && after->same_inode(*held) &&
                  after->permissions() == kPrivateFilePermissions));
    auto renamed = platform::stat_at(directory, name);
    if (!renamed)
        return renamed.status();
    BIX_TRY(check(same_regular_identity(*after, *renamed)));
    return after;
}

Result<FileContent> read_private_regular(int fd, const platform::FileStat& root_stat,
                                         uint64_t maximum) {
    return read_regular(fd, root_stat, maximum, true);
}

Result<FileContent> read_external_regular(int fd, const platform::FileStat& root_stat,
                                          uint64_t maximum) {
    return read_regular(fd, root_stat, maximum, false);
}

Status sha256_matches(std::span<const unsigned char> bytes, const std::string& digest) {
    if (bytes.size() > kMaxContentBytes || !valid_digest(digest))
        return invalid();
    auto actual = platform::sha256_of(bytes.data(), bytes.size());
    if (!actual)
        return actual.status();
    unsigned char difference = 0;
    for (size_t i = 0; i < actual->size(); ++i) {
        auto nibble = [&](size_t at) {
            const char c = digest[at];
            return static_cast<unsigned char>(c <= '9' ? c - '0' : c - 'a' + 10);
        };
        const auto expected = static_cast<unsigned char>(nibble(2 * i) << 4 | nibble(2 * i + 1));
        difference |= static_cast<unsigned char>((*actual)[i] ^ expected);
    }
    return check(difference == 0);
}

Status delete_directory_checked(int directory, const std::string& name,
                                const platform::FileStat& expected, DirectorySync sync) {
    auto deletion = deletion_name_for(name, kDirectoryDeletion);
    if (!deletion)
        return deletion.status();
    auto bound = bind_directory_at(directory, name, expected);
    if (!bound)
        return bound.status();
    auto held = platform::stat_descriptor(bound->fd.get());
    auto named = platform::stat_at(directory, name);
    if (!held || !named || !same_directory_identity(expected, *held) ||
        !same_directory_identity(expected, *named))
        return stale();
    return delete_bound_object(directory, name, *bound, *deletion, sync);
}

Status move_directory_checked(NameAt from, NameAt to, const platform::FileStat& expected) {
    auto source = directory_at(from.directory, from.name);
    if (!source)
        return source.status();
    BIX_TRY(check(same_directory_identity(expected, *source)));
    BIX_TRY(absent_at(to.directory, to.name));
    BIX_TRY(platform::rename_exclusive(from.directory, from.name, to.directory, to.name));
    platform::reach_step("move-directory:after-rename");
    auto moved = directory_at(to.directory, to.name);
    Status verdict = !moved ? moved.status() : check(same_directory_identity(expected, *moved));
    if (verdict.ok())
        verdict = absent_at(from.directory, from.name);
    if (verdict.ok())
        return sync_directories(from.directory, to.directory);
    // Put the directory back where it came from when that name is still free.
    if (moved && absent_at(from.directory, from.name).ok() &&
        platform::rename_exclusive(to.directory, to.name, from.directory, from.name).ok()) {
        auto back = directory_at(from.directory, from.name);
        if (back && back->same_inode(*moved) && absent_at(to.directory, to.name).ok())
            (void)sync_directories(from.directory, to.directory);
    }
    return verdict.error() == EEXIST ? stale() : verdict;
}

} // namespace bix::safe_path
