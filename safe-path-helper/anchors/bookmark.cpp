#include "anchors/bookmark.h"

#include "anchors/anchor_walk.h"
#include "anchors/identity.h"
#include "anchors/path_grammar.h"
#include "platform/sha256.h"

#include <cstring>

namespace bix::safe_path {
namespace {

constexpr unsigned char kMagic[4] = {'B', 'X', 'B', 'M'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kFlagHandle = 0x01;
constexpr size_t kHeaderBytes = 12;
constexpr uint16_t kCriticalBit = 0x8000;
constexpr uint16_t kTagIdentity = 0x8001;
constexpr uint16_t kTagFileSystem = 0x0002;
constexpr uint16_t kTagHandle = 0x0003;
constexpr uint16_t kTagRootRelative = 0x0004;
constexpr uint16_t kTagAbsolutePath = 0x0005;
constexpr uint16_t kTagRootIdentity = 0x0006;
constexpr uint16_t kTagChecksum = 0xFFFF;
constexpr size_t kChecksumBytes = 32;
constexpr size_t kIdentityBytes = 40;
constexpr size_t kFileSystemBytes = 16;
constexpr size_t kRootIdentityBytes = 16;

class Writer {
public:
    void u8(uint8_t v) { bytes_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void raw(const void* data, size_t length) {
        const auto* p = static_cast<const unsigned char*>(data);
        bytes_.insert(bytes_.end(), p, p + length);
    }
    void record(uint16_t tag, const Writer& body) {
        u16(tag);
        u16(static_cast<uint16_t>(body.bytes_.size()));
        raw(body.bytes_.data(), body.bytes_.size());
    }
    std::vector<unsigned char>& bytes() { return bytes_; }

private:
    void put(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
    std::vector<unsigned char> bytes_;
};

// Bounds-checked little-endian reader over one record or the whole blob.
class Reader {
public:
    explicit Reader(std::span<const unsigned char> data) : data_(data) {}
    bool has(size_t n) const { return data_.size() - at_ >= n; }
    bool done() const { return at_ == data_.size(); }
    size_t offset() const { return at_; }
    uint64_t get(int width) {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= uint64_t{data_[at_ + i]} << (8 * i);
        at_ += width;
        return v;
    }
    std::span<const unsigned char> take(size_t n) {
        auto piece = data_.subspan(at_, n);
        at_ += n;
        return piece;
    }

private:
    std::span<const unsigned char> data_;
    size_t at_ = 0;
};

bool records_fit(const BookmarkRecord& record) {
    return record.handle.bytes.size() <= 256 && record.root_relative_path.size() <= kMaxPathBytes &&
           record.absolute_path.size() <= 8192;
}

Status decode_record(uint16_t tag, std::span<const unsigned char> body, BookmarkRecord& record) {
    Reader in(body);
    switch (tag) {
    case kTagIdentity:
        if (body.size() != kIdentityBytes)
            return stale();
        record.device = in.get(8);
        record.inode = in.get(8);
        record.uid = in.get(4);
        record.mode = in.get(4);
        record.btime_seconds = static_cast<int64_t>(in.get(8));
        record.btime_nanoseconds = static_cast<uint32_t>(in.get(4));
        record.has_birth_time = in.get(4) != 0;
        return Status::success();
    case kTagFileSystem:
        if (body.size() != kFileSystemBytes)
            return stale();
        record.file_system.type = in.get(8);
        record.file_system.fsid[0] = static_cast<uint32_t>(in.get(4));
        record.file_system.fsid[1] = static_cast<uint32_t>(in.get(4));
        return Status::success();
    case kTagHandle: {
        if (!in.has(8))
            return stale();
        record.handle.type = static_cast<int32_t>(in.get(4));
        const uint64_t length = in.get(4);
        if (length == 0 || !in.has(length) || body.size() != 8 + length)
            return stale();
        auto bytes = in.take(length);
        record.handle.bytes.assign(bytes.begin(), bytes.end());
        return Status::success();
    }
    case kTagRootRelative:
        record.root_relative_path.assign(body.begin(), body.end());
        return Status::success();
    case kTagAbsolutePath:
        record.absolute_path.assign(body.begin(), body.end());
        return Status::success();
    case kTagRootIdentity:
        if (body.size() != kRootIdentityBytes)
            return stale();
        record.root_device = in.get(8);
        record.root_inode = in.get(8);
        return Status::success();
    default:
        // Later versions add records; only those marked critical must be understood.
        return check((tag & kCriticalBit) == 0);
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// True when the candidate is the recorded directory: identity as recorded and as the caller
// expects, and the same export handle (or, without handles, the same birth time), which tells a
// re-created directory with a reused inode number from the original.
bool is_recorded_directory(int fd, const BookmarkRecord& record,
                           const DirectoryIdentity& identity) {
    auto stat = platform::stat_descriptor(fd);
    if (!stat || !has_directory_identity(*stat, identity) || stat->device != record.device ||
        stat->inode != record.inode || stat->uid != record.uid)
        return false;
    if (!record.handle.empty()) {
        auto handle = platform::file_handle(fd);
        return handle && handle->type == record.handle.type && handle->bytes == record.handle.bytes;
    }
    if (record.has_birth_time)
        return stat->has_birth_time && stat->btime_seconds == record.btime_seconds &&
               stat->btime_nanoseconds == record.btime_nanoseconds;
    return true;
}

// Walks an absolute path one component at a time from "/", never following a link.
Result<UniqueFd> open_absolute_without_links(const std::string& path) {
    if (path.empty() || path.front() != '/')
        return invalid();
    auto current = platform::open_directory_path("/");
    if (!current)
        return current.status();
    size_t start = 1;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return invalid();
        auto next = platform::open_directory_at(current->get(), component);
        if (!next)
            return next.status();
        *current = std::move(*next);
        start = end + 1;
    }
    return current;
}

Result<UniqueFd> resolve_record(const Root& root, const BookmarkRecord& record,
                                const DirectoryIdentity& identity) {
    if (!record.handle.empty()) {
        // Permitted only with CAP_DAC_READ_SEARCH; an ordinary user goes on to the paths.
        auto by_handle = platform::open_directory_by_handle(root.fd.get(), record.handle);
        if (by_handle && is_recorded_directory(by_handle->get(), record, identity))
            return by_handle;
    }
    if (!record.absolute_path.empty()) {
        auto by_path = open_absolute_without_links(record.absolute_path);
        if (by_path && is_recorded_directory(by_path->get(), record, identity))
            return by_path;
    }
    if (!record.root_relative_path.empty()) {
        auto from_root =
            open_relative_directory(root.fd.get(), root.stat, record.root_relative_path);
        if (from_root && is_recorded_directory(from_root->get(), record, identity))
            return from_root;
    }
    return stale();
}

} // namespace

std::vector<unsigned char> encode_bookmark(const BookmarkRecord& record) {
    Writer out;
    out.raw(kMagic, sizeof kMagic);
    out.u8(kVersion);
    out.u8(record.handle.empty() ? 0 : kFlagHandle);
    out.u16(0);
    out.u32(0); // total length, patched below
    Writer identity;
    identity.u64(record.device);
    identity.u64(record.inode);
    identity.u32(static_cast<uint32_t>(record.uid));
    identity.u32(static_cast<uint32_t>(record.mode));
    identity.u64(static_cast<uint64_t>(record.btime_seconds));
    identity.u32(record.btime_nanoseconds);
    identity.u32(record.has_birth_time ? 1 : 0);
    out.record(kTagIdentity, identity);
    Writer file_system;
    file_system.u64(record.file_system.type);
    file_system.u32(record.file_system.fsid[0]);
    file_system.u32(record.file_system.fsid[1]);
    out.record(kTagFileSystem, file_system);
    if (!record.handle.empty()) {
        Writer handle;
        handle.u32(static_cast<uint32_t>(record.handle.type));
        handle.u32(static_cast<uint32_t>(record.handle.bytes.size()));
        handle.raw(record.handle.bytes.data(), record.handle.bytes.size());
        out.record(kTagHandle, handle);
    }
    Writer relative;
    relative.raw(record.root_relative_path.data(), record.root_relative_path.size());
    out.record(kTagRootRelative, relative);
    Writer absolute;
    absolute.raw(record.absolute_path.data(), record.absolute_path.size());
    out.record(kTagAbsolutePath, absolute);
    Writer root_identity;
    root_identity.u64(record.root_device);
    root_identity.u64(record.root_inode);
    out.record(kTagRootIdentity, root_identity);
    auto& bytes = out.bytes();
    const auto total = static_cast<uint32_t>(bytes.size() + 4 + kChecksumBytes);
    for (int i = 0; i < 4; ++i)
        bytes[8 + i] = static_cast<unsigned char>(total >> (8 * i));
    auto digest = platform::sha256_of(bytes.data(), bytes.size());
    out.u16(kTagChecksum);
    out.u16(kChecksumBytes);
    if (digest)
        out.raw(digest->data(), digest->size());
    else
        bytes.clear(); // an unhashable record is no record at all
    return std::move(bytes);
}

Result<BookmarkRecord> decode_bookmark(std::span<const unsigned char> data) {
    if (data.size() < kHeaderBytes + 4 + kChecksumBytes || data.size() > kMaxBookmarkBytes ||
        std::memcmp(data.data(), kMagic, sizeof kMagic) != 0)
        return stale();
    Reader in(data);
    in.take(sizeof kMagic);
    if (in.get(1) != kVersion)
        return stale();
    const uint64_t flags = in.get(1);
    if (in.get(2) != 0 || in.get(4) != data.size())
        return stale();
    const size_t body_end = data.size() - kChecksumBytes - 4;
    auto digest = platform::sha256_of(data.data(), body_end);
    if (!digest)
        return digest.status();
    if (std::memcmp(digest->data(), data.data() + body_end + 4, kChecksumBytes) != 0)
        return stale();
    BookmarkRecord record;
    bool seen_identity = false;
    while (in.offset() < body_end) {
        if (body_end - in.offset() < 4)
            return stale();
        const auto tag = static_cast<uint16_t>(in.get(2));
        const auto length = static_cast<size_t>(in.get(2));
        if (tag == kTagChecksum || body_end - in.offset() < length)
            return stale();
        BIX_TRY(decode_record(tag, in.take(length), record));
        seen_identity = seen_identity || tag == kTagIdentity;
    }
    if (in.get(2) != kTagChecksum || in.get(2) != kChecksumBytes || !seen_identity ||
        ((flags & kFlagHandle) != 0) == record.handle.empty())
        return stale();
    return record;
}

std::string to_hex(std::span<const unsigned char> data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(data.size() * 2);
    for (unsigned char byte : data) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0xF]);
    }
    return text;
}

Result<std::vector<unsigned char>> from_hex(std::string_view text) {
    if (text.size() < 2 || text.size() > kMaxBookmarkHexCharacters || text.size() % 2 != 0)
        return invalid();
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_value(text[i]);
        const int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0)
            return invalid();
        bytes.push_back(static_cast<unsigned char>(high << 4 | low));
    }
    return bytes;
}

