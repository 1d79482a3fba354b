#include "bootstrap/bootstrap.h"
#include "common/byte_order.h"
#include "common/test_support.h"

#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bix::bridge {

namespace {

constexpr std::int64_t kNow = 1'800'000'000;
const std::string kIdA = "abcdefghijklmnopabcdefghijklmnop";
const std::string kIdB = "ponmlkjihgfedcbaponmlkjihgfedcba";

// The fields of a bootstrap file, each overridable by a test case.
struct BootstrapFields {
    std::string magic = std::string("BIXBN1\0\0", 8);
    std::uint32_t version = 1;
    std::uint32_t uid = 0;
    std::int64_t expiry = kNow + 3600;
    std::string socket_path;
    std::vector<std::string> ids = {kIdA};
    std::uint8_t reserved = 0;
    std::int64_t declared_count = -1; // -1: the number of ids
    std::string trailing;

    std::string encode() const {
        std::string out = magic;
        std::uint8_t fixed[84] = {};
        bix_store_le32(fixed, version);
        bix_store_le32(fixed + 4, uid);
        bix_store_le64(fixed + 8, static_cast<std::uint64_t>(expiry));
        bix_store_le16(fixed + 16, static_cast<std::uint16_t>(socket_path.size()));
        fixed[18] = static_cast<std::uint8_t>(declared_count >= 0 ? declared_count : ids.size());
        fixed[19] = reserved;
        for (int i = 0; i < 32; ++i) {
            fixed[20 + i] = static_cast<std::uint8_t>(i + 1);
            fixed[52 + i] = static_cast<std::uint8_t>(0xA0 + i);
        }
        out.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
        out += socket_path;
        for (const std::string& id : ids) {
            out += id;
        }
        return out + trailing;
    }
};

class BootstrapReader : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = scratch_.join("bridge-bootstrap-directory");
        ASSERT_EQ(mkdir(directory_.c_str(), 0700), 0);
        chmod(directory_.c_str(), 0700);
        path_ = directory_ + "/native-host-bootstrap-v1";
        fields_.uid = geteuid();
        fields_.socket_path = directory_ + "/broker.sock";
    }

    BixResult<std::unique_ptr<BixBootstrap>> read(std::int64_t now = kNow) {
        return bix_read_bootstrap(path_, BixBootstrapContext{geteuid(), now});
    }

    void write(const BootstrapFields& fields, int mode = 0600) {
        write_file(path_, fields.encode(), mode);
    }

    ScratchDirectory scratch_;
    std::string directory_;
    std::string path_;
    BootstrapFields fields_;
};

TEST_F(BootstrapReader, AcceptsAWellFormedFileAndCopiesEveryField) {
    fields_.ids = {kIdA, kIdB};
    write(fields_);
    auto result = read();
    ASSERT_TRUE(result.ok()) << result.error();
    const BixBootstrap& b = *result.value();
    EXPECT_EQ(b.uid, geteuid());
    EXPECT_EQ(b.expiry, kNow + 3600);
    EXPECT_EQ(b.socket_path_view(), directory_ + "/broker.sock");
    EXPECT_EQ(std::string(b.directory.data()), directory_);
    EXPECT_EQ(b.first_secret[0], 1);
    EXPECT_EQ(b.second_secret[31], 0xA0 + 31);
    ASSERT_EQ(b.allowed_count, 2u);
    EXPECT_EQ(std::string(b.allowed_ids[1].data()), kIdB);
    BixExtensionId id{};
    std::copy(kIdB.begin(), kIdB.end(), id.begin());
    EXPECT_TRUE(b.allows(id));
}

struct ContentCase {
    const char* name;
    std::function<void(BootstrapFields&)> mutate;
    bool accepted;
};

