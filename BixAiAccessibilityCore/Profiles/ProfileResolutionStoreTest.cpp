#include "Profiles/ProfileResolutionStore.h"

#include "Binding/AppDiscovery.h"
#include "Binding/BoundTargetStore.h"
#include "Profiles/ProfilesTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace bix::ax {
namespace {

using profiles_test::kBundle;
using profiles_test::SimulatedLayoutDesktop;

const std::string kProfileHash(64, 'a');
const std::string kTaughtHash(64, 'b');

constexpr const char* kChatLayout = R"(AXWindow #main
  AXGroup @transcript
    AXStaticText #assistant-message value=Hello
  AXGroup #bar
    AXTextArea #composer settable
    AXButton #send title=Send press
    AXButton #stop title=Stop press
  AXButton #new-chat press)";

AXLocatorSet byIdentifier(const std::string& role, const std::string& identifier) {
    return AXLocatorSet{{AXLocatorCandidate{AXLocatorCandidate::Attributes{
        LocatorConfidence::verified, role, std::nullopt, identifier, {}, {}}}}};
}

DesktopAccessibilityProfile chatProfile(const std::string& hash = kProfileHash) {
    DesktopAccessibilityProfile profile;
    profile.profileId = "com.example.chat.test";
    profile.profileVersion = 3;
    profile.profileHash = hash;
    profile.bundleIds = {kBundle, "com.example.other"};
    profile.input = byIdentifier("AXTextArea", "composer");
    profile.submit = byIdentifier("AXButton", "send");
    profile.assistantMessage = byIdentifier("AXStaticText", "assistant-message");
    profile.stopGeneration = byIdentifier("AXButton", "stop");
    profile.newConversation = byIdentifier("AXButton", "new-chat");
    return profile;
}

// A bound chat window and the store under test, wired as the runtime wires them.
class ResolutionStoreTest : public ::testing::Test {
protected:
    explicit ResolutionStoreTest(const char* layout = kChatLayout) : desk_(layout) {
        bindingId_ = bindWindow();
    }

    std::string bindWindow() {
        const auto candidates = discovery_->listCandidates();
        const auto offered =
            targets_->bind(candidates.at(0).candidateId, kBundle, kProfileHash, {});
        return targets_
            ->bind(candidates.at(0).candidateId, kBundle, kProfileHash,
                   offered.windows().at(0).windowCandidateId)
            .summary()
            .bindingId;
    }
    SimulatedElementId id(const std::string& key) { return *desk_.desktop().elementByKey(key); }

