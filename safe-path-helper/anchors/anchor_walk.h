// Anchored walks: every path is reached one component at a time from the verified root, and a held
// directory is proven, before and after each mutation, to be still the one its path names.
#pragma once

#include "anchors/root.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace bix::safe_path {

// An open directory and the leaf a path names inside it. The caller owns the descriptor.
struct HeldParent {
    UniqueFd fd;
    std::string leaf;
};

// Walks to the parent of `path`: EINVAL for a bad path, the open's errno, EXDEV for a component
// that is not a directory on the root's device and mount.
Result<HeldParent> open_parent(int root_fd, const platform::FileStat& root_stat,
                               std::string_view path);
Result<HeldParent> open_parent(const Root& root, std::string_view path);
// As `open_parent`, but the root and every component must also belong to the root's owner, and
// any type, device, mount or owner difference is ESTALE.
Result<HeldParent> open_private_parent(const Root& root, std::string_view path);
// Opens a directory path from the root ("." is the root itself).
Result<UniqueFd> open_relative_directory(int root_fd, const platform::FileStat& root_stat,
                                         std::string_view path);
Result<std::pair<HeldParent, HeldParent>> open_two_parents(const Root& root, std::string_view first,
                                                           std::string_view second);

// Walks the path again from `root_fd` and requires it to reach `held_fd`'s directory.
Status held_parent_matches(int root_fd, const platform::FileStat& root_stat, std::string_view path,
                           int held_fd);

struct AnchoredPath {
    std::string_view path;
    int held_fd;
};

// Reopens the root from its path, verifies its identity (and that it is still the directory the
// prologue holds), then `held_parent_matches` for every pair in order.
Status paths_still_anchored(const Root& root, std::initializer_list<AnchoredPath> paths);
// The check every mutation runs right before it changes anything: `paths_still_anchored` twice.
Status paths_anchored_before_mutation(const Root& root, std::initializer_list<AnchoredPath> paths);

} // namespace bix::safe_path
