#include "Profiles/DesktopAccessibilityProfile.h"

#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/StrictJSONParser.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

namespace bix::ax {
namespace {

using Candidate = AXLocatorCandidate;
using Code = HelperErrorCode;

const std::string kHash(64, 'a');
const std::string kFingerprint(64, 'b');

JSONValue json(std::string_view text) {
    return StrictJSONParser(32, 8192).parse(text);
}

JSONObject& object(JSONValue& value) {
    return *value.mutableObjectValue();
}

JSONValue attributesCandidate() {
    return json(R"({"kind": "ax-attributes", "confidence": "verified", "role": "AXButton",
                    "titles": {"en": "Send", "de": "Senden"}})");
}

JSONValue pathCandidate() {
    return json(R"({"kind": "ax-path", "confidence": "probable",
                    "ancestors": [{"role": "AXWindow", "identifier": "main"}, {"role": "AXGroup"}],
                    "targetRole": "AXTextArea"})");
}

JSONValue relationshipCandidate() {
    JSONValue value = json(R"({"kind": "ax-relationship", "confidence": "fallback",
                               "relationship": "following-sibling-of", "targetRole": "AXButton",
                               "targetIdentifier": "stop"})");
    object(value)["anchorFingerprint"] = kFingerprint;
    return value;
}

JSONValue fingerprintCandidate() {
    JSONValue value = json(R"({"kind": "element-fingerprint", "confidence": "verified"})");
    object(value)["fingerprint"] = kFingerprint;
    return value;
}

JSONValue locatorSet(JSONValue candidate, bool action) {
    JSONObject set{{"candidates", JSONArray{std::move(candidate)}}};
    if (action) {
        set["action"] = "press";
    }
    return set;
}

JSONValue validProfile() {
    return JSONObject{
        {"schemaVersion", 1},
        {"profileId", "com.example.chat:v1"},
        {"profileVersion", 7},
        {"profileHash", kHash},
        {"bundleIds", JSONArray{"com.example.chat", "com.example.chat", "com.example.beta"}},
        {"input", locatorSet(pathCandidate(), false)},
        {"submit", locatorSet(attributesCandidate(), true)},
        {"assistantMessage", locatorSet(fingerprintCandidate(), false)},
        {"stopGeneration", locatorSet(relationshipCandidate(), true)},
    };
}

TEST(DesktopAccessibilityProfile, ParsesEveryLocatorKindIntoTypedValues) {
    const DesktopAccessibilityProfile profile = DesktopAccessibilityProfile::parse(validProfile());

    EXPECT_EQ(profile.profileId, "com.example.chat:v1");
    EXPECT_EQ(profile.profileVersion, 7);
    EXPECT_EQ(profile.profileHash, kHash);
    EXPECT_EQ(profile.bundleIds, (std::set<std::string>{"com.example.beta", "com.example.chat"}));
    EXPECT_EQ(profile.input.candidates,
              (std::vector<Candidate>{
                  {Candidate::Path{.confidence = LocatorConfidence::probable,
                                   .ancestors = {{"AXWindow", "main"}, {"AXGroup", std::nullopt}},
                                   .targetRole = "AXTextArea",
                                   .targetIdentifier = std::nullopt}}}));
    EXPECT_EQ(
        profile.submit.candidates,
        (std::vector<Candidate>{{Candidate::Attributes{.confidence = LocatorConfidence::verified,
                                                       .role = "AXButton",
                                                       .subrole = std::nullopt,
                                                       .identifier = std::nullopt,
                                                       .titles = {"Send", "Senden"},
                                                       .descriptions = {}}}}));
    EXPECT_EQ(profile.assistantMessage.candidates,
              (std::vector<Candidate>{
                  {Candidate::Fingerprint{LocatorConfidence::verified, kFingerprint}}}));
    ASSERT_TRUE(profile.stopGeneration);
    EXPECT_EQ(profile.stopGeneration->candidates,
              (std::vector<Candidate>{
                  {Candidate::Related{.confidence = LocatorConfidence::fallback,
                                      .relationship = Candidate::Relationship::followingSiblingOf,
                                      .anchorFingerprint = kFingerprint,
                                      .targetRole = "AXButton",
                                      .targetIdentifier = "stop"}}}));
    EXPECT_FALSE(profile.newConversation);
}