    SimulatedLayoutDesktop desk_;
    std::shared_ptr<AppDiscovery> discovery_ =
        std::make_shared<AppDiscovery>(desk_.backend, desk_.clock.clock());
    std::shared_ptr<BoundTargetStore> targets_ =
        std::make_shared<BoundTargetStore>(desk_.backend, discovery_, desk_.clock.clock());
    std::shared_ptr<AccessibilityTreeReader> reader_ = std::make_shared<AccessibilityTreeReader>(
        desk_.backend, kAccessibilityTreeMaximumNodes, kAccessibilityTreeMaximumDepth,
        kAccessibilityTreeMaximumDuration, desk_.clock.clock());
    std::shared_ptr<ProfileResolutionStore> store_ =
        ProfileResolutionStore::create(targets_, reader_, std::make_shared<ElementMatcher>());
    std::string bindingId_;
};

TEST_F(ResolutionStoreTest, ResolvesEveryControlToItsLiveElement) {
    const auto resolution = store_->resolve(bindingId_, chatProfile());
    EXPECT_THAT(resolution.resolutionId, ::testing::MatchesRegex("profile_[0-9A-F]{32}"));
    EXPECT_EQ(resolution.input, desk_.handle("composer"));
    EXPECT_EQ(resolution.submit, desk_.handle("send"));
    EXPECT_EQ(resolution.initialAssistantMessage, desk_.handle("assistant-message"));
    EXPECT_EQ(resolution.stopGeneration, desk_.handle("stop"));
    EXPECT_EQ(resolution.newConversation, desk_.handle("new-chat"));
    EXPECT_EQ(resolution.structureFingerprint, structureFingerprint(desk_.read()));
    // Revalidation for every action re-finds the very same elements.
    for (auto action : {ResolvedProfileAction::composer, ResolvedProfileAction::submit,
                        ResolvedProfileAction::stop, ResolvedProfileAction::newConversation}) {
        EXPECT_EQ(store_->validatedForAction(resolution.resolutionId, bindingId_, action).first,
                  resolution);
    }
}

TEST_F(ResolutionStoreTest, AProfileForAnotherTargetIsRefusedBeforeTheWindowIsRead) {
    // A window whose tree cannot be read: only a check made before reading can answer.
    desk_.desktop().injectError(id("transcript"), AXOperation::copyAttribute, ax::kCannotComplete);
    EXPECT_THAT([&] { store_->resolve(bindingId_, chatProfile()); },
                ::testing::Not(FailsWith(HelperErrorCode::profileMismatch,
                                         "Profile does not match the bound target.")));
    auto otherHash = chatProfile(kTaughtHash);
    auto otherBundle = chatProfile();
    otherBundle.bundleIds = {"com.example.other"};
    for (const auto& profile : {otherHash, otherBundle}) {
        EXPECT_THAT([&] { store_->resolve(bindingId_, profile); },
                    FailsWith(HelperErrorCode::profileMismatch,
                              "Profile does not match the bound target."));
    }
}

TEST_F(ResolutionStoreTest, OptionalControlsNotOnScreenAreAbsentButAmbiguityFails) {
    desk_.desktop().removeElement(id("stop"));
    desk_.desktop().removeElement(id("assistant-message"));
    auto profile = chatProfile();
    profile.newConversation.reset();
    const auto resolution = store_->resolve(bindingId_, profile);
    EXPECT_FALSE(resolution.stopGeneration);
    EXPECT_FALSE(resolution.initialAssistantMessage);
    EXPECT_FALSE(resolution.newConversation);
    EXPECT_THAT(
        [&] {
            store_->validatedForAction(resolution.resolutionId, bindingId_,
                                       ResolvedProfileAction::stop);
        },
        FailsWith(HelperErrorCode::profileMismatch,
                  "The resolved stop control changed. Reconnect before retrying."));

    // Two assistant messages: the optional-looking control is ambiguous, and that fails.
    desk_.desktop().addChild(id("transcript"),
                             SimulatedElementSpec::withRole("AXStaticText")
                                 .set("AXIdentifier", std::string("assistant-message")));
    desk_.desktop().addChild(id("transcript"),
                             SimulatedElementSpec::withRole("AXStaticText")
                                 .set("AXIdentifier", std::string("assistant-message")));
    EXPECT_THAT([&] { store_->resolve(bindingId_, profile); },
                FailsWith(HelperErrorCode::locatorAmbiguous,
                          "Accessibility locator matched multiple elements."));
    // The failed resolve left the earlier resolution in place.
    EXPECT_NO_THROW(store_->validated(resolution.resolutionId, bindingId_));
}

TEST_F(ResolutionStoreTest, OneResolutionPerBindingLatestWinsAndDroppedWithTheBinding) {
    const auto first = store_->resolve(bindingId_, chatProfile());
    const auto second = store_->resolve(bindingId_, chatProfile());
    EXPECT_EQ(store_->resolutionCount(), 1u);
    const auto unknown = [&](const std::string& resolutionId, const std::string& bindingId) {
        return [=, this] { store_->validated(resolutionId, bindingId); };
    };
    const auto isUnknown =
        FailsWith(HelperErrorCode::profileMismatch, "Profile resolution is unknown.");
    EXPECT_THAT(unknown(first.resolutionId, bindingId_), isUnknown);
    EXPECT_THAT(unknown(second.resolutionId, "binding_OTHER"), isUnknown);
    EXPECT_NO_THROW(store_->validated(second.resolutionId, bindingId_));

    targets_->unbind(bindingId_);
    EXPECT_EQ(store_->resolutionCount(), 0u);
    bindingId_ = bindWindow();
    EXPECT_THAT(unknown(second.resolutionId, bindingId_), isUnknown);
}

struct ChangedControl {
    const char* name;
    void (*change)(SimulatedDesktop& desktop,
                   const std::function<SimulatedElementId(const char*)>& id);
    ResolvedProfileAction action;
    HelperErrorCode code;
    const char* message;
};

class ActionRevalidation : public ResolutionStoreTest,
                           public ::testing::WithParamInterface<ChangedControl> {};

TEST_P(ActionRevalidation, RefusesAControlThatChangedSinceResolution) {
    const auto resolution = store_->resolve(bindingId_, chatProfile());
    GetParam().change(desk_.desktop(), [this](const char* key) { return id(key); });
    EXPECT_THAT(
        [&] { store_->validatedForAction(resolution.resolutionId, bindingId_, GetParam().action); },
        FailsWith(GetParam().code, GetParam().message));
}

constexpr const char* kComposerChanged =
    "The resolved composer or submit control changed. Reconnect before retrying.";

INSTANTIATE_TEST_SUITE_P(
    Changes, ActionRevalidation,
    ::testing::Values(
        ChangedControl{
            "ComposerRecreated", [](auto& d, auto& id) { d.replaceElement(id("composer")); },
            ResolvedProfileAction::composer, HelperErrorCode::profileMismatch, kComposerChanged},
        // Both controls are re-proved for either action.
        ChangedControl{
            "SubmitRecreatedBeforeWriting", [](auto& d, auto& id) { d.replaceElement(id("send")); },
            ResolvedProfileAction::composer, HelperErrorCode::profileMismatch, kComposerChanged},
        ChangedControl{"ComposerGoneBeforeSubmit",
                       [](auto& d, auto& id) { d.removeElement(id("composer")); },
                       ResolvedProfileAction::submit, HelperErrorCode::locatorNotFound,
                       "Accessibility locator did not match."},
        ChangedControl{"StopRecreated", [](auto& d, auto& id) { d.replaceElement(id("stop")); },
                       ResolvedProfileAction::stop, HelperErrorCode::profileMismatch,
                       "The resolved stop control changed. Reconnect before retrying."},
        ChangedControl{"SecondNewChatButton",
                       [](auto& d, auto& id) {
                           d.addChild(id("bar"), SimulatedElementSpec::withRole("AXButton")
                                                     .set("AXIdentifier", std::string("new-chat"))
                                                     .withActions({"AXPress"}));
                       },
                       ResolvedProfileAction::newConversation, HelperErrorCode::locatorAmbiguous,
                       "Accessibility locator matched multiple elements."}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ResolutionStoreTest, TeachingMovesTheBindingToTheNewProfileOnlyOnSuccess) {
    const auto old = store_->resolve(bindingId_, chatProfile());
    EXPECT_THAT([&] { store_->resolveTeach(bindingId_, kTaughtHash, chatProfile(kTaughtHash)); },
                FailsWith(HelperErrorCode::profileMismatch,
                          "Teach Profile does not match the bound target."));
    auto unmatched = chatProfile(kTaughtHash);
    unmatched.input = byIdentifier("AXTextArea", "no-such-composer");
    EXPECT_THAT(
        [&] { store_->resolveTeach(bindingId_, kProfileHash, unmatched); },
        FailsWith(HelperErrorCode::locatorNotFound, "Accessibility locator did not match."));
    EXPECT_EQ(targets_->validated(bindingId_).profileHash, kProfileHash);

    const auto taught = store_->resolveTeach(bindingId_, kProfileHash, chatProfile(kTaughtHash));
    EXPECT_EQ(targets_->validated(bindingId_).profileHash, kTaughtHash);
    EXPECT_THAT([&] { store_->validated(old.resolutionId, bindingId_); },
                FailsWith(HelperErrorCode::profileMismatch, "Profile resolution is unknown."));
    EXPECT_THAT(
        [&] { store_->resolve(bindingId_, chatProfile()); },
        FailsWith(HelperErrorCode::profileMismatch, "Profile does not match the bound target."));
    EXPECT_NO_THROW(store_->validated(taught.resolutionId, bindingId_));
}

TEST_F(ResolutionStoreTest, TheAssistantMessageIsTheOnlyValueRead) {
    const auto resolution = store_->resolve(bindingId_, chatProfile());
    const auto target = targets_->validated(bindingId_);
    const auto [handle, withValue] = store_->resolveAssistant(resolution, target, true);
    EXPECT_EQ(handle, desk_.handle("assistant-message"));
    EXPECT_EQ(withValue.value, "Hello");
    EXPECT_FALSE(store_->resolveAssistant(resolution, target, false).second.value);
}

TEST(StructureFingerprint, FollowsRolesSubrolesAndIdentifiersOnly) {
    const auto base = structureFingerprint(profiles_test::treeFromLayout(kChatLayout).tree);
    auto relabelled = profiles_test::treeFromLayout(kChatLayout);
    relabelled.node("send").snapshot.title = "Envoyer";
    relabelled.node("assistant-message").snapshot.value = "Another answer";
    EXPECT_EQ(structureFingerprint(relabelled.tree), base);

    const char* changed[] = {
        // a role, a subrole, an identifier, one element more
        "AXWindow #main\n  AXGroup\n  AXList #bar",
        "AXWindow #main\n  AXGroup/AXSplitter\n  AXGroup #bar",
        "AXWindow #main\n  AXGroup\n  AXGroup #bar2",
        "AXWindow #main\n  AXGroup\n  AXGroup #bar\n  AXGroup",
    };
    const auto small = structureFingerprint(
        profiles_test::treeFromLayout("AXWindow #main\n  AXGroup\n  AXGroup #bar").tree);
    for (const char* layout : changed) {
        EXPECT_NE(structureFingerprint(profiles_test::treeFromLayout(layout).tree), small)
            << layout;
    }
}

TEST(ResolutionStoreLifetime, AStoreGoneBeforeItsTargetStoreIsNeverCalled) {
    SimulatedLayoutDesktop desk(kChatLayout);
    auto discovery = std::make_shared<AppDiscovery>(desk.backend, desk.clock.clock());
    auto targets = std::make_shared<BoundTargetStore>(desk.backend, discovery, desk.clock.clock());
    auto reader =
        std::make_shared<AccessibilityTreeReader>(desk.backend, 2048, 24, 1.5, desk.clock.clock());
    auto store =
        ProfileResolutionStore::create(targets, reader, std::make_shared<ElementMatcher>());
    store.reset();
    const auto candidates = discovery->listCandidates();
    const auto offered = targets->bind(candidates.at(0).candidateId, kBundle, kProfileHash, {});
    const auto bound = targets->bind(candidates.at(0).candidateId, kBundle, kProfileHash,
                                     offered.windows().at(0).windowCandidateId);
    EXPECT_NO_THROW(targets->unbind(bound.summary().bindingId));
}

} // namespace
} // namespace bix::ax
