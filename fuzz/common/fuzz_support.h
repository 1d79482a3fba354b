// Small helpers shared by the fuzz targets: splitting an input into arguments, a private
// temporary directory that is removed with everything under it, and a descriptor owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace bix::fuzz {

// Stops the run with a message; libFuzzer records the input that led here.
[[noreturn]] inline void property_failed(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

#define BIX_FUZZ_CHECK(condition)                                                                  \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::bix::fuzz::property_failed(#condition);                                              \
    } while (0)

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The pieces of `text` between NUL bytes (a trailing NUL ends the last piece, it adds none).
std::vector<std::string> split_arguments(std::string_view text);

// Owns one descriptor and closes it on destruction.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_;
};

// A memory file holding `bytes`, positioned at its start (aborts when the system refuses one).
Fd memory_file(std::string_view bytes);

// Writes all of `bytes` to `fd` (aborts on failure).
void write_all(int fd, std::string_view bytes);

// Removes everything inside the directory at `path` (modes are restored first, so entries a
// target locked down go too); the directory itself stays.
void remove_directory_contents(const std::string& path);

// The names in the directory at `path`, "." and ".." left out.
std::vector<std::string> directory_entries(const std::string& path);

// A directory of the process's own (mode 0700) under $TMPDIR or /tmp, created on first use and
// removed with its contents when the process exits, so no target leaves files behind.
class ScratchDirectory {
public:
    // The one directory of this process.
    static ScratchDirectory& instance();

    const std::string& path() const { return path_; }
    // Removes everything inside the directory; the directory itself stays.
    void clear() const { remove_directory_contents(path_); }

    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

private:
    ScratchDirectory();
    ~ScratchDirectory();

    std::string path_;
};

} // namespace bix::fuzz