struct Refusal {
    std::string name;
    std::function<void(JSONObject&)> change;
    Code code;
    std::string message;
};

JSONArray repeated(const JSONValue& value, std::size_t count) {
    return JSONArray(count, value);
}

// Each row breaks the valid profile (some twice, to show which check runs first).
TEST(DesktopAccessibilityProfile, RefusesFirstFailedCheckInOrder) {
    const Code invalid = Code::invalidRequest;
    const std::string fields = "Unexpected or missing fields.";
    const std::string version = "Desktop profile version is invalid.";
    const std::string bundles = "Desktop profile bundle list is invalid.";
    const std::string count = "Locator candidate count is invalid.";
    const std::string pressOnly = "Only AXPress action locators are supported.";
    auto candidates = [](JSONArray list) {
        return [list](JSONObject& p) { object(p["input"])["candidates"] = list; };
    };
    const std::vector<Refusal> rows = {
        {"extra member beats bad version",
         [](JSONObject& p) {
             p["extra"] = 1;
             p["schemaVersion"] = 2;
         },
         invalid, fields},
        {"missing required member", [](JSONObject& p) { p.erase("assistantMessage"); }, invalid,
         fields},
        {"schema version 2", [](JSONObject& p) { p["schemaVersion"] = 2; }, invalid, version},
        {"schema version 1.0", [](JSONObject& p) { p["schemaVersion"] = 1.0; }, invalid, version},
        {"schema version as string", [](JSONObject& p) { p["schemaVersion"] = "1"; }, invalid,
         version},
        {"profile version 0", [](JSONObject& p) { p["profileVersion"] = 0; }, invalid, version},
        {"profile version 1000001 beats bundle list",
         [](JSONObject& p) {
             p["profileVersion"] = 1'000'001;
             p["bundleIds"] = JSONArray{};
         },
         invalid, version},
        {"profile version 5.0", [](JSONObject& p) { p["profileVersion"] = 5.0; }, invalid, version},
        {"no bundle ids", [](JSONObject& p) { p["bundleIds"] = JSONArray{}; }, invalid, bundles},
        {"17 bundle ids", [](JSONObject& p) { p["bundleIds"] = repeated("com.example.chat", 17); },
         invalid, bundles},
        {"bundle ids as object", [](JSONObject& p) { p["bundleIds"] = JSONObject{}; }, invalid,
         bundles},
        {"one-letter bundle beats bad profile id",
         [](JSONObject& p) {
             p["bundleIds"] = JSONArray{"com.example.chat", "a"};
             p["profileId"] = "x";
         },
         invalid, "Invalid bundleId."},
        {"bad profile id beats bad hash",
         [](JSONObject& p) {
             p["profileId"] = ".starts-with-dot";
             p["profileHash"] = "";
         },
         invalid, "Invalid profileId."},
        {"upper-case hash", [](JSONObject& p) { p["profileHash"] = std::string(64, 'A'); }, invalid,
         "Invalid profileHash."},
        {"bad hash beats bad input",
         [](JSONObject& p) {
             p["profileHash"] = std::string(63, 'a');
             p["input"] = 1;
         },
         invalid, "Invalid profileHash."},
        {"input not an object", [](JSONObject& p) { p["input"] = JSONArray{}; }, invalid,
         "Locator set must be an object."},
        {"input carrying press", [](JSONObject& p) { object(p["input"])["action"] = "press"; },
         invalid, fields},
        {"submit without action", [](JSONObject& p) { object(p["submit"]).erase("action"); },
         invalid, fields},
        {"submit with AXPress", [](JSONObject& p) { object(p["submit"])["action"] = "AXPress"; },
         Code::actionUnsupported, pressOnly},
        {"submit action not a string beats candidate count",
         [](JSONObject& p) {
             object(p["submit"])["action"] = true;
             object(p["submit"])["candidates"] = JSONArray{};
         },
         Code::actionUnsupported, pressOnly},
        {"bad input beats bad submit",
         [](JSONObject& p) {
             object(p["input"])["candidates"] = JSONArray{};
             object(p["submit"])["action"] = "AXPress";
         },
         invalid, count},
        {"bad assistant message",
         [](JSONObject& p) { p["assistantMessage"] = locatorSet(attributesCandidate(), true); },
         invalid, fields},
        {"stop generation without action",
         [](JSONObject& p) { p["stopGeneration"] = locatorSet(attributesCandidate(), false); },
         invalid, fields},
        {"bad stop beats bad new conversation",
         [](JSONObject& p) {
             object(p["stopGeneration"])["action"] = "cancel";
             p["newConversation"] = JSONArray{};
         },
         Code::actionUnsupported, pressOnly},
        {"new conversation not an object", [](JSONObject& p) { p["newConversation"] = "press"; },
         invalid, "Locator set must be an object."},
        {"no candidates", candidates({}), invalid, count},
        {"nine candidates", candidates(repeated(pathCandidate(), 9)), invalid, count},
        {"candidates as object",
         [](JSONObject& p) { object(p["input"])["candidates"] = JSONObject{}; }, invalid, count},
        {"first bad candidate wins", candidates({pathCandidate(), JSONObject{}, 3}), invalid,
         "Invalid kind."},
        {"candidate not an object", candidates({pathCandidate(), 3}), invalid,
         "Locator candidate must be an object."},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.name);
        JSONValue profile = validProfile();
        row.change(object(profile));
        EXPECT_THAT([&] { DesktopAccessibilityProfile::parse(profile); },
                    FailsWith(row.code, row.message));
    }
    EXPECT_THAT([] { DesktopAccessibilityProfile::parse(JSONArray{}); },
                FailsWith(invalid, "Desktop profile must be an object."));
}

