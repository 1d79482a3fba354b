// `ensure-dir` and `ensure-private-dir`: a directory at a path, created when missing.
#include "anchors/anchor_walk.h"
#include "mutations/operations.h"
#include "mutations/primitives.h"
#include "platform/step_hook.h"

#include <optional>

namespace bix::safe_path {
namespace {

constexpr unsigned kDirectoryMode = 0700;

enum class DirectoryKind { plain, private_directory };

// Creates the leaf and gives the new directory's stat; an existing entry (no stat) is left for
// the checks that follow.
Result<std::optional<platform::FileStat>> make_leaf(int parent, const std::string& leaf) {
    Status made = platform::make_directory_at(parent, leaf, kDirectoryMode);
    if (!made.ok()) {
        if (made.error() == EEXIST)
            return std::optional<platform::FileStat>();
        return made;
    }
    auto created = directory_at(parent, leaf);
    if (!created)
        return created.status();
    return std::optional<platform::FileStat>(*created);
}

OperationResult ensure_directory(const OperationContext& context, const std::string& path,
                                 DirectoryKind kind) {
    const Root& root = context.root;
    auto parent = open_parent(root, path);
    if (!parent)
        return parent.status();
    const int held = parent->fd.get();
    BIX_TRY(paths_anchored_before_mutation(root, {{path, held}}));
    platform::reach_step("ensure-dir:before-mutation");
    auto created = make_leaf(held, parent->leaf);
    if (!created)
        return created.status();
    platform::reach_step("ensure-dir:after-mutation");
    // A directory just created is never removed again: a race leaves it in place.
    if (!paths_still_anchored(root, {{path, held}}).ok())
        return Status::race(RaceOutcome::preserved);
    BIX_TRY(platform::sync_descriptor(held));
    auto directory = platform::open_directory_at(held, parent->leaf);
    if (!directory)
        return directory.status();
    auto stat = platform::stat_descriptor(directory->get());
    if (!stat)
        return stat.status();
    // The mode of a directory this run created must not depend on the caller's umask; an
    // existing directory (or one swapped in since) is never repaired.
    if (created->has_value() && (*created)->same_inode(*stat)) {
        BIX_TRY(platform::change_mode(directory->get(), kDirectoryMode));
        stat = platform::stat_descriptor(directory->get());
        if (!stat)
            return stat.status();
    }
    bool acceptable = stat->is_directory() && on_root_file_system(*stat, root.stat);
    if (kind == DirectoryKind::private_directory)
        acceptable =
            acceptable && stat->uid == root.stat.uid && stat->permissions() == kDirectoryMode;
    BIX_TRY(check(acceptable));
    if (!paths_still_anchored(root, {{path, held}}).ok())
        return Status::race(RaceOutcome::preserved);
    return OperationResult::success_with(
        DirectoryReport{stat->device, stat->inode, stat->uid, stat->mode});
}

} // namespace

OperationResult ensure_dir(const OperationContext& context, const PathRequest& request) {
    return ensure_directory(context, request.path, DirectoryKind::plain);
}

OperationResult ensure_private_dir(const OperationContext& context, const PathRequest& request) {
    return ensure_directory(context, request.path, DirectoryKind::private_directory);
}

} // namespace bix::safe_path
