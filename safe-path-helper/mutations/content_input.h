// Copying exactly the declared number of bytes from standard input into a new file.
#pragma once

#include "platform/status.h"

#include <cstdint>

namespace bix::safe_path {

constexpr size_t kInputChunkBytes = 65536;

// Reads `size` bytes from `input_fd` in chunks of at most 64 KiB and writes them to `output_fd`,
// then requires end of input: EINVAL for short input or any byte beyond the size.
Status copy_exact_input(int input_fd, int output_fd, uint64_t size);

} // namespace bix::safe_path
