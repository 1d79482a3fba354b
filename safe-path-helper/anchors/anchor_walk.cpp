#include "anchors/anchor_walk.h"

#include "anchors/identity.h"
#include "anchors/path_grammar.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

enum class WalkPolicy { same_device, private_owner };

// Whether a walked component may be passed through; the failure differs by policy.
Status component_allowed(const platform::FileStat& stat, const platform::FileStat& root_stat,
                         WalkPolicy policy) {
    if (policy == WalkPolicy::same_device)
        return stat.is_directory() && on_root_file_system(stat, root_stat) ? Status::success()
                                                                           : Status::failure(EXDEV);
    return check(stat.is_directory() && on_root_file_system(stat, root_stat) &&
                 stat.uid == root_stat.uid);
}

// Opens every component of `components[0, count)` below `root_fd`, checking each.
Result<UniqueFd> walk_components(int root_fd, const platform::FileStat& root_stat,
                                 const std::vector<std::string>& components, size_t count,
                                 WalkPolicy policy) {
    auto current = platform::duplicate(root_fd);
    if (!current)
        return current.status();
    for (size_t i = 0; i < count; ++i) {
        platform::reach_step("walk:component");
        auto next = platform::open_directory_at(current->get(), components[i]);
        if (!next)
            return next.status();
        auto stat = platform::stat_descriptor(next->get());
        if (!stat)
            return stat.status();
        BIX_TRY(component_allowed(*stat, root_stat, policy));
        *current = std::move(*next);
    }
    return current;
}

Result<HeldParent> walk_to_parent(int root_fd, const platform::FileStat& root_stat,
                                  std::string_view path, WalkPolicy policy) {
    if (!valid_relative_path(path))
        return invalid();
    auto components = split_path(path);
    auto parent = walk_components(root_fd, root_stat, components, components.size() - 1, policy);
    if (!parent)
        return parent.status();
    return HeldParent{std::move(*parent), components.back()};
}

} // namespace

Result<HeldParent> open_parent(int root_fd, const platform::FileStat& root_stat,
                               std::string_view path) {
    return walk_to_parent(root_fd, root_stat, path, WalkPolicy::same_device);
}

Result<HeldParent> open_parent(const Root& root, std::string_view path) {
    return open_parent(root.fd.get(), root.stat, path);
}

Result<HeldParent> open_private_parent(const Root& root, std::string_view path) {
    if (!valid_relative_path(path))
        return invalid();
    auto current = platform::stat_descriptor(root.fd.get());
    if (!current)
        return current.status();
    if (!current->is_directory() || !on_root_file_system(*current, root.stat) ||
        current->uid != root.stat.uid)
        return stale();
    return walk_to_parent(root.fd.get(), root.stat, path, WalkPolicy::private_owner);
}

Result<UniqueFd> open_relative_directory(int root_fd, const platform::FileStat& root_stat,
                                         std::string_view path) {
    if (path == ".")
        return platform::duplicate(root_fd);
    if (!valid_relative_path(path))
        return invalid();
    auto components = split_path(path);
    return walk_components(root_fd, root_stat, components, components.size(),
                           WalkPolicy::same_device);
}

Result<std::pair<HeldParent, HeldParent>> open_two_parents(const Root& root, std::string_view first,
                                                           std::string_view second) {
    auto a = open_parent(root, first);
    if (!a)
        return a.status();
    auto b = open_parent(root, second);
    if (!b)
        return b.status();
    return std::pair<HeldParent, HeldParent>(std::move(*a), std::move(*b));
}

Status held_parent_matches(int root_fd, const platform::FileStat& root_stat, std::string_view path,
                           int held_fd) {
    auto parent = open_parent(root_fd, root_stat, path);
    if (!parent)
        return parent.status();
    return same_directory_descriptor(parent->fd.get(), held_fd);
}

Status paths_still_anchored(const Root& root, std::initializer_list<AnchoredPath> paths) {
    auto reopened = open_verified_directory_path(root.path, root.identity);
    if (!reopened)
        return reopened.status();
    // The identity on the command line can be matched by a re-created directory that reused the
    // inode number; the held root cannot be freed, so comparing with it closes that gap.
    BIX_TRY(same_directory_descriptor(reopened->fd.get(), root.fd.get()));
    for (const auto& anchored : paths)
        BIX_TRY(held_parent_matches(reopened->fd.get(), reopened->stat, anchored.path,
                                    anchored.held_fd));
    return Status::success();
}

Status paths_anchored_before_mutation(const Root& root, std::initializer_list<AnchoredPath> paths) {
    BIX_TRY(paths_still_anchored(root, paths));
    // Twice on purpose: a component swapped while the first walk was already past it is caught
    // by a second full walk that starts only after the first has finished.
    return paths_still_anchored(root, paths);
}

} // namespace bix::safe_path
