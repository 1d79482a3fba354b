#include "cli/requests.h"

#include "anchors/path_grammar.h"
#include "cli/arguments.h"

#include <array>

namespace bix::safe_path {
namespace {

constexpr unsigned kPrivateFileMode = 0600;
constexpr size_t kGroupArguments = 6;
constexpr size_t kContentIdentityArguments = 8;

std::string leaf_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path whose leaf may serve as a durable quarantine name.
bool durable_quarantine_path(const std::string& path) {
    return valid_relative_path(path) && is_durable_quarantine_leaf(leaf_of(path));
}

// N bookmarked groups from the first operand, then `identities` content identities.
template <size_t N, size_t I> struct Recovery {
    std::array<BookmarkedGroup, N> groups;
    std::array<ContentIdentity, I> identities;
};

template <size_t N, size_t I> Result<Recovery<N, I>> parse_recovery(Operands operands) {
    Recovery<N, I> parsed;
    for (size_t i = 0; i < N; ++i) {
        auto group = parse_bookmarked_group(operands, i * kGroupArguments);
        if (!group)
            return group.status();
        parsed.groups[i] = std::move(*group);
    }
    for (size_t i = 0; i < I; ++i) {
        auto identity =
            parse_content_identity(operands, N * kGroupArguments + i * kContentIdentityArguments);
        if (!identity)
            return identity.status();
        parsed.identities[i] = std::move(*identity);
    }
    return parsed;
}

} // namespace

Result<PathRequest> parse_path(Operands operands) {
    return PathRequest{operands[0]};
}

Result<CreateFileRequest> parse_create_file(Operands operands) {
    auto mode = parse_bounded(operands[1], kMaxCreateMode);
    auto size = parse_bounded(operands[2], kMaxContentBytes);
    if (!mode || !size)
        return invalid();
    return CreateFileRequest{operands[0], static_cast<unsigned>(*mode), *size, false};
}

Result<CreateFileRequest> parse_create_private_file(Operands operands) {
    auto size = parse_bounded(operands[1], kMaxContentBytes);
    if (!size)
        return invalid();
    return CreateFileRequest{operands[0], kPrivateFileMode, *size, true};
}

Result<RenameExclRequest> parse_rename_excl(Operands operands) {
    auto identity = parse_entry_identity(operands, 2);
    if (!identity)
        return identity.status();
    return RenameExclRequest{operands[0], operands[1], *identity};
}

Result<RenameSwapRequest> parse_rename_swap(Operands operands) {
    auto identity_a = parse_entry_identity(operands, 2);
    auto identity_b = parse_entry_identity(operands, 7);
    if (!identity_a || !identity_b)
        return invalid();
    return RenameSwapRequest{operands[0], operands[1], *identity_a, *identity_b};
}

Result<LinkExclRequest> parse_link_excl(Operands operands) {
    auto identity = parse_content_identity(operands, 4);
    // The link count must leave room for the extra link.
    if (!identity || identity->entry.link_count == UINT64_MAX ||
        !durable_quarantine_path(operands[3]))
        return invalid();
    return LinkExclRequest{operands[0], operands[1], operands[2], operands[3],
                           std::move(*identity)};
}

Result<UnlinkCheckedRequest> parse_unlink_checked(Operands operands) {
    auto identity = parse_content_identity(operands, 3);
    if (!identity || !durable_quarantine_path(operands[2]))
        return invalid();
    return UnlinkCheckedRequest{operands[0], operands[1], operands[2], std::move(*identity)};
}

Result<StagedCreateRequest> parse_staged_create(Operands operands) {
    auto size = parse_bounded(operands[2], kMaxContentBytes);
    // The staged create counts a malformed size or one name for both files among its identity
    // checks: ESTALE, where the other operations report EINVAL.
    if (!size || operands[0] == operands[1])
        return stale();
    return StagedCreateRequest{operands[0], operands[1], *size};
}

Result<ReadPrivateFileRequest> parse_read_private_file(Operands operands) {
    auto maximum = parse_bounded(operands[1], kMaxContentBytes);
    if (!maximum)
        return invalid();
    return ReadPrivateFileRequest{operands[0], *maximum};
}

Result<ReadExternalFileRequest> parse_read_external_file(Operands operands) {
    auto maximum = parse_bounded(operands[1], kMaxContentBytes);
    auto device = parse_number(operands[2]);
    auto inode = parse_number(operands[3]);
    auto uid = parse_number(operands[4]);
    if (!maximum || !device || !inode || !uid)
        return invalid();
    return ReadExternalFileRequest{operands[0], *maximum, DirectoryIdentity{*device, *inode, *uid}};
}

Result<RemovePrivateFileRequest> parse_remove_private_file(Operands operands) {
    auto size = parse_bounded(operands[1], kMaxContentBytes);
    if (!size || !valid_digest(operands[2]))
        return invalid();
    return RemovePrivateFileRequest{operands[0], *size, operands[2]};
}

Result<RemovePrivateStagingFileRequest> parse_remove_private_staging_file(Operands operands) {
    auto maximum = parse_bounded(operands[1], kMaxContentBytes);
    if (!maximum)
        return invalid();
    return RemovePrivateStagingFileRequest{operands[0], *maximum};
}

Result<RemovePrivateTreeRequest> parse_remove_private_tree(Operands operands) {
    auto budget = parse_bounded(operands[1], kMaxEntryBudget);
    auto depth_limit = parse_bounded(operands[2], kMaxDepthLimit);
    if (!budget || *budget == 0 || !depth_limit)
        return invalid();
    return RemovePrivateTreeRequest{operands[0], *budget, *depth_limit};
}

Result<QuarantinePrivateTreeRequest> parse_quarantine_private_tree(Operands operands) {
    return QuarantinePrivateTreeRequest{operands[0], operands[1]};
}

Result<RecoverUnlinkRequest> parse_recover_unlink(Operands operands) {
    auto parsed = parse_recovery<3, 1>(operands);
    if (!parsed)
        return parsed.status();
    auto& [groups, identities] = *parsed;
    return RecoverUnlinkRequest{std::move(groups[0]), std::move(groups[1]), std::move(groups[2]),
                                std::move(identities[0])};
}

Result<RecoverRenameRequest> parse_recover_rename(Operands operands) {
    auto parsed = parse_recovery<2, 1>(operands);
    if (!parsed)
        return parsed.status();
    auto& [groups, identities] = *parsed;
    return RecoverRenameRequest{std::move(groups[0]), std::move(groups[1]),
                                std::move(identities[0])};
}

Result<RecoverSwapRequest> parse_recover_swap(Operands operands) {
    auto parsed = parse_recovery<2, 2>(operands);
    if (!parsed)
        return parsed.status();
    auto& [groups, identities] = *parsed;
    return RecoverSwapRequest{std::move(groups[0]), std::move(groups[1]), std::move(identities[0]),
                              std::move(identities[1])};
}

Result<RecoverLinkRequest> parse_recover_link(Operands operands) {
    auto parsed = parse_recovery<4, 1>(operands);
    if (!parsed)
        return parsed.status();
    auto& [groups, identities] = *parsed;
    return RecoverLinkRequest{std::move(groups[0]), std::move(groups[1]), std::move(groups[2]),
                              std::move(groups[3]), std::move(identities[0])};
}

} // namespace bix::safe_path
