// Whole pages of anonymous memory for file contents, backed by huge pages where the kernel
// allows (a 200 MiB read into small pages spends much of its time in page faults).
#pragma once

#include "platform/status.h"

#include <cstddef>
#include <span>
#include <utility>

namespace bix::safe_path::platform {

// Owns one anonymous mapping of at least one byte. Overwritten with zeros before it is unmapped,
// since it holds private file contents.
class PageBuffer {
public:
    PageBuffer() = default;
    static Result<PageBuffer> allocate(size_t size);
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();

    unsigned char* data() const { return data_; }

private:
    PageBuffer(unsigned char* data, size_t length) : data_(data), length_(length) {}
    void release();
    unsigned char* data_ = nullptr;
    size_t length_ = 0;
};

// The bytes of one file held in a `PageBuffer` (so zeroed before release): exactly `size()` of
// them, also when that is 0.
class ContentBuffer {
public:
    ContentBuffer() = default;
    static Result<ContentBuffer> allocate(size_t size);

    unsigned char* data() const { return pages_.data(); }
    size_t size() const { return size_; }
    std::span<const unsigned char> span() const { return {pages_.data(), size_}; }

private:
    ContentBuffer(PageBuffer pages, size_t size) : pages_(std::move(pages)), size_(size) {}
    PageBuffer pages_;
    size_t size_ = 0;
};

} // namespace bix::safe_path::platform
