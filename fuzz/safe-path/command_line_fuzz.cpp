// The safe path helper's whole command line, run against a private root that is emptied after
// every input. Input: one selector byte, then the arguments separated by NUL bytes. Selector bit
// 0 replaces the prologue (root path, device, inode, uid) with this process's real root, so the
// operand parsers and the operations are reached; bit 1 feeds the last argument to the
// operation as its content stream instead of passing it on the command line. Every run ends with
// one of the three exit statuses and its result line, and nothing is ever created outside the
// root.
#include "cli/command_line.h"
#include "common/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kPrologueArguments = 6;

// The root the operations act in: a subdirectory of the scratch directory, so that anything an
// operation created outside the root would show up beside it.
struct FuzzRoot {
    std::string path;
    struct stat identity {};
};

const FuzzRoot& fuzz_root() {
    static const FuzzRoot root = [] {
        FuzzRoot made;
        made.path = bix::fuzz::ScratchDirectory::instance().path() + "/root";
        ::mkdir(made.path.c_str(), 0700);
        if (::lstat(made.path.c_str(), &made.identity) != 0)
            bix::fuzz::property_failed("the fuzz root could not be created");
        return made;
    }();
    return root;
}

// Removes everything the operation left inside the root; the root itself must still be the same
// directory, and nothing may have appeared beside it.
void empty_root() {
    const FuzzRoot& root = fuzz_root();
    bix::fuzz::remove_directory_contents(root.path);
    struct stat now {};
    BIX_FUZZ_CHECK(::lstat(root.path.c_str(), &now) == 0 && S_ISDIR(now.st_mode) &&
                   now.st_ino == root.identity.st_ino && now.st_dev == root.identity.st_dev);
    const auto beside =
        bix::fuzz::directory_entries(bix::fuzz::ScratchDirectory::instance().path());
    BIX_FUZZ_CHECK(beside.size() == 1 && beside.front() == "root");
}

std::string read_back(int fd) {
    std::string text;
    char buffer[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 8192)
        return 0;
    const std::uint8_t selector = data[0];
    std::vector<std::string> arguments =
        bix::fuzz::split_arguments(bix::fuzz::as_text(data + 1, size - 1));
    std::string content;
    if ((selector & 2) != 0 && !arguments.empty()) {
        content = std::move(arguments.back());
        arguments.pop_back();
    }
    if ((selector & 1) != 0) {
        const FuzzRoot& root = fuzz_root();
        if (arguments.size() < kPrologueArguments)
            arguments.resize(kPrologueArguments);
        arguments[0] = "bix-safe-path-helper";
        arguments[2] = root.path;
        arguments[3] = std::to_string(root.identity.st_dev);
        arguments[4] = std::to_string(root.identity.st_ino);
        arguments[5] = std::to_string(root.identity.st_uid);
    }
    bix::fuzz::Fd input = bix::fuzz::memory_file(content);
    bix::fuzz::Fd output = bix::fuzz::memory_file({});
    const int status = bix::safe_path::run_command_line(arguments, input.get(), output.get());
    BIX_FUZZ_CHECK(status == 0 || status == 2 || status == 10);
    const std::string reported = read_back(output.get());
    BIX_FUZZ_CHECK(!reported.empty() && reported.find('\n') != std::string::npos);
    empty_root();
    return 0;
}
