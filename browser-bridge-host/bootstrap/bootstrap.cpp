#include "bootstrap/bootstrap.h"

#include "common/byte_order.h"
#include "common/secret_buffer.h"
#include "common/timed_io.h"
#include "platform/bix_platform.h"

#include <cerrno>
#include <cstring>

namespace bix::bridge {

namespace {

constexpr mode_t kDirectoryPermissions = 0700;
constexpr mode_t kFilePermissions = 0600;

// Field offsets in the file.
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kUidOffset = 12;
constexpr std::size_t kExpiryOffset = 16;
constexpr std::size_t kPathLengthOffset = 24;
constexpr std::size_t kAllowedCountOffset = 26;
constexpr std::size_t kReservedOffset = 27;
constexpr std::size_t kFirstSecretOffset = 28;
constexpr std::size_t kSecondSecretOffset = 60;
constexpr std::size_t kSocketPathOffset = 92;

BixFailure invalid() {
    return BixStatus::failure(EINVAL);
}

// The directory part of an absolute path, or empty when it would be the file-system root.
std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return {};
    }
    std::string directory = path.substr(0, slash);
    if (directory.find_first_not_of('/') == std::string::npos) {
        return {};
    }
    return directory;
}

BixStatus check_path(const std::string& path) {
    if (path.empty() || path.size() > kBixBootstrapMaxPath || path.front() != '/' ||
        path.find('\0') != std::string::npos) {
        return invalid();
    }
    return directory_of(path).empty() ? invalid() : BixStatus::success();
}

BixStatus check_directory(const std::string& directory, uid_t euid) {
    auto info = bix_lstat(directory);
    if (!info.ok()) {
        return BixStatus::failure(info.error());
    }
    if (info->type != BixFileType::directory || info->owner != euid ||
        info->permissions != kDirectoryPermissions) {
        return BixStatus::failure(EPERM);
    }
    return BixStatus::success();
}

BixResult<std::size_t> check_file(int fd, uid_t euid) {
    auto info = bix_fstat(fd);
    if (!info.ok()) {
        return BixStatus::failure(info.error());
    }
    if (info->type != BixFileType::regular || info->owner != euid || info->links != 1 ||
        info->permissions != kFilePermissions) {
        return BixStatus::failure(EPERM);
    }
    if (info->size < static_cast<std::int64_t>(kBixBootstrapMinSize) ||
        info->size > static_cast<std::int64_t>(kBixBootstrapMaxSize)) {
        return invalid();
    }
    return static_cast<std::size_t>(info->size);
}

bool is_expiry_acceptable(std::int64_t expiry, std::int64_t now) {
    return now >= 0 && now < expiry && expiry <= now + kBixMaxBootstrapLifetimeSeconds;
}

// Checks the fixed header fields and the total size; the content is not yet copied out.
BixStatus check_header(const SecretBuffer& file, const BixBootstrapContext& context) {
    const std::uint8_t* p = file.data();
    std::size_t path_length = bix_load_le16(p + kPathLengthOffset);
    std::size_t allowed_count = p[kAllowedCountOffset];
    auto expiry = static_cast<std::int64_t>(bix_load_le64(p + kExpiryOffset));
    bool well_formed =
        std::memcmp(p, BIX_BOOTSTRAP_MAGIC.data(), BIX_BOOTSTRAP_MAGIC.size()) == 0 &&
        bix_load_le32(p + kVersionOffset) == kBixBootstrapVersion && p[kReservedOffset] == 0 &&
        bix_load_le32(p + kUidOffset) == context.effective_uid &&
        is_expiry_acceptable(expiry, context.now) && path_length >= 1 &&
        path_length <= kBixSocketPathMax && allowed_count >= 1 &&
        allowed_count <= kBixMaxAllowedExtensions &&
        file.size() ==
            kBixBootstrapHeaderSize + path_length + kBixExtensionIdLength * allowed_count;
    return well_formed ? BixStatus::success() : invalid();
}

