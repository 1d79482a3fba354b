// The process entry of bix-ai-accessibility-helper: a child of the host application that speaks
// the framed protocol on its standard input and output until the session ends.
//
//   bix-ai-accessibility-helper                           the user's desktop (AT-SPI on Linux)
//   bix-ai-accessibility-helper --demo-desktop            the built-in demo desktop
//   bix-ai-accessibility-helper --simulated-desktop FILE  a simulated desktop from a scenario file
//
// The exit status is 0 on every road; an abnormal end leaves one "BIX_AX_HELPER <CODE>" line on
// standard error and nothing else is ever written there.
#include "Atspi/AtspiAccessibilityBackend.h"
#include "Platform/Clock.h"
#include "Platform/FileHandle.h"
#include "Platform/MainRunLoop.h"
#include "Protocol/FramedFileChannel.h"
#include "Runtime/AccessibilityHelperRuntime.h"
#include "Runtime/HelperProcessServer.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace bix::ax {
namespace {

enum class Desktop { platform, demo, scenario };

struct CommandLine {
    bool valid = false;
    Desktop desktop = Desktop::platform;
    std::string scenarioPath;
};

CommandLine parseCommandLine(int argc, char** argv) {
    if (argc == 1) {
        return {true, Desktop::platform, {}};
    }
    if (argc == 2 && std::string_view(argv[1]) == "--demo-desktop") {
        return {true, Desktop::demo, {}};
    }
    if (argc == 3 && std::string_view(argv[1]) == "--simulated-desktop" && argv[2][0] != '\0') {
        return {true, Desktop::scenario, std::string(argv[2])};
    }
    return {};
}

// The message and a line feed in one write, so concurrent writers never split the line.
void writeDiagnostic(std::string_view message) {
    std::string line(message);
    line += '\n';
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t wrote = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return;
        }
        done += static_cast<std::size_t>(wrote);
    }
}

// SIGPIPE ignored: a write to a closed pipe fails instead of killing the process. SIGINT and
// SIGTERM blocked before anything else happens, so they wait for the run loop's signalfd
// instead of killing the process while it starts.
void prepareSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
}

// The desktop the helper drives; its notifications and scripted behaviour run on `loop`.
std::shared_ptr<AccessibilityBackend> makeBackend(const CommandLine& commandLine,
                                                  MainRunLoop& loop) {
    if (commandLine.desktop == Desktop::platform) {
        return AtspiAccessibilityBackend::connect(loop);
    }
    auto simulated = commandLine.desktop == Desktop::demo
                         ? SimulatedDesktopBackend::demo()
                         : SimulatedDesktopBackend::fromScenarioFile(commandLine.scenarioPath);
    simulated->desktop().setScheduler(&loop);
    return simulated;
}

// Ends the process without running destructors: the server thread may still be blocked in a
// read and use the objects a normal return would destroy. Replies are written with write(2)
// directly, so no buffered output is lost.
[[noreturn]] void endProcess() {
    std::fflush(nullptr);
    ::_exit(0);
}

[[noreturn]] void runHelper(int argc, char** argv) {
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (!commandLine.valid) {
        writeDiagnostic("BIX_AX_HELPER INTERNAL_FAILURE");
        endProcess();
    }
    // Never destroyed (see endProcess), so the desktop may keep this pointer for good.
    auto* loop = new MainRunLoop();
    auto backend = makeBackend(commandLine, *loop);
    auto runtime = std::make_shared<AccessibilityHelperRuntime>(backend, systemClock());
    auto input = std::make_shared<FileDescriptorHandle>(STDIN_FILENO);
    auto output = std::make_shared<FileDescriptorHandle>(STDOUT_FILENO);
    auto channel = std::make_shared<FramedFileChannel>(input, output);
    auto server = std::make_shared<HelperProcessServer>(channel, runtime, writeDiagnostic);
    std::thread serverThread = runHelperSession(*loop, server, runtime);
    runtime->shutdown(); // a no-op when the session already ended it
    serverThread.detach();
    endProcess();
}

} // namespace
} // namespace bix::ax

int main(int argc, char** argv) {
    bix::ax::prepareSignals();
    try {
        bix::ax::runHelper(argc, argv);
    } catch (...) {
        // Startup failed (an unreadable scenario, a refused descriptor): nothing was served.
        bix::ax::writeDiagnostic("BIX_AX_HELPER INTERNAL_FAILURE");
    }
    bix::ax::endProcess();
}
