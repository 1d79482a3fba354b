#pragma once

#include "Access/AccessibilityBackend.h"
#include "Access/AccessibilityTreeReader.h"
#include "Profiles/DesktopAccessibilityProfile.h"

#include <unordered_set>

namespace bix::ax {

// Turns a locator set into exactly one element of a freshly read tree, working only on the tree's
// snapshots (no platform calls, no side effects). Confidence levels are tried in order; within a
// level the matches of all candidates are pooled, so candidates that disagree make the level
// ambiguous instead of letting one of them win. Strings compare under canonical equivalence.
// Stateless and thread-safe.
class ElementMatcher {
public:
    // The one element the set names. Throws HelperProtocolError: locatorAmbiguous when the first
    // level with any match has several, locatorNotFound when no level matches.
    AXElementHandle resolve(const AXLocatorSet& set, const AccessibilityTree& tree) const;

    // Every element of the tree the candidate matches (possibly none). Never throws.
    std::unordered_set<AXElementHandle> matches(const AXLocatorCandidate& candidate,
                                                const AccessibilityTree& tree) const;
};

} // namespace bix::ax
