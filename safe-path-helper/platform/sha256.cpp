#include "platform/sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace bix::safe_path::platform {
namespace {

// The library would otherwise read its configuration file (named by the environment); the helper
// reads no configuration at all.
bool initialise_library() {
    return OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
}

} // namespace

struct Sha256::Context {
    EVP_MD_CTX* raw = nullptr;
    ~Context() { EVP_MD_CTX_free(raw); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    static const bool initialised = initialise_library();
    context_->raw = EVP_MD_CTX_new();
    ready_ = initialised && context_->raw != nullptr &&
             EVP_DigestInit_ex(context_->raw, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

Status Sha256::update(const void* data, size_t length) {
    if (!ready_ || EVP_DigestUpdate(context_->raw, data, length) != 1)
        return Status::failure(EIO);
    return Status::success();
}

Result<Sha256Digest> Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (!ready_ || EVP_DigestFinal_ex(context_->raw, digest.data(), &length) != 1 ||
        length != digest.size())
        return Status::failure(EIO);
    ready_ = false;
    return digest;
}

Result<Sha256Digest> sha256_of(const void* data, size_t length) {
    Sha256 hash;
    BIX_TRY(hash.update(data, length));
    return hash.finish();
}

} // namespace bix::safe_path::platform
