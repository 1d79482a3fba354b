#include "platform/page_buffer.h"

#include <string.h>
#include <sys/mman.h>
#include <utility>

namespace bix::safe_path::platform {

Result<PageBuffer> PageBuffer::allocate(size_t size) {
    const size_t length = size == 0 ? 1 : size;
    void* data =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED)
        return Status::failure(ENOMEM);
    // Huge pages where the kernel offers them: far fewer faults while the file is read in. A
    // refusal only costs speed.
    (void)::madvise(data, length, MADV_HUGEPAGE);
    return PageBuffer(static_cast<unsigned char*>(data), length);
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

PageBuffer::~PageBuffer() {
    release();
}

void PageBuffer::release() {
    if (data_ == nullptr)
        return;
    ::explicit_bzero(data_, length_);
    ::munmap(data_, length_);
    data_ = nullptr;
    length_ = 0;
}

Result<ContentBuffer> ContentBuffer::allocate(size_t size) {
    auto pages = PageBuffer::allocate(size);
    if (!pages)
        return pages.status();
    return ContentBuffer(std::move(*pages), size);
}

} // namespace bix::safe_path::platform
