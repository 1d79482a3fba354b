// Incremental SHA-256 over OpenSSL's EVP interface.
#pragma once

#include "platform/status.h"

#include <array>
#include <cstddef>
#include <memory>

namespace bix::safe_path::platform {

using Sha256Digest = std::array<unsigned char, 32>;

// Owns one EVP digest context; `update` and `finish` fail with EIO when the library does.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    Status update(const void* data, size_t length);
    Result<Sha256Digest> finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
    bool ready_ = false;
};

// One-shot digest of a buffer.
Result<Sha256Digest> sha256_of(const void* data, size_t length);

} // namespace bix::safe_path::platform
