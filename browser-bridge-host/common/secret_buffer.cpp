#include "common/secret_buffer.h"

#include "platform/bix_platform.h"

#include <new>
#include <utility>

namespace bix::bridge {

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

std::optional<SecretBuffer> SecretBuffer::allocate(std::size_t size) {
    SecretBuffer buffer;
    if (size == 0) {
        return buffer;
    }
    buffer.data_ = new (std::nothrow) std::uint8_t[size]();
    if (buffer.data_ == nullptr) {
        return std::nullopt;
    }
    buffer.size_ = size;
    return buffer;
}

void SecretBuffer::release() {
    if (data_ != nullptr) {
        bix_secure_zero(data_, size_);
        delete[] data_;
    }
    data_ = nullptr;
    size_ = 0;
}

} // namespace bix::bridge
