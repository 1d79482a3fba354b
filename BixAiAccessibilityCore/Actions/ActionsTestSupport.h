#pragma once

// Fixtures shared by the action and observation tests: the demo desktop's chat application, bound
// and resolved as the runtime would do it, with a manual clock driving both the services and the
// application's scripted behaviour.

#include "Actions/ActionExecutor.h"
#include "Actions/ResponseObserver.h"
#include "Binding/AppDiscovery.h"
#include "Binding/BoundTargetStore.h"
#include "Platform/Clock.h"
#include "Platform/MainRunLoop.h"
#include "Profiles/ElementMatcher.h"
#include "Profiles/ProfileResolutionStore.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <chrono>
#include <memory>
#include <string>

namespace bix::ax::actions_test {

inline constexpr std::int32_t kChatPid = 4242;
inline const std::string kChatBundle = "com.example.aichat";
inline const std::string kHash(64, 'd');

inline AXLocatorSet byIdentifier(const std::string& role, const std::string& identifier) {
    return AXLocatorSet{{AXLocatorCandidate{AXLocatorCandidate::Attributes{
        LocatorConfidence::verified, role, std::nullopt, identifier, {}, {}}}}};
}

// The demo chat window's controls, named by identifier.
inline DesktopAccessibilityProfile demoProfile() {
    DesktopAccessibilityProfile profile;
    profile.profileId = "com.example.aichat.test";
    profile.profileVersion = 1;
    profile.profileHash = kHash;
    profile.bundleIds = {kChatBundle};
    profile.input = byIdentifier("AXTextArea", "composer");
    profile.submit = byIdentifier("AXButton", "send-button");
    profile.assistantMessage = byIdentifier("AXStaticText", "assistant-message");
    profile.stopGeneration = byIdentifier("AXButton", "stop-button");
    profile.newConversation = byIdentifier("AXButton", "new-chat-button");
    return profile;
}

class ChatFixture {
public:
    explicit ChatFixture(
        std::shared_ptr<SimulatedDesktopBackend> chat = SimulatedDesktopBackend::demo())
        : backend(std::move(chat)) {
        desktop().setScheduler(&scheduler);
        const auto candidates = discovery->listCandidates();
        std::string candidateId;
        for (const auto& candidate : candidates) {
            if (candidate.bundleId == kChatBundle) {
                candidateId = candidate.candidateId;
            }
        }
        const auto offered = targets->bind(candidateId, kChatBundle, kHash, {});
        bindingId =
            targets
                ->bind(candidateId, kChatBundle, kHash, offered.windows().at(0).windowCandidateId)
                .summary()
                .bindingId;
        resolutionId = resolutions->resolve(bindingId, demoProfile()).resolutionId;
    }
    ~ChatFixture() { desktop().setScheduler(nullptr); }
    ChatFixture(const ChatFixture&) = delete;
    ChatFixture& operator=(const ChatFixture&) = delete;

    SimulatedDesktop& desktop() { return backend->desktop(); }
    SimulatedElementId id(const std::string& key) { return *desktop().elementByKey(key); }
    // Moves time on and runs whatever the application and the notifications scheduled.
    void advance(std::chrono::milliseconds by) {
        clock.advance(by);
        scheduler.runReady();
    }
    void typeIntoComposer(const std::string& text) {
        desktop().setAttribute(id("composer"), "AXValue", text);
        desktop().postNotification(id("composer"), "AXValueChanged");
    }

    ManualClock clock;
    ManualTaskScheduler scheduler{clock.clock()};
    std::shared_ptr<SimulatedDesktopBackend> backend;
    std::shared_ptr<AppDiscovery> discovery =
        std::make_shared<AppDiscovery>(backend, clock.clock());
    std::shared_ptr<BoundTargetStore> targets =
        std::make_shared<BoundTargetStore>(backend, discovery, clock.clock());
    std::shared_ptr<AccessibilityTreeReader> reader = std::make_shared<AccessibilityTreeReader>(
        backend, kAccessibilityTreeMaximumNodes, kAccessibilityTreeMaximumDepth,
        kAccessibilityTreeMaximumDuration, clock.clock());
    std::shared_ptr<ProfileResolutionStore> resolutions =
        ProfileResolutionStore::create(targets, reader, std::make_shared<ElementMatcher>());
    // Each poll of pressSubmit waits on the manual clock, so the application runs in between.
    int sleeps = 0;
    std::function<void()> duringSleep;
    ActionExecutor actions{backend, resolutions, [this](std::chrono::milliseconds duration) {
                               ++sleeps;
                               if (duringSleep) {
                                   duringSleep();
                               }
                               advance(duration);
                           }};
    ResponseObserver observer{backend, resolutions, clock.clock()};
    std::string bindingId;
    std::string resolutionId;
};

} // namespace bix::ax::actions_test
