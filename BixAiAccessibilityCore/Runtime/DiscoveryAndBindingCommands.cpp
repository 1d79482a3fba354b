// The commands that find and bind a target application: checkTrust, listCandidateApps,
// bindTarget and unbindTarget. Each checks its parameters completely, in a fixed order, before
// it calls a service, and turns the service's answer into the result object.
#include "Protocol/HelperError.h"
#include "Protocol/Validation.h"
#include "Runtime/CommandParameters.h"
#include "Runtime/HelperCommandTable.h"

#include <array>
#include <initializer_list>
#include <string_view>

namespace bix::ax {

namespace {

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

JSONValue checkTrust(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"prompt"});
    const std::optional<bool> prompt = jsonValue(params, "prompt")->boolValue();
    if (!prompt) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest, "prompt must be a boolean.");
    }
    const bool trusted = context.services.backend->isTrusted(*prompt);
    return JSONObject{
        {"permissionState", trusted ? "authorized" : "not-authorized"},
        {"settingsHint", kSettingsHint},
        {"trusted", trusted},
    };
}

JSONValue listCandidateApps(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, std::initializer_list<std::string_view>{});
    JSONArray candidates;
    for (const auto& candidate : context.services.discovery->listCandidates()) {
        candidates.push_back(candidateObject(candidate));
    }
    return JSONObject{{"candidates", std::move(candidates)}};
}

JSONValue bindTarget(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"candidateId", "expectedBundleId", "profileHash"},
                          {"windowCandidateId"});
    const std::string candidateId = identifierParameter(params, "candidateId");
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
    return bindResultObject(context.services.targets->bind(candidateId, expectedBundleId,
                                                           profileHash, windowCandidateId));
}

JSONValue unbindTarget(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId"});
    const std::string bindingId = identifierParameter(params, "bindingId");
    context.services.targets->unbind(bindingId);
    return JSONObject{{"status", "unbound"}};
}

constexpr std::array kDiscoveryAndBindingEntries{
    HelperCommandEntry{HelperCommand::checkTrust, checkTrust},
    HelperCommandEntry{HelperCommand::listCandidateApps, listCandidateApps},
    HelperCommandEntry{HelperCommand::bindTarget, bindTarget},
    HelperCommandEntry{HelperCommand::unbindTarget, unbindTarget},
};

} // namespace

std::span<const HelperCommandEntry> discoveryAndBindingCommands() {
    return kDiscoveryAndBindingEntries;
}

} // namespace bix::ax
