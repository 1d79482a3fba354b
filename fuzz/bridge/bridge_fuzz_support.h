// What the bridge's stream targets share: a pipe whose read end holds the whole input, with the
// write end already closed, so every reader sees the bytes and then a clean end of file.
#pragma once

#include "common/fuzz_support.h"

#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace bix::fuzz {

// Inputs larger than this would not fit in a pipe without a second writer thread.
inline constexpr std::size_t kPipeInputLimit = 60000;

// The read end of a pipe holding `bytes` (at most kPipeInputLimit).
inline Fd pipe_holding(std::string_view bytes) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        property_failed("pipe2 failed");
    Fd reader(ends[0]);
    Fd writer(ends[1]);
    write_all(writer.get(), bytes);
    return reader;
}

} // namespace bix::fuzz
