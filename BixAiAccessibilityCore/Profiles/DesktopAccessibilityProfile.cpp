#include "Profiles/DesktopAccessibilityProfile.h"

#include "Protocol/HelperError.h"
#include "Protocol/RawValueTable.h"
#include "Protocol/Validation.h"

#include <algorithm>
#include <stdexcept>

namespace bix::ax {
namespace {

using Pattern = Validation::Pattern;

constexpr std::int64_t kSchemaVersion = 1;
constexpr std::int64_t kMinimumProfileVersion = 1;
constexpr std::int64_t kMaximumProfileVersion = 1'000'000;
constexpr std::size_t kMaximumBundleIds = 16;
constexpr std::size_t kMaximumCandidates = 8;
constexpr std::size_t kMaximumLocales = 16;
constexpr std::size_t kMaximumLocaleBytes = 32;

constexpr std::size_t kMaximumProfileIdBytes = 128;
constexpr std::size_t kMaximumHashBytes = 64;
constexpr std::size_t kMaximumBundleIdBytes = 255;
constexpr std::size_t kMaximumKindBytes = 32;
constexpr std::size_t kMaximumConfidenceBytes = 16;
constexpr std::size_t kMaximumAXNameBytes = 64;
constexpr std::size_t kMaximumIdentifierBytes = 160;
constexpr std::size_t kMaximumLabelBytes = 160;
constexpr std::size_t kMaximumRelationshipBytes = 32;

constexpr std::string_view kPressAction = "press";

constexpr RawValueTable<LocatorConfidence, 3> kConfidenceNames{{{
    {LocatorConfidence::verified, "verified"},
    {LocatorConfidence::probable, "probable"},
    {LocatorConfidence::fallback, "fallback"},
}}};
static_assert(kConfidenceNames.followsDeclarationOrder());

constexpr RawValueTable<AXLocatorCandidate::Relationship, 2> kRelationshipNames{{{
    {AXLocatorCandidate::Relationship::descendantOf, "descendant-of"},
    {AXLocatorCandidate::Relationship::followingSiblingOf, "following-sibling-of"},
}}};
static_assert(kRelationshipNames.followsDeclarationOrder());

enum class LocatorKind { attributes, path, relationship, fingerprint };

constexpr RawValueTable<LocatorKind, 4> kKindNames{{{
    {LocatorKind::attributes, "ax-attributes"},
    {LocatorKind::path, "ax-path"},
    {LocatorKind::relationship, "ax-relationship"},
    {LocatorKind::fingerprint, "element-fingerprint"},
}}};
static_assert(kKindNames.followsDeclarationOrder());

[[noreturn]] void refuse(std::string message) {
    throw HelperProtocolError(HelperErrorCode::invalidRequest, std::move(message));
}

bool isIntegerInRange(const JSONValue* value, std::int64_t minimum, std::int64_t maximum) {
    // intValue() is empty for doubles, so 1.0 is refused like any non-integer.
    const std::optional<std::int64_t> integer = value != nullptr ? value->intValue() : std::nullopt;
    return integer && *integer >= minimum && *integer <= maximum;
}

const JSONArray* arrayOfSize(const JSONValue* value, std::size_t minimum, std::size_t maximum) {
    const JSONArray* array = value != nullptr ? value->arrayValue() : nullptr;
    if (array == nullptr || array->size() < minimum || array->size() > maximum) {
        return nullptr;
    }
    return array;
}

std::optional<std::string> optionalText(const JSONObject& object, std::string_view key,
                                        std::size_t maximumBytes, Pattern pattern) {
    const JSONValue* value = jsonValue(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    return Validation::boundedText(value, key, maximumBytes, pattern);
}

std::string axName(const JSONObject& object, std::string_view key) {
    return Validation::boundedText(object, key, kMaximumAXNameBytes, Pattern::axName);
}

std::optional<std::string> optionalIdentifier(const JSONObject& object, std::string_view key) {
    return optionalText(object, key, kMaximumIdentifierBytes, Pattern::none);
}

std::string fingerprintText(const JSONObject& object, std::string_view key) {
    return Validation::boundedText(object, key, kMaximumHashBytes, Pattern::hash);
}

AXLocatorCandidate::Attributes parseAttributes(const JSONObject& object,
                                               LocatorConfidence confidence) {
    Validation::exactKeys(object, {"kind", "confidence", "role"},
                          {"subrole", "identifier", "titles", "descriptions"});
    AXLocatorCandidate::Attributes attributes{.confidence = confidence};
    if (jsonValue(object, "subrole") != nullptr) {
        attributes.subrole = axName(object, "subrole");
    }
    attributes.identifier = optionalIdentifier(object, "identifier");
    attributes.titles = AXLocatorCandidate::localizedValues(jsonValue(object, "titles"), "titles");
    attributes.descriptions =
        AXLocatorCandidate::localizedValues(jsonValue(object, "descriptions"), "descriptions");
    // A role alone names every element of that role; some other attribute must narrow it.
    if (!attributes.subrole && !attributes.identifier && attributes.titles.empty() &&
        attributes.descriptions.empty()) {
        refuse("Accessibility locator is underconstrained.");
    }
    attributes.role = axName(object, "role");
    return attributes;
}

AXPathNode parsePathNode(const JSONValue& value) {
    const JSONObject* object = value.objectValue();
    if (object == nullptr) {
        refuse("Accessibility path node is invalid.");
    }
    Validation::exactKeys(*object, {"role"}, {"identifier"});
    AXPathNode node;
    node.role = axName(*object, "role");
    node.identifier = optionalIdentifier(*object, "identifier");
    return node;
}

AXLocatorCandidate::Path parsePath(const JSONObject& object, LocatorConfidence confidence) {
    Validation::exactKeys(object, {"kind", "confidence", "ancestors", "targetRole"},
                          {"targetIdentifier"});
    const JSONArray* ancestors = arrayOfSize(jsonValue(object, "ancestors"), 1, kMaximumPathNodes);
    if (ancestors == nullptr) {
        refuse("Accessibility path is invalid.");
    }
    AXLocatorCandidate::Path path{.confidence = confidence};
    path.ancestors.reserve(ancestors->size());
    for (const JSONValue& node : *ancestors) {
        path.ancestors.push_back(parsePathNode(node));
    }
    path.targetIdentifier = optionalIdentifier(object, "targetIdentifier");
    // Roles alone repeat all over a window; an identifier somewhere pins the path down.
    if (!path.targetIdentifier &&
        std::none_of(path.ancestors.begin(), path.ancestors.end(),
                     [](const AXPathNode& node) { return node.identifier.has_value(); })) {
        refuse("Accessibility path lacks stable identity.");
    }
    path.targetRole = axName(object, "targetRole");
    return path;
}

AXLocatorCandidate::Related parseRelated(const JSONObject& object, LocatorConfidence confidence) {
    Validation::exactKeys(object,
                          {"kind", "confidence", "relationship", "anchorFingerprint", "targetRole"},
                          {"targetIdentifier"});
    const std::string word =
        Validation::boundedText(object, "relationship", kMaximumRelationshipBytes, Pattern::none);
    const std::optional<AXLocatorCandidate::Relationship> relationship =
        kRelationshipNames.find(word);
    if (!relationship) {
        refuse("Accessibility relationship is invalid.");
    }
    AXLocatorCandidate::Related related{.confidence = confidence, .relationship = *relationship};
    related.anchorFingerprint = fingerprintText(object, "anchorFingerprint");
    related.targetRole = axName(object, "targetRole");
    related.targetIdentifier = optionalIdentifier(object, "targetIdentifier");
    return related;
}

AXLocatorCandidate::Fingerprint parseFingerprint(const JSONObject& object,
                                                 LocatorConfidence confidence) {
    Validation::exactKeys(object, {"kind", "confidence", "fingerprint"});
    return {.confidence = confidence, .fingerprint = fingerprintText(object, "fingerprint")};
}

} // namespace

const std::array<LocatorConfidence, 3>& allLocatorConfidences() {
    static constexpr auto confidences = kConfidenceNames.allValues();
    return confidences;
}

std::string_view rawValue(LocatorConfidence confidence) {
    if (const std::optional<std::string_view> name = kConfidenceNames.name(confidence)) {
        return *name;
    }
    throw std::out_of_range("rawValue: not a LocatorConfidence");
}

std::optional<LocatorConfidence> locatorConfidenceFromRawValue(std::string_view name) {
    return kConfidenceNames.find(name);
}

std::string_view rawValue(AXLocatorCandidate::Relationship relationship) {
    if (const std::optional<std::string_view> name = kRelationshipNames.name(relationship)) {
        return *name;
    }
    throw std::out_of_range("rawValue: not an AXLocatorCandidate::Relationship");
}

LocatorConfidence AXLocatorCandidate::confidence() const {
    return std::visit([](const auto& locator) { return locator.confidence; }, value);
}

AXLocatorCandidate AXLocatorCandidate::parse(const JSONValue& value) {
    const JSONObject* object = value.objectValue();
    if (object == nullptr) {
        refuse("Locator candidate must be an object.");
    }
    const std::string kindName =
        Validation::boundedText(*object, "kind", kMaximumKindBytes, Pattern::none);
    const std::string confidenceName =
        Validation::boundedText(*object, "confidence", kMaximumConfidenceBytes, Pattern::none);
    const std::optional<LocatorConfidence> confidence =
        locatorConfidenceFromRawValue(confidenceName);
    if (!confidence) {
        refuse("Locator confidence is invalid.");
    }
    // The kind decides the member list, so it is known before the members are checked.
    const std::optional<LocatorKind> kind = kKindNames.find(kindName);
    if (!kind) {
        refuse("Accessibility locator kind is unsupported.");
    }
    switch (*kind) {
    case LocatorKind::attributes:
        return {parseAttributes(*object, *confidence)};
    case LocatorKind::path:
        return {parsePath(*object, *confidence)};
    case LocatorKind::relationship:
        return {parseRelated(*object, *confidence)};
    case LocatorKind::fingerprint:
        return {parseFingerprint(*object, *confidence)};
    }
    refuse("Accessibility locator kind is unsupported.");
}

std::set<std::string> AXLocatorCandidate::localizedValues(const JSONValue* value,
                                                          std::string_view key) {
    std::set<std::string> labels;
    if (value == nullptr) {
        return labels;
    }
    const JSONObject* object = value->objectValue();
    if (object == nullptr || object->empty() || object->size() > kMaximumLocales) {
        refuse("Localized locator labels are invalid.");
    }
    for (const auto& [locale, label] : *object) {
        if (locale.size() > kMaximumLocaleBytes) {
            refuse("Locale is invalid.");
        }
        labels.insert(Validation::boundedText(&label, key, kMaximumLabelBytes, Pattern::none));
    }
    return labels;
}

AXLocatorSet AXLocatorSet::parse(const JSONValue& value, bool action) {
    const JSONObject* object = value.objectValue();
    if (object == nullptr) {
        refuse("Locator set must be an object.");
    }
    if (action) {
        Validation::exactKeys(*object, {"action", "candidates"});
        const std::string* name = jsonValue(*object, "action")->stringValue();
        if (name == nullptr || *name != kPressAction) {
            throw HelperProtocolError(HelperErrorCode::actionUnsupported,
                                      "Only AXPress action locators are supported.");
        }
    } else {
        Validation::exactKeys(*object, {"candidates"});
    }
    const JSONArray* candidates =
        arrayOfSize(jsonValue(*object, "candidates"), 1, kMaximumCandidates);
    if (candidates == nullptr) {
        refuse("Locator candidate count is invalid.");
    }
    AXLocatorSet set;
    set.candidates.reserve(candidates->size());
    for (const JSONValue& candidate : *candidates) {
        set.candidates.push_back(AXLocatorCandidate::parse(candidate));
    }
    return set;
}

DesktopAccessibilityProfile DesktopAccessibilityProfile::parse(const JSONValue& value) {
    const JSONObject* object = value.objectValue();
    if (object == nullptr) {
        refuse("Desktop profile must be an object.");
    }
    Validation::exactKeys(*object,
                          {"schemaVersion", "profileId", "profileVersion", "profileHash",
                           "bundleIds", "input", "submit", "assistantMessage"},
                          {"stopGeneration", "newConversation"});
    const JSONValue* profileVersion = jsonValue(*object, "profileVersion");
    if (!isIntegerInRange(jsonValue(*object, "schemaVersion"), kSchemaVersion, kSchemaVersion) ||
        !isIntegerInRange(profileVersion, kMinimumProfileVersion, kMaximumProfileVersion)) {
        refuse("Desktop profile version is invalid.");
    }
    const JSONArray* bundleIds = arrayOfSize(jsonValue(*object, "bundleIds"), 1, kMaximumBundleIds);
    if (bundleIds == nullptr) {
        refuse("Desktop profile bundle list is invalid.");
    }
    DesktopAccessibilityProfile profile;
    for (const JSONValue& bundleId : *bundleIds) {
        profile.bundleIds.insert(
            Validation::boundedText(&bundleId, "bundleId", kMaximumBundleIdBytes, Pattern::bundle));
    }
    profile.profileVersion = *profileVersion->intValue();
    profile.profileId =
        Validation::boundedText(*object, "profileId", kMaximumProfileIdBytes, Pattern::profileId);
    profile.profileHash =
        Validation::boundedText(*object, "profileHash", kMaximumHashBytes, Pattern::hash);
    profile.input = AXLocatorSet::parse(*jsonValue(*object, "input"), false);
    profile.submit = AXLocatorSet::parse(*jsonValue(*object, "submit"), true);
    profile.assistantMessage = AXLocatorSet::parse(*jsonValue(*object, "assistantMessage"), false);
    if (const JSONValue* stop = jsonValue(*object, "stopGeneration")) {
        profile.stopGeneration = AXLocatorSet::parse(*stop, true);
    }
    if (const JSONValue* newConversation = jsonValue(*object, "newConversation")) {
        profile.newConversation = AXLocatorSet::parse(*newConversation, true);
    }
    return profile;
}

} // namespace bix::ax
