// The `bookmark-parent` operation: the bookmark a later recovery names a directory by.
#pragma once

#include "requests/outcome.h"
#include "requests/requests.h"

namespace bix::safe_path {

// A proven bookmark of the directory that holds the path's leaf, with that directory's identity.
OperationResult bookmark_parent(const OperationContext& context, const PathRequest& request);

} // namespace bix::safe_path
