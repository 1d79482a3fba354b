#include "anchors/anchor_walk.h"
#include "anchors/bookmark.h"
#include "platform/sha256.h"
#include "test_support/temp_tree.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace bix::safe_path {
namespace {

using testing::TempTree;

BookmarkRecord sample_record() {
    BookmarkRecord record;
    record.device = 7;
    record.inode = 99;
    record.uid = 1000;
    record.mode = 040700;
    record.has_birth_time = true;
    record.btime_seconds = 1700000000;
    record.btime_nanoseconds = 5;
    record.file_system.type = 0xEF53;
    record.file_system.fsid[0] = 1;
    record.file_system.fsid[1] = 2;
    record.handle.type = 1;
    record.handle.bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    record.root_relative_path = "a/b";
    record.absolute_path = "/tmp/root/a/b";
    record.root_device = 7;
    record.root_inode = 2;
    return record;
}

// Re-signs a modified blob so only the change under test makes it invalid.
void reseal(std::vector<unsigned char>& data) {
    const size_t body = data.size() - 36;
    for (int i = 0; i < 4; ++i)
        data[8 + i] = static_cast<unsigned char>(data.size() >> (8 * i));
    auto digest = platform::sha256_of(data.data(), body);
    std::copy(digest->begin(), digest->end(), data.begin() + body + 4);
}

TEST(BookmarkRecordFormat, RoundTripsEveryField) {
    const BookmarkRecord record = sample_record();
    auto decoded = decode_bookmark(encode_bookmark(record));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded->device, record.device);
    EXPECT_EQ(decoded->inode, record.inode);
    EXPECT_EQ(decoded->uid, record.uid);
    EXPECT_EQ(decoded->btime_seconds, record.btime_seconds);
    EXPECT_EQ(decoded->handle.bytes, record.handle.bytes);
    EXPECT_EQ(decoded->root_relative_path, record.root_relative_path);
    EXPECT_EQ(decoded->absolute_path, record.absolute_path);
    EXPECT_EQ(decoded->root_inode, record.root_inode);
}

TEST(BookmarkRecordFormat, RejectsEveryCorruptedByte) {
    const auto data = encode_bookmark(sample_record());
    for (size_t i = 0; i < data.size(); ++i) {
        auto corrupt = data;
        corrupt[i] ^= 0x01;
        EXPECT_FALSE(decode_bookmark(corrupt).ok()) << "byte " << i;
    }
    auto truncated = data;
    truncated.pop_back();
    EXPECT_EQ(decode_bookmark(truncated).error(), ESTALE);
}

TEST(BookmarkRecordFormat, SkipsUnknownRecordsUnlessCritical) {
    for (uint16_t tag : {uint16_t{0x0042}, uint16_t{0x8042}}) {
        auto data = encode_bookmark(sample_record());
        const unsigned char extra[] = {static_cast<unsigned char>(tag),
                                       static_cast<unsigned char>(tag >> 8), 1, 0, 0xAA};
        data.insert(data.end() - 36, std::begin(extra), std::end(extra));
        reseal(data);
        EXPECT_EQ(decode_bookmark(data).ok(), tag == 0x0042) << "tag " << tag;
    }
    auto versioned = encode_bookmark(sample_record());
    versioned[4] = 2;
    reseal(versioned);
    EXPECT_EQ(decode_bookmark(versioned).error(), ESTALE);
}

TEST(BookmarkHex, AcceptsEitherCaseAndRejectsMalformedText) {
    EXPECT_EQ(*from_hex("0aFf"), (std::vector<unsigned char>{0x0A, 0xFF}));
    EXPECT_EQ(to_hex(std::vector<unsigned char>{0x0A, 0xFF}), "0aff");
    for (const char* bad : {"", "a", "abc", "0g", "zz"})
        EXPECT_EQ(from_hex(bad).error(), EINVAL) << bad;
    EXPECT_EQ(from_hex(std::string(131074, 'a')).error(), EINVAL);
    EXPECT_TRUE(from_hex(std::string(131072, 'a')).ok());
}

class BookmarkResolution : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.make_directory("root");
        tree_.make_directory("root/a");
        tree_.make_directory("root/a/target");
        struct stat self = tree_.stat_of("root");
        root_ = std::move(*open_root(tree_.at("root"), {self.st_dev, self.st_ino, self.st_uid}));
    }
    Result<std::string> bookmark(const std::string& path) {
        auto fd = open_relative_directory(root_.fd.get(), root_.stat, path);
        if (!fd)
            return fd.status();
        auto stat = platform::stat_descriptor(fd->get());
        auto data = create_directory_bookmark(root_, fd->get(), *stat, path);
        if (!data)
            return data.status();
        return to_hex(*data);
    }
    DirectoryIdentity identity(const std::string& relative) {
        struct stat s = tree_.stat_of(relative);
        return {s.st_dev, s.st_ino, s.st_uid};
    }
    TempTree tree_;
    Root root_;
};

TEST_F(BookmarkResolution, FindsTheDirectoryInPlaceAndAfterAMoveWithinTheRoot) {
    auto text = bookmark("a/target");
    ASSERT_TRUE(text.ok());
    const DirectoryIdentity id = identity("root/a/target");
    EXPECT_TRUE(open_bookmarked_directory(root_, *text, id, root_.file_system).ok());
    ASSERT_EQ(std::rename(tree_.at("root/a/target").c_str(), tree_.at("root/moved").c_str()), 0);
    // Only an export handle finds a moved directory; that needs CAP_DAC_READ_SEARCH.
    auto handle = platform::file_handle(root_.fd.get());
    ASSERT_TRUE(handle.ok());
    const bool privileged =
        !handle->empty() && platform::open_directory_by_handle(root_.fd.get(), *handle).ok();
    EXPECT_EQ(open_bookmarked_directory(root_, *text, id, root_.file_system).ok(), privileged);
}

TEST_F(BookmarkResolution, RefusesARecreatedDirectoryAndAWrongIdentity) {
    auto text = bookmark("a/target");
    ASSERT_TRUE(text.ok());
    const DirectoryIdentity id = identity("root/a/target");
    DirectoryIdentity wrong_uid = id;
    wrong_uid.uid += 1;
    EXPECT_EQ(open_bookmarked_directory(root_, *text, wrong_uid, root_.file_system).error(),
              ESTALE);
    ASSERT_EQ(::rmdir(tree_.at("root/a/target").c_str()), 0);
    tree_.make_directory("root/a/target");
    EXPECT_EQ(open_bookmarked_directory(root_, *text, id, root_.file_system).error(), ESTALE);
}

TEST_F(BookmarkResolution, GroupsRequireTheBookmarkedDirectoryAtTheirPath) {
    auto text = bookmark("a/target");
    ASSERT_TRUE(text.ok());
    BookmarkedGroup group{*text, identity("root/a/target"), "a/target", "leaf", UniqueFd()};
    ASSERT_TRUE(open_bookmarked_parent(root_, group).ok());
    EXPECT_TRUE(refresh_bookmarked_parent(root_, group).ok());
    ASSERT_EQ(std::rename(tree_.at("root/a/target").c_str(), tree_.at("root/a/other").c_str()), 0);
    tree_.make_directory("root/a/target");
    EXPECT_EQ(refresh_bookmarked_parent(root_, group).error(), ESTALE);
    BookmarkedGroup again{*text, identity("root/a/other"), "a/target", "leaf", UniqueFd()};
    EXPECT_EQ(open_bookmarked_parent(root_, again).error(), ESTALE);
}

} // namespace
} // namespace bix::safe_path
