// The commands with which the host teaches a new application layout: inspectBoundTarget reads
// the bound window (a health check, or teach candidates), promoteTeachProfile resolves a freshly
// taught profile and moves the binding over to it.
#include "Profiles/DesktopAccessibilityProfile.h"
#include "Protocol/HelperError.h"
#include "Runtime/CommandParameters.h"
#include "Runtime/HelperCommandTable.h"
#include "Runtime/ProfileCommands.h"

#include <array>

namespace bix::ax {

namespace {

constexpr std::size_t kMaximumPurposeBytes = 16;

JSONValue inspectBoundTarget(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "purpose"});
    const std::string purpose =
        Validation::boundedText(params, "purpose", kMaximumPurposeBytes, Validation::Pattern::none);
    if (purpose != "health" && purpose != "teach") {
        throw HelperProtocolError(HelperErrorCode::invalidRequest,
                                  "Inspection purpose is invalid.");
    }
    const std::string bindingId = identifierParameter(params, "bindingId");
    return context.services.teach->inspect(bindingId, purpose == "teach");
}

JSONValue promoteTeachProfile(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "expectedProfileHash", "profile"});
    const std::string bindingId = identifierParameter(params, "bindingId");
    const auto profile = DesktopAccessibilityProfile::parse(*jsonValue(params, "profile"));
    // Dropped before the resolution is attempted, so also when it then fails.
    context.services.observer->remove(bindingId);
    const std::string expectedProfileHash = Validation::boundedText(
        params, "expectedProfileHash", kMaximumProfileHashBytes, Validation::Pattern::hash);
    JSONObject result = resolutionResult(
        context.services.resolutions->resolveTeach(bindingId, expectedProfileHash, profile));
    result.emplace("profileHash", profile.profileHash);
    return result;
}

constexpr std::array kTeachEntries{
    HelperCommandEntry{HelperCommand::inspectBoundTarget, inspectBoundTarget},
    HelperCommandEntry{HelperCommand::promoteTeachProfile, promoteTeachProfile},
};

} // namespace

std::span<const HelperCommandEntry> teachCommands() {
    return kTeachEntries;
}

} // namespace bix::ax
