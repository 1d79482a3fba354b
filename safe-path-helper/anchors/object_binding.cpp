#include "anchors/object_binding.h"

#include "anchors/identity.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

constexpr std::string_view kPrivateDeletePrefix = ".bix-del-";

Result<std::string> fresh_private_name() {
    unsigned char random[16];
    BIX_TRY(platform::random_bytes(random, sizeof random));
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name(kPrivateDeletePrefix);
    for (unsigned char byte : random) {
        name.push_back(kDigits[byte >> 4]);
        name.push_back(kDigits[byte & 0xF]);
    }
    return name;
}

bool same_object(const platform::FileStat& a, const platform::FileStat& b) {
    return a.device == b.device && a.inode == b.inode && a.mode == b.mode;
}

// The kernel's name for the object must be the directory's name plus the leaf, and that path,
// looked at without following links, must show the same object. Fails closed without /proc.
Status path_cross_check(int directory, const std::string& name, int object_fd,
                        const platform::FileStat& expected) {
    auto directory_path = platform::descriptor_path(directory);
    if (!directory_path)
        return directory_path.status();
    auto object_path = platform::descriptor_path(object_fd);
    if (!object_path)
        return object_path.status();
    std::string joined = *directory_path == "/" ? "/" + name : *directory_path + "/" + name;
    if (*object_path != joined)
        return stale();
    auto by_path = platform::stat_path(joined);
    if (!by_path)
        return by_path.status();
    return check(same_object(*by_path, expected));
}

template <class Matches>
Result<BoundObject> bind_at(int directory, const std::string& name,
                            const platform::FileStat& expected, bool want_directory,
                            Matches matches) {
    auto fd = want_directory ? platform::open_directory_at(directory, name)
                             : platform::open_read_at(directory, name);
    if (!fd)
        return fd.status();
    auto held = platform::stat_descriptor(fd->get());
    if (!held)
        return held.status();
    if (!matches(expected, *held))
        return stale();
    BIX_TRY(path_cross_check(directory, name, fd->get(), *held));
    auto named = platform::stat_at(directory, name);
    if (!named)
        return named.status();
    if (!matches(expected, *named))
        return stale();
    return BoundObject{std::move(*fd), *held};
}

Status unlink_entry(int directory, const std::string& name, bool is_directory) {
    return is_directory ? platform::remove_directory_at(directory, name)
                        : platform::unlink_file_at(directory, name);
}

// Moves the entry at `quarantine` back to `name` after a mismatch; never replaces anything.
Status put_back(int directory, const std::string& quarantine, const std::string& name) {
    return platform::rename_exclusive(directory, quarantine, directory, name).ok()
               ? Status::race(RaceOutcome::rolled_back)
               : Status::race(RaceOutcome::preserved);
}

} // namespace

Result<BoundObject> bind_regular_fsref_at(int directory, const std::string& name,
                                          const platform::FileStat& expected) {
    return bind_at(directory, name, expected, false, same_regular_identity);
}

Result<BoundObject> bind_directory_at(int directory, const std::string& name,
                                      const platform::FileStat& expected) {
    return bind_at(directory, name, expected, true, same_directory_identity);
}

Status delete_bound_object(int directory, const std::string& name, const BoundObject& object,
                           const std::optional<std::string>& quarantine_leaf, DirectorySync sync) {
    const bool is_directory = object.stat.is_directory();
    std::string quarantine;
    if (quarantine_leaf) {
        quarantine = *quarantine_leaf;
    } else {
        auto fresh = fresh_private_name();
        if (!fresh)
            return fresh.status();
        quarantine = *fresh;
    }
    const bool moved = quarantine != name;
    if (moved)
        BIX_TRY(platform::rename_exclusive(directory, name, directory, quarantine));
    platform::reach_step("delete:after-quarantine");
    auto at_quarantine = platform::stat_at(directory, quarantine);
    if (!at_quarantine || !same_object(*at_quarantine, object.stat))
        return moved ? put_back(directory, quarantine, name) : stale();
    auto before = platform::stat_descriptor(object.fd.get());
    if (!before)
        return before.status();
    // A link added or removed since binding means the object is no longer the verified one
    // (a private file would survive under the new name): put it back instead.
    if (before->link_count != object.stat.link_count)
        return moved ? put_back(directory, quarantine, name) : stale();
    platform::reach_step("delete:before-unlink");
    if (Status unlinked = unlink_entry(directory, quarantine, is_directory); !unlinked.ok()) {
        // Nothing was removed: leave the object under its original name where possible.
        if (moved && !platform::rename_exclusive(directory, quarantine, directory, name).ok())
            return Status::race(RaceOutcome::preserved);
        return unlinked;
    }
    // The held object must have lost exactly the link just removed; anything else means another
    // object was at the name when it was unlinked, which cannot be undone.
    auto after = platform::stat_descriptor(object.fd.get());
    const uint64_t expected_links = is_directory ? 0 : before->link_count - 1;
    if (!after || after->link_count != expected_links)
        return Status::race(RaceOutcome::preserved);
    if (!absent_at(directory, quarantine).ok() || !absent_at(directory, name).ok())
        return stale();
    return sync == DirectorySync::now ? platform::sync_descriptor(directory) : Status::success();
}

} // namespace bix::safe_path
