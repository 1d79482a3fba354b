// `create-private-file-staged`, `read-private-file`, `read-external-file`,
// `remove-private-file` and `remove-private-staging-file`.
#include "anchors/anchor_walk.h"
#include "mutations/content_input.h"
#include "mutations/rollbacks.h"
#include "platform/step_hook.h"
#include "private_trees/hardening.h"
#include "private_trees/operations.h"
#include "private_trees/private_removal.h"

namespace bix::safe_path {
namespace {

constexpr int kContentPasses = 3;

bool same_snapshot_fields(const platform::FileStat& a, const platform::FileStat& b) {
    return same_regular_identity(a, b) && a.size == b.size && a.mtime_seconds == b.mtime_seconds &&
           a.mtime_nanoseconds == b.mtime_nanoseconds;
}

// ---- create-private-file-staged --------------------------------------------------------------

struct StagedCreate {
    const Root& root;
    const std::string& final_path;
    const std::string& staging_path;
    HeldParent final_parent;
    HeldParent staging_parent;

    NameAt final_name() const { return {staging_parent.fd.get(), final_parent.leaf}; }
    NameAt staging_name() const { return {staging_parent.fd.get(), staging_parent.leaf}; }
    Status anchored() const {
        return paths_still_anchored(
            root, {{final_path, final_parent.fd.get()}, {staging_path, staging_parent.fd.get()}});
    }
};

Status verify_staged(int fd, const StagedCreate& staged, uint64_t size,
                     platform::FileStat& verified) {
    BIX_TRY(platform::sync_descriptor(fd));
    auto stat = platform::stat_descriptor(fd);
    if (!stat)
        return stat.status();
    BIX_TRY(check(stat->is_regular() && on_root_file_system(*stat, staged.root.stat) &&
                  stat->uid == staged.root.stat.uid && stat->link_count == 1 &&
                  stat->size == size && stat->permissions() == kPrivateFilePermissions));
    BIX_TRY(platform::sync_descriptor(staged.staging_parent.fd.get()));
    verified = *stat;
    return Status::success();
}

// Steps after the staged file was verified: the move to the final name and its checks.
Status publish_staged(int fd, const StagedCreate& staged, const platform::FileStat& verified) {
    const NameAt staging = staged.staging_name();
    const NameAt final_name = staged.final_name();
    auto held = platform::stat_descriptor(fd);
    auto named = platform::stat_at(staging.directory, staging.name);
    if (!held || !named || !same_file_snapshot(verified, *held) ||
        !same_file_snapshot(verified, *named))
        return stale();
    BIX_TRY(absent_at(final_name.directory, final_name.name));
    BIX_TRY(staged.anchored());
    platform::reach_step("create-staged:before-mutation");
    BIX_TRY(move_regular_checked(staging, final_name, verified));
    BIX_TRY(platform::sync_descriptor(staging.directory));
    platform::reach_step("create-staged:after-mutation");
    held = platform::stat_descriptor(fd);
    named = platform::stat_at(final_name.directory, final_name.name);
    if (!held || !named || !same_snapshot_fields(verified, *held) ||
        !same_snapshot_fields(*held, *named))
        return stale();
    BIX_TRY(absent_at(staging.directory, staging.name));
    return staged.anchored();
}

// Undoes a staged create after the file was verified: back to the staging name, then deleted.
Status undo_staged(int fd, const StagedCreate& staged, Status failure) {
    const NameAt staging = staged.staging_name();
    const NameAt final_name = staged.final_name();
    auto held = platform::stat_descriptor(fd);
    auto at_final = regular_at(final_name.directory, final_name.name);
    if (held && at_final && at_final->device == held->device && at_final->inode == held->inode) {
        if (!move_regular_checked(final_name, staging, *at_final).ok())
            return Status::race(RaceOutcome::preserved);
    }
    if (!rollback_created_file(staging, fd))
        return Status::race(RaceOutcome::preserved);
    return failure;
}

// ---- remove-private-file ----------------------------------------------------------------------

struct ContentRemoval {
    const RemovalSite& site;
    uint64_t size;
    const std::string& digest;
};

// Deletes the private file at `name` after hashing it three times (once through a descriptor of
// its own, twice through the bound one), passing through the deletion name.
Status remove_content_at(const ContentRemoval& removal, const std::string& name) {
    const RemovalSite& site = removal.site;
    const int held = site.held;
    BIX_TRY(paths_still_anchored(site.root, {{site.path, held}}));
    platform::FileStat verified;
    {
        auto fd = platform::open_read_at(held, name);
        if (!fd)
            return fd.status();
        auto content = read_private_regular(fd->get(), site.root.stat, removal.size);
        if (!content)
            return content.status();
        BIX_TRY(check(content->bytes.size() == removal.size));
        BIX_TRY(sha256_matches(content->bytes.span(), removal.digest));
        verified = content->stat;
    }
    auto bound = bind_regular_fsref_at(held, name, verified);
    if (!bound)
        return bound.status();
    for (int pass = 2; pass <= kContentPasses; ++pass) {
        platform::reach_step("remove-private-file:before-pass");
        auto content = read_private_regular(bound->fd.get(), site.root.stat, removal.size);
        if (!content)
            return content.status();
        BIX_TRY(check(content->bytes.size() == removal.size &&
                      same_regular_identity(verified, content->stat)));
        BIX_TRY(sha256_matches(content->bytes.span(), removal.digest));
        auto named = platform::stat_at(held, name);
        if (!named)
            return named.status();
        BIX_TRY(check(same_regular_identity(verified, *named)));
    }
    platform::reach_step("remove-private-file:before-mutation");
    return delete_bound_object(held, name, *bound, site.deletion);
}

} // namespace

OperationResult create_private_file_staged(const OperationContext& context,
                                           const StagedCreateRequest& request) {
    const Root& root = context.root;
    auto final_parent = open_private_parent(root, request.final_path);
    if (!final_parent)
        return final_parent.status();
    auto staging_parent = open_private_parent(root, request.staging_path);
    if (!staging_parent)
        return staging_parent.status();
    BIX_TRY(same_directory_descriptor(final_parent->fd.get(), staging_parent->fd.get()));
    StagedCreate staged{root, request.final_path, request.staging_path, std::move(*final_parent),
                        std::move(*staging_parent)};
    BIX_TRY(staged.anchored());
    BIX_TRY(harden_private_directory(staged.staging_parent.fd.get(), root.stat));
    BIX_TRY(staged.anchored());
    const NameAt staging = staged.staging_name();
    const NameAt final_name = staged.final_name();
    // An earlier run's undo killed before its unlink left the staged file at the staging name's
    // deletion name: finish that first, so this run's undo finds the name free.
    BIX_TRY(finish_pending_file_deletion(
        staging.directory, staging.name, [&](const platform::FileStat& stat) {
            return private_owner(stat, root.stat) && stat.permissions() == kPrivateFilePermissions;
        }));
    BIX_TRY(absent_at(final_name.directory, final_name.name));
    BIX_TRY(absent_at(staging.directory, staging.name));
    BIX_TRY(staged.anchored());
    auto file =
        platform::create_exclusive_at(staging.directory, staging.name, kPrivateFilePermissions);
    if (!file)
        return file.status();
    // Until it is verified the staging file stays for `remove-private-staging-file`.
    BIX_TRY(platform::change_mode(file->get(), kPrivateFilePermissions));
    BIX_TRY(copy_exact_input(context.input_fd, file->get(), request.size));
    platform::FileStat verified;
    BIX_TRY(verify_staged(file->get(), staged, request.size, verified));
    platform::reach_step("create-staged:verified");
    if (Status published = publish_staged(file->get(), staged, verified); !published.ok())
        return undo_staged(file->get(), staged, published);
    return Status::success();
}

// The reads hand their bytes to the command line, which prints them after the operation has
// returned and so closed every descriptor it opened.
OperationResult read_private_file(const OperationContext& context,
                                  const ReadPrivateFileRequest& request) {
    const Root& root = context.root;
    auto parent = hardened_private_parent(root, request.path);
    if (!parent)
        return parent.status();
    auto fd = platform::open_read_at(parent->fd.get(), parent->leaf);
    if (!fd)
        return fd.status();
    auto content = read_private_regular(fd->get(), root.stat, request.maximum);
    if (!content)
        return content.status();
    auto named = platform::stat_at(parent->fd.get(), parent->leaf);
    if (!named)
        return named.status();
    BIX_TRY(check(same_regular_identity(content->stat, *named)));
    BIX_TRY(paths_still_anchored(root, {{request.path, parent->fd.get()}}));
    return OperationResult::success_with(ContentReport{std::move(content->bytes)});
}

OperationResult read_external_file(const OperationContext& context,
                                   const ReadExternalFileRequest& request) {
    const Root& root = context.root;
    auto parent = open_private_parent(root, request.path);
    if (!parent)
        return parent.status();
    const int held = parent->fd.get();
    auto first = platform::stat_descriptor(held);
    auto second = platform::stat_descriptor(held);
    // A directory other than the caller named is a wrong argument, not a race.
    if (!first || !second || !has_directory_identity(*first, request.directory) ||
        !same_directory_identity(*first, *second))
        return invalid();
    BIX_TRY(paths_still_anchored(root, {{request.path, held}}));
    auto fd = platform::open_read_at(held, parent->leaf);
    if (!fd)
        return fd.status();
    auto content = read_external_regular(fd->get(), root.stat, request.maximum);
    if (!content)
        return content.status();
    auto parent_now = platform::stat_descriptor(held);
    auto named = platform::stat_at(held, parent->leaf);
    if (!parent_now || !named)
        return stale();
    BIX_TRY(check(same_directory_identity(*first, *parent_now) &&
                  same_file_snapshot(content->stat, *named)));
    BIX_TRY(paths_still_anchored(root, {{request.path, held}}));
    return OperationResult::success_with(ContentReport{std::move(content->bytes)});
}

OperationResult remove_private_file(const OperationContext& context,
                                    const RemovePrivateFileRequest& request) {
    // Only a file with this very content can take its deletion name (the name is derived from
    // size and digest), so a leftover there is proven like the file itself and finished.
    auto remove = [&](const RemovalSite& site, const std::string& name) {
        return remove_content_at(ContentRemoval{site, request.size, request.digest}, name);
    };
    return remove_private_entry(
        context.root, request.path, content_deletion_detail(request.size, request.digest),
        {.finish_pending =
             [&](const RemovalSite& site) {
                 return remove_pending_like_leaf(
                     site, [&](const std::string& name, const platform::FileStat&) {
                         return remove(site, name);
                     });
             },
         .remove_present = [&](const RemovalSite& site,
                               const platform::FileStat&) { return remove(site, site.leaf); }});
}

namespace {

// Hardens the staging file at the site's leaf (0600) and deletes exactly that file when it is
// still one `allowed` accepts.
Status remove_staging_file_at(const RemovalSite& site, const platform::FileStat& present,
                              const PendingFileProof& allowed) {
    const int held = site.held;
    const std::string& leaf = site.leaf;
    if (!allowed(present))
        return invalid();
    BIX_TRY(paths_still_anchored(site.root, {{site.path, held}}));
    platform::FileStat hardened;
    {
        auto fd = platform::open_read_at(held, leaf);
        if (!fd)
            return fd.status();
        auto before = platform::stat_descriptor(fd->get());
        if (!before)
            return before.status();
        BIX_TRY(check(allowed(*before) && before->inode == present.inode));
        BIX_TRY(platform::change_mode(fd->get(), kPrivateFilePermissions));
        auto after = platform::stat_descriptor(fd->get());
        if (!after)
            return after.status();
        BIX_TRY(check(allowed(*after) && after->inode == before->inode &&
                      after->permissions() == kPrivateFilePermissions));
        hardened = *after;
    }
    auto bound = bind_regular_fsref_at(held, leaf, hardened);
    if (!bound)
        return bound.status();
    auto held_now = platform::stat_descriptor(bound->fd.get());
    auto named = platform::stat_at(held, leaf);
    if (!held_now || !named || !same_regular_identity(hardened, *held_now) ||
        !same_regular_identity(hardened, *named) || !allowed(*held_now))
        return stale();
    platform::reach_step("remove-private-staging-file:before-mutation");
    return delete_bound_object(held, leaf, *bound, site.deletion);
}

} // namespace

OperationResult remove_private_staging_file(const OperationContext& context,
                                            const RemovePrivateStagingFileRequest& request) {
    const platform::FileStat& root_stat = context.root.stat;
    const PendingFileProof allowed = [&](const platform::FileStat& stat) {
        return stat.is_regular() && on_root_file_system(stat, root_stat) &&
               stat.uid == root_stat.uid && stat.link_count == 1 && stat.size <= request.maximum;
    };
    return remove_private_entry(
        context.root, request.path, kFileDeletion,
        {.finish_pending =
             [&](const RemovalSite& site) {
                 // What an earlier run (or a staged create's undo) left at the deletion name.
                 return finish_pending_file_deletion(site.held, site.leaf, allowed);
             },
         .remove_present =
             [&](const RemovalSite& site, const platform::FileStat& present) {
                 return remove_staging_file_at(site, present, allowed);
             }});
}

} // namespace bix::safe_path