Result<std::vector<unsigned char>> create_directory_bookmark(const Root& root, int fd,
                                                             const platform::FileStat& stat,
                                                             std::string_view relative_path) {
    BookmarkRecord record;
    record.device = stat.device;
    record.inode = stat.inode;
    record.uid = stat.uid;
    record.mode = stat.mode;
    record.has_birth_time = stat.has_birth_time;
    record.btime_seconds = stat.btime_seconds;
    record.btime_nanoseconds = stat.btime_nanoseconds;
    auto file_system = platform::file_system_id(fd);
    if (!file_system)
        return file_system.status();
    record.file_system = *file_system;
    auto handle = platform::file_handle(fd);
    if (!handle)
        return handle.status();
    record.handle = std::move(*handle);
    // The absolute path is only a resolution hint: without /proc, or beyond the kernel's path
    // length, the record goes without it and is found by handle or root-relative path.
    if (auto absolute = platform::descriptor_path(fd))
        record.absolute_path = std::move(*absolute);
    record.root_relative_path = std::string(relative_path);
    record.root_device = root.stat.device;
    record.root_inode = root.stat.inode;
    if (!records_fit(record))
        return Status::failure(ENAMETOOLONG);
    auto data = encode_bookmark(record);
    if (data.empty() || data.size() > kMaxBookmarkBytes)
        return stale();
    // Prove the record before handing it out: it must lead back to this very directory.
    auto reopened = open_bookmarked_directory(
        root, to_hex(data), {stat.device, stat.inode, stat.uid}, root.file_system);
    if (!reopened)
        return reopened.status();
    BIX_TRY(same_directory_descriptor(reopened->get(), fd));
    return data;
}

