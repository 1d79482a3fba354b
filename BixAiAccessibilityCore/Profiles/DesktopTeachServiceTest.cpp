#include "Profiles/DesktopTeachService.h"

#include "Binding/AppDiscovery.h"
#include "Binding/BoundTargetStore.h"
#include "Profiles/DesktopAccessibilityProfile.h"
#include "Profiles/ElementMatcher.h"
#include "Profiles/ProfileResolutionStore.h"
#include "Profiles/ProfilesTestSupport.h"
#include "Protocol/CanonicalJSONEncoder.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace bix::ax {
namespace {

using profiles_test::treeFromLayout;
using ::testing::ElementsAre;

std::string canonical(const JSONValue& value) {
    return encodeCanonicalJSON(value);
}

std::vector<std::string> capabilityList(const TeachCandidate& candidate) {
    return {candidate.capabilities.begin(), candidate.capabilities.end()};
}

TEST(TeachCandidates, CapabilitiesFollowRoleSettabilityAndActions) {
    const auto laid = treeFromLayout(R"(AXWindow #main press
  AXTextArea @area settable
  AXTextArea @fixed
  AXTextField @field settable
  AXButton @button press
  AXButton @inert
  AXCheckBox @check press
  AXStaticText @text
  AXGroup @group
  AXImage @image settable press)");
    std::vector<std::pair<std::string, std::vector<std::string>>> found;
    for (const auto& candidate : DesktopTeachService::teachCandidates(laid.tree)) {
        for (const auto& [key, handle] : laid.keys) {
            if (laid.tree.nodes.at(handle).snapshot.semanticFingerprint() ==
                    candidate.semanticFingerprint &&
                laid.tree.nodes.at(handle).depth == candidate.depth) {
                found.emplace_back(key, capabilityList(candidate));
            }
        }
    }
    // The window itself, the inert button, the check box and the image are no candidates.
    using Found = std::pair<std::string, std::vector<std::string>>;
    EXPECT_THAT(found, ElementsAre(Found{"area", {"read-response", "write"}},
                                   Found{"fixed", {"read-response"}}, Found{"field", {"write"}},
                                   Found{"button", {"press"}}, Found{"text", {"read-response"}},
                                   Found{"group", {"read-response"}}));
}

TEST(TeachCandidates, AtMostSixtyFourInReadingOrder) {
    std::string layout = "AXWindow #main\n";
    for (int index = 0; index < 100; ++index) {
        layout += "  AXButton #b" + std::to_string(index) + " press\n";
    }
    const auto candidates = DesktopTeachService::teachCandidates(treeFromLayout(layout).tree);
    ASSERT_EQ(candidates.size(), kMaximumTeachCandidates);
    EXPECT_EQ(candidates.front().identifier, "b0");
    EXPECT_EQ(candidates.back().identifier, "b63");
}

// The proposals, and that each one, put into a locator set, finds its element again.
TEST(TeachLocators, ProposeTheMostSpecificSafeLocatorAndFindTheirElementAgain) {
    const auto laid = treeFromLayout(R"(AXWindow #main
  AXGroup #bar
    AXButton @attach press
    AXTextArea #composer settable
  AXGroup #tools
    AXButton #auth-token-button press
    AXButton/AXDefault #send press
  AXGroup
    AXGroup
      AXGroup
        AXGroup
          AXGroup
            AXGroup
              AXGroup
                AXGroup
                  AXGroup
                    AXButton @deep press)");
    struct Expected {
        const char* key;
        const char* locator;
    };
    const std::vector<Expected> expected = {
        {"attach",
         R"({"ancestors":[{"identifier":"bar","role":"AXGroup"}],"confidence":"fallback","kind":"ax-path","targetRole":"AXButton"})"},
        {"send",
         R"({"confidence":"probable","identifier":"send","kind":"ax-attributes","role":"AXButton","subrole":"AXDefault"})"},
        // An identifier that looks like a credential is never shown: its parent names it.
        {"auth-token-button",
         R"({"ancestors":[{"identifier":"tools","role":"AXGroup"}],"confidence":"fallback","kind":"ax-path","targetRole":"AXButton"})"},
        // Ten levels below the window: the eight nearest ancestors, none identified.
        {"deep",
         R"({"ancestors":[{"role":"AXGroup"},{"role":"AXGroup"},{"role":"AXGroup"},{"role":"AXGroup"},{"role":"AXGroup"},{"role":"AXGroup"},{"role":"AXGroup"},{"role":"AXGroup"}],"confidence":"fallback","kind":"ax-path","targetRole":"AXButton"})"},
    };
    for (const auto& [key, locator] : expected) {
        const auto& node = laid.tree.nodes.at(laid.handle(key));
        EXPECT_EQ(canonical(DesktopTeachService::semanticLocator(node.snapshot, laid.handle(key),
                                                                 laid.tree)),
                  locator)
            << key;
    }

    // Safe proposals come back to their element; the deep one lacks stable identity by design.
    ElementMatcher matcher;
    for (const char* key : {"attach", "send"}) {
        const auto& node = laid.tree.nodes.at(laid.handle(key));
        const auto candidate = AXLocatorCandidate::parse(
            DesktopTeachService::semanticLocator(node.snapshot, laid.handle(key), laid.tree));
        EXPECT_EQ(matcher.resolve(AXLocatorSet{{candidate}}, laid.tree), laid.handle(key)) << key;
    }
    const auto deep = DesktopTeachService::semanticLocator(
        laid.tree.nodes.at(laid.handle("deep")).snapshot, laid.handle("deep"), laid.tree);
    EXPECT_THAT(
        [&] { AXLocatorCandidate::parse(deep); },
        FailsWith(HelperErrorCode::invalidRequest, "Accessibility path lacks stable identity."));

    // Without any identified ancestor the element fingerprint is all that is left.
    const auto bare = treeFromLayout("AXWindow\n  AXButton @lone press");
    EXPECT_EQ(
        canonical(DesktopTeachService::semanticLocator(
            bare.tree.nodes.at(bare.handle("lone")).snapshot, bare.handle("lone"), bare.tree)),
        R"({"confidence":"fallback","fingerprint":")" +
            bare.tree.nodes.at(bare.handle("lone")).snapshot.semanticFingerprint() +
            R"(","kind":"element-fingerprint"})");
}

