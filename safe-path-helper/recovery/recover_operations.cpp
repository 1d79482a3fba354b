// Recovery of an interrupted `unlink-checked`, `rename-excl`, `rename-swap` or `link-excl`.
// Each accepts only the states the interrupted operation can have left, moves one checked step
// at a time towards its end state, and succeeds without change on the end state itself.
#include "anchors/anchor_walk.h"
#include "anchors/path_grammar.h"
#include "mutations/primitives.h"
#include "platform/step_hook.h"
#include "recovery/operations.h"

#include <array>

namespace bix::safe_path {
namespace {

// What one name of a group holds right now.
enum class Holding { absent, match, other };

template <size_t N> struct Groups {
    std::array<BookmarkedGroup, N> group;

    NameAt name(size_t i) const { return {group[i].held.get(), group[i].leaf}; }
    Status refresh(const Root& root) {
        std::array<BookmarkedGroup*, N> all;
        for (size_t i = 0; i < N; ++i)
            all[i] = &group[i];
        return refresh_bookmarked_parents(root, all);
    }
};

template <size_t N> Status open_all(const Root& root, Groups<N>& groups) {
    if (!root.file_system)
        return Status::failure(root.file_system_error);
    for (auto& group : groups.group)
        BIX_TRY(open_bookmarked_parent(root, group));
    return Status::success();
}

// Absent (ENOENT), the identity's file (with or without the link count), or anything else.
Holding holding_at(NameAt at, const ContentIdentity& identity, bool with_link_count) {
    auto stat = platform::stat_at(at.directory, at.name);
    if (!stat)
        return stat.error() == ENOENT ? Holding::absent : Holding::other;
    auto matched = with_link_count ? exact_recovery_file_at(at.directory, at.name, identity)
                                   : exact_regular_content_at(at.directory, at.name, identity);
    return matched ? Holding::match : Holding::other;
}

Result<platform::FileStat> matching_file(NameAt at, const ContentIdentity& identity) {
    return exact_recovery_file_at(at.directory, at.name, identity);
}

Status sync_all(std::initializer_list<int> directories) {
    for (int fd : directories) {
        Status synced = platform::sync_descriptor(fd);
        if (!synced.ok())
            return Status::failure(synced.error() == 0 ? EIO : synced.error());
    }
    return Status::success();
}

Status all_absent(std::initializer_list<NameAt> names) {
    for (const NameAt& at : names)
        if (!absent_at(at.directory, at.name).ok())
            return stale();
    return Status::success();
}

// ---- recover-unlink ----------------------------------------------------------------------------

Status recover_unlink_steps(const Root& root, Groups<3>& g, const ContentIdentity& identity) {
    enum { kPath, kStaging, kQuarantine };
    // Refused here rather than on the command line: a wrong quarantine leaf is an identity
    // mismatch, reported only once every group has been proven.
    BIX_TRY(check(is_durable_quarantine_leaf(g.group[kQuarantine].leaf)));
    BIX_TRY(
        same_directory_descriptor(g.group[kStaging].held.get(), g.group[kQuarantine].held.get()));
    std::array<Holding, 3> holds;
    int matches = 0;
    for (size_t i = 0; i < 3; ++i) {
        holds[i] = holding_at(g.name(i), identity, true);
        BIX_TRY(check(holds[i] != Holding::other));
        matches += holds[i] == Holding::match ? 1 : 0;
    }
    BIX_TRY(check(matches <= 1));
    if (matches == 0)
        return Status::success();
    if (holds[kPath] == Holding::match) {
        BIX_TRY(g.refresh(root));
        auto file = matching_file(g.name(kPath), identity);
        if (!file)
            return file.status();
        BIX_TRY(move_regular_checked(g.name(kPath), g.name(kStaging), *file));
        BIX_TRY(matching_file(g.name(kStaging), identity).status());
        BIX_TRY(check(absent_at(g.name(kPath).directory, g.name(kPath).name).ok()));
        BIX_TRY(sync_directories(g.name(kPath).directory, g.name(kStaging).directory));
        platform::reach_step("recover-unlink:staged");
    }
    if (holds[kPath] == Holding::match || holds[kStaging] == Holding::match) {
        BIX_TRY(g.refresh(root));
        auto file = matching_file(g.name(kStaging), identity);
        if (!file)
            return file.status();
        BIX_TRY(g.refresh(root));
        BIX_TRY(move_to_durable_quarantine(g.name(kStaging), g.name(kQuarantine), *file));
        BIX_TRY(g.refresh(root));
        platform::reach_step("recover-unlink:quarantined");
    } else {
        BIX_TRY(g.refresh(root));
    }
    BIX_TRY(delete_exact_regular_content_checked(g.name(kQuarantine), identity));
    BIX_TRY(all_absent({g.name(kPath), g.name(kStaging), g.name(kQuarantine)}));
    return sync_all(
        {g.group[kPath].held.get(), g.group[kStaging].held.get(), g.group[kQuarantine].held.get()});
}

// ---- recover-rename ----------------------------------------------------------------------------

Status recover_rename_steps(const Root& root, Groups<2>& g, const ContentIdentity& identity) {
    enum { kSource, kDestination };
    const Holding source = holding_at(g.name(kSource), identity, true);
    const Holding destination = holding_at(g.name(kDestination), identity, true);
    if (source == Holding::match && destination == Holding::absent)
        return Status::success();
    BIX_TRY(check(source == Holding::absent && destination == Holding::match));
    BIX_TRY(g.refresh(root));
    auto file = matching_file(g.name(kDestination), identity);
    if (!file)
        return file.status();
    BIX_TRY(move_regular_checked(g.name(kDestination), g.name(kSource), *file));
    platform::reach_step("recover-rename:moved");
    if (!matching_file(g.name(kSource), identity).ok() ||
        !absent_at(g.name(kDestination).directory, g.name(kDestination).name).ok()) {
        restore_regular_after_failed_content_check(g.name(kSource), g.name(kDestination));
        return stale();
    }
    return sync_directories(g.name(kSource).directory, g.name(kDestination).directory);
}

// ---- recover-swap ------------------------------------------------------------------------------

Status recover_swap_steps(const Root& root, Groups<2>& g, const ContentIdentity& first_at_a,
                          const ContentIdentity& first_at_b) {
    enum { kA, kB };
    auto holds = [&](size_t i, const ContentIdentity& identity) {
        return holding_at(g.name(i), identity, true) == Holding::match;
    };
    const bool b_holds_b = holds(kB, first_at_b);
    if (holds(kA, first_at_a) && b_holds_b)
        return Status::success();
    if (b_holds_b && absent_at(g.name(kA).directory, g.name(kA).name).ok())
        return Status::success();
    BIX_TRY(check(holds(kA, first_at_b) && holds(kB, first_at_a)));
    BIX_TRY(g.refresh(root));
    auto at_a = regular_at(g.name(kA).directory, g.name(kA).name);
    auto at_b = regular_at(g.name(kB).directory, g.name(kB).name);
    if (!at_a || !at_b)
        return stale();
    BIX_TRY(swap_regular_checked(g.name(kA), g.name(kB), *at_a, *at_b));
    platform::reach_step("recover-swap:swapped");
    if (holds(kA, first_at_a) && holds(kB, first_at_b))
        return sync_directories(g.name(kA).directory, g.name(kB).directory);
    if (regular_at(g.name(kA).directory, g.name(kA).name).ok() &&
        regular_at(g.name(kB).directory, g.name(kB).name).ok())
        (void)platform::rename_swap(g.name(kA).directory, g.name(kA).name, g.name(kB).directory,
                                    g.name(kB).name);
    return stale();
}

// ---- recover-link ------------------------------------------------------------------------------

// Whether two groups name the same entry: the same leaf in the same directory.
bool same_name(const BookmarkedGroup& a, const BookmarkedGroup& b) {
    return a.leaf == b.leaf && same_directory_descriptor(a.held.get(), b.held.get()).ok();
}

Status recover_link_steps(const Root& root, Groups<4>& g, const ContentIdentity& identity) {
    enum { kExisting, kNew, kRollback, kQuarantine };
    const uint64_t n = identity.entry.link_count;
    BIX_TRY(
        check(n >= 1 && n < UINT64_MAX && is_durable_quarantine_leaf(g.group[kQuarantine].leaf)));
    BIX_TRY(
        same_directory_descriptor(g.group[kRollback].held.get(), g.group[kQuarantine].held.get()));
    // The existing name is never one of the extra link's names: removing the "extra" link would
    // then remove the very name the link was made from.
    for (size_t i : {kNew, kRollback, kQuarantine})
        BIX_TRY(check(!same_name(g.group[kExisting], g.group[i])));
    std::array<Holding, 4> holds;
    int extras = 0;
    for (size_t i = 0; i < 4; ++i) {
        holds[i] = holding_at(g.name(i), identity, false);
        BIX_TRY(check(holds[i] != Holding::other));
        if (i != kExisting && holds[i] == Holding::match)
            ++extras;
    }
    BIX_TRY(check(extras <= 1));
    const bool existing_matched = holds[kExisting] == Holding::match;
    // `link-excl` never removes the existing name, so an extra link without it is not a state
    // the link left behind; it may be the file's last name, and is never deleted here.
    BIX_TRY(check(existing_matched || extras == 0));
    const uint64_t linked = existing_matched ? n + 1 : n;
    auto stat_of = [&](size_t i) { return platform::stat_at(g.name(i).directory, g.name(i).name); };
    size_t extra = 0;
    for (size_t i : {kNew, kRollback, kQuarantine})
        if (extra == 0 && holds[i] == Holding::match)
            extra = i;
    if (extra != 0) {
        auto extra_stat = stat_of(extra);
        BIX_TRY(check(extra_stat && extra_stat->link_count == linked));
        if (existing_matched) {
            auto existing = stat_of(kExisting);
            BIX_TRY(check(existing && existing->device == extra_stat->device &&
                          existing->inode == extra_stat->inode && existing->link_count == linked));
        }
    } else if (existing_matched) {
        auto existing = stat_of(kExisting);
        BIX_TRY(check(existing && existing->link_count == n));
    }
    ContentIdentity extra_identity = identity;
    extra_identity.entry.link_count = linked;
    if (holds[kNew] == Holding::match) {
        BIX_TRY(g.refresh(root));
        auto file = matching_file(g.name(kNew), extra_identity);
        if (!file)
            return file.status();
        BIX_TRY(move_regular_checked(g.name(kNew), g.name(kRollback), *file));
        if (!absent_at(g.name(kNew).directory, g.name(kNew).name).ok() ||
            !matching_file(g.name(kRollback), extra_identity).ok()) {
            restore_regular_after_failed_content_check(g.name(kRollback), g.name(kNew));
            return stale();
        }
        BIX_TRY(sync_directories(g.name(kNew).directory, g.name(kRollback).directory));
        platform::reach_step("recover-link:parked");
    }
    if (holds[kNew] == Holding::match || holds[kRollback] == Holding::match) {
        BIX_TRY(check(absent_at(g.name(kNew).directory, g.name(kNew).name).ok()));
        BIX_TRY(g.refresh(root));
        auto file = matching_file(g.name(kRollback), extra_identity);
        if (!file)
            return file.status();
        BIX_TRY(g.refresh(root));
        BIX_TRY(move_to_durable_quarantine(g.name(kRollback), g.name(kQuarantine), *file));
        platform::reach_step("recover-link:quarantined");
    }
    if (extra != 0) {
        BIX_TRY(g.refresh(root));
        BIX_TRY(delete_exact_regular_content_checked(g.name(kQuarantine), extra_identity));
    }
    BIX_TRY(all_absent({g.name(kNew), g.name(kRollback), g.name(kQuarantine)}));
    if (existing_matched)
        return matching_file(g.name(kExisting), identity).status();
    return all_absent({g.name(kExisting)});
}

// Opens every group (the root's file-system id is needed to resolve a bookmark), then runs the
// steps.
template <size_t N, class Steps>
OperationResult recover(const OperationContext& context, Groups<N> groups, Steps steps) {
    BIX_TRY(open_all(context.root, groups));
    return steps(groups);
}

} // namespace

OperationResult recover_unlink(const OperationContext& context, RecoverUnlinkRequest request) {
    Groups<3> groups{
        {std::move(request.path), std::move(request.staging), std::move(request.quarantine)}};
    return recover(context, std::move(groups), [&](Groups<3>& g) {
        return recover_unlink_steps(context.root, g, request.identity);
    });
}

OperationResult recover_rename(const OperationContext& context, RecoverRenameRequest request) {
    Groups<2> groups{{std::move(request.source), std::move(request.destination)}};
    return recover(context, std::move(groups), [&](Groups<2>& g) {
        return recover_rename_steps(context.root, g, request.identity);
    });
}

OperationResult recover_swap(const OperationContext& context, RecoverSwapRequest request) {
    Groups<2> groups{{std::move(request.a), std::move(request.b)}};
    return recover(context, std::move(groups), [&](Groups<2>& g) {
        return recover_swap_steps(context.root, g, request.first_at_a, request.first_at_b);
    });
}

OperationResult recover_link(const OperationContext& context, RecoverLinkRequest request) {
    Groups<4> groups{{std::move(request.existing), std::move(request.added),
                      std::move(request.rollback), std::move(request.quarantine)}};
    return recover(context, std::move(groups), [&](Groups<4>& g) {
        return recover_link_steps(context.root, g, request.identity);
    });
}

} // namespace bix::safe_path
