#include "anchors/identity.h"

#include "anchors/bookmark.h"
#include "platform/sha256.h"

#include <array>
#include <vector>

namespace bix::safe_path {
namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000;

// Compares every character so the time taken says nothing about where a difference lies.
bool equal_without_early_exit(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool same_content_attributes(const platform::FileStat& stat, const ContentIdentity& expected) {
    return stat.is_regular() && stat.device == expected.entry.device &&
           stat.inode == expected.entry.inode && stat.uid == expected.entry.uid &&
           stat.mode == expected.entry.mode && stat.size == expected.size;
}

Status time_matches(const platform::FileStat& stat, uint64_t expected) {
    auto time = modification_time_nanoseconds(stat);
    if (!time)
        return time.status();
    return check(*time == expected);
}

Result<std::string> hash_whole_file(int fd, uint64_t expected_size) {
    platform::Sha256 hash;
    std::vector<unsigned char> chunk(kContentChunkBytes);
    uint64_t total = 0;
    for (;;) {
        auto count = platform::read_at(fd, chunk.data(), chunk.size(), total);
        if (!count)
            return count.status();
        if (*count == 0)
            break;
        total += *count;
        // A file growing past its expected size is a mismatch; stop reading it.
        if (total > expected_size)
            return stale();
        BIX_TRY(hash.update(chunk.data(), *count));
    }
    if (total != expected_size)
        return stale();
    auto digest = hash.finish();
    if (!digest)
        return digest.status();
    return to_hex(*digest);
}

} // namespace

EntryIdentity entry_identity_of(const platform::FileStat& stat) {
    return EntryIdentity{stat.device, stat.inode, stat.link_count, stat.uid, stat.mode};
}

bool valid_digest(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

Status directory_identity(int fd, uint64_t device, uint64_t inode, uint64_t uid) {
    auto stat = platform::stat_descriptor(fd);
    if (!stat)
        return stat.status();
    return check(stat->is_directory() && stat->device == device && stat->inode == inode &&
                 stat->uid == uid);
}

Status same_directory_descriptor(int first, int second) {
    auto a = platform::stat_descriptor(first);
    if (!a)
        return a.status();
    auto b = platform::stat_descriptor(second);
    if (!b)
        return b.status();
    return check(a->is_directory() && b->is_directory() && a->device == b->device &&
                 a->inode == b->inode);
}

bool same_directory_identity(const platform::FileStat& expected, const platform::FileStat& actual) {
    return expected.is_directory() && actual.is_directory() && expected.device == actual.device &&
           expected.inode == actual.inode && expected.uid == actual.uid &&
           expected.mode == actual.mode;
}

Result<platform::FileStat> directory_at(int directory, const std::string& name) {
    auto stat = platform::stat_at(directory, name);
    if (!stat)
        return stat.status();
    if (!stat->is_directory())
        return stale();
    return stat;
}

Result<platform::FileStat> regular_at(int directory, const std::string& name) {
    auto stat = platform::stat_at(directory, name);
    if (!stat)
        return stat.status();
    if (!stat->is_regular())
        return stale();
    return stat;
}

Status absent_at(int directory, const std::string& name) {
    auto stat = platform::stat_at(directory, name);
    if (stat)
        return Status::failure(EEXIST);
    return stat.error() == ENOENT ? Status::success() : stat.status();
}

Result<platform::FileStat> exact_regular_at(int directory, const std::string& name,
                                            const EntryIdentity& identity) {
    auto stat = regular_at(directory, name);
    if (!stat)
        return stat.status();
    const EntryIdentity actual = entry_identity_of(*stat);
    if (actual.device != identity.device || actual.inode != identity.inode ||
        actual.link_count != identity.link_count || actual.uid != identity.uid ||
        actual.mode != identity.mode)
        return stale();
    return stat;
}

bool same_regular_identity(const platform::FileStat& expected, const platform::FileStat& actual) {
    return expected.is_regular() && actual.is_regular() && expected.device == actual.device &&
           expected.inode == actual.inode && expected.link_count == actual.link_count &&
           expected.uid == actual.uid && expected.mode == actual.mode;
}

bool same_file_snapshot(const platform::FileStat& first, const platform::FileStat& second) {
    return same_regular_identity(first, second) && first.size == second.size &&
           first.mtime_seconds == second.mtime_seconds &&
           first.mtime_nanoseconds == second.mtime_nanoseconds &&
           first.ctime_seconds == second.ctime_seconds &&
           first.ctime_nanoseconds == second.ctime_nanoseconds;
}

Result<uint64_t> modification_time_nanoseconds(const platform::FileStat& stat) {
    if (stat.mtime_seconds < 0 || stat.mtime_nanoseconds >= kNanosecondsPerSecond)
        return Status::failure(EOVERFLOW);
    const auto seconds = static_cast<uint64_t>(stat.mtime_seconds);
    if (seconds > (UINT64_MAX - stat.mtime_nanoseconds) / kNanosecondsPerSecond)
        return Status::failure(EOVERFLOW);
    return seconds * kNanosecondsPerSecond + stat.mtime_nanoseconds;
}

Status exact_regular_content_descriptor(int fd, const ContentIdentity& expected) {
    if (expected.size > kMaxContentBytes || !valid_digest(expected.digest))
        return invalid();
    auto before = platform::stat_descriptor(fd);
    if (!before)
        return before.status();
    BIX_TRY(check(same_content_attributes(*before, expected)));
    BIX_TRY(time_matches(*before, expected.mtime_nanoseconds));
    auto digest = hash_whole_file(fd, expected.size);
    if (!digest)
        return digest.status();
    BIX_TRY(check(equal_without_early_exit(*digest, expected.digest)));
    auto after = platform::stat_descriptor(fd);
    if (!after)
        return after.status();
    BIX_TRY(check(same_content_attributes(*after, expected)));
    return time_matches(*after, expected.mtime_nanoseconds);
}

Result<platform::FileStat> exact_regular_content_at(int directory, const std::string& name,
                                                    const ContentIdentity& expected) {
    auto fd = platform::open_read_at(directory, name);
    if (!fd)
        return fd.status();
    BIX_TRY(exact_regular_content_descriptor(fd->get(), expected));
    auto held = platform::stat_descriptor(fd->get());
    if (!held)
        return held.status();
    auto named = platform::stat_at(directory, name);
    if (!named)
        return named.status();
    if (!named->is_regular() || named->device != held->device || named->inode != held->inode ||
        named->uid != held->uid || named->mode != held->mode)
        return stale();
    return held;
}

Result<platform::FileStat> exact_recovery_file_at(int directory, const std::string& name,
                                                  const ContentIdentity& expected) {
    auto stat = exact_regular_content_at(directory, name, expected);
    if (!stat)
        return stat.status();
    if (stat->link_count != expected.entry.link_count)
        return stale();
    return stat;
}

} // namespace bix::safe_path
