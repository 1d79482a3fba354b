// The launcher's workspace checks on the real file system, inside this process's own scratch
// directory, which holds: ws (0700, a good workspace), open (0755), file, link (to ws) and
// nest/ws (0700). The first input byte steers: bit 0 prefixes the rest with the scratch
// directory's path; bits 1-2 pick the current directory (ws, the scratch directory, nest/ws,
// open). A workspace that passes is a plain absolute path of a real directory owned by this
// user with mode 0700, spelled canonically, and is the current directory.
#include "common/fuzz_support.h"
#include "launcher/workspace_check.h"
#include "platform/linux_system.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace bix::hatch;

namespace {

struct Tree {
    std::string base;
    std::string directories[4];
};

const Tree& tree() {
    static const Tree made = [] {
        Tree t;
        t.base = bix::fuzz::ScratchDirectory::instance().path();
        const std::string ws = t.base + "/ws";
        ::mkdir(ws.c_str(), 0700);
        ::mkdir((t.base + "/open").c_str(), 0755);
        ::chmod((t.base + "/open").c_str(), 0755);
        ::mkdir((t.base + "/nest").c_str(), 0755);
        ::mkdir((t.base + "/nest/ws").c_str(), 0700);
        bix::fuzz::Fd file(
            ::open((t.base + "/file").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        if (::symlink(ws.c_str(), (t.base + "/link").c_str()) != 0 || file.get() < 0)
            bix::fuzz::property_failed("the workspace tree could not be made");
        t.directories[0] = ws;
        t.directories[1] = t.base;
        t.directories[2] = t.base + "/nest/ws";
        t.directories[3] = t.base + "/open";
        return t;
    }();
    return made;
}

void check_passed(const std::string& workspace) {
    BIX_FUZZ_CHECK(!workspace.empty() && workspace.front() == '/' &&
                   workspace.size() <= kMaxWorkspacePathBytes);
    for (const char c : workspace)
        BIX_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    struct stat own {};
    BIX_FUZZ_CHECK(::lstat(workspace.c_str(), &own) == 0 && S_ISDIR(own.st_mode));
    BIX_FUZZ_CHECK((own.st_mode & 07777) == kWorkspaceMode && own.st_uid == ::geteuid());
    char resolved[PATH_MAX];
    BIX_FUZZ_CHECK(::realpath(workspace.c_str(), resolved) != nullptr && workspace == resolved);
    struct stat current {};
    BIX_FUZZ_CHECK(::stat(".", &current) == 0 && current.st_dev == own.st_dev &&
                   current.st_ino == own.st_ino);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 2048)
        return 0;
    const Tree& t = tree();
    const std::uint8_t selector = data[0];
    std::string workspace(bix::fuzz::as_text(data + 1, size - 1));
    if ((selector & 1) != 0)
        workspace = t.base + workspace;
    // The fuzzer reads and writes its corpus by relative paths: come back before returning.
    static const bix::fuzz::Fd home(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (home.get() < 0 || ::chdir(t.directories[(selector >> 1) & 3].c_str()) != 0)
        bix::fuzz::property_failed("chdir into the workspace tree failed");

    const LinuxSystem system;
    const CheckResult result = check_workspace(system, workspace);
    if (result.ok())
        check_passed(workspace);
    else
        BIX_FUZZ_CHECK(result.refusal != Refusal::usage);
    if (::fchdir(home.get()) != 0)
        bix::fuzz::property_failed("could not return to the starting directory");
    return 0;
}
