#include "Protocol/HelperRequests.h"

#include "Protocol/HelperError.h"
#include "Protocol/Validation.h"

namespace bix {
namespace {

constexpr std::size_t kMaximumRequestIdBytes = 128;
constexpr std::size_t kMaximumNonceBytes = 128;
constexpr std::size_t kMaximumAppVersionBytes = 64;
constexpr std::size_t kMaximumCommandBytes = 64;

struct CommandName {
    HelperCommand command;
    std::string_view name;
};

constexpr std::array<CommandName, kHelperCommandCount> kCommandNames{{
    {HelperCommand::checkTrust, "checkTrust"},
    {HelperCommand::listCandidateApps, "listCandidateApps"},
    {HelperCommand::bindTarget, "bindTarget"},
    {HelperCommand::unbindTarget, "unbindTarget"},
    {HelperCommand::inspectBoundTarget, "inspectBoundTarget"},
    {HelperCommand::promoteTeachProfile, "promoteTeachProfile"},
    {HelperCommand::resolveProfile, "resolveProfile"},
    {HelperCommand::setComposerText, "setComposerText"},
    {HelperCommand::pressSubmit, "pressSubmit"},
    {HelperCommand::observeResponse, "observeResponse"},
    {HelperCommand::getLatestResponse, "getLatestResponse"},
    {HelperCommand::pressStop, "pressStop"},
    {HelperCommand::pressNewConversation, "pressNewConversation"},
    {HelperCommand::shutdown, "shutdown"},
}};

constexpr bool tableFollowsDeclarationOrder() {
    for (std::size_t i = 0; i < kCommandNames.size(); ++i) {
        if (static_cast<std::size_t>(kCommandNames[i].command) != i) {
            return false;
        }
    }
    return true;
}
static_assert(tableFollowsDeclarationOrder());

bool isProtocolName(const JSONValue* value) {
    const std::string* name = value != nullptr ? value->stringValue() : nullptr;
    return name != nullptr && *name == kHelperProtocolName;
}

bool isProtocolVersion(const JSONValue* value) {
    return value != nullptr && value->intValue() == kHelperProtocolVersion;
}

} // namespace

const std::array<HelperCommand, kHelperCommandCount>& allHelperCommands() {
    static const auto commands = [] {
        std::array<HelperCommand, kHelperCommandCount> all{};
        for (std::size_t i = 0; i < kCommandNames.size(); ++i) {
            all[i] = kCommandNames[i].command;
        }
        return all;
    }();
    return commands;
}

std::string_view rawValue(HelperCommand command) {
    return kCommandNames.at(static_cast<std::size_t>(command)).name;
}

std::optional<HelperCommand> helperCommandFromRawValue(std::string_view name) {
    for (const auto& entry : kCommandNames) {
        if (entry.name == name) {
            return entry.command;
        }
    }
    return std::nullopt;
}

HelperHello HelperHello::parse(const JSONValue& value) {
    const JSONObject* object = value.objectValue();
    if (object == nullptr) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest, "Handshake must be an object.");
    }
    Validation::exactKeys(*object, {"protocol", "protocolMin", "protocolMax", "requestId",
                                    "processNonce", "appVersion"});
    if (!isProtocolName(jsonValue(*object, "protocol")) ||
        !isProtocolVersion(jsonValue(*object, "protocolMin")) ||
        !isProtocolVersion(jsonValue(*object, "protocolMax"))) {
        throw HelperProtocolError(HelperErrorCode::unsupportedProtocol,
                                  "No supported helper protocol version.");
    }
    HelperHello hello;
    hello.requestId = Validation::boundedText(*object, "requestId", kMaximumRequestIdBytes,
                                              Validation::Pattern::opaque);
    hello.processNonce = Validation::boundedText(*object, "processNonce", kMaximumNonceBytes,
                                                 Validation::Pattern::processNonce);
    hello.appVersion = Validation::boundedText(*object, "appVersion", kMaximumAppVersionBytes,
                                               Validation::Pattern::none);
    return hello;
}

HelperCommandRequest HelperCommandRequest::parse(const JSONValue& value) {
    const JSONObject* object = value.objectValue();
    if (object == nullptr) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest, "Command must be an object.");
    }
    Validation::exactKeys(
        *object, {"protocol", "protocolVersion", "requestId", "processNonce", "command", "params"});
    if (!isProtocolName(jsonValue(*object, "protocol")) ||
        !isProtocolVersion(jsonValue(*object, "protocolVersion"))) {
        throw HelperProtocolError(HelperErrorCode::unsupportedProtocol,
                                  "Unsupported helper protocol version.");
    }
    // The allowlist is consulted before anything else about the request is judged.
    const std::string name = Validation::boundedText(*object, "command", kMaximumCommandBytes,
                                                     Validation::Pattern::none);
    const std::optional<HelperCommand> command = helperCommandFromRawValue(name);
    if (!command) {
        throw HelperProtocolError(HelperErrorCode::commandNotAllowed,
                                  "Command is not allowlisted.");
    }
    const JSONObject* params = jsonValue(*object, "params")->objectValue();
    if (params == nullptr) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest, "params must be an object.");
    }
    HelperCommandRequest request;
    request.requestId = Validation::boundedText(*object, "requestId", kMaximumRequestIdBytes,
                                                Validation::Pattern::opaque);
    request.processNonce = Validation::boundedText(*object, "processNonce", kMaximumNonceBytes,
                                                   Validation::Pattern::processNonce);
    request.command = *command;
    request.params = *params;
    return request;
}

} // namespace bix
