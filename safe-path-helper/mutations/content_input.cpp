#include "mutations/content_input.h"

#include "platform/file_system.h"

#include <algorithm>
#include <vector>

namespace bix::safe_path {

Status copy_exact_input(int input_fd, int output_fd, uint64_t size) {
    std::vector<unsigned char> chunk(kInputChunkBytes);
    uint64_t remaining = size;
    while (remaining > 0) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(remaining, chunk.size()));
        auto count = platform::read_some(input_fd, chunk.data(), wanted);
        if (!count)
            return count.status();
        if (*count == 0)
            return invalid(); // input ended before the declared size
        BIX_TRY(platform::write_all(output_fd, chunk.data(), *count));
        remaining -= *count;
    }
    unsigned char extra;
    auto count = platform::read_some(input_fd, &extra, 1);
    if (!count)
        return count.status();
    return *count == 0 ? Status::success() : invalid();
}

} // namespace bix::safe_path
