#include "platform/step_hook.h"

#ifdef BIX_TEST_HOOKS

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace bix::safe_path::platform {
namespace {

// The one hook of the process; test builds only.
StepHook& installed_hook() {
    static StepHook hook;
    return hook;
}

// Runs `command` with /bin/sh, its standard streams on /dev/null so the tool's own streams stay
// exactly as the caller sees them, and waits for it.
void run_command(const std::string& command) {
    pid_t child = ::fork();
    if (child == 0) {
        int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (child > 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void append_trace(const char* path, std::string_view step) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    std::string line(step);
    line += '\n';
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
}

} // namespace

void install_step_hook(StepHook hook) {
    installed_hook() = std::move(hook);
}

// BIX_SAFE_PATH_HOOK_TRACE=file appends every step reached; BIX_SAFE_PATH_HOOK_STEP=name and
// BIX_SAFE_PATH_HOOK_COMMAND=shell command run the command when that step is reached for the
// BIX_SAFE_PATH_HOOK_OCCURRENCE-th time (default the first).
void install_step_hook_from_environment() {
    const char* trace = std::getenv("BIX_SAFE_PATH_HOOK_TRACE");
    const char* step = std::getenv("BIX_SAFE_PATH_HOOK_STEP");
    const char* command = std::getenv("BIX_SAFE_PATH_HOOK_COMMAND");
    const char* occurrence = std::getenv("BIX_SAFE_PATH_HOOK_OCCURRENCE");
    if (trace == nullptr && (step == nullptr || command == nullptr))
        return;
    long wanted = occurrence != nullptr ? std::strtol(occurrence, nullptr, 10) : 1;
    std::string trace_path = trace != nullptr ? trace : "";
    std::string step_name = step != nullptr ? step : "";
    std::string command_text = command != nullptr ? command : "";
    install_step_hook([=, seen = std::map<std::string, long>()](std::string_view reached) mutable {
        if (!trace_path.empty())
            append_trace(trace_path.c_str(), reached);
        if (command_text.empty() || reached != step_name)
            return;
        if (++seen[std::string(reached)] == wanted)
            run_command(command_text);
    });
}

void reach_step(std::string_view step) {
    if (installed_hook())
        installed_hook()(step);
}

} // namespace bix::safe_path::platform

#endif
