#include "Profiles/ElementMatcher.h"

#include "Platform/UnicodeText.h"
#include "Protocol/HelperError.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

namespace bix::ax {
namespace {

// How far a path candidate looks above an element, as the tree's own ancestor walk does.
constexpr std::size_t kMaximumAncestorSteps = kAccessibilityTreeMaximumParentSteps;

// Locator strings are brought to NFC once per evaluation; snapshot strings, which come from the
// target application and need not be normalised, are composed only when they are not NFC already.
std::optional<std::string> canonical(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    return UnicodeText::toNFC(*text);
}

std::set<std::string> canonical(const std::set<std::string>& labels) {
    std::set<std::string> result;
    for (const std::string& label : labels) {
        result.insert(UnicodeText::toNFC(label));
    }
    return result;
}

// True when `text` is canonically equivalent to `wanted`, which is in NFC.
bool equalsCanonical(std::string_view text, std::string_view wanted) {
    if (text == wanted) {
        return true;
    }
    // Two different NFC strings are never equivalent, so only non-NFC text needs composing.
    return !UnicodeText::isNFC(text) && UnicodeText::toNFC(text) == wanted;
}

// An absent wanted value accepts anything; a present one needs an equivalent actual value.
bool optionalMatches(const std::optional<std::string>& actual,
                     const std::optional<std::string>& wanted) {
    return !wanted || (actual && equalsCanonical(*actual, *wanted));
}

// An empty label set accepts anything; otherwise the element's label must be one of `wanted`.
bool labelMatches(const std::optional<std::string>& actual, const std::set<std::string>& wanted) {
    if (wanted.empty()) {
        return true;
    }
    if (!actual) {
        return false;
    }
    if (wanted.contains(*actual)) {
        return true;
    }
    return !UnicodeText::isNFC(*actual) && wanted.contains(UnicodeText::toNFC(*actual));
}

// The role and optional identifier an element itself must carry, in NFC.
struct TargetTest {
    std::string role;
    std::optional<std::string> identifier;

    TargetTest(const std::string& wantedRole, const std::optional<std::string>& wantedIdentifier)
        : role(UnicodeText::toNFC(wantedRole)), identifier(canonical(wantedIdentifier)) {}

