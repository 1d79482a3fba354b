#pragma once

#include "Protocol/JSONValue.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bix::ax {

// How much a locator is trusted. The matcher tries the levels in declaration order and stops at
// the first level that names any element.
enum class LocatorConfidence { verified, probable, fallback };

// Every level, in the order the matcher tries them.
const std::array<LocatorConfidence, 3>& allLocatorConfidences();
// The wire name of a level: "verified", "probable" or "fallback".
std::string_view rawValue(LocatorConfidence confidence);
// The level whose wire name is exactly `name`, or nothing.
std::optional<LocatorConfidence> locatorConfidenceFromRawValue(std::string_view name);

// One step of an ancestor path: an ancestor's role and, when it has a stable one, its identifier.
struct AXPathNode {
    std::string role;
    std::optional<std::string> identifier;

    friend bool operator==(const AXPathNode&, const AXPathNode&) = default;
};

// The most ancestors a path locator names: profiles with longer paths are refused, and the teach
// service proposes only the nearest ones.
inline constexpr std::size_t kMaximumPathNodes = 8;

// One way of naming an element of the bound window, without screen coordinates. Parsed strictly
// from host-supplied JSON (nothing partly kept on failure) or built by the teach service.
struct AXLocatorCandidate {
    // The element's own attributes. Titles and descriptions are label sets: the element's label
    // must be one of them (the locale each label came with is not kept).
    struct Attributes {
        LocatorConfidence confidence = LocatorConfidence::verified;
        std::string role;
        std::optional<std::string> subrole, identifier;
        std::set<std::string> titles, descriptions;

        friend bool operator==(const Attributes&, const Attributes&) = default;
    };
    // The element's role and identifier plus the roles of its nearest ancestors (outermost first,
    // the last being the direct parent).
    struct Path {
        LocatorConfidence confidence = LocatorConfidence::verified;
        std::vector<AXPathNode> ancestors;
        std::string targetRole;
        std::optional<std::string> targetIdentifier;

        friend bool operator==(const Path&, const Path&) = default;
    };
    enum class Relationship { descendantOf, followingSiblingOf };
    // An element placed relative to the one element carrying `anchorFingerprint`.
    struct Related {
        LocatorConfidence confidence = LocatorConfidence::verified;
        Relationship relationship = Relationship::descendantOf;
        std::string anchorFingerprint;
        std::string targetRole;
        std::optional<std::string> targetIdentifier;

        friend bool operator==(const Related&, const Related&) = default;
    };
    // Every element whose element fingerprint equals `fingerprint`.
    struct Fingerprint {
        LocatorConfidence confidence = LocatorConfidence::verified;
        std::string fingerprint;

        friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
    };

    std::variant<Attributes, Path, Related, Fingerprint> value;

    LocatorConfidence confidence() const;

    // One candidate object ("kind", "confidence" and the kind's members). Throws
    // HelperProtocolError (invalidRequest) at the first failed check.
    static AXLocatorCandidate parse(const JSONValue& value);
    // The labels of a localized-labels member (locale tag to label), as a set; `value` is nullptr
    // when the member is absent, which gives the empty set. `key` names the member in messages.
    static std::set<std::string> localizedValues(const JSONValue* value, std::string_view key);

    friend bool operator==(const AXLocatorCandidate&, const AXLocatorCandidate&) = default;
};

// The wire name of a relationship: "descendant-of" or "following-sibling-of".
std::string_view rawValue(AXLocatorCandidate::Relationship relationship);

// The 1 to 8 candidates naming one control, in the order given. Order carries no priority;
// confidence does.
struct AXLocatorSet {
    std::vector<AXLocatorCandidate> candidates;

    // An action set (`action` true) must also carry "action": "press"; any other action fails
    // with actionUnsupported. Every other failure is invalidRequest.
    static AXLocatorSet parse(const JSONValue& value, bool action);

    friend bool operator==(const AXLocatorSet&, const AXLocatorSet&) = default;
};

// How to find the composer, submit, assistant-message and optional stop and new-conversation
// controls inside the bound window of one chat application. Fully validated on parse.
struct DesktopAccessibilityProfile {
    std::string profileId;
    std::int64_t profileVersion = 0;
    std::string profileHash; // compared with the binding's hash, never recomputed
    std::set<std::string> bundleIds;
    AXLocatorSet input, submit, assistantMessage;
    std::optional<AXLocatorSet> stopGeneration, newConversation;

    // Checks the members in a fixed order; the first failure is the one thrown
    // (HelperProtocolError, invalidRequest or actionUnsupported).
    static DesktopAccessibilityProfile parse(const JSONValue& value);

    friend bool operator==(const DesktopAccessibilityProfile&,
                           const DesktopAccessibilityProfile&) = default;
};

} // namespace bix::ax
