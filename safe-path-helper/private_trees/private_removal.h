// The preamble every private removal (`remove-private-file`, `remove-private-staging-file`,
// `remove-private-tree`) shares, then its own steps.
#pragma once

#include "anchors/root.h"

#include <functional>
#include <string>
#include <string_view>

namespace bix::safe_path {

// Where a private removal works: the hardened parent, the leaf and the leaf's deletion name.
struct RemovalSite {
    const Root& root;
    const std::string& path;
    int held;
    const std::string& leaf;
    const std::string& deletion;
};

// The steps that differ between the removals.
struct RemovalSteps {
    // Finishes what an earlier run, killed between its move to the deletion name and the unlink
    // or rmdir, left there: that name must be free before this run's own move.
    std::function<Status(const RemovalSite&)> finish_pending;
    // Removes the leaf, whose no-follow stat is `present`.
    std::function<Status(const RemovalSite&, const platform::FileStat& present)> remove_present;
};

// Walks to the hardened private parent and takes the leaf's stat, derives the leaf's deletion
// name from `deletion_detail`, finishes a pending removal there (unless the leaf already is a
// deletion name, which is removed where it is), then removes the leaf when present. An absent
// leaf is success.
Status remove_private_entry(const Root& root, const std::string& path,
                            std::string_view deletion_detail, const RemovalSteps& steps);

// `finish_pending` for removals that treat the deletion name like the leaf: `remove` runs on it
// when something is there.
Status remove_pending_like_leaf(
    const RemovalSite& site,
    const std::function<Status(const std::string& name, const platform::FileStat& present)>&
        remove);

} // namespace bix::safe_path