    bool accepts(const AXNodeSnapshot& snapshot) const {
        return equalsCanonical(snapshot.role, role) &&
               optionalMatches(snapshot.identifier, identifier);
    }
};

const AccessibilityTreeNode* nodeOf(const AccessibilityTree& tree, const AXElementHandle& handle) {
    const auto found = tree.nodes.find(handle);
    return found == tree.nodes.end() ? nullptr : &found->second;
}

// Every handle of `order` that has a node accepted by `accepts`: the one linear scan each
// candidate makes.
template <typename Accepts>
std::unordered_set<AXElementHandle> scan(const AccessibilityTree& tree, const Accepts& accepts) {
    std::unordered_set<AXElementHandle> found;
    for (const AXElementHandle& handle : tree.order) {
        const AccessibilityTreeNode* node = nodeOf(tree, handle);
        if (node != nullptr && accepts(*node)) {
            found.insert(handle);
        }
    }
    return found;
}

std::unordered_set<AXElementHandle> matchAttributes(const AXLocatorCandidate::Attributes& locator,
                                                    const AccessibilityTree& tree) {
    const TargetTest target(locator.role, locator.identifier);
    const std::optional<std::string> subrole = canonical(locator.subrole);
    const std::set<std::string> titles = canonical(locator.titles);
    const std::set<std::string> descriptions = canonical(locator.descriptions);
    return scan(tree, [&](const AccessibilityTreeNode& node) {
        const AXNodeSnapshot& snapshot = node.snapshot;
        return target.accepts(snapshot) && optionalMatches(snapshot.subrole, subrole) &&
               labelMatches(snapshot.title, titles) &&
               labelMatches(snapshot.description, descriptions);
    });
}

// Pairs the element's nearest ancestors (walked through parent links in place, at most 24 steps)
// with `path`, whose last node is the direct parent. Ancestors above those are not looked at.
bool ancestorsMatch(const AccessibilityTree& tree, const AccessibilityTreeNode& node,
                    const std::vector<AXPathNode>& path) {
    if (path.size() > kMaximumAncestorSteps) {
        return false;
    }
    const std::optional<AXElementHandle>* parent = &node.parent;
    for (auto step = path.rbegin(); step != path.rend(); ++step) {
        const AccessibilityTreeNode* ancestor = *parent ? nodeOf(tree, **parent) : nullptr;
        if (ancestor == nullptr || !equalsCanonical(ancestor->snapshot.role, step->role) ||
            !optionalMatches(ancestor->snapshot.identifier, step->identifier)) {
            return false;
        }
        parent = &ancestor->parent;
    }
    return true;
}

std::unordered_set<AXElementHandle> matchPath(const AXLocatorCandidate::Path& locator,
                                              const AccessibilityTree& tree) {
    const TargetTest target(locator.targetRole, locator.targetIdentifier);
    std::vector<AXPathNode> path;
    path.reserve(locator.ancestors.size());
    for (const AXPathNode& step : locator.ancestors) {
        path.push_back({UnicodeText::toNFC(step.role), canonical(step.identifier)});
    }
    // The ancestor walk runs only for elements that already match on their own attributes.
    return scan(tree, [&](const AccessibilityTreeNode& node) {
        return target.accepts(node.snapshot) && ancestorsMatch(tree, node, path);
    });
}

// Whether elements carry one element fingerprint, remembered by the fields the fingerprint is made
// of (role, subrole, identifier, settability, actions): most elements of a window share those with
// many others, and hashing every element again would dominate the scan. Lives for one scan.
class FingerprintTest {
public:
    explicit FingerprintTest(const std::string& wanted) : wanted_(UnicodeText::toNFC(wanted)) {}

    bool accepts(const AXNodeSnapshot& snapshot) {
        fieldsKey(snapshot);
        if (const auto known = verdicts_.find(key_); known != verdicts_.end()) {
            return known->second;
        }
        const bool verdict = equalsCanonical(snapshot.semanticFingerprint(), wanted_);
        verdicts_.emplace(key_, verdict);
        return verdict;
    }

private:
    // Writes each field with its length in front, so different field lists never share a key.
    void append(std::string_view field) {
        key_ += std::to_string(field.size());
        key_ += ':';
        key_ += field;
    }
    void appendOptional(const std::optional<std::string>& field) {
        key_ += field ? '+' : '-';
        append(field ? std::string_view(*field) : std::string_view());
    }
    void fieldsKey(const AXNodeSnapshot& snapshot) {
        key_.clear();
        append(snapshot.role);
        appendOptional(snapshot.subrole);
        appendOptional(snapshot.identifier);
        key_ += snapshot.isValueSettable ? 's' : 'r';
        for (const std::string& action : snapshot.actions) {
            append(action);
        }
    }

