// The operations that create or change one entry by name. Each receives its validated request.
#pragma once

#include "requests/outcome.h"
#include "requests/requests.h"

namespace bix::safe_path {

// `ensure-dir` / `ensure-private-dir`: the directory at the path, created (0700) when missing;
// reports its identity.
OperationResult ensure_dir(const OperationContext& context, const PathRequest& request);
OperationResult ensure_private_dir(const OperationContext& context, const PathRequest& request);
// `create-file` and `create-private-file`: a new file filled with exactly `size` bytes of input.
OperationResult create_file(const OperationContext& context, const CreateFileRequest& request);
// A checked move to a free name, and a checked exchange of two regular files.
OperationResult rename_excl(const OperationContext& context, const RenameExclRequest& request);
OperationResult rename_swap(const OperationContext& context, const RenameSwapRequest& request);
// A checked extra link, and a checked deletion through a durable quarantine name.
OperationResult link_excl(const OperationContext& context, const LinkExclRequest& request);
OperationResult unlink_checked(const OperationContext& context,
                               const UnlinkCheckedRequest& request);

} // namespace bix::safe_path
