#include "Profiles/DesktopTeachService.h"

#include "Platform/Uuid.h"
#include "Profiles/ProfileResolutionStore.h"
#include "Protocol/Redaction.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

namespace bix::ax {

namespace {

std::set<std::string> capabilitiesOf(const AXNodeSnapshot& snap) {
    std::set<std::string> capabilities;
    const bool textInput = snap.role == "AXTextArea" || snap.role == "AXTextField";
    if (snap.isValueSettable && textInput) {
        capabilities.insert("write");
    }
    if (snap.role == "AXButton" && snap.actions.contains("AXPress")) {
        capabilities.insert("press");
    }
    if (snap.role == "AXStaticText" || snap.role == "AXTextArea" || snap.role == "AXGroup") {
        capabilities.insert("read-response");
    }
    return capabilities;
}

JSONValue pathNode(const AXNodeSnapshot& ancestor) {
    JSONObject node{{"role", ancestor.role}};
    if (auto identifier = Redaction::safeIdentifier(ancestor.identifier)) {
        node.emplace("identifier", std::move(*identifier));
    }
    return node;
}

JSONValue teachPolicy() {
    return JSONObject{
        {"coordinatesIncluded", false},
        {"executionUsesCoordinates", false},
        {"fullTreeIncluded", false},
        {"valuesIncluded", false},
    };
}

} // namespace

DesktopTeachService::DesktopTeachService(std::shared_ptr<AccessibilityBackend> backend,
                                         std::shared_ptr<BoundTargetStore> targets,
                                         std::shared_ptr<AccessibilityTreeReader> treeReader)
    : backend_(std::move(backend)), targets_(std::move(targets)),
      treeReader_(std::move(treeReader)) {}

JSONObject DesktopTeachService::inspect(const std::string& bindingId, bool includeTeachCandidates) {
    const BoundTarget target = targets_->validated(bindingId);
    static const std::unordered_set<AXElementHandle> noValues;
    const AccessibilityTree tree = treeReader_->read(target.windowTarget(), noValues);
    JSONObject inspection{
        {"bindingId", bindingId},
        {"bundleId", target.bundleId},
        {"displayName", target.displayName},
        {"nodeCount", static_cast<std::int64_t>(tree.nodes.size())},
        {"profileHash", target.profileHash},
        {"status", "bound"},
        {"windowFingerprint", target.windowFingerprint},
    };
    addWindowState(inspection, tree, target);
    if (!includeTeachCandidates) {
        return inspection;
    }
    JSONArray candidates;
    for (const auto& candidate : teachCandidates(tree)) {
        candidates.push_back(teachCandidateObject(candidate));
    }
    inspection.emplace("structureFingerprint", structureFingerprint(tree));
    inspection.emplace("teachCandidates", std::move(candidates));
    inspection.emplace("teachPolicy", teachPolicy());
    return inspection;
}

void DesktopTeachService::addWindowState(JSONObject& inspection, const AccessibilityTree& tree,
                                         const BoundTarget& target) {
    const auto root = tree.nodes.find(tree.root);
    if (root == tree.nodes.end()) {
        return;
    }
    std::string windowState;
    std::string automaticOperation = "requires-live-probe";
    if (root->second.snapshot.isMinimized) {
        // Nothing can be driven in a minimized window: no need to ask who is in front.
        windowState = "minimized";
        automaticOperation = "unavailable-while-minimized";
    } else if (const auto frontmost = backend_->frontmostApplicationPID()) {
        windowState = *frontmost == target.pid ? "foreground" : "background";
    } else {
        windowState = "unknown";
        automaticOperation = "unknown";
    }
    inspection.emplace("windowState", std::move(windowState));
    inspection.emplace("automaticOperation", std::move(automaticOperation));
}

std::vector<TeachCandidate> DesktopTeachService::teachCandidates(const AccessibilityTree& tree) {
    std::vector<TeachCandidate> candidates;
    for (const auto& handle : tree.order) {
        if (candidates.size() == kMaximumTeachCandidates) {
            break;
        }
        const auto node = tree.nodes.find(handle);
        if (handle == tree.root || node == tree.nodes.end()) {
            continue;
        }
        const auto& snap = node->second.snapshot;
        auto capabilities = capabilitiesOf(snap);
        if (capabilities.empty()) {
            continue;
        }
        candidates.push_back(TeachCandidate{
            .candidateId = std::string(kTeachCandidatePrefix) + randomUuidHexDigits(),
            .role = snap.role,
            .subrole = snap.subrole,
            .identifier = Redaction::safeIdentifier(snap.identifier),
            .semanticFingerprint = snap.semanticFingerprint(),
            .depth = node->second.depth,
            .capabilities = std::move(capabilities),
            .locator = semanticLocator(snap, handle, tree),
        });
    }
    return candidates;
}

JSONValue DesktopTeachService::semanticLocator(const AXNodeSnapshot& snapshot,
                                               const AXElementHandle& handle,
                                               const AccessibilityTree& tree) {
    if (auto identifier = Redaction::safeIdentifier(snapshot.identifier)) {
        JSONObject locator{
            {"confidence", "probable"},
            {"identifier", std::move(*identifier)},
            {"kind", "ax-attributes"},
            {"role", snapshot.role},
        };
        if (snapshot.subrole) {
            locator.emplace("subrole", *snapshot.subrole);
        }
        return locator;
    }
    const auto chain = tree.ancestors(handle); // outermost first, at most 24
    const auto nearestIdentified =
        std::find_if(chain.rbegin(), chain.rend(), [](const AccessibilityTreeNode& ancestor) {
            return Redaction::safeIdentifier(ancestor.snapshot.identifier).has_value();
        });
    if (nearestIdentified == chain.rend()) {
        return JSONObject{
            {"confidence", "fallback"},
            {"fingerprint", snapshot.semanticFingerprint()},
            {"kind", "element-fingerprint"},
        };
    }
    const std::size_t identifiedAt = static_cast<std::size_t>(chain.rend() - nearestIdentified) - 1;
    const std::size_t nearestEight =
        chain.size() > kMaximumPathNodes ? chain.size() - kMaximumPathNodes : 0;
    JSONArray ancestors;
    for (std::size_t index = std::max(identifiedAt, nearestEight); index < chain.size(); ++index) {
        ancestors.push_back(pathNode(chain[index].snapshot));
    }
    return JSONObject{
        {"ancestors", std::move(ancestors)},
        {"confidence", "fallback"},
        {"kind", "ax-path"},
        {"targetRole", snapshot.role},
    };
}

JSONValue teachCandidateObject(const TeachCandidate& candidate) {
    JSONArray capabilities(candidate.capabilities.begin(), candidate.capabilities.end());
    JSONObject object{
        {"candidateId", candidate.candidateId},
        {"capabilities", std::move(capabilities)},
        {"depth", candidate.depth},
        {"locator", candidate.locator},
        {"role", candidate.role},
        {"semanticFingerprint", candidate.semanticFingerprint},
    };
    if (candidate.subrole) {
        object.emplace("subrole", *candidate.subrole);
    }
    if (candidate.identifier) {
        object.emplace("identifier", *candidate.identifier);
    }
    return object;
}

} // namespace bix::ax