TEST(DesktopAccessibilityProfile, AcceptsValuesAtTheirLimits) {
    const std::string longestBundle = "a." + std::string(253, 'b');
    const std::vector<std::pair<std::string, std::function<void(JSONObject&)>>> rows = {
        {"profile version 1", [](JSONObject& p) { p["profileVersion"] = 1; }},
        {"profile version 1000000", [](JSONObject& p) { p["profileVersion"] = 1'000'000; }},
        {"16 bundle ids",
         [](JSONObject& p) {
             JSONArray ids;
             for (int i = 0; i < 16; ++i) {
                 ids.push_back("com.example.app" + std::to_string(i));
             }
             p["bundleIds"] = ids;
         }},
        {"255-byte bundle id", [&](JSONObject& p) { p["bundleIds"] = JSONArray{longestBundle}; }},
        {"128-byte profile id", [](JSONObject& p) { p["profileId"] = std::string(128, 'p'); }},
        {"8 candidates",
         [](JSONObject& p) { object(p["input"])["candidates"] = repeated(pathCandidate(), 8); }},
        {"new conversation present",
         [](JSONObject& p) { p["newConversation"] = locatorSet(fingerprintCandidate(), true); }},
        {"stop generation absent", [](JSONObject& p) { p.erase("stopGeneration"); }},
    };
    for (const auto& [name, change] : rows) {
        SCOPED_TRACE(name);
        JSONValue profile = validProfile();
        change(object(profile));
        EXPECT_NO_THROW(DesktopAccessibilityProfile::parse(profile));
    }
}

// Each row changes members of a valid candidate of the given kind (nothing removes one).
struct CandidateCase {
    std::string name;
    std::function<JSONValue()> base;
    std::vector<std::pair<std::string, std::optional<JSONValue>>> changes;
    std::string message; // empty: the candidate parses
};

JSONValue changed(const CandidateCase& row) {
    JSONValue value = row.base();
    for (const auto& [key, member] : row.changes) {
        if (member) {
            object(value)[key] = *member;
        } else {
            object(value).erase(key);
        }
    }
    return value;
}

