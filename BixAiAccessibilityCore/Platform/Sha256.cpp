#include "Platform/Sha256.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace bix::ax {

Sha256Digest sha256(std::string_view bytes) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != digest.size()) {
        // SHA-256 over memory cannot fail short of a broken libcrypto.
        throw std::logic_error("SHA-256 is unavailable");
    }
    return digest;
}

} // namespace bix::ax
