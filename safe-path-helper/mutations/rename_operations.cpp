// `rename-excl` and `rename-swap`: a checked move to a free name and a checked exchange.
#include "anchors/anchor_walk.h"
#include "mutations/operations.h"
#include "mutations/rollbacks.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

struct TwoPaths {
    const std::string& first;
    const std::string& second;
    HeldParent first_parent;
    HeldParent second_parent;

    NameAt first_name() const { return {first_parent.fd.get(), first_parent.leaf}; }
    NameAt second_name() const { return {second_parent.fd.get(), second_parent.leaf}; }
    Status anchored(const Root& root) const {
        return paths_still_anchored(
            root, {{first, first_parent.fd.get()}, {second, second_parent.fd.get()}});
    }
    Status anchored_before_mutation(const Root& root) const {
        return paths_anchored_before_mutation(
            root, {{first, first_parent.fd.get()}, {second, second_parent.fd.get()}});
    }
};

Result<TwoPaths> open_pair(const Root& root, const std::string& first, const std::string& second) {
    auto parents = open_two_parents(root, first, second);
    if (!parents)
        return parents.status();
    return TwoPaths{first, second, std::move(parents->first), std::move(parents->second)};
}

Status holds_identity(NameAt at, const EntryIdentity& identity) {
    return exact_regular_at(at.directory, at.name, identity).status();
}

} // namespace

OperationResult rename_excl(const OperationContext& context, const RenameExclRequest& request) {
    const EntryIdentity& identity = request.source_identity;
    const Root& root = context.root;
    auto paths = open_pair(root, request.source, request.destination);
    if (!paths)
        return paths.status();
    const NameAt source = paths->first_name();
    const NameAt target = paths->second_name();
    BIX_TRY(holds_identity(source, identity));
    BIX_TRY(paths->anchored_before_mutation(root));
    platform::reach_step("rename-excl:before-mutation");
    BIX_TRY(
        platform::rename_exclusive(source.directory, source.name, target.directory, target.name));
    platform::reach_step("rename-excl:after-mutation");
    if (!holds_identity(target, identity).ok() || !paths->anchored(root).ok())
        return rolled_back_or_preserved(rollback_renamed_entry(source, target));
    BIX_TRY(sync_directories(source.directory, target.directory));
    platform::reach_step("rename-excl:before-final-anchor");
    if (!paths->anchored(root).ok())
        return rolled_back_or_preserved(rollback_renamed_entry(source, target));
    return Status::success();
}

OperationResult rename_swap(const OperationContext& context, const RenameSwapRequest& request) {
    const EntryIdentity& identity_a = request.identity_at_a;
    const EntryIdentity& identity_b = request.identity_at_b;
    const Root& root = context.root;
    auto paths = open_pair(root, request.a, request.b);
    if (!paths)
        return paths.status();
    const NameAt a = paths->first_name();
    const NameAt b = paths->second_name();
    BIX_TRY(holds_identity(a, identity_a));
    BIX_TRY(holds_identity(b, identity_b));
    BIX_TRY(paths->anchored_before_mutation(root));
    platform::reach_step("rename-swap:before-mutation");
    BIX_TRY(platform::rename_swap(a.directory, a.name, b.directory, b.name));
    platform::reach_step("rename-swap:after-mutation");
    if (!holds_identity(a, identity_b).ok() || !holds_identity(b, identity_a).ok() ||
        !paths->anchored(root).ok())
        return rolled_back_or_preserved(rollback_swapped_entries(a, b));
    BIX_TRY(sync_directories(a.directory, b.directory));
    platform::reach_step("rename-swap:before-final-anchor");
    if (!paths->anchored(root).ok())
        return rolled_back_or_preserved(rollback_swapped_entries(a, b));
    return Status::success();
}

} // namespace bix::safe_path
