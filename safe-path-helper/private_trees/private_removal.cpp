#include "private_trees/private_removal.h"

#include "anchors/object_binding.h"
#include "private_trees/hardening.h"

namespace bix::safe_path {

Status remove_private_entry(const Root& root, const std::string& path,
                            std::string_view deletion_detail, const RemovalSteps& steps) {
    auto target = private_removal_target(root, path);
    if (!target)
        return target.status();
    const std::string& leaf = target->parent.leaf;
    auto deletion = deletion_name_for(leaf, deletion_detail);
    if (!deletion)
        return deletion.status();
    const RemovalSite site{root, path, target->parent.fd.get(), leaf, *deletion};
    // A leaf that already is its deletion name is removed once, where it is: treating it as a
    // pending removal too would delete it first and leave its own removal to fail with ENOENT.
    if (*deletion != leaf)
        BIX_TRY(steps.finish_pending(site));
    if (!target->present)
        return Status::success();
    return steps.remove_present(site, *target->present);
}

Status remove_pending_like_leaf(
    const RemovalSite& site,
    const std::function<Status(const std::string& name, const platform::FileStat& present)>&
        remove) {
    auto pending = platform::stat_at(site.held, site.deletion);
    if (pending)
        return remove(site.deletion, *pending);
    return pending.error() == ENOENT ? Status::success() : pending.status();
}

} // namespace bix::safe_path