TEST_F(BootstrapReader, ChecksEveryContentRule) {
    const std::vector<ContentCase> cases = {
        {"bad-magic", [](auto& f) { f.magic[5] = '2'; }, false},
        {"magic-padding-not-zero", [](auto& f) { f.magic[7] = 'x'; }, false},
        {"version-2", [](auto& f) { f.version = 2; }, false},
        {"reserved-set", [](auto& f) { f.reserved = 1; }, false},
        {"other-uid", [](auto& f) { f.uid += 1; }, false},
        {"expired-at-now", [](auto& f) { f.expiry = kNow; }, false},
        {"expires-one-second-ahead", [](auto& f) { f.expiry = kNow + 1; }, true},
        {"expires-in-exactly-8h", [](auto& f) { f.expiry = kNow + 28800; }, true},
        {"expires-beyond-8h", [](auto& f) { f.expiry = kNow + 28801; }, false},
        {"negative-expiry", [](auto& f) { f.expiry = -1; }, false},
        {"socket-elsewhere",
         [](auto& f) { f.socket_path = "/tmp/other-directory-for-the-broker/broker.sock"; }, false},
        {"socket-other-name",
         [](auto& f) { f.socket_path.replace(f.socket_path.size() - 4, 4, "sack"); }, false},
        {"no-ids", [](auto& f) { f.ids.clear(); }, false},
        {"nine-ids",
         [](auto& f) {
             f.ids.clear();
             for (char c = 'a'; c < 'a' + 9; ++c) {
                 f.ids.push_back(std::string(31, 'p') + c);
             }
         },
         false},
        {"eight-ids",
         [](auto& f) {
             f.ids.clear();
             for (char c = 'a'; c < 'a' + 8; ++c) {
                 f.ids.push_back(std::string(31, 'p') + c);
             }
         },
         true},
        {"repeated-id",
         [](auto& f) {
             f.ids = {kIdA, kIdB, kIdA};
         },
         false},
        {"id-with-q", [](auto& f) { f.ids = {std::string(31, 'a') + "q"}; }, false},
        {"id-upper-case", [](auto& f) { f.ids = {std::string(31, 'a') + "A"}; }, false},
        {"count-larger-than-content", [](auto& f) { f.declared_count = 2; }, false},
        {"trailing-byte", [](auto& f) { f.trailing = "x"; }, false},
    };
    for (const ContentCase& c : cases) {
        BootstrapFields fields = fields_;
        c.mutate(fields);
        write(fields);
        auto result = read();
        EXPECT_EQ(result.ok(), c.accepted) << c.name;
    }
}

TEST_F(BootstrapReader, RejectsNegativeNow) {
    write(fields_);
    EXPECT_FALSE(read(-1).ok());
}

TEST_F(BootstrapReader, RejectsFilesOutsideTheSizeBounds) {
    // With one id the file is 124 bytes plus the socket path: a short directory falls below 156.
    ScratchDirectory other;
    std::string short_dir = other.join("d");
    ASSERT_EQ(mkdir(short_dir.c_str(), 0700), 0);
    chmod(short_dir.c_str(), 0700);
    BootstrapFields fields = fields_;
    fields.socket_path = short_dir + "/broker.sock";
    ASSERT_LT(fields.encode().size(), kBixBootstrapMinSize);
    path_ = short_dir + "/bootstrap";
    write(fields);
    EXPECT_EQ(read().error(), EINVAL);
}

struct LayoutCase {
    const char* name;
    std::function<void(const std::string& dir, const std::string& file)> prepare;
};

