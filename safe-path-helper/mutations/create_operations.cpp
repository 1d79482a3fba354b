// `create-file` and `create-private-file`: a new file filled from standard input.
#include "anchors/anchor_walk.h"
#include "mutations/content_input.h"
#include "mutations/operations.h"
#include "mutations/rollbacks.h"
#include "platform/step_hook.h"

namespace bix::safe_path {
namespace {

Status anchored(const Root& root, const std::string& path, int held) {
    return paths_still_anchored(root, {{path, held}});
}

// Whether a file at the leaf's deletion name is one this create's rollback left when an earlier
// run was killed before its unlink: made with this mode on the root's file system (private: by
// the root's owner).
bool left_by_rollback(const platform::FileStat& stat, const Root& root,
                      const CreateFileRequest& request) {
    return on_root_file_system(stat, root.stat) && stat.permissions() == request.mode &&
           (!request.private_file || stat.uid == root.stat.uid);
}

// Everything up to the creation: the walk, the anchoring, (private) the parent hardening, and the
// end of a rollback an earlier run began.
Result<HeldParent> prepare_parent(const Root& root, const CreateFileRequest& request) {
    auto parent = request.private_file ? open_private_parent(root, request.path)
                                       : open_parent(root, request.path);
    if (!parent)
        return parent.status();
    const int held = parent->fd.get();
    BIX_TRY(anchored(root, request.path, held));
    if (request.private_file) {
        BIX_TRY(harden_private_directory(held, root.stat));
        BIX_TRY(anchored(root, request.path, held));
    }
    BIX_TRY(finish_pending_file_deletion(held, parent->leaf, [&](const platform::FileStat& stat) {
        return left_by_rollback(stat, root, request);
    }));
    BIX_TRY(anchored(root, request.path, held));
    return parent;
}

Status verify_written(int fd, const Root& root, const CreateFileRequest& request) {
    BIX_TRY(platform::sync_descriptor(fd));
    auto stat = platform::stat_descriptor(fd);
    if (!stat)
        return stat.status();
    bool acceptable = stat->is_regular() && on_root_file_system(*stat, root.stat) &&
                      stat->size == request.size && stat->permissions() == request.mode;
    if (request.private_file)
        acceptable = acceptable && stat->uid == root.stat.uid && stat->link_count == 1;
    return check(acceptable);
}

// Steps after the creation; any failure is undone by the caller.
Status fill_and_verify(const OperationContext& context, const CreateFileRequest& request, int fd) {
    BIX_TRY(platform::change_mode(fd, request.mode));
    BIX_TRY(copy_exact_input(context.input_fd, fd, request.size));
    return verify_written(fd, context.root, request);
}

// Removes the new file after a failure: the failure's own code when that worked, else
// "RACE_PRESERVED", since the file is left at its name.
Status undo_create(NameAt leaf, int fd, Status failure) {
    return rollback_created_file(leaf, fd) ? failure : rolled_back_or_preserved(false);
}

} // namespace

OperationResult create_file(const OperationContext& context, const CreateFileRequest& request) {
    const Root& root = context.root;
    auto parent = prepare_parent(root, request);
    if (!parent)
        return parent.status();
    const int held = parent->fd.get();
    const NameAt leaf{held, parent->leaf};
    platform::reach_step("create:before-mutation");
    auto file = platform::create_exclusive_at(held, parent->leaf, request.mode);
    if (!file)
        return file.status();
    platform::reach_step("create:after-mutation");
    if (Status filled = fill_and_verify(context, request, file->get()); !filled.ok())
        return undo_create(leaf, file->get(), filled);
    platform::reach_step("create:after-verify");
    if (!anchored(root, request.path, held).ok())
        return rolled_back_or_preserved(rollback_created_file(leaf, file->get()));
    if (Status synced = platform::sync_descriptor(held); !synced.ok())
        return undo_create(leaf, file->get(), synced);
    platform::reach_step("create:before-final-anchor");
    if (!anchored(root, request.path, held).ok())
        return rolled_back_or_preserved(rollback_created_file(leaf, file->get()));
    return Status::success();
}

} // namespace bix::safe_path
