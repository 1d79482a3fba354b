// Every operation the command line dispatches to.
#pragma once

#include "cli/operation.h"

namespace bix::safe_path {

OperationResult bookmark_parent(const OperationContext& context);
OperationResult ensure_dir(const OperationContext& context);
OperationResult ensure_private_dir(const OperationContext& context);
OperationResult create_file(const OperationContext& context);
OperationResult create_private_file(const OperationContext& context);
OperationResult rename_excl(const OperationContext& context);
OperationResult rename_swap(const OperationContext& context);
OperationResult link_excl(const OperationContext& context);
OperationResult unlink_checked(const OperationContext& context);
OperationResult create_private_file_staged(const OperationContext& context);
OperationResult read_private_file(const OperationContext& context);
OperationResult read_external_file(const OperationContext& context);
OperationResult remove_private_file(const OperationContext& context);
OperationResult remove_private_staging_file(const OperationContext& context);
OperationResult remove_private_tree(const OperationContext& context);
OperationResult quarantine_private_tree(const OperationContext& context);
OperationResult recover_unlink(const OperationContext& context);
OperationResult recover_rename(const OperationContext& context);
OperationResult recover_swap(const OperationContext& context);
OperationResult recover_link(const OperationContext& context);

} // namespace bix::safe_path
