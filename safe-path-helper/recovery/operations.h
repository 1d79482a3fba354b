// Recovery of an interrupted `unlink-checked`, `rename-excl`, `rename-swap` or `link-excl`. Each
// takes its request by value: it opens the request's bookmarked groups and holds them.
#pragma once

#include "requests/outcome.h"
#include "requests/requests.h"

namespace bix::safe_path {

OperationResult recover_unlink(const OperationContext& context, RecoverUnlinkRequest request);
OperationResult recover_rename(const OperationContext& context, RecoverRenameRequest request);
OperationResult recover_swap(const OperationContext& context, RecoverSwapRequest request);
OperationResult recover_link(const OperationContext& context, RecoverLinkRequest request);

} // namespace bix::safe_path
