// The operations on private files and trees. Each receives its validated request.
#pragma once

#include "requests/outcome.h"
#include "requests/requests.h"

namespace bix::safe_path {

OperationResult create_private_file_staged(const OperationContext& context,
                                           const StagedCreateRequest& request);
// The reads report the verified bytes (`ContentReport`).
OperationResult read_private_file(const OperationContext& context,
                                  const ReadPrivateFileRequest& request);
OperationResult read_external_file(const OperationContext& context,
                                   const ReadExternalFileRequest& request);
// The removals succeed when the entry is already gone.
OperationResult remove_private_file(const OperationContext& context,
                                    const RemovePrivateFileRequest& request);
OperationResult remove_private_staging_file(const OperationContext& context,
                                            const RemovePrivateStagingFileRequest& request);
OperationResult remove_private_tree(const OperationContext& context,
                                    const RemovePrivateTreeRequest& request);
OperationResult quarantine_private_tree(const OperationContext& context,
                                        const QuarantinePrivateTreeRequest& request);

} // namespace bix::safe_path
