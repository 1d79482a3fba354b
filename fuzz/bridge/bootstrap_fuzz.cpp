// The bootstrap file, written with the input as its content into this process's own private
// directory and read back by the broker's reader. The first input byte steers the rest: bit 0
// names this user in the uid field; bit 1 replaces the socket path field with the one socket
// path the reader accepts (the field's declared length is honoured as the length to drop). The
// reader is asked at a fixed time. A bootstrap that is read names this user, a lifetime within
// bounds, the socket beside it and 1 to 8 distinct valid extension ids, each of which it allows.
#include "bootstrap/bootstrap.h"
#include "common/byte_order.h"
#include "common/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace bix::bridge;

namespace {

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::size_t kUidAt = 12;
constexpr std::size_t kPathLengthAt = 24;
constexpr std::size_t kSocketPathAt = 92;

const std::string& bootstrap_directory() {
    static const std::string directory = [] {
        std::string made = bix::fuzz::ScratchDirectory::instance().path() + "/bridge";
        ::mkdir(made.c_str(), 0700);
        ::chmod(made.c_str(), 0700);
        return made;
    }();
    return directory;
}

std::string with_true_socket_path(std::string content) {
    if (content.size() < kSocketPathAt)
        return content;
    auto* p = reinterpret_cast<std::uint8_t*>(content.data());
    const std::size_t declared = bix_load_le16(p + kPathLengthAt);
    const std::size_t dropped = std::min(declared, content.size() - kSocketPathAt);
    const std::string socket = bootstrap_directory() + "/" + std::string(kBixSocketName);
    content.replace(kSocketPathAt, dropped, socket);
    p = reinterpret_cast<std::uint8_t*>(content.data());
    bix_store_le16(p + kPathLengthAt, static_cast<std::uint16_t>(socket.size()));
    return content;
}

void write_file(const std::string& path, std::string_view content) {
    bix::fuzz::Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.get() < 0)
        bix::fuzz::property_failed("the bootstrap file could not be created");
    ::fchmod(file.get(), 0600);
    bix::fuzz::write_all(file.get(), content);
}

void check_read(const BixBootstrap& bootstrap) {
    BIX_FUZZ_CHECK(bootstrap.uid == ::geteuid());
    BIX_FUZZ_CHECK(bootstrap.expiry > kNow &&
                   bootstrap.expiry <= kNow + kBixMaxBootstrapLifetimeSeconds);
    BIX_FUZZ_CHECK(bootstrap.socket_path_view() ==
                   bootstrap_directory() + "/" + std::string(kBixSocketName));
    BIX_FUZZ_CHECK(std::string_view(bootstrap.directory.data()) == bootstrap_directory());
    BIX_FUZZ_CHECK(bootstrap.allowed_count >= 1 &&
                   bootstrap.allowed_count <= kBixMaxAllowedExtensions);
    for (std::size_t i = 0; i < bootstrap.allowed_count; ++i) {
        const std::string_view id(bootstrap.allowed_ids[i].data());
        BIX_FUZZ_CHECK(bix_is_valid_extension_id(id));
        BixExtensionId copy{};
        std::memcpy(copy.data(), id.data(), copy.size());
        BIX_FUZZ_CHECK(bootstrap.allows(copy));
        for (std::size_t j = 0; j < i; ++j)
            BIX_FUZZ_CHECK(id != std::string_view(bootstrap.allowed_ids[j].data()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 2 * kBixBootstrapMaxSize)
        return 0;
    const std::uint8_t selector = data[0];
    std::string content(bix::fuzz::as_text(data + 1, size - 1));
    if ((selector & 1) != 0 && content.size() >= kUidAt + 4)
        bix_store_le32(reinterpret_cast<std::uint8_t*>(content.data()) + kUidAt, ::geteuid());
    if ((selector & 2) != 0)
        content = with_true_socket_path(std::move(content));

    const std::string path = bootstrap_directory() + "/native-host-bootstrap-v1";
    write_file(path, content);
    auto read = bix_read_bootstrap(path, BixBootstrapContext{::geteuid(), kNow});
    ::unlink(path.c_str());
    if (read.ok()) {
        BIX_FUZZ_CHECK(content.size() >= kBixBootstrapMinSize &&
                       content.size() <= kBixBootstrapMaxSize);
        check_read(*read.value());
    } else {
        BIX_FUZZ_CHECK(read.error() == EINVAL || read.error() == EPERM);
    }
    return 0;
}
