// The `bookmark-parent` operation: a bookmark of the directory that holds a path's leaf.
#include "recovery/bookmark_parent.h"

#include "anchors/anchor_walk.h"
#include "anchors/bookmark.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

std::string parent_path_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

OperationResult bookmark_parent(const OperationContext& context, const PathRequest& request) {
    const std::string& path = request.path;
    auto parent = open_parent(context.root, path);
    if (!parent)
        return parent.status();
    const int held = parent->fd.get();
    BIX_TRY(paths_still_anchored(context.root, {{path, held}}));
    auto stat = platform::stat_descriptor(held);
    if (!stat)
        return stat.status();
    auto bookmark = create_directory_bookmark(context.root, held, *stat, parent_path_of(path));
    if (!bookmark)
        return bookmark.status();
    platform::reach_step("bookmark-parent:created");
    BIX_TRY(paths_still_anchored(context.root, {{path, held}}));
    return OperationResult::success_with(
        BookmarkReport{to_hex(*bookmark), stat->device, stat->inode, stat->uid});
}

} // namespace bix::safe_path
