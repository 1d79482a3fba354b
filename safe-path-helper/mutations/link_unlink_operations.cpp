// `link-excl` and `unlink-checked`: a checked extra link and a checked deletion, both with a
// durable quarantine name so that an interrupted run can be recovered.
#include "anchors/anchor_walk.h"
#include "mutations/operations.h"
#include "mutations/rollbacks.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

// The quarantine leaf is durable and in the same directory as its partner; both names are free.
// One name for both would leave the file parked where neither the run nor recovery can go on.
Status quarantine_pair_usable(const HeldParent& partner, const HeldParent& quarantine) {
    BIX_TRY(same_directory_descriptor(partner.fd.get(), quarantine.fd.get()));
    if (partner.leaf == quarantine.leaf)
        return invalid();
    BIX_TRY(absent_at(partner.fd.get(), partner.leaf));
    return absent_at(quarantine.fd.get(), quarantine.leaf);
}

// The new link must take neither the rollback nor the quarantine name: recovery tells the extra
// link's places apart by name, and a rollback could never move it.
Status new_name_distinct(const HeldParent& added, const HeldParent& rollback,
                         const HeldParent& quarantine) {
    if (!same_directory_descriptor(added.fd.get(), rollback.fd.get()).ok())
        return Status::success();
    return added.leaf == rollback.leaf || added.leaf == quarantine.leaf ? invalid()
                                                                        : Status::success();
}

NameAt name_of(const HeldParent& parent) {
    return {parent.fd.get(), parent.leaf};
}

struct LinkPaths {
    HeldParent existing, added, rollback, quarantine;
};

} // namespace

OperationResult link_excl(const OperationContext& context, const LinkExclRequest& request) {
    const ContentIdentity& identity = request.identity;
    const Root& root = context.root;
    auto pair = open_two_parents(root, request.existing, request.added);
    if (!pair)
        return pair.status();
    auto rollback = open_parent(root, request.rollback);
    if (!rollback)
        return rollback.status();
    auto quarantine = open_parent(root, request.quarantine);
    if (!quarantine)
        return quarantine.status();
    LinkPaths p{std::move(pair->first), std::move(pair->second), std::move(*rollback),
                std::move(*quarantine)};
    BIX_TRY(quarantine_pair_usable(p.rollback, p.quarantine));
    BIX_TRY(new_name_distinct(p.added, p.rollback, p.quarantine));
    BIX_TRY(exact_recovery_file_at(p.existing.fd.get(), p.existing.leaf, identity).status());
    const std::initializer_list<AnchoredPath> paths = {{request.existing, p.existing.fd.get()},
                                                       {request.added, p.added.fd.get()},
                                                       {request.rollback, p.rollback.fd.get()},
                                                       {request.quarantine, p.quarantine.fd.get()}};
    auto anchored = [&] { return paths_still_anchored(root, paths); };
    BIX_TRY(paths_anchored_before_mutation(root, paths));
    const NameAt existing = name_of(p.existing);
    const NameAt added = name_of(p.added);
    platform::reach_step("link-excl:before-mutation");
    BIX_TRY(platform::link_at(existing.directory, existing.name, added.directory, added.name));
    platform::reach_step("link-excl:after-mutation");
    EntryIdentity linked = identity.entry;
    linked.link_count += 1;
    auto undo = [&] {
        return rolled_back_or_preserved(rollback_linked_entry(existing, added, name_of(p.rollback),
                                                              name_of(p.quarantine), identity));
    };
    if (!exact_regular_at(existing.directory, existing.name, linked).ok() ||
        !exact_regular_at(added.directory, added.name, linked).ok() || !anchored().ok())
        return undo();
    BIX_TRY(sync_directories(existing.directory, added.directory));
    platform::reach_step("link-excl:before-final-anchor");
    if (!anchored().ok())
        return undo();
    return Status::success();
}

OperationResult unlink_checked(const OperationContext& context,
                               const UnlinkCheckedRequest& request) {
    const ContentIdentity& identity = request.identity;
    const Root& root = context.root;
    auto path = open_parent(root, request.path);
    if (!path)
        return path.status();
    auto staging = open_parent(root, request.staging);
    if (!staging)
        return staging.status();
    auto quarantine = open_parent(root, request.quarantine);
    if (!quarantine)
        return quarantine.status();
    BIX_TRY(quarantine_pair_usable(*staging, *quarantine));
    const NameAt victim = name_of(*path);
    const NameAt staged = name_of(*staging);
    BIX_TRY(exact_recovery_file_at(victim.directory, victim.name, identity).status());
    const std::initializer_list<AnchoredPath> paths = {{request.path, path->fd.get()},
                                                       {request.staging, staging->fd.get()},
                                                       {request.quarantine, quarantine->fd.get()}};
    auto anchored = [&] { return paths_still_anchored(root, paths); };
    BIX_TRY(paths_anchored_before_mutation(root, paths));
    platform::reach_step("unlink-checked:before-mutation");
    BIX_TRY(
        platform::rename_exclusive(victim.directory, victim.name, staged.directory, staged.name));
    platform::reach_step("unlink-checked:after-mutation");
    if (!exact_recovery_file_at(staged.directory, staged.name, identity).ok() || !anchored().ok())
        return rolled_back_or_preserved(rollback_renamed_entry(victim, staged));
    BIX_TRY(sync_directories(victim.directory, staged.directory));
    platform::reach_step("unlink-checked:before-final-anchor");
    if (!anchored().ok())
        return rolled_back_or_preserved(rollback_renamed_entry(victim, staged));
    return delete_regular_content_checked(staged, name_of(*quarantine), identity);
}

} // namespace bix::safe_path
