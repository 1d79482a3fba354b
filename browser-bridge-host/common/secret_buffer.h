#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace bix::bridge {

// Owns one heap buffer of exactly `size` bytes that may hold a frame, a handshake, a control
// record or secrets. The bytes are overwritten with zeros before the memory is released; a
// moved-from buffer is empty. Allocation never throws: a failed allocation is reported as nullopt.
class SecretBuffer {
public:
    SecretBuffer() = default;
    SecretBuffer(SecretBuffer&& other) noexcept;
    SecretBuffer& operator=(SecretBuffer&& other) noexcept;
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { release(); }

    // A zero-filled buffer of `size` bytes, or nullopt when memory is exhausted.
    static std::optional<SecretBuffer> allocate(std::size_t size);

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Zeroes and frees the bytes now; the buffer becomes empty.
    void release();

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace bix::bridge