    std::string wanted_;
    std::string key_;
    std::unordered_map<std::string, bool> verdicts_;
};

// The one element carrying `fingerprint`; nothing when none or several do.
const AXElementHandle* uniqueAnchor(const AccessibilityTree& tree, const std::string& fingerprint) {
    FingerprintTest test(fingerprint);
    const AXElementHandle* anchor = nullptr;
    for (const AXElementHandle& handle : tree.order) {
        const AccessibilityTreeNode* node = nodeOf(tree, handle);
        if (node == nullptr || (anchor != nullptr && *anchor == handle) ||
            !test.accepts(node->snapshot)) {
            continue;
        }
        if (anchor != nullptr) {
            return nullptr;
        }
        anchor = &handle;
    }
    return anchor;
}

// Whether the parent chain of `node` reaches `anchor` within the tree's walk bound, following
// the same rule as AccessibilityTree::descendants without building its list.
bool descendsFrom(const AccessibilityTree& tree, const AccessibilityTreeNode& node,
                  const AXElementHandle& anchor) {
    const std::optional<AXElementHandle>* current = &node.parent;
    for (std::size_t step = 0; step < kMaximumAncestorSteps && *current; ++step) {
        if (**current == anchor) {
            return true;
        }
        const AccessibilityTreeNode* parent = nodeOf(tree, **current);
        if (parent == nullptr) {
            return false;
        }
        current = &parent->parent;
    }
    return false;
}

std::unordered_set<AXElementHandle> matchRelated(const AXLocatorCandidate::Related& locator,
                                                 const AccessibilityTree& tree) {
    const AXElementHandle* anchor = uniqueAnchor(tree, locator.anchorFingerprint);
    if (anchor == nullptr) {
        return {};
    }
    const TargetTest target(locator.targetRole, locator.targetIdentifier);
    switch (locator.relationship) {
    case AXLocatorCandidate::Relationship::descendantOf:
        return scan(tree, [&](const AccessibilityTreeNode& node) {
            return target.accepts(node.snapshot) && descendsFrom(tree, node, *anchor);
        });
    case AXLocatorCandidate::Relationship::followingSiblingOf: {
        std::unordered_set<AXElementHandle> found;
        for (const AXElementHandle& sibling : tree.followingSiblings(*anchor)) {
            const AccessibilityTreeNode* node = nodeOf(tree, sibling);
            if (node != nullptr && target.accepts(node->snapshot)) {
                found.insert(sibling);
            }
        }
        return found;
    }
    }
    return {};
}

std::unordered_set<AXElementHandle> matchFingerprint(const AXLocatorCandidate::Fingerprint& locator,
                                                     const AccessibilityTree& tree) {
    FingerprintTest test(locator.fingerprint);
    return scan(tree,
                [&](const AccessibilityTreeNode& node) { return test.accepts(node.snapshot); });
}

} // namespace

AXElementHandle ElementMatcher::resolve(const AXLocatorSet& set,
                                        const AccessibilityTree& tree) const {
    for (const LocatorConfidence level : allLocatorConfidences()) {
        std::unordered_set<AXElementHandle> pooled;
        for (const AXLocatorCandidate& candidate : set.candidates) {
            // Once a level is ambiguous no further candidate can make it unique.
            if (candidate.confidence() != level || pooled.size() > 1) {
                continue;
            }
            std::unordered_set<AXElementHandle> found = matches(candidate, tree);
            pooled.merge(found);
        }
        if (pooled.size() == 1) {
            return *pooled.begin();
        }
        if (pooled.size() > 1) {
            throw HelperProtocolError(HelperErrorCode::locatorAmbiguous,
                                      "Accessibility locator matched multiple elements.");
        }
    }
    throw HelperProtocolError(HelperErrorCode::locatorNotFound,
                              "Accessibility locator did not match.");
}

std::unordered_set<AXElementHandle> ElementMatcher::matches(const AXLocatorCandidate& candidate,
                                                            const AccessibilityTree& tree) const {
    return std::visit(
        [&](const auto& locator) -> std::unordered_set<AXElementHandle> {
            using Locator = std::decay_t<decltype(locator)>;
            if constexpr (std::is_same_v<Locator, AXLocatorCandidate::Attributes>) {
                return matchAttributes(locator, tree);
            } else if constexpr (std::is_same_v<Locator, AXLocatorCandidate::Path>) {
                return matchPath(locator, tree);
            } else if constexpr (std::is_same_v<Locator, AXLocatorCandidate::Related>) {
                return matchRelated(locator, tree);
            } else {
                return matchFingerprint(locator, tree);
            }
        },
        candidate.value);
}

} // namespace bix::ax
