// The commands that act on a bound, resolved target and read the assistant's answer:
// setComposerText, pressSubmit, observeResponse, getLatestResponse, pressStop and
// pressNewConversation. Each checks its parameters completely, in a fixed order, before the
// action executor or the response observer runs.
#include "Platform/Iso8601.h"
#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolLimits.h"
#include "Runtime/CommandParameters.h"
#include "Runtime/HelperCommandTable.h"

#include <array>

namespace bix::ax {

namespace {

// The binding and resolution every action names, checked in this order.
struct ResolvedTarget {
    std::string bindingId;
    std::string resolutionId;
};

ResolvedTarget resolvedTarget(const JSONObject& params) {
    std::string bindingId = identifierParameter(params, "bindingId");
    return {std::move(bindingId), identifierParameter(params, "resolutionId")};
}

std::int64_t timingParameter(const JSONObject& params, std::string_view key) {
    const JSONValue* value = jsonValue(params, key);
    const std::optional<std::int64_t> integer = value ? value->intValue() : std::nullopt;
    if (!integer) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest,
                                  "Observation timing is invalid.");
    }
    return *integer;
}

JSONValue attempted() {
    return JSONObject{{"retried", false}, {"status", "attempted"}};
}

JSONValue setComposerText(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "resolutionId", "text"});
    const auto [bindingId, resolutionId] = resolvedTarget(params);
    const std::string text = Validation::boundedText(
        params, "text", HelperProtocolLimits::maximumPromptUTF8Bytes, Validation::Pattern::none);
    return JSONObject{
        {"contentFingerprint",
         context.services.actions->setComposerText(bindingId, resolutionId, text)},
        {"status", "verified"},
    };
}

JSONValue pressSubmit(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "resolutionId"});
    const auto [bindingId, resolutionId] = resolvedTarget(params);
    const SubmitResult result = context.services.actions->pressSubmit(bindingId, resolutionId);
    return JSONObject{
        {"delivery", result.delivery},
        {"observedComposerChange", result.observedComposerChange},
        {"retried", false},
    };
}

JSONValue observeResponse(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params,
                          {"bindingId", "maximumWaitMs", "resolutionId", "stableMs", "turnToken"});
    const std::int64_t stableMs = timingParameter(params, "stableMs");
    const std::int64_t maximumWaitMs = timingParameter(params, "maximumWaitMs");
    const auto [bindingId, resolutionId] = resolvedTarget(params);
    const std::string turnToken = identifierParameter(params, "turnToken");
    const ResponseObservationStarted started = context.services.observer->observe(
        bindingId, resolutionId, turnToken, stableMs, maximumWaitMs);
    return JSONObject{
        {"baselinePresent", started.baselinePresent},
        {"mode", started.mode},
        {"observationId", started.observationId},
    };
}

JSONValue getLatestResponse(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "observationId", "resolutionId", "turnToken"});
    const std::string observationId = identifierParameter(params, "observationId");
    const auto [bindingId, resolutionId] = resolvedTarget(params);
    const std::string turnToken = identifierParameter(params, "turnToken");
    const LatestResponseResult latest =
        context.services.observer->latest(observationId, bindingId, resolutionId, turnToken);
    JSONObject result{
        {"observedAt", iso8601UTC(latest.observedAt)},
        {"status", latest.status},
    };
    if (latest.text) {
        result.emplace("text", *latest.text);
    }
    if (latest.contentFingerprint) {
        result.emplace("contentFingerprint", *latest.contentFingerprint);
    }
    return result;
}

JSONValue pressStop(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "resolutionId"});
    const auto [bindingId, resolutionId] = resolvedTarget(params);
    // Running observations go on: the stopped answer is still read to its end.
    context.services.actions->pressStop(bindingId, resolutionId);
    return attempted();
}

JSONValue pressNewConversation(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, {"bindingId", "resolutionId"});
    const auto [bindingId, resolutionId] = resolvedTarget(params);
    context.services.actions->pressNewConversation(bindingId, resolutionId);
    // Only after a press that went through: the old answers are gone with the conversation.
    context.services.observer->remove(bindingId);
    return attempted();
}

constexpr std::array kActionEntries{
    HelperCommandEntry{HelperCommand::setComposerText, setComposerText},
    HelperCommandEntry{HelperCommand::pressSubmit, pressSubmit},
    HelperCommandEntry{HelperCommand::observeResponse, observeResponse},
    HelperCommandEntry{HelperCommand::getLatestResponse, getLatestResponse},
    HelperCommandEntry{HelperCommand::pressStop, pressStop},
    HelperCommandEntry{HelperCommand::pressNewConversation, pressNewConversation},
};

} // namespace

std::span<const HelperCommandEntry> actionCommands() {
    return kActionEntries;
}

} // namespace bix::ax
