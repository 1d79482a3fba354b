#include "anchors/object_binding.h"

#include "anchors/identity.h"
#include "platform/sha256.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

constexpr std::string_view kDeletionPrefix = ".bix-del-";
constexpr size_t kDeletionHexDigits = 32;
constexpr char kHexDigits[] = "0123456789abcdef";

bool same_object(const platform::FileStat& a, const platform::FileStat& b) {
    return a.device == b.device && a.inode == b.inode && a.mode == b.mode;
}

// The name, resolved again by the kernel from the held directory, must give the same object; a
// directory's ".." must be the held directory. Only descriptors and device and inode numbers are
// compared, so the check works without /proc and at any depth.
Status reopened_cross_check(int directory, const std::string& name, int object_fd,
                            const platform::FileStat& held, bool is_directory) {
    auto again = is_directory ? platform::open_directory_at(directory, name)
                              : platform::open_read_at(directory, name);
    if (!again)
        return again.status();
    auto reopened = platform::stat_descriptor(again->get());
    if (!reopened)
        return reopened.status();
    BIX_TRY(check(same_object(*reopened, held)));
    if (!is_directory)
        return Status::success();
    auto parent = platform::open_directory_at(object_fd, "..");
    if (!parent)
        return parent.status();
    return same_directory_descriptor(parent->get(), directory);
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
    BIX_TRY(reopened_cross_check(directory, name, fd->get(), *held, want_directory));
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

std::string content_deletion_detail(uint64_t size, std::string_view digest) {
    return "content " + std::to_string(size) + " " + std::string(digest);
}

bool is_deletion_name(std::string_view name) {
    if (name.size() != kDeletionPrefix.size() + kDeletionHexDigits ||
        name.substr(0, kDeletionPrefix.size()) != kDeletionPrefix)
        return false;
    for (char c : name.substr(kDeletionPrefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

Result<std::string> deletion_name_for(std::string_view leaf, std::string_view detail) {
    if (is_deletion_name(leaf))
        return std::string(leaf);
    // A leaf never holds a NUL byte, so the two parts cannot be confused with other pairs.
    std::string input(detail);
    input.push_back('\0');
    input.append(leaf);
    auto digest = platform::sha256_of(input.data(), input.size());
    if (!digest)
        return digest.status();
    std::string name(kDeletionPrefix);
    for (size_t i = 0; i < kDeletionHexDigits / 2; ++i) {
        name.push_back(kHexDigits[(*digest)[i] >> 4]);
        name.push_back(kHexDigits[(*digest)[i] & 0xF]);
    }
    return name;
}

Status delete_bound_object(int directory, const std::string& name, const BoundObject& object,
                           const std::string& quarantine, DirectorySync sync) {
    const bool is_directory = object.stat.is_directory();
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
