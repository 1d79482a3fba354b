#include "Profiles/ElementMatcher.h"

#include "Profiles/ProfilesTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <variant>
#include <vector>

namespace bix::ax {
namespace {

using namespace profiles_test;
using Candidate = AXLocatorCandidate;
using Code = HelperErrorCode;
using Confidence = LocatorConfidence;
using Keys = std::set<std::string>;

const char kAmbiguous[] = "Accessibility locator matched multiple elements.";
const char kNotFound[] = "Accessibility locator did not match.";

// A chat window: a sidebar, a transcript of two messages, the composer and two buttons.
constexpr std::string_view kChatWindow = R"(
AXWindow #main
  AXGroup #sidebar
    AXButton #new title="New chat" press
  AXGroup #chat
    AXScrollArea @scroll
      AXGroup @transcript
        AXStaticText #message @first title=Hello
        AXStaticText #message @second title=World
    AXTextArea #composer desc=Message settable
    AXButton #send title=Send desc=Submit press
    AXButton/AXCloseButton #stop title=Stop press
)";

Candidate attributes(Confidence confidence, std::string role, Keys titles = {},
                     std::optional<std::string> identifier = std::nullopt,
                     std::optional<std::string> subrole = std::nullopt, Keys descriptions = {}) {
    return {Candidate::Attributes{confidence, std::move(role), std::move(subrole),
                                  std::move(identifier), std::move(titles),
                                  std::move(descriptions)}};
}

Candidate identified(Confidence confidence, std::string role, std::string identifier) {
    return attributes(confidence, std::move(role), {}, std::move(identifier));
}

Candidate path(std::vector<AXPathNode> ancestors, std::string role,
               std::optional<std::string> identifier = std::nullopt) {
    return {Candidate::Path{Confidence::verified, std::move(ancestors), std::move(role),
                            std::move(identifier)}};
}

Candidate related(Candidate::Relationship relationship, std::string anchorFingerprint,
                  std::string role, std::optional<std::string> identifier = std::nullopt) {
    return {Candidate::Related{Confidence::verified, relationship, std::move(anchorFingerprint),
                               std::move(role), std::move(identifier)}};
}

Candidate fingerprint(Confidence confidence, std::string value) {
    return {Candidate::Fingerprint{confidence, std::move(value)}};
}

std::string fingerprintOf(const LaidOutTree& laidOut, const std::string& key) {
    return laidOut.tree.nodes.at(laidOut.handle(key)).snapshot.semanticFingerprint();
}

// The keys of the handles a candidate matches, so expectations read as names.
Keys matchedKeys(const LaidOutTree& laidOut, const Candidate& candidate) {
    Keys keys;
    for (const AXElementHandle& handle : ElementMatcher().matches(candidate, laidOut.tree)) {
        const auto named = std::find_if(laidOut.keys.begin(), laidOut.keys.end(),
                                        [&](const auto& entry) { return entry.second == handle; });
        keys.insert(named == laidOut.keys.end() ? handle.token : named->first);
    }
    return keys;
}

struct SetCase {
    std::string name;
    std::vector<Candidate> candidates;
    std::string expectedKey; // empty: fails
    Code code = Code::locatorNotFound;
};

TEST(ElementMatcher, TriesLevelsInOrderAndPoolsCandidatesOfOneLevel) {
    const LaidOutTree chat = treeFromLayout(kChatWindow);
    const Candidate none = identified(Confidence::verified, "AXButton", "missing");
    const std::vector<SetCase> rows = {
        {"lower level used when the verified one finds nothing",
         {none, identified(Confidence::fallback, "AXButton", "send")},
         "send"},
        {"ambiguous level stops the search",
         {identified(Confidence::verified, "AXStaticText", "message"),
          identified(Confidence::probable, "AXButton", "send")},
         "",
         Code::locatorAmbiguous},
        {"agreeing candidates of one level",
         {identified(Confidence::verified, "AXButton", "send"),
          attributes(Confidence::verified, "AXButton", {"Send"})},
         "send"},
        {"disagreeing candidates of one level",
         {identified(Confidence::probable, "AXButton", "send"),
          identified(Confidence::probable, "AXButton", "stop"),
          identified(Confidence::fallback, "AXTextArea", "composer")},
         "",
         Code::locatorAmbiguous},
        {"higher level wins over a lower one",
         {identified(Confidence::fallback, "AXButton", "stop"),
          identified(Confidence::probable, "AXButton", "send")},
         "send"},
        {"nothing anywhere",
         {none, identified(Confidence::fallback, "AXTextArea", "send")},
         "",
         Code::locatorNotFound},
    };
    const ElementMatcher matcher;
    for (const SetCase& row : rows) {
        SCOPED_TRACE(row.name);
        AXLocatorSet set{row.candidates};
        for (int pass = 0; pass < 2; ++pass) { // the order inside a set never matters
            if (row.expectedKey.empty()) {
                EXPECT_THAT([&] { matcher.resolve(set, chat.tree); },
                            FailsWith(row.code,
                                      row.code == Code::locatorAmbiguous ? kAmbiguous : kNotFound));
            } else {
                EXPECT_EQ(matcher.resolve(set, chat.tree), chat.handle(row.expectedKey));
            }
            std::reverse(set.candidates.begin(), set.candidates.end());
        }
    }
}

TEST(ElementMatcher, AttributeCandidatesNeedEveryGivenAttributeExactly) {
    const LaidOutTree chat = treeFromLayout(kChatWindow);
    const Confidence v = Confidence::verified;
    const std::vector<std::pair<Candidate, Keys>> rows = {
        {attributes(v, "AXButton", {"Send", "Stop"}), {"send", "stop"}},
        {attributes(v, "AXButton", {"Sen"}), {}},
        {attributes(v, "AXButton", {"send"}), {}},
        {attributes(v, "AXButton", {"Send "}), {}},
        {attributes(v, "AXButton", {"Send"}, std::nullopt, "AXCloseButton"), {}},
        {attributes(v, "AXButton", {}, std::nullopt, "AXCloseButton"), {"stop"}},
        {attributes(v, "AXGroup", {"Hello"}), {}}, // groups have no title
        {attributes(v, "AXButton", {}, std::nullopt, std::nullopt, {"Submit"}), {"send"}},
        {attributes(v, "AXTextArea", {"Message"}), {}}, // a description is not a title
        {identified(v, "AXStaticText", "message"), {"first", "second"}},
        {attributes(v, "AXStaticText", {"World"}, "message"), {"second"}},
        {identified(v, "AXButton", "composer"), {}},
    };
    for (const auto& [candidate, expected] : rows) {
        EXPECT_EQ(matchedKeys(chat, candidate), expected);
    }
}

TEST(ElementMatcher, ComparesTextUnderCanonicalEquivalence) {
    const std::string precomposed = "Caf\xC3\xA9"; // U+00E9
    const std::string decomposed = "Cafe\xCC\x81"; // e + U+0301
    LaidOutTree tree = treeFromLayout(R"(
AXWindow #main
  AXGroup @menu
    AXButton @cafe press
    AXButton @other title=Cafe press
)");
    // Snapshot text comes from the application as it is, not necessarily in NFC.
    AXNodeSnapshot& button = tree.node("cafe").snapshot;
    button.title = decomposed;
    button.identifier = decomposed;
    tree.node("menu").snapshot.identifier = decomposed;
    const Confidence v = Confidence::verified;
    EXPECT_EQ(matchedKeys(tree, attributes(v, "AXButton", {precomposed})), Keys{"cafe"});
    EXPECT_EQ(matchedKeys(tree, attributes(v, "AXButton", {decomposed})), Keys{"cafe"});
    EXPECT_EQ(matchedKeys(tree, identified(v, "AXButton", precomposed)), Keys{"cafe"});
    EXPECT_EQ(matchedKeys(tree, path({{"AXGroup", precomposed}}, "AXButton")),
              (Keys{"cafe", "other"}));

    button.title = precomposed;
    EXPECT_EQ(matchedKeys(tree, attributes(v, "AXButton", {decomposed, "Tea"})), Keys{"cafe"});
}

TEST(ElementMatcher, PathCandidatesCompareOnlyTheNearestAncestors) {
    const LaidOutTree chat = treeFromLayout(kChatWindow);
    const AXPathNode window{"AXWindow", "main"}, chatGroup{"AXGroup", "chat"},
        scroll{"AXScrollArea", std::nullopt}, group{"AXGroup", std::nullopt};
    const std::vector<std::pair<Candidate, Keys>> rows = {
        {path({chatGroup}, "AXButton"), {"send", "stop"}},
        {path({window, chatGroup}, "AXButton", "send"), {"send"}},
        {path({group}, "AXButton"), {"new", "send", "stop"}},
        {path({scroll, group}, "AXStaticText"), {"first", "second"}},
        {path({window, scroll, group}, "AXStaticText"), {}}, // skips the chat group
        {path({{"AXGroup", "sidebar"}}, "AXButton"), {"new"}},
        {path({window}, "AXGroup", "chat"), {"chat"}},
        {path({window}, "AXWindow", "main"), {}},           // the root has no ancestor
        {path({group, window, chatGroup}, "AXButton"), {}}, // only two ancestors exist
        {path({window, chatGroup}, "AXButton", "new"), {}},
    };
    for (const auto& [candidate, expected] : rows) {
        EXPECT_EQ(matchedKeys(chat, candidate), expected);
    }
}

TEST(ElementMatcher, AncestorWalksStopAtTwentyFourStepsAndAtUnreadParents) {
    std::string layout;
    for (int depth = 0; depth <= 30; ++depth) {
        layout += std::string(depth * 2, ' ') + (depth == 0 ? "AXWindow #root" : "AXGroup") +
                  (depth == 30 ? " #leaf\n" : "\n");
    }
    LaidOutTree deep = treeFromLayout(layout);
    const std::vector<AXPathNode> groups(24, AXPathNode{"AXGroup", std::nullopt});
    std::vector<AXPathNode> tooMany = groups;
    tooMany.push_back({"AXGroup", std::nullopt});
    EXPECT_EQ(matchedKeys(deep, path(groups, "AXGroup", "leaf")), Keys{"leaf"});
    EXPECT_EQ(matchedKeys(deep, path(tooMany, "AXGroup", "leaf")), Keys{});

    // Anchored on the root, the leaf (30 levels down) is beyond the descendant walk.
    const Candidate belowRoot = related(Candidate::Relationship::descendantOf,
                                        fingerprintOf(deep, "root"), "AXGroup", "leaf");
    EXPECT_EQ(matchedKeys(deep, belowRoot), Keys{});

    // A parent missing from the tree ends the chain.
    deep.tree.nodes.erase(deep.tree.nodes.at(deep.handle("leaf")).parent.value());
    EXPECT_EQ(matchedKeys(deep, path({{"AXGroup", std::nullopt}}, "AXGroup", "leaf")), Keys{});
}

TEST(ElementMatcher, RelationshipCandidatesNeedOneAnchor) {
    LaidOutTree chat = treeFromLayout(kChatWindow);
    const std::string chatGroup = fingerprintOf(chat, "chat");
    const std::string composer = fingerprintOf(chat, "composer");
    const std::string message = fingerprintOf(chat, "first"); // shared by both messages
    using enum Candidate::Relationship;
    const std::vector<std::pair<Candidate, Keys>> rows = {
        {related(descendantOf, chatGroup, "AXButton"), {"send", "stop"}},
        {related(descendantOf, chatGroup, "AXStaticText"), {"first", "second"}},
        {related(descendantOf, chatGroup, "AXButton", "stop"), {"stop"}},
        {related(descendantOf, chatGroup, "AXGroup"), {"transcript"}}, // never the anchor itself
        {related(followingSiblingOf, composer, "AXButton"), {"send", "stop"}},
        {related(followingSiblingOf, composer, "AXScrollArea"), {}}, // precedes the anchor
        {related(followingSiblingOf, message, "AXStaticText"), {}},
        {related(descendantOf, std::string(64, '0'), "AXButton"), {}},
    };
    for (const auto& [candidate, expected] : rows) {
        EXPECT_EQ(matchedKeys(chat, candidate), expected);
    }
    // Siblings listed by the parent but not read into the tree are not elements to act on.
    chat.tree.nodes.erase(chat.handle("stop"));
    EXPECT_EQ(matchedKeys(chat, related(followingSiblingOf, composer, "AXButton")), Keys{"send"});
    EXPECT_THAT([&] { ElementMatcher().resolve({{rows.at(6).first}}, chat.tree); },
                FailsWith(Code::locatorNotFound, kNotFound));
}

TEST(ElementMatcher, SharedFingerprintIsAmbiguousAndUnreadHandlesNeverMatch) {
    LaidOutTree chat = treeFromLayout(kChatWindow);
    const ElementMatcher matcher;
    const AXLocatorSet shared{{fingerprint(Confidence::verified, fingerprintOf(chat, "first"))}};
    EXPECT_THAT([&] { matcher.resolve(shared, chat.tree); },
                FailsWith(Code::locatorAmbiguous, kAmbiguous));
    const AXLocatorSet unique{{fingerprint(Confidence::probable, fingerprintOf(chat, "send"))}};
    EXPECT_EQ(matcher.resolve(unique, chat.tree), chat.handle("send"));

    // Elements differing only in settability or actions carry different fingerprints; absent and
    // empty identifiers the same one.
    LaidOutTree lookAlikes = treeFromLayout(R"(
AXWindow #main
  AXButton #go @pressable press
  AXButton #go @plain
  AXButton #go @settable settable
  AXButton @anonymous
  AXButton @empty
)");
    lookAlikes.node("empty").snapshot.identifier = "";
    for (const std::string key : {"pressable", "plain", "settable"}) {
        EXPECT_EQ(matchedKeys(lookAlikes,
                              fingerprint(Confidence::verified, fingerprintOf(lookAlikes, key))),
                  Keys{key});
    }
    EXPECT_EQ(matchedKeys(lookAlikes,
                          fingerprint(Confidence::verified, fingerprintOf(lookAlikes, "empty"))),
              (Keys{"anonymous", "empty"}));

    // A handle listed in the order without a node is skipped, even if its parent lists it.
    chat.tree.nodes.erase(chat.handle("send"));
    EXPECT_THAT([&] { matcher.resolve(unique, chat.tree); },
                FailsWith(Code::locatorNotFound, kNotFound));
}

TEST(ElementMatcher, ResolvesProfileLocatorsInATreeReadFromTheDesktop) {
    SimulatedLayoutDesktop desktop(kChatWindow);
    const AccessibilityTree tree = desktop.read();
    const ElementMatcher matcher;
    const std::string composerPrint = [&] {
        return tree.nodes.at(desktop.handle("composer")).snapshot.semanticFingerprint();
    }();
    const std::vector<std::pair<AXLocatorSet, std::string>> rows = {
        {{{path({{"AXGroup", "chat"}}, "AXTextArea")}}, "composer"},
        {{{attributes(Confidence::verified, "AXButton", {"Send"}),
           related(Candidate::Relationship::followingSiblingOf, composerPrint, "AXButton",
                   "send")}},
         "send"},
        {{{fingerprint(Confidence::fallback, composerPrint)}}, "composer"},
        {{{attributes(Confidence::probable, "AXButton", {}, "stop", "AXCloseButton")}}, "stop"},
    };
    for (const auto& [set, key] : rows) {
        EXPECT_EQ(matcher.resolve(set, tree), desktop.handle(key)) << key;
    }
}

} // namespace
} // namespace bix::ax
