#include "mutations/rollbacks.h"

namespace bix::safe_path {

Status rolled_back_or_preserved(bool rolled_back) {
    return Status::race(rolled_back ? RaceOutcome::rolled_back : RaceOutcome::preserved);
}

bool rollback_created_file(NameAt at, int created_fd) {
    auto created = platform::stat_descriptor(created_fd);
    if (!created || !created->is_regular())
        return false;
    auto named = regular_at(at.directory, at.name);
    if (!named || !same_regular_identity(*created, *named))
        return false;
    return delete_regular_checked(at, *created).ok() && absent_at(at.directory, at.name).ok();
}

bool rollback_renamed_entry(NameAt source, NameAt target) {
    auto moved = regular_at(target.directory, target.name);
    if (!moved || !absent_at(source.directory, source.name).ok())
        return false;
    if (!move_regular_checked(target, source, *moved).ok())
        return false;
    auto back = regular_at(source.directory, source.name);
    return back && same_regular_identity(*moved, *back) &&
           absent_at(target.directory, target.name).ok() &&
           sync_directories(source.directory, target.directory).ok();
}

bool rollback_swapped_entries(NameAt a, NameAt b) {
    auto at_a = regular_at(a.directory, a.name);
    auto at_b = regular_at(b.directory, b.name);
    if (!at_a || !at_b)
        return false;
    return swap_regular_checked(a, b, *at_a, *at_b).ok() &&
           sync_directories(a.directory, b.directory).ok();
}

bool rollback_linked_entry(NameAt existing, NameAt added, NameAt rollback, NameAt quarantine,
                           const ContentIdentity& identity) {
    auto source = regular_at(existing.directory, existing.name);
    auto extra = regular_at(added.directory, added.name);
    if (!source || !extra || source->device != extra->device || source->inode != extra->inode)
        return false;
    if (!move_regular_checked(added, rollback, *extra).ok())
        return false;
    auto parked = regular_at(rollback.directory, rollback.name);
    if (!parked || !same_regular_identity(*extra, *parked) ||
        !absent_at(added.directory, added.name).ok())
        return false;
    ContentIdentity linked = identity;
    linked.entry.link_count += 1;
    return delete_regular_content_checked(rollback, quarantine, linked).ok() &&
           sync_directories(added.directory, rollback.directory).ok();
}

} // namespace bix::safe_path
