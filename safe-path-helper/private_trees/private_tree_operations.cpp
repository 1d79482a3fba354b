// `remove-private-tree` (bounded per run) and `quarantine-private-tree`.
#include "anchors/anchor_walk.h"
#include "anchors/path_grammar.h"
#include "platform/step_hook.h"
#include "private_trees/hardening.h"
#include "private_trees/operations.h"
#include "private_trees/private_removal.h"

namespace bix::safe_path {
namespace {

// What one pass over a tree may still spend, and how deep it may go.
struct TreeBudget {
    uint64_t entries;
    uint64_t depth_limit;

    Status spend() {
        if (entries == 0)
            return Status::failure(E2BIG);
        --entries;
        return Status::success();
    }
};

// Hardens every entry of the tree below `directory` and refuses anything but private
// directories and files; nothing is removed.
Status validate_private_tree_descriptor(int directory, const platform::FileStat& root_stat,
                                        TreeBudget& budget, uint64_t depth) {
    if (depth > budget.depth_limit)
        return Status::failure(E2BIG);
    auto reader = platform::DirectoryReader::open(directory);
    if (!reader)
        return reader.status();
    for (;;) {
        auto name = reader->next();
        if (!name)
            return name.status();
        if (!name->has_value())
            break;
        BIX_TRY(budget.spend());
        const std::string& entry = **name;
        auto stat = platform::stat_at(directory, entry);
        if (!stat)
            return stat.status();
        BIX_TRY(check(private_owner(*stat, root_stat)));
        if (stat->is_directory()) {
            auto child = open_hardened_private_directory_at(directory, entry, root_stat, *stat);
            if (!child)
                return child.status();
            BIX_TRY(
                validate_private_tree_descriptor(child->fd.get(), root_stat, budget, depth + 1));
        } else if (stat->is_regular()) {
            BIX_TRY(harden_private_regular_at(directory, entry, root_stat, *stat).status());
        } else {
            return stale(); // symbolic links, sockets, devices and pipes are never private data
        }
    }
    auto self = platform::stat_descriptor(directory);
    if (!self)
        return self.status();
    return check(self->is_directory() && private_owner(*self, root_stat) &&
                 self->permissions() == kPrivateDirectoryPermissions);
}

// The first entry of a directory, read through a fresh stream closed before the entry is touched.
Result<std::optional<std::string>> first_entry(int directory) {
    auto reader = platform::DirectoryReader::open(directory);
    if (!reader)
        return reader.status();
    auto name = reader->next();
    if (!name)
        return name.status();
    if (name->has_value() && ((*name)->empty() || (*name)->size() > kMaxComponentBytes))
        return Status::failure(ENAMETOOLONG);
    return name;
}

Status remove_entries(int directory, const platform::FileStat& root_stat, TreeBudget& budget,
                      uint64_t depth);

// Removes what the budget allows below `directory`, then flushes the directory once for all of
// its removed entries (also when the budget ran out part way).
Status remove_private_tree_contents(int directory, const platform::FileStat& root_stat,
                                    TreeBudget& budget, uint64_t depth) {
    if (depth > budget.depth_limit)
        return Status::failure(E2BIG);
    Status removed = remove_entries(directory, root_stat, budget, depth);
    Status synced = platform::sync_descriptor(directory);
    return removed.ok() ? synced : removed;
}

// The deletion name `entry` would be moved to, when an earlier run left an entry there: that one
// goes first, since removing `entry` needs the name.
Result<std::optional<std::string>> pending_deletion_of(int directory, const std::string& entry,
                                                       const platform::FileStat& stat) {
    auto deletion =
        deletion_name_for(entry, stat.is_directory() ? kDirectoryDeletion : kFileDeletion);
    if (!deletion)
        return deletion.status();
    if (*deletion == entry)
        return std::optional<std::string>();
    auto pending = platform::stat_at(directory, *deletion);
    if (!pending)
        return pending.error() == ENOENT ? Result<std::optional<std::string>>(std::nullopt)
                                         : Result<std::optional<std::string>>(pending.status());
    return std::optional<std::string>(*deletion);
}

Status remove_entries(int directory, const platform::FileStat& root_stat, TreeBudget& budget,
                      uint64_t depth) {
    for (;;) {
        auto name = first_entry(directory);
        if (!name)
            return name.status();
        if (!name->has_value())
            return Status::success();
        std::string entry = **name;
        auto stat = platform::stat_at(directory, entry);
        if (!stat)
            return stat.status();
        auto pending = pending_deletion_of(directory, entry, *stat);
        if (!pending)
            return pending.status();
        if (pending->has_value()) {
            entry = **pending;
            stat = platform::stat_at(directory, entry);
            if (!stat)
                return stat.status();
        }
        BIX_TRY(check(private_owner(*stat, root_stat)));
        platform::reach_step("remove-tree:entry");
        if (stat->is_directory()) {
            auto child = open_hardened_private_directory_at(directory, entry, root_stat, *stat);
            if (!child)
                return child.status();
            BIX_TRY(remove_private_tree_contents(child->fd.get(), root_stat, budget, depth + 1));
            auto still = platform::stat_descriptor(child->fd.get());
            if (!still || !same_directory_identity(child->stat, *still))
                return stale();
            child->fd.reset();
            // A directory is charged when it is removed, not when it is entered: charging on
            // entry would let a chain deeper than the budget use it all up before any removal,
            // and every later run would stop at the same place.
            BIX_TRY(budget.spend());
            BIX_TRY(delete_directory_checked(directory, entry, *still, DirectorySync::by_caller));
        } else if (stat->is_regular()) {
            BIX_TRY(budget.spend());
            auto hardened = harden_private_regular_at(directory, entry, root_stat, *stat);
            if (!hardened)
                return hardened.status();
            BIX_TRY(
                delete_regular_checked({directory, entry}, *hardened, DirectorySync::by_caller));
        } else {
            return stale();
        }
    }
}

// What each pass of one `remove-private-tree` run may still spend.
struct TreeBudgets {
    TreeBudget validation;
    TreeBudget removal;
};

// Validates, then removes the private tree at `name` (whose no-follow stat is `present`) and
// finally the directory itself.
Status remove_tree_at(const RemovalSite& site, TreeBudgets& budgets, const std::string& name,
                      const platform::FileStat& present) {
    const Root& root = site.root;
    if (!present.is_directory() || !private_owner(present, root.stat))
        return invalid();
    auto tree = open_hardened_private_directory_at(site.held, name, root.stat, present);
    if (!tree)
        return tree.status();
    if (Status valid =
            validate_private_tree_descriptor(tree->fd.get(), root.stat, budgets.validation, 0);
        !valid.ok() && valid.error() != E2BIG)
        return valid;
    BIX_TRY(paths_still_anchored(root, {{site.path, site.held}}));
    BIX_TRY(remove_private_tree_contents(tree->fd.get(), root.stat, budgets.removal, 0));
    auto held_now = platform::stat_descriptor(tree->fd.get());
    auto named = platform::stat_at(site.held, name);
    if (!held_now || !named || !same_directory_identity(tree->stat, *held_now) ||
        !same_directory_identity(tree->stat, *named))
        return stale();
    tree->fd.reset();
    platform::reach_step("remove-tree:before-top");
    return delete_directory_checked(site.held, name, *held_now);
}

} // namespace

OperationResult remove_private_tree(const OperationContext& context,
                                    const RemovePrivateTreeRequest& request) {
    const TreeBudget budget{request.entry_budget, request.depth_limit};
    TreeBudgets budgets{budget, budget};
    // A tree whose top an earlier run moved to its deletion name (killed before the rmdir) is
    // finished first, within the same budgets.
    return remove_private_entry(
        context.root, request.path, kDirectoryDeletion,
        {.finish_pending =
             [&](const RemovalSite& site) {
                 return remove_pending_like_leaf(
                     site, [&](const std::string& name, const platform::FileStat& present) {
                         return remove_tree_at(site, budgets, name, present);
                     });
             },
         .remove_present =
             [&](const RemovalSite& site, const platform::FileStat& present) {
                 return remove_tree_at(site, budgets, site.leaf, present);
             }});
}

OperationResult quarantine_private_tree(const OperationContext& context,
                                        const QuarantinePrivateTreeRequest& request) {
    const Root& root = context.root;
    auto source = open_private_parent(root, request.source);
    if (!source)
        return source.status();
    auto target = open_private_parent(root, request.destination);
    if (!target)
        return target.status();
    BIX_TRY(same_directory_descriptor(source->fd.get(), target->fd.get()));
    auto anchored_both = [&] {
        return paths_still_anchored(
            root, {{request.source, source->fd.get()}, {request.destination, target->fd.get()}});
    };
    BIX_TRY(anchored_both());
    BIX_TRY(harden_private_directory(source->fd.get(), root.stat));
    BIX_TRY(anchored_both());
    auto from = directory_at(source->fd.get(), source->leaf);
    if (!from && from.error() != ENOENT)
        return from.status();
    auto to = directory_at(target->fd.get(), target->leaf);
    if (!to && to.error() != ENOENT)
        return to.status();
    if (from && to)
        return invalid();
    if (from) {
        if (!private_owner(*from, root.stat))
            return invalid();
        platform::reach_step("quarantine-tree:before-mutation");
        return move_directory_checked({source->fd.get(), source->leaf},
                                      {target->fd.get(), target->leaf}, *from);
    }
    // Nothing to move: already quarantined, or never there.
    if (!to || private_owner(*to, root.stat))
        return Status::success();
    return invalid();
}

} // namespace bix::safe_path
