#include "Actions/ActionsTestSupport.h"
#include "Platform/MainRunLoop.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace bix::ax {
namespace {

using namespace std::chrono_literals;

// The helper's two threads: the chat application answers and notifications are delivered on a
// real main run loop, while this thread writes prompts, observes, polls, supersedes and drops
// observations as the server thread would. Run under ThreadSanitizer: no data race, and no
// notification reaches an observation that was already removed and freed.
TEST(ResponseObserverThreads, NotificationsOnTheLoopWhileCommandsRun) {
    MainRunLoop loop;
    std::thread loopThread([&] { loop.run(); });
    int completed = 0;
    {
        auto backend = SimulatedDesktopBackend::demo();
        backend->desktop().setScheduler(&loop);
        auto discovery = std::make_shared<AppDiscovery>(backend, systemClock());
        auto targets = std::make_shared<BoundTargetStore>(backend, discovery, systemClock());
        auto reader =
            std::make_shared<AccessibilityTreeReader>(backend, 2048, 24, 1.5, systemClock());
        auto resolutions =
            ProfileResolutionStore::create(targets, reader, std::make_shared<ElementMatcher>());
        ActionExecutor actions(backend, resolutions);
        ResponseObserver observer(backend, resolutions, systemClock());

        const auto candidates = discovery->listCandidates();
        std::string candidateId;
        for (const auto& candidate : candidates) {
            if (candidate.bundleId == actions_test::kChatBundle) {
                candidateId = candidate.candidateId;
            }
        }
        const auto offered =
            targets->bind(candidateId, actions_test::kChatBundle, actions_test::kHash, {});
        const std::string bindingId =
            targets
                ->bind(candidateId, actions_test::kChatBundle, actions_test::kHash,
                       offered.windows().at(0).windowCandidateId)
                .summary()
                .bindingId;
        const std::string resolutionId =
            resolutions->resolve(bindingId, actions_test::demoProfile()).resolutionId;

        for (int turn = 0; turn < 3; ++turn) {
            actions.setComposerText(bindingId, resolutionId, "Question " + std::to_string(turn));
            actions.pressSubmit(bindingId, resolutionId);
            // Churn: observations replaced and dropped while the answer's notifications arrive.
            for (int churn = 0; churn < 5; ++churn) {
                observer.observe(bindingId, resolutionId, "churn", 500, 5000);
                std::this_thread::sleep_for(5ms);
            }
            observer.remove(bindingId);
            const auto started = observer.observe(bindingId, resolutionId, "turn", 500, 20'000);
            for (int poll = 0; poll < 400; ++poll) {
                const auto latest =
                    observer.latest(started.observationId, bindingId, resolutionId, "turn");
                if (latest.status == "complete") {
                    ++completed;
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
        }
        observer.shutdown();
        backend->desktop().setScheduler(nullptr);
    }
    loop.stop();
    loopThread.join();
    EXPECT_EQ(completed, 3);
}

} // namespace
} // namespace bix::ax
