#pragma once

#include "Platform/MainRunLoop.h"
#include "Protocol/FramedFileChannel.h"
#include "Runtime/AccessibilityHelperRuntime.h"

#include <functional>
#include <memory>
#include <string_view>
#include <thread>

namespace bix::ax {

// The read-handle-write loop of the helper: reads one request frame, has the runtime answer it,
// writes the reply frame, until the session ends. The only thread that reads the channel and
// calls the runtime, so requests are handled one at a time, in order, one reply each.
// Shares the channel and the runtime; holds no state of its own between frames.
class HelperProcessServer {
public:
    // Receives the one diagnostic line ("BIX_AX_HELPER <CODE>") when the loop ends abnormally.
    using Diagnostic = std::function<void(std::string_view)>;

    HelperProcessServer(std::shared_ptr<FramedFileChannel> channel,
                        std::shared_ptr<AccessibilityHelperRuntime> runtime, Diagnostic diagnostic)
        : channel_(std::move(channel)), runtime_(std::move(runtime)),
          diagnostic_(std::move(diagnostic)) {}

    // Blocks until the session ends: end of input, a reply that ends the session, a framing or
    // I/O error, or an empty reply. Never throws; every road ends in runtime.shutdown().
    void run() noexcept;

private:
    // One request: true to go on reading.
    bool serveOneRequest();
    void fail(std::string_view code) noexcept;

    std::shared_ptr<FramedFileChannel> channel_;
    std::shared_ptr<AccessibilityHelperRuntime> runtime_;
    Diagnostic diagnostic_;
};

// The two threads of a helper process. On the calling (main) thread: routes SIGINT and SIGTERM
// to handlers on `loop` that shut the runtime down and stop the loop, starts the server on a
// thread of its own (which stops the loop when it returns), then runs `loop` until it stops.
// Returns the server thread: still blocked in a read when a signal ended the session, so the
// process entry detaches it and ends the process; tests close the input and join it. `loop`
// must outlive that thread. The caller calls runtime.shutdown() afterwards.
std::thread runHelperSession(MainRunLoop& loop, std::shared_ptr<HelperProcessServer> server,
                             std::shared_ptr<AccessibilityHelperRuntime> runtime);

} // namespace bix::ax