TEST(AXLocatorCandidate, ChecksMembersInOrderAndRefusesUnderspecifiedLocators) {
    const std::optional<JSONValue> none;
    const JSONValue noLabels = JSONObject{};
    const JSONValue oneTitle = JSONObject{{"en", "Send"}};
    JSONObject manyLocales;
    for (int i = 0; i < 17; ++i) {
        manyLocales["l" + std::to_string(i)] = "Send";
    }
    const JSONValue lone = JSONArray{JSONObject{{"role", "AXGroup"}}};
    const JSONValue identified = JSONArray{JSONObject{{"role", "AXGroup"}},
                                           JSONObject{{"role", "AXGroup"}, {"identifier", "chat"}}};
    const std::vector<CandidateCase> rows = {
        // kind, confidence, then the kind's members
        {"missing kind", attributesCandidate, {{"kind", none}}, "Invalid kind."},
        {"33-byte kind beats bad confidence",
         attributesCandidate,
         {{"kind", std::string(33, 'k')}, {"confidence", "certain"}},
         "Invalid kind."},
        {"missing confidence", attributesCandidate, {{"confidence", none}}, "Invalid confidence."},
        {"17-byte confidence",
         attributesCandidate,
         {{"confidence", std::string(17, 'c')}},
         "Invalid confidence."},
        {"unknown confidence beats unknown kind",
         attributesCandidate,
         {{"confidence", "certain"}, {"kind", "ax-text"}},
         "Locator confidence is invalid."},
        {"unknown kind beats extra member",
         attributesCandidate,
         {{"kind", "ax-text"}, {"extra", 1}},
         "Accessibility locator kind is unsupported."},
        {"extra member", fingerprintCandidate, {{"extra", 1}}, "Unexpected or missing fields."},
        // attributes
        {"role alone",
         attributesCandidate,
         {{"titles", none}},
         "Accessibility locator is underconstrained."},
        {"bad role alone is underconstrained",
         attributesCandidate,
         {{"titles", none}, {"role", "Button"}},
         "Accessibility locator is underconstrained."},
        {"bad role after the other members",
         attributesCandidate,
         {{"role", "Button"}},
         "Invalid role."},
        {"missing role", attributesCandidate, {{"role", none}}, "Unexpected or missing fields."},
        {"bad subrole beats bad identifier",
         attributesCandidate,
         {{"subrole", "Default"}, {"identifier", ""}},
         "Invalid subrole."},
        {"null subrole", attributesCandidate, {{"subrole", JSONValue()}}, "Invalid subrole."},
        {"bad identifier beats bad titles",
         attributesCandidate,
         {{"identifier", std::string(161, 'i')}, {"titles", noLabels}},
         "Invalid identifier."},
        {"160-byte identifier", attributesCandidate, {{"identifier", std::string(160, 'i')}}, ""},
        {"empty titles",
         attributesCandidate,
         {{"titles", noLabels}},
         "Localized locator labels are invalid."},
        {"titles as array",
         attributesCandidate,
         {{"titles", JSONArray{"Send"}}},
         "Localized locator labels are invalid."},
        {"17 locales",
         attributesCandidate,
         {{"titles", manyLocales}},
         "Localized locator labels are invalid."},
        {"33-byte locale",
         attributesCandidate,
         {{"titles", JSONObject{{std::string(33, 'l'), "Send"}}}},
         "Locale is invalid."},
        {"32-byte locale",
         attributesCandidate,
         {{"titles", JSONObject{{std::string(32, 'l'), "Send"}}}},
         ""},
        {"161-byte title",
         attributesCandidate,
         {{"titles", JSONObject{{"en", std::string(161, 't')}}}},
         "Invalid titles."},
        {"non-string description beats bad role",
         attributesCandidate,
         {{"descriptions", JSONObject{{"en", 5}}}, {"role", "Button"}},
         "Invalid descriptions."},
        {"description alone constrains",
         attributesCandidate,
         {{"titles", none}, {"descriptions", oneTitle}},
         ""},
        {"subrole alone constrains",
         attributesCandidate,
         {{"titles", none}, {"subrole", "AXCloseButton"}},
         ""},
        // path
        {"no ancestors",
         pathCandidate,
         {{"ancestors", JSONArray{}}},
         "Accessibility path is invalid."},
        {"nine ancestors",
         pathCandidate,
         {{"ancestors", repeated(identified.arrayValue()->back(), 9)}},
         "Accessibility path is invalid."},
        {"eight ancestors",
         pathCandidate,
         {{"ancestors", repeated(identified.arrayValue()->back(), 8)}},
         ""},
        {"ancestor not an object",
         pathCandidate,
         {{"ancestors", JSONArray{"AXGroup"}}},
         "Accessibility path node is invalid."},
        {"ancestor with extra member",
         pathCandidate,
         {{"ancestors", JSONArray{JSONObject{{"role", "AXGroup"}, {"title", "x"}}}}},
         "Unexpected or missing fields."},
        {"ancestor with bad role",
         pathCandidate,
         {{"ancestors", JSONArray{JSONObject{{"role", "AX"}}}}},
         "Invalid role."},
        {"no stable identity beats bad target role",
         pathCandidate,
         {{"ancestors", lone}, {"targetRole", "TextArea"}},
         "Accessibility path lacks stable identity."},
        {"inner ancestor identifier is stable identity",
         pathCandidate,
         {{"ancestors", identified}},
         ""},
        {"target identifier is stable identity",
         pathCandidate,
         {{"ancestors", lone}, {"targetIdentifier", "composer"}},
         ""},
        {"empty target identifier",
         pathCandidate,
         {{"targetIdentifier", ""}},
         "Invalid targetIdentifier."},
        {"bad target role", pathCandidate, {{"targetRole", "AXText Area"}}, "Invalid targetRole."},
        // relationship
        {"unknown relationship beats bad anchor",
         relationshipCandidate,
         {{"relationship", "child-of"}, {"anchorFingerprint", "x"}},
         "Accessibility relationship is invalid."},
        {"33-byte relationship",
         relationshipCandidate,
         {{"relationship", std::string(33, 'r')}},
         "Invalid relationship."},
        {"upper-case anchor",
         relationshipCandidate,
         {{"anchorFingerprint", std::string(64, 'B')}},
         "Invalid anchorFingerprint."},
        {"bad target role beats bad target identifier",
         relationshipCandidate,
         {{"targetRole", "Button"}, {"targetIdentifier", 3}},
         "Invalid targetRole."},
        {"descendant-of without identifier",
         relationshipCandidate,
         {{"relationship", "descendant-of"}, {"targetIdentifier", none}},
         ""},
        // fingerprint
        {"upper-case fingerprint",
         fingerprintCandidate,
         {{"fingerprint", std::string(64, 'F')}},
         "Invalid fingerprint."},
        {"65-digit fingerprint",
         fingerprintCandidate,
         {{"fingerprint", std::string(65, 'f')}},
         "Invalid fingerprint."},
    };
    for (const CandidateCase& row : rows) {
        SCOPED_TRACE(row.name);
        const JSONValue candidate = changed(row);
        if (row.message.empty()) {
            EXPECT_NO_THROW(AXLocatorCandidate::parse(candidate));
        } else {
            EXPECT_THAT([&] { AXLocatorCandidate::parse(candidate); },
                        FailsWith(Code::invalidRequest, row.message));
        }
    }
}

TEST(AXLocatorCandidate, LocalizedLabelsCollapseAcrossLocalesAndMustBeNFC) {
    EXPECT_EQ(AXLocatorCandidate::localizedValues(nullptr, "titles"), std::set<std::string>{});
    const JSONValue sameLabel = JSONObject{{"en", "OK"}, {"en-GB", "OK"}, {"", "Okay"}};
    EXPECT_EQ(AXLocatorCandidate::localizedValues(&sameLabel, "titles"),
              (std::set<std::string>{"OK", "Okay"}));

    // Values built in code bypass the parser's NFC check; the label check still refuses them.
    const JSONValue decomposed = JSONObject{{"fr", "Cafe\xCC\x81"}};
    EXPECT_THAT([&] { AXLocatorCandidate::localizedValues(&decomposed, "descriptions"); },
                FailsWith(Code::invalidRequest, "Invalid descriptions."));
}

} // namespace
} // namespace bix::ax