class TeachInspection : public ::testing::Test {
protected:
    TeachInspection() {
        const auto candidates = discovery_->listCandidates();
        const auto offered =
            targets_->bind(candidates.at(0).candidateId, profiles_test::kBundle, hash_, {});
        bindingId_ = targets_
                         ->bind(candidates.at(0).candidateId, profiles_test::kBundle, hash_,
                                offered.windows().at(0).windowCandidateId)
                         .summary()
                         .bindingId;
    }

    profiles_test::SimulatedLayoutDesktop desk_{R"(AXWindow #main title=Secret
  AXGroup #bar desc="Private notes"
    AXTextArea #composer settable value="my password is hunter2"
    AXButton #send title=Send press)"};
    std::string hash_ = std::string(64, 'c');
    std::shared_ptr<AppDiscovery> discovery_ =
        std::make_shared<AppDiscovery>(desk_.backend, desk_.clock.clock());
    std::shared_ptr<BoundTargetStore> targets_ =
        std::make_shared<BoundTargetStore>(desk_.backend, discovery_, desk_.clock.clock());
    std::shared_ptr<AccessibilityTreeReader> reader_ = std::make_shared<AccessibilityTreeReader>(
        desk_.backend, 2048, 24, 1.5, desk_.clock.clock());
    DesktopTeachService teach_{desk_.backend, targets_, reader_};
    std::string bindingId_;
};

std::vector<std::string> keysOf(const JSONObject& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object) {
        keys.push_back(key);
    }
    return keys;
}

TEST_F(TeachInspection, HealthReportsTheBindingAndTheWindowStateOnly) {
    desk_.desktop().setFrontmostApplication(profiles_test::kAppPid);
    auto health = teach_.inspect(bindingId_, false);
    EXPECT_THAT(keysOf(health), ElementsAre("automaticOperation", "bindingId", "bundleId",
                                            "displayName", "nodeCount", "profileHash", "status",
                                            "windowFingerprint", "windowState"));
    EXPECT_EQ(health.at("nodeCount"), JSONValue(4));
    EXPECT_EQ(health.at("windowState"), JSONValue("foreground"));
    EXPECT_EQ(health.at("automaticOperation"), JSONValue("requires-live-probe"));

    struct State {
        std::optional<std::int32_t> frontmost;
        bool minimized;
        const char* windowState;
        const char* automaticOperation;
    };
    for (const auto& state :
         {State{999, false, "background", "requires-live-probe"},
          State{std::nullopt, false, "unknown", "unknown"},
          State{std::nullopt, true, "minimized", "unavailable-while-minimized"}}) {
        desk_.desktop().setFrontmostApplication(state.frontmost);
        desk_.desktop().setMinimized(desk_.desktop().windowsOf(profiles_test::kAppPid).at(0),
                                     state.minimized);
        health = teach_.inspect(bindingId_, false);
        EXPECT_EQ(health.at("windowState"), JSONValue(state.windowState));
        EXPECT_EQ(health.at("automaticOperation"), JSONValue(state.automaticOperation));
    }
}

TEST_F(TeachInspection, TeachingShowsNoTextAndRepeatsItselfButForCandidateIds) {
    const auto first = teach_.inspect(bindingId_, true);
    const auto second = teach_.inspect(bindingId_, true);
    const std::string text = canonical(first);
    for (const char* visible : {"Secret", "Private notes", "hunter2", "Send"}) {
        EXPECT_EQ(text.find(visible), std::string::npos) << visible;
    }
    EXPECT_EQ(first.at("teachPolicy"), JSONValue(JSONObject{{"coordinatesIncluded", false},
                                                            {"executionUsesCoordinates", false},
                                                            {"fullTreeIncluded", false},
                                                            {"valuesIncluded", false}}));
    EXPECT_EQ(first.at("structureFingerprint"), JSONValue(structureFingerprint(desk_.read())));

    const auto& a = *first.at("teachCandidates").arrayValue();
    const auto& b = *second.at("teachCandidates").arrayValue();
    ASSERT_EQ(a.size(), 3u); // bar, composer, send
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t index = 0; index < a.size(); ++index) {
        auto withoutId = [](JSONObject object) {
            object.erase("candidateId");
            return object;
        };
        EXPECT_NE(a[index].objectValue()->at("candidateId"),
                  b[index].objectValue()->at("candidateId"));
        EXPECT_EQ(withoutId(*a[index].objectValue()), withoutId(*b[index].objectValue()));
    }
    EXPECT_THAT(*a[1].objectValue()->at("capabilities").arrayValue(),
                ElementsAre(JSONValue("read-response"), JSONValue("write")));
    EXPECT_THAT(keysOf(*a[2].objectValue()),
                ElementsAre("candidateId", "capabilities", "depth", "identifier", "locator", "role",
                            "semanticFingerprint"));
}

} // namespace
} // namespace bix::ax
