// The command that attaches a layout profile to a binding: resolveProfile. It checks its
// parameters and parses the profile completely before any service runs, then binds the profile's
// locators to the live controls of the bound window.
#include "Runtime/ProfileCommands.h"

#include "Profiles/DesktopAccessibilityProfile.h"
#include "Runtime/CommandParameters.h"
#include "Runtime/HelperCommandTable.h"

#include <array>

namespace bix::ax {

JSONValue capabilitiesObject(const ResolvedDesktopProfile& resolution) {
    return JSONObject{
        {"canCreateConversation", resolution.newConversation.has_value()},
        {"canPressStop", resolution.stopGeneration.has_value()},
        {"canPressSubmit", true},
        {"canReadResponse", true},
        {"canSetComposer", true},
        {"newConversationControlProfiled", resolution.profile.newConversation.has_value()},
        {"stopControlProfiled", resolution.profile.stopGeneration.has_value()},
        {"usesCoordinates", false},
    };
}

JSONObject resolutionResult(const ResolvedDesktopProfile& resolution) {
    return JSONObject{
        {"capabilities", capabilitiesObject(resolution)},
        {"profileId", resolution.profile.profileId},
        {"profileVersion", resolution.profile.profileVersion},
        {"resolutionId", resolution.resolutionId},
        {"structureFingerprint", resolution.structureFingerprint},
    };
}

namespace {

JSONValue resolveProfile(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "profile"});
    const std::string bindingId = identifierParameter(params, "bindingId");
    const auto profile = DesktopAccessibilityProfile::parse(*jsonValue(params, "profile"));
    // Dropped before the resolution is attempted, so also when it then fails.
    context.services.observer->remove(bindingId);
    return resolutionResult(context.services.resolutions->resolve(bindingId, profile));
}

constexpr std::array kProfileEntries{
    HelperCommandEntry{HelperCommand::resolveProfile, resolveProfile},
};

} // namespace

std::span<const HelperCommandEntry> profileCommands() {
    return kProfileEntries;
}

} // namespace bix::ax