TEST_F(BootstrapReader, ChecksOwnershipModesAndLinks) {
    const std::vector<LayoutCase> cases = {
        {"directory-0755", [](auto& d, auto&) { chmod(d.c_str(), 0755); }},
        {"directory-0710", [](auto& d, auto&) { chmod(d.c_str(), 0710); }},
        {"file-0644", [](auto&, auto& f) { chmod(f.c_str(), 0644); }},
        {"file-0400", [](auto&, auto& f) { chmod(f.c_str(), 0400); }},
        {"file-0700", [](auto&, auto& f) { chmod(f.c_str(), 0700); }},
        {"two-links", [](auto&, auto& f) { ASSERT_EQ(link(f.c_str(), (f + ".2").c_str()), 0); }},
        {"file-is-symlink",
         [](auto&, auto& f) {
             ASSERT_EQ(rename(f.c_str(), (f + ".real").c_str()), 0);
             ASSERT_EQ(symlink((f + ".real").c_str(), f.c_str()), 0);
         }},
        {"file-is-fifo",
         [](auto&, auto& f) {
             unlink(f.c_str());
             ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
         }},
        {"missing", [](auto&, auto& f) { unlink(f.c_str()); }},
    };
    for (const LayoutCase& c : cases) {
        ScratchDirectory scratch;
        std::string dir = scratch.join("bridge-bootstrap-directory");
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        chmod(dir.c_str(), 0700);
        std::string file = dir + "/native-host-bootstrap-v1";
        BootstrapFields fields = fields_;
        fields.socket_path = dir + "/broker.sock";
        write_file(file, fields.encode(), 0600);
        ASSERT_TRUE(bix_read_bootstrap(file, {geteuid(), kNow}).ok()) << c.name;
        c.prepare(dir, file);
        EXPECT_FALSE(bix_read_bootstrap(file, {geteuid(), kNow}).ok()) << c.name;
    }
}

TEST_F(BootstrapReader, RejectsSymlinkedDirectory) {
    write(fields_);
    std::string alias = scratch_.join("alias");
    ASSERT_EQ(symlink(directory_.c_str(), alias.c_str()), 0);
    EXPECT_FALSE(bix_read_bootstrap(alias + "/native-host-bootstrap-v1", {geteuid(), kNow}).ok());
}

TEST(BootstrapPath, RejectsRelativeRootAndOverlongPaths) {
    const std::vector<std::string> paths = {"",
                                            "relative/bootstrap",
                                            "/bootstrap",
                                            "//bootstrap",
                                            "/" + std::string(1023, 'a'),
                                            std::string("/tmp/with\0nul/bootstrap", 23)};
    for (const std::string& path : paths) {
        EXPECT_EQ(bix_read_bootstrap(path, {geteuid(), kNow}).error(), EINVAL) << path;
    }
}

TEST(BootstrapPath, IsBuiltInsideTheHomeDirectory) {
    auto path = bix_bootstrap_path_in_home("/home/u", "com.example.app");
    ASSERT_TRUE(path.ok());
    EXPECT_EQ(path.value(), "/home/u/Library/Application Support/com.example.app/BrowserBridge/"
                            "native-host-bootstrap-v1");
    EXPECT_FALSE(bix_bootstrap_path_in_home("", "com.example.app").ok());
    EXPECT_FALSE(bix_bootstrap_path_in_home("relative", "com.example.app").ok());
    EXPECT_FALSE(bix_bootstrap_path_in_home("/" + std::string(1000, 'h'), "com.example.app").ok());
}

struct OriginCase {
    std::string origin;
    bool valid;
};

TEST(ExtensionOrigin, AcceptsOnlyTheExactForm) {
    const std::vector<OriginCase> cases = {
        {"chrome-extension://" + kIdA + "/", true},
        {"chrome-extension://" + kIdB + "/", true},
        {"chrome-extension://" + kIdA, false},
        {"chrome-extension://" + kIdA + "/x", false},
        {"chrome-extension://" + kIdA.substr(1) + "q/", false},
        {"chrome-extension://" + kIdA.substr(1) + "A/", false},
        {"Chrome-extension://" + kIdA + "/", false},
        {"chrome-extension:/" + kIdA + "//", false},
        {"", false},
    };
    for (const OriginCase& c : cases) {
        auto id = bix_parse_extension_origin(c.origin);
        EXPECT_EQ(id.has_value(), c.valid) << c.origin;
        if (id) {
            EXPECT_EQ(std::string(id->data(), id->size()), c.origin.substr(19, 32));
        }
    }
}

} // namespace

} // namespace bix::bridge
