#include "mutations/primitives.h"

#include "anchors/path_grammar.h"
#include "anchors/root.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

constexpr unsigned kPrivateDirectoryMode = 0700;

bool holds(NameAt at, const platform::FileStat& expected) {
    auto stat = regular_at(at.directory, at.name);
    return stat && same_regular_identity(expected, *stat);
}

// Unlinks the bound file and flushes the directory when asked. A verified file that could not be
// unlinked is reported with the mismatch marker (ESTALE), whatever the unlink's own errno; a
// failed flush afterwards keeps its errno.
Status unlink_bound_regular(NameAt at, const BoundObject& bound, const std::string& deletion_leaf,
                            DirectorySync sync) {
    Status deleted =
        delete_bound_object(at.directory, at.name, bound, deletion_leaf, DirectorySync::by_caller);
    if (!deleted.ok())
        return deleted.race_outcome() == RaceOutcome::none ? stale() : deleted;
    return sync == DirectorySync::now ? platform::sync_descriptor(at.directory) : Status::success();
}

} // namespace

Status sync_directories(int first, int second) {
    BIX_TRY(platform::sync_descriptor(first));
    // Two descriptors of one directory need one flush.
    if (second != first && !same_directory_descriptor(first, second).ok())
        BIX_TRY(platform::sync_descriptor(second));
    return Status::success();
}

Status move_regular_checked(NameAt from, NameAt to, const platform::FileStat& expected) {
    auto source = regular_at(from.directory, from.name);
    if (!source)
        return source.status();
    BIX_TRY(check(same_regular_identity(expected, *source)));
    BIX_TRY(absent_at(to.directory, to.name));
    BIX_TRY(platform::rename_exclusive(from.directory, from.name, to.directory, to.name));
    platform::reach_step("move:after-rename");
    if (holds(to, expected) && absent_at(from.directory, from.name).ok())
        return Status::success();
    if (regular_at(to.directory, to.name).ok() && absent_at(from.directory, from.name).ok())
        (void)platform::rename_exclusive(to.directory, to.name, from.directory, from.name);
    return stale();
}

Status swap_regular_checked(NameAt a, NameAt b, const platform::FileStat& expected_a,
                            const platform::FileStat& expected_b) {
    BIX_TRY(check(holds(a, expected_a) && holds(b, expected_b)));
    BIX_TRY(platform::rename_swap(a.directory, a.name, b.directory, b.name));
    platform::reach_step("swap:after-exchange");
    if (holds(a, expected_b) && holds(b, expected_a))
        return Status::success();
    // The kernel exchanges a file with a directory too: swap back only two regular files.
    if (regular_at(a.directory, a.name).ok() && regular_at(b.directory, b.name).ok())
        (void)platform::rename_swap(a.directory, a.name, b.directory, b.name);
    return stale();
}

Status move_to_durable_quarantine(NameAt from, NameAt quarantine,
                                  const platform::FileStat& expected) {
    BIX_TRY(check(is_durable_quarantine_leaf(quarantine.name)));
    BIX_TRY(same_directory_descriptor(from.directory, quarantine.directory));
    BIX_TRY(move_regular_checked(from, quarantine, expected));
    return sync_directories(from.directory, quarantine.directory);
}

Status delete_regular_checked(NameAt at, const platform::FileStat& expected, DirectorySync sync) {
    auto deletion = deletion_name_for(at.name, kFileDeletion);
    if (!deletion)
        return deletion.status();
    auto bound = bind_regular_fsref_at(at.directory, at.name, expected);
    if (!bound)
        return bound.status();
    return unlink_bound_regular(at, *bound, *deletion, sync);
}

Status finish_pending_file_deletion(int directory, const std::string& leaf,
                                    const PendingFileProof& proven) {
    auto deletion = deletion_name_for(leaf, kFileDeletion);
    if (!deletion)
        return deletion.status();
    auto pending = platform::stat_at(directory, *deletion);
    if (!pending)
        return pending.error() == ENOENT ? Status::success() : pending.status();
    BIX_TRY(check(pending->is_regular() && pending->link_count == 1 && proven(*pending)));
    platform::reach_step("delete:finish-pending");
    return delete_regular_checked({directory, *deletion}, *pending);
}

Status delete_exact_regular_content_checked(NameAt at, const ContentIdentity& identity) {
    auto verified = exact_recovery_file_at(at.directory, at.name, identity);
    if (!verified)
        return verified.status();
    auto bound = bind_regular_fsref_at(at.directory, at.name, *verified);
    if (!bound)
        return bound.status();
    for (int pass = 0; pass < 2; ++pass) {
        BIX_TRY(exact_regular_content_descriptor(bound->fd.get(), identity));
        platform::reach_step("delete-content:after-check");
    }
    auto held = platform::stat_descriptor(bound->fd.get());
    if (!held)
        return held.status();
    BIX_TRY(check(same_regular_identity(*verified, *held)));
    auto named = platform::stat_at(at.directory, at.name);
    if (!named)
        return named.status();
    BIX_TRY(check(same_regular_identity(*verified, *named)));
    // The file already sits at its durable quarantine name: delete it there.
    return unlink_bound_regular(at, *bound, at.name, DirectorySync::now);
}

Status delete_regular_content_checked(NameAt at, NameAt quarantine,
                                      const ContentIdentity& identity) {
    auto verified = exact_recovery_file_at(at.directory, at.name, identity);
    if (!verified)
        return verified.status();
    BIX_TRY(move_to_durable_quarantine(at, quarantine, *verified));
    platform::reach_step("delete-content:quarantined");
    return delete_exact_regular_content_checked(quarantine, identity);
}

Status harden_private_directory(int fd, const platform::FileStat& root_stat) {
    auto before = platform::stat_descriptor(fd);
    if (!before)
        return before.status();
    BIX_TRY(check(before->is_directory() && on_root_file_system(*before, root_stat) &&
                  before->uid == root_stat.uid));
    BIX_TRY(platform::change_mode(fd, kPrivateDirectoryMode));
    auto after = platform::stat_descriptor(fd);
    if (!after)
        return after.status();
    return check(after->is_directory() && after->device == before->device &&
                 after->inode == before->inode && after->uid == before->uid &&
                 after->permissions() == kPrivateDirectoryMode);
}

void restore_regular_after_failed_content_check(NameAt at, NameAt other) {
    auto stat = regular_at(at.directory, at.name);
    if (stat && absent_at(other.directory, other.name).ok())
        (void)move_regular_checked(at, other, *stat);
}

} // namespace bix::safe_path