BixStatus copy_fields(const SecretBuffer& file, const std::string& directory,
                      BixBootstrap& bootstrap) {
    const std::uint8_t* p = file.data();
    std::size_t path_length = bix_load_le16(p + kPathLengthOffset);
    bootstrap.uid = bix_load_le32(p + kUidOffset);
    bootstrap.expiry = static_cast<std::int64_t>(bix_load_le64(p + kExpiryOffset));
    bix_copy_secret(bootstrap.first_secret.data(), p + kFirstSecretOffset, kBixSecretSize);
    bix_copy_secret(bootstrap.second_secret.data(), p + kSecondSecretOffset, kBixSecretSize);
    std::memcpy(bootstrap.socket_path.data(), p + kSocketPathOffset, path_length);
    bootstrap.socket_path[path_length] = '\0';
    std::memcpy(bootstrap.directory.data(), directory.data(), directory.size());
    bootstrap.directory[directory.size()] = '\0';

    // The socket must sit beside the bootstrap, so whoever can write the bootstrap's private
    // directory is the only one who can name the socket.
    std::string expected = directory + "/" + std::string(kBixSocketName);
    std::string_view named(reinterpret_cast<const char*>(p + kSocketPathOffset), path_length);
    if (named != expected) {
        return invalid();
    }
    return BixStatus::success();
}

BixStatus copy_allowed_ids(const SecretBuffer& file, BixBootstrap& bootstrap) {
    const std::uint8_t* p = file.data();
    std::size_t path_length = bix_load_le16(p + kPathLengthOffset);
    std::size_t count = p[kAllowedCountOffset];
    const auto* ids = reinterpret_cast<const char*>(p + kSocketPathOffset + path_length);
    for (std::size_t i = 0; i < count; ++i) {
        std::string_view id(ids + i * kBixExtensionIdLength, kBixExtensionIdLength);
        if (!bix_is_valid_extension_id(id)) {
            return invalid();
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (id == std::string_view(bootstrap.allowed_ids[j].data(), kBixExtensionIdLength)) {
                return invalid();
            }
        }
        std::memcpy(bootstrap.allowed_ids[i].data(), id.data(), kBixExtensionIdLength);
        bootstrap.allowed_ids[i][kBixExtensionIdLength] = '\0';
    }
    bootstrap.allowed_count = count;
    return BixStatus::success();
}

} // namespace

BixBootstrap::~BixBootstrap() {
    bix_secure_zero(first_secret.data(), first_secret.size());
    bix_secure_zero(second_secret.data(), second_secret.size());
    bix_secure_zero(socket_path.data(), socket_path.size());
    bix_secure_zero(allowed_ids.data(), sizeof allowed_ids);
    bix_secure_zero(directory.data(), directory.size());
    uid = 0;
    expiry = 0;
    allowed_count = 0;
}

bool BixBootstrap::allows(const BixExtensionId& id) const {
    for (std::size_t i = 0; i < allowed_count; ++i) {
        if (std::memcmp(allowed_ids[i].data(), id.data(), kBixExtensionIdLength) == 0) {
            return true;
        }
    }
    return false;
}

BixResult<std::unique_ptr<BixBootstrap>> bix_read_bootstrap(const std::string& path,
                                                            const BixBootstrapContext& context) {
    if (BixStatus status = check_path(path); !status.ok()) {
        return status.failure();
    }
    std::string directory = directory_of(path);
    if (BixStatus status = check_directory(directory, context.effective_uid); !status.ok()) {
        return status.failure();
    }
    auto fd = bix_open_read_no_follow(path);
    if (!fd.ok()) {
        return BixStatus::failure(fd.error());
    }
    auto size = check_file(fd->get(), context.effective_uid);
    if (!size.ok()) {
        return BixStatus::failure(size.error());
    }
    // The buffer zeroes itself when this function returns, on success and on every failure.
    auto file = SecretBuffer::allocate(size.value());
    if (!file) {
        return BixStatus::failure(ENOMEM);
    }
    auto read = bix_read_exact_timeout(fd->get(), file->data(), file->size(), false);
    if (!read.ok()) {
        return BixStatus::failure(read.error());
    }
    if (BixStatus status = check_header(*file, context); !status.ok()) {
        return status.failure();
    }
    auto bootstrap = std::make_unique<BixBootstrap>();
    if (BixStatus status = copy_fields(*file, directory, *bootstrap); !status.ok()) {
        return status.failure();
    }
    if (BixStatus status = copy_allowed_ids(*file, *bootstrap); !status.ok()) {
        return status.failure();
    }
    return bootstrap;
}

BixResult<std::string> bix_bootstrap_path_in_home(std::string_view home,
                                                  std::string_view bundle_id) {
    if (home.empty() || home.front() != '/') {
        return BixStatus::failure(ENOENT);
    }
    std::string path(home);
    path += "/Library/Application Support/";
    path += bundle_id;
    path += "/BrowserBridge/native-host-bootstrap-v1";
    if (path.size() > kBixBootstrapMaxPath) {
        return BixStatus::failure(ENAMETOOLONG);
    }
    return path;
}

} // namespace bix::bridge
