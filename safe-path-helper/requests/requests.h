// One typed request per operation, built and validated by the command line before the operation
// runs: numbers parsed and bounded, identities and digests well formed, quarantine names durable,
// bookmarked groups well formed. Paths are still text here; the anchored walk checks them.
#pragma once

#include "anchors/bookmark.h"
#include "anchors/identity.h"
#include "anchors/root.h"

#include <cstdint>
#include <string>

namespace bix::safe_path {

constexpr uint64_t kMaxCreateMode = 0777;
constexpr uint64_t kMaxEntryBudget = 4096;
constexpr uint64_t kMaxDepthLimit = 16;

// The verified root and the content stream. An operation reads only `input_fd` and never writes
// to standard output: what it reports goes back in its `OperationResult`.
struct OperationContext {
    const Root& root;
    int input_fd;
};

// `bookmark-parent`, `ensure-dir`, `ensure-private-dir`.
struct PathRequest {
    std::string path;
};

// `create-file` (any mode up to 0777) and `create-private-file` (0600, private checks).
struct CreateFileRequest {
    std::string path;
    unsigned mode = 0;
    uint64_t size = 0;
    bool private_file = false;
};

struct RenameExclRequest {
    std::string source;
    std::string destination;
    EntryIdentity source_identity;
};

struct RenameSwapRequest {
    std::string a;
    std::string b;
    EntryIdentity identity_at_a;
    EntryIdentity identity_at_b;
};

// The quarantine path's leaf is a durable quarantine leaf; the existing file's link count can
// still grow by one.
struct LinkExclRequest {
    std::string existing;
    std::string added;
    std::string rollback;
    std::string quarantine;
    ContentIdentity identity;
};

// The quarantine path's leaf is a durable quarantine leaf.
struct UnlinkCheckedRequest {
    std::string path;
    std::string staging;
    std::string quarantine;
    ContentIdentity identity;
};

// The final and staging paths differ.
struct StagedCreateRequest {
    std::string final_path;
    std::string staging_path;
    uint64_t size = 0;
};

struct ReadPrivateFileRequest {
    std::string path;
    uint64_t maximum = 0;
};

struct ReadExternalFileRequest {
    std::string path;
    uint64_t maximum = 0;
    DirectoryIdentity directory;
};

struct RemovePrivateFileRequest {
    std::string path;
    uint64_t size = 0;
    std::string digest;
};

struct RemovePrivateStagingFileRequest {
    std::string path;
    uint64_t maximum = 0;
};

// A budget of 1 to `kMaxEntryBudget` entries, a depth limit of at most `kMaxDepthLimit`.
struct RemovePrivateTreeRequest {
    std::string path;
    uint64_t entry_budget = 0;
    uint64_t depth_limit = 0;
};

struct QuarantinePrivateTreeRequest {
    std::string source;
    std::string destination;
};

// The recoveries: one bookmarked group per name the interrupted operation used (none opened
// yet) and the content identities it was given.
struct RecoverUnlinkRequest {
    BookmarkedGroup path;
    BookmarkedGroup staging;
    BookmarkedGroup quarantine;
    ContentIdentity identity;
};

struct RecoverRenameRequest {
    BookmarkedGroup source;
    BookmarkedGroup destination;
    ContentIdentity identity;
};

struct RecoverSwapRequest {
    BookmarkedGroup a;
    BookmarkedGroup b;
    ContentIdentity first_at_a;
    ContentIdentity first_at_b;
};

struct RecoverLinkRequest {
    BookmarkedGroup existing;
    BookmarkedGroup added;
    BookmarkedGroup rollback;
    BookmarkedGroup quarantine;
    ContentIdentity identity;
};

} // namespace bix::safe_path
