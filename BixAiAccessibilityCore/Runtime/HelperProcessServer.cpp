#include "Runtime/HelperProcessServer.h"

#include "Protocol/HelperError.h"

#include <csignal>
#include <string>

namespace bix::ax {

namespace {

constexpr std::string_view kDiagnosticPrefix = "BIX_AX_HELPER ";
constexpr std::string_view kInternalFailureCode = "INTERNAL_FAILURE";

} // namespace

void HelperProcessServer::run() noexcept {
    try {
        while (serveOneRequest()) {
        }
    } catch (const HelperProtocolError& error) {
        fail(rawValue(error.code()));
    } catch (...) {
        // Read and write failures of the handles (a closed pipe included).
        fail(kInternalFailureCode);
    }
    runtime_->shutdown();
}

bool HelperProcessServer::serveOneRequest() {
    const std::optional<std::string> payload = channel_->read();
    if (!payload) {
        return false; // the host closed its end: a normal end, no diagnostic
    }
    const RuntimeReply reply = runtime_->handle(*payload);
    if (reply.payload.empty()) {
        fail(kInternalFailureCode);
        return false;
    }
    channel_->write(reply.payload);
    return !reply.shouldShutdown;
}

void HelperProcessServer::fail(std::string_view code) noexcept {
    try {
        diagnostic_(std::string(kDiagnosticPrefix) + std::string(code));
    } catch (...) {
        // Standard error is the last place to report anything; nothing is left to tell.
    }
}

std::thread runHelperSession(MainRunLoop& loop, std::shared_ptr<HelperProcessServer> server,
                             std::shared_ptr<AccessibilityHelperRuntime> runtime) {
    const auto onSignal = [&loop, runtime](int) {
        runtime->shutdown(); // waits for a command in progress
        loop.stop();
    };
    // Registered before the server thread exists, so that thread inherits the blocked mask and
    // the signals reach only the loop's signalfd.
    loop.addSignalHandler(SIGINT, onSignal);
    loop.addSignalHandler(SIGTERM, onSignal);
    std::thread serverThread([&loop, server] {
        server->run();
        loop.stop();
    });
    loop.run();
    return serverThread;
}

} // namespace bix::ax
