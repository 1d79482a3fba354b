// The typed request of each operation, built from the arguments after the prologue (`operands`
// starts at position 6). Malformed operands are EINVAL, checked before the operation runs;
// `parse_staged_create` alone reports ESTALE.
#pragma once

#include "platform/status.h"
#include "requests/requests.h"

#include <span>
#include <string>

namespace bix::safe_path {

using Operands = std::span<const std::string>;

Result<PathRequest> parse_path(Operands operands);
Result<CreateFileRequest> parse_create_file(Operands operands);
Result<CreateFileRequest> parse_create_private_file(Operands operands);
Result<RenameExclRequest> parse_rename_excl(Operands operands);
Result<RenameSwapRequest> parse_rename_swap(Operands operands);
Result<LinkExclRequest> parse_link_excl(Operands operands);
Result<UnlinkCheckedRequest> parse_unlink_checked(Operands operands);
Result<StagedCreateRequest> parse_staged_create(Operands operands);
Result<ReadPrivateFileRequest> parse_read_private_file(Operands operands);
Result<ReadExternalFileRequest> parse_read_external_file(Operands operands);
Result<RemovePrivateFileRequest> parse_remove_private_file(Operands operands);
Result<RemovePrivateStagingFileRequest> parse_remove_private_staging_file(Operands operands);
Result<RemovePrivateTreeRequest> parse_remove_private_tree(Operands operands);
Result<QuarantinePrivateTreeRequest> parse_quarantine_private_tree(Operands operands);
Result<RecoverUnlinkRequest> parse_recover_unlink(Operands operands);
Result<RecoverRenameRequest> parse_recover_rename(Operands operands);
Result<RecoverSwapRequest> parse_recover_swap(Operands operands);
Result<RecoverLinkRequest> parse_recover_link(Operands operands);

} // namespace bix::safe_path
