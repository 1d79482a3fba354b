// The commands that find and bind a target application: checkTrust, listCandidateApps,
// bindTarget and unbindTarget. Each checks its parameters completely, in a fixed order, before
// it calls a service, and turns the service's answer into the result object.
#include "Protocol/Validation.h"
#include "Runtime/AccessibilityHelperRuntime.h"

#include <initializer_list>
#include <string_view>

namespace bix {

namespace {

constexpr std::size_t kMaximumIdentifierBytes = 128;
constexpr std::size_t kMaximumBundleIdBytes = 255;
constexpr std::size_t kMaximumProfileHashBytes = 64;

constexpr std::string_view kSettingsHint = "System Settings > Privacy & Security > Accessibility";

JSONValue candidateObject(const AppCandidate& candidate) {
    return JSONObject{
        {"bundleId", candidate.bundleId},       {"candidateId", candidate.candidateId},
        {"displayName", candidate.displayName}, {"isActive", candidate.isActive},
        {"isRunning", candidate.isRunning},
    };
}

JSONValue windowObject(const WindowCandidate& window) {
    JSONObject object{
        {"displayLabel", window.displayLabel},
        {"isFocused", window.isFocused},
        {"role", window.role},
        {"windowCandidateId", window.windowCandidateId},
    };
    if (window.subrole) {
        object.emplace("subrole", *window.subrole);
    }
    return object;
}

JSONValue boundObject(const BoundTargetSummary& summary) {
    return JSONObject{
        {"bindingId", summary.bindingId},
        {"bundleId", summary.bundleId},
        {"displayName", summary.displayName},
        {"processRef", summary.processRef},
        {"profileHash", summary.profileHash},
        {"status", "bound"},
        {"windowFingerprint", summary.windowFingerprint},
        {"windowRef", summary.windowRef},
    };
}

JSONValue bindResultObject(const BindTargetResult& result) {
    if (result.isBound()) {
        return boundObject(result.summary());
    }
    JSONArray windows;
    for (const auto& window : result.windows()) {
        windows.push_back(windowObject(window));
    }
    return JSONObject{{"status", "window-selection-required"}, {"windows", std::move(windows)}};
}

} // namespace

JSONValue AccessibilityHelperRuntime::checkTrust(const JSONObject& params) {
    Validation::exactKeys(params, {"prompt"});
    const std::optional<bool> prompt = jsonValue(params, "prompt")->boolValue();
    if (!prompt) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest, "prompt must be a boolean.");
    }
    const bool trusted = backend_->isTrusted(*prompt);
    return JSONObject{
        {"permissionState", trusted ? "authorized" : "not-authorized"},
        {"settingsHint", kSettingsHint},
        {"trusted", trusted},
    };
}

JSONValue AccessibilityHelperRuntime::listCandidateApps(const JSONObject& params) {
    Validation::exactKeys(params, std::initializer_list<std::string_view>{});
    JSONArray candidates;
    for (const auto& candidate : discovery_->listCandidates()) {
        candidates.push_back(candidateObject(candidate));
    }
    return JSONObject{{"candidates", std::move(candidates)}};
}

JSONValue AccessibilityHelperRuntime::bindTarget(const JSONObject& params) {
    Validation::exactKeys(params, {"candidateId", "expectedBundleId", "profileHash"},
                          {"windowCandidateId"});
    const std::string candidateId = Validation::boundedText(
        params, "candidateId", kMaximumIdentifierBytes, Validation::Pattern::opaque);
    const std::string expectedBundleId = Validation::boundedText(
        params, "expectedBundleId", kMaximumBundleIdBytes, Validation::Pattern::bundle);
    const std::string profileHash = Validation::boundedText(
        params, "profileHash", kMaximumProfileHashBytes, Validation::Pattern::hash);
    std::optional<std::string> windowCandidateId;
    // A present key must hold a valid identifier: a JSON null is not "no window".
    if (const JSONValue* value = jsonValue(params, "windowCandidateId")) {
        windowCandidateId = Validation::boundedText(
            value, "windowCandidateId", kMaximumIdentifierBytes, Validation::Pattern::opaque);
    }
    return bindResultObject(
        targets_->bind(candidateId, expectedBundleId, profileHash, windowCandidateId));
}

JSONValue AccessibilityHelperRuntime::unbindTarget(const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId"});
    const std::string bindingId = Validation::boundedText(
        params, "bindingId", kMaximumIdentifierBytes, Validation::Pattern::opaque);
    targets_->unbind(bindingId);
    return JSONObject{{"status", "unbound"}};
}

} // namespace bix