Result<UniqueFd> open_bookmarked_directory(const Root& root, std::string_view text,
                                           const DirectoryIdentity& identity,
                                           const std::optional<platform::FileSystemId>& fs) {
    auto data = from_hex(text);
    if (!data)
        return data.status();
    auto record = decode_bookmark(*data);
    if (!record)
        return record.status();
    if (record->device != identity.device || record->inode != identity.inode ||
        record->uid != identity.uid)
        return stale();
    if (fs && (fs->type != record->file_system.type || fs->fsid[0] != record->file_system.fsid[0] ||
               fs->fsid[1] != record->file_system.fsid[1]))
        return stale();
    return resolve_record(root, *record, identity);
}

Status open_bookmarked_parent(const Root& root, BookmarkedGroup& group) {
    auto by_bookmark =
        open_bookmarked_directory(root, group.bookmark, group.identity, root.file_system);
    if (!by_bookmark)
        return stale();
    auto by_path = open_relative_directory(root.fd.get(), root.stat, group.directory_path);
    if (!by_path)
        return stale();
    if (!directory_identity(by_path->get(), group.identity.device, group.identity.inode,
                            group.identity.uid)
             .ok() ||
        !same_directory_descriptor(by_path->get(), by_bookmark->get()).ok())
        return stale();
    group.held = std::move(*by_path);
    return Status::success();
}

Status refresh_bookmarked_parent(const Root& root, BookmarkedGroup& group) {
    auto by_path = open_relative_directory(root.fd.get(), root.stat, group.directory_path);
    if (!by_path || !group.held.valid())
        return stale();
    if (!directory_identity(by_path->get(), group.identity.device, group.identity.inode,
                            group.identity.uid)
             .ok() ||
        !same_directory_descriptor(by_path->get(), group.held.get()).ok())
        return stale();
    group.held = std::move(*by_path);
    return Status::success();
}

Status refresh_bookmarked_parents(const Root& root, std::span<BookmarkedGroup* const> groups) {
    for (BookmarkedGroup* group : groups)
        BIX_TRY(refresh_bookmarked_parent(root, *group));
    return Status::success();
}

} // namespace bix::safe_path
