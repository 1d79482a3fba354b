// Directory bookmarks. The first input byte picks the mode:
//  - even: the rest is a bookmark as a caller hands it back (hexadecimal when bit 1 is set; with
//    bit 2 set the total length and checksum are made right first, so the record parser itself is
//    reached). A bookmark that decodes re-encodes to a bookmark that decodes to the same record,
//    and a canonically encoded one re-encodes to the very same bytes.
//  - odd: the rest fills a record's fields; its encoding decodes to the same record and
//    re-encodes to the same bytes, in binary and through hexadecimal.
#include "anchors/bookmark.h"
#include "common/fuzz_support.h"
#include "platform/sha256.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

using namespace bix::safe_path;

namespace {

bool same_record(const BookmarkRecord& a, const BookmarkRecord& b) {
    return a.device == b.device && a.inode == b.inode && a.uid == b.uid && a.mode == b.mode &&
           a.has_birth_time == b.has_birth_time && a.btime_seconds == b.btime_seconds &&
           a.btime_nanoseconds == b.btime_nanoseconds && a.file_system.type == b.file_system.type &&
           a.file_system.fsid[0] == b.file_system.fsid[0] &&
           a.file_system.fsid[1] == b.file_system.fsid[1] && a.handle.type == b.handle.type &&
           a.handle.bytes == b.handle.bytes && a.root_relative_path == b.root_relative_path &&
           a.absolute_path == b.absolute_path && a.root_device == b.root_device &&
           a.root_inode == b.root_inode;
}

// Writes the true total length and checksum into a candidate bookmark of plausible size.
void seal(std::vector<unsigned char>& bytes) {
    constexpr std::size_t kTrailer = 4 + 32;
    if (bytes.size() < 12 + kTrailer)
        return;
    const auto total = static_cast<std::uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i)
        bytes[8 + i] = static_cast<unsigned char>(total >> (8 * i));
    const std::size_t body_end = bytes.size() - kTrailer;
    bytes[body_end] = 0xFF;
    bytes[body_end + 1] = 0xFF;
    bytes[body_end + 2] = 32;
    bytes[body_end + 3] = 0;
    auto digest = platform::sha256_of(bytes.data(), body_end);
    if (digest)
        std::memcpy(bytes.data() + body_end + 4, digest->data(), digest->size());
}

void check_handed_back(std::uint8_t selector, std::span<const std::uint8_t> rest) {
    std::vector<unsigned char> bytes;
    if ((selector & 2) != 0) {
        auto decoded = from_hex(bix::fuzz::as_text(rest.data(), rest.size()));
        if (!decoded) {
            BIX_FUZZ_CHECK(decoded.error() == EINVAL);
            return;
        }
        BIX_FUZZ_CHECK(from_hex(to_hex(*decoded)).value() == *decoded);
        bytes = std::move(*decoded);
    } else {
        bytes.assign(rest.begin(), rest.end());
    }
    if ((selector & 4) != 0)
        seal(bytes);
    auto record = decode_bookmark(bytes);
    if (!record) {
        BIX_FUZZ_CHECK(record.error() == ESTALE);
        return;
    }
    const std::vector<unsigned char> again = encode_bookmark(*record);
    auto redecoded = decode_bookmark(again);
    BIX_FUZZ_CHECK(redecoded.ok() && same_record(*redecoded, *record));
    BIX_FUZZ_CHECK(encode_bookmark(*redecoded) == again);
}

// Takes fields from the front of the input; zeros once it runs out.
class FieldReader {
public:
    explicit FieldReader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint64_t number(int width) {
        std::uint64_t value = 0;
        for (int i = 0; i < width && !data_.empty(); ++i) {
            value |= std::uint64_t{data_.front()} << (8 * i);
            data_ = data_.subspan(1);
        }
        return value;
    }
    std::string text(std::size_t maximum) {
        const std::size_t length = std::min<std::size_t>(number(2) % (maximum + 1), data_.size());
        std::string piece(reinterpret_cast<const char*>(data_.data()), length);
        data_ = data_.subspan(length);
        return piece;
    }

private:
    std::span<const std::uint8_t> data_;
};

void check_encoded(std::span<const std::uint8_t> rest) {
    FieldReader in(rest);
    BookmarkRecord record;
    record.device = in.number(8);
    record.inode = in.number(8);
    record.uid = in.number(4);
    record.mode = in.number(4);
    record.has_birth_time = (in.number(1) & 1) != 0;
    record.btime_seconds = static_cast<std::int64_t>(in.number(8));
    record.btime_nanoseconds = static_cast<std::uint32_t>(in.number(4));
    record.file_system.type = in.number(8);
    record.file_system.fsid[0] = static_cast<std::uint32_t>(in.number(4));
    record.file_system.fsid[1] = static_cast<std::uint32_t>(in.number(4));
    record.handle.type = static_cast<std::int32_t>(in.number(4));
    const std::string handle = in.text(256);
    record.handle.bytes.assign(handle.begin(), handle.end());
    if (record.handle.empty())
        record.handle.type = 0; // a bookmark records a handle's type only with its bytes
    record.root_relative_path = in.text(4096);
    record.absolute_path = in.text(8192);
    record.root_device = in.number(8);
    record.root_inode = in.number(8);

    const std::vector<unsigned char> bytes = encode_bookmark(record);
    auto decoded = decode_bookmark(bytes);
    BIX_FUZZ_CHECK(decoded.ok() && same_record(*decoded, record));
    BIX_FUZZ_CHECK(encode_bookmark(*decoded) == bytes);
    auto through_hex = from_hex(to_hex(bytes));
    BIX_FUZZ_CHECK(through_hex.ok() && *through_hex == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if ((data[0] & 1) != 0)
        check_encoded(rest);
    else
        check_handed_back(data[0], rest);
    return 0;
}
