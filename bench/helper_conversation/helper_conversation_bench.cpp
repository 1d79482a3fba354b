// The helper's main job, timed against the simulated desktop with a manual clock, so scripted
// answer time costs nothing and only the helper's own work is measured:
// - resolveProfile and the revalidation before an action on a 2,048-element chat window
//   (targets: each under 5 ms);
// - a notification delivered on the run loop until the observer's state is updated (under 1 ms);
// - a whole turn: write, submit, observe and poll to "complete" (under 5 ms).

#include "Actions/ActionsTestSupport.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>
#include <string>

namespace {

using namespace bix::ax;
using namespace std::chrono_literals;

constexpr int kElements = 2048;

// A chat window of 2,048 elements: nested wrappers, a long transcript of unlabeled messages, the
// latest answer, and the controls the profile names.
std::shared_ptr<SimulatedDesktopBackend> makeLargeChat() {
    auto backend = SimulatedDesktopBackend::empty();
    SimulatedApplicationSpec app;
    app.pid = actions_test::kChatPid;
    app.bundleId = actions_test::kChatBundle;
    auto window = SimulatedElementSpec::withRole("AXWindow");
    window.set("AXIdentifier", std::string("chat")).set("AXMinimized", false);
    auto transcript = SimulatedElementSpec::withRole("AXGroup");
    transcript.set("AXIdentifier", std::string("transcript"));
    // window, wrapper, scroll area, transcript, composer bar and its 4 controls, 8 pages of
    // messages: the last page takes whatever is left of the 2,048.
    constexpr int kFixed = 9 + 8;
    for (int page = 0; page < 8; ++page) {
        auto group = SimulatedElementSpec::withRole("AXGroup");
        const int messages = page == 7 ? kElements - kFixed - 7 * 254 : 254;
        for (int message = 0; message < messages; ++message) {
            group.child(SimulatedElementSpec::withRole("AXStaticText")
                            .set("AXValue", std::string("An earlier message")));
        }
        transcript.child(group);
    }
    transcript.children.back().children.back().set("AXIdentifier",
                                                   std::string("assistant-message"));
    auto bar = SimulatedElementSpec::withRole("AXGroup");
    bar.set("AXIdentifier", std::string("composer-bar"));
    bar.child(SimulatedElementSpec::withRole("AXTextArea")
                  .set("AXIdentifier", std::string("composer"))
                  .set("AXValue", std::string(""))
                  .settable("AXValue"));
    for (const char* button : {"send-button", "stop-button", "new-chat-button"}) {
        bar.child(SimulatedElementSpec::withRole("AXButton")
                      .set("AXIdentifier", std::string(button))
                      .withActions({"AXPress"}));
    }
    auto scroll = SimulatedElementSpec::withRole("AXScrollArea");
    scroll.child(transcript);
    auto wrapper = SimulatedElementSpec::withRole("AXGroup");
    wrapper.child(scroll);
    wrapper.child(bar);
    window.child(wrapper);
    app.windows.push_back(window);
    backend->desktop().addApplication(app);
    return backend;
}

// The shipped profile's shape: identifiers first, path and relationship candidates behind them.
DesktopAccessibilityProfile largeProfile() {
    auto profile = actions_test::demoProfile();
    profile.input.candidates.push_back(AXLocatorCandidate{AXLocatorCandidate::Path{
        LocatorConfidence::probable, {{"AXGroup", "composer-bar"}}, "AXTextArea", std::nullopt}});
    profile.assistantMessage.candidates.push_back(AXLocatorCandidate{
        AXLocatorCandidate::Path{LocatorConfidence::verified,
                                 {{"AXGroup", "transcript"}, {"AXGroup", std::nullopt}},
                                 "AXStaticText",
                                 "assistant-message"}});
    return profile;
}

void BM_ResolveProfile2048(benchmark::State& state) {
    actions_test::ChatFixture chat(makeLargeChat());
    const auto profile = largeProfile();
    if (chat.reader->read(chat.targets->validated(chat.bindingId).windowTarget(), {})
            .nodes.size() != kElements) {
        state.SkipWithError("the window is not 2,048 elements");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(chat.resolutions->resolve(chat.bindingId, profile));
    }
}
BENCHMARK(BM_ResolveProfile2048)->Unit(benchmark::kMillisecond);

void BM_RevalidateBeforeAction2048(benchmark::State& state) {
    actions_test::ChatFixture chat(makeLargeChat());
    const auto resolution = chat.resolutions->resolve(chat.bindingId, largeProfile());
    for (auto _ : state) {
        benchmark::DoNotOptimize(chat.resolutions->validatedForAction(
            resolution.resolutionId, chat.bindingId, ResolvedProfileAction::composer));
    }
}
BENCHMARK(BM_RevalidateBeforeAction2048)->Unit(benchmark::kMillisecond);

// A composer notification runs the observer's handler on the loop: it marks the observation
// dirty and re-reads the composer to judge interference.
void BM_NotificationToObserverState(benchmark::State& state) {
    actions_test::ChatFixture chat;
    chat.observer.observe(chat.bindingId, chat.resolutionId, "turn", 500, 600'000);
    const auto composer = chat.id("composer");
    if (chat.desktop().notificationRegistrationCount() == 0) {
        state.SkipWithError("the observation registered no notification");
        return;
    }
    for (auto _ : state) {
        chat.desktop().postNotification(composer, "AXValueChanged");
        chat.scheduler.runReady();
    }
}
BENCHMARK(BM_NotificationToObserverState)->Unit(benchmark::kMicrosecond);

// Write, submit, observe and poll until complete; the answer streams on the manual clock.
void BM_WholeTurn(benchmark::State& state) {
    actions_test::ChatFixture chat;
    int turn = 0;
    for (auto _ : state) {
        const std::string token = "turn-" + std::to_string(++turn);
        chat.actions.setComposerText(chat.bindingId, chat.resolutionId, "What is 2+2?");
        chat.actions.pressSubmit(chat.bindingId, chat.resolutionId);
        const auto started =
            chat.observer.observe(chat.bindingId, chat.resolutionId, token, 500, 600'000);
        std::string status;
        while (status != "complete") {
            chat.advance(250ms);
            status = chat.observer
                         .latest(started.observationId, chat.bindingId, chat.resolutionId, token)
                         .status;
        }
        state.PauseTiming();
        chat.actions.pressNewConversation(chat.bindingId, chat.resolutionId);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_WholeTurn)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
