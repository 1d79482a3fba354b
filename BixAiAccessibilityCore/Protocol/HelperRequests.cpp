#include "Protocol/HelperRequests.h"

#include "Protocol/HelperError.h"
#include "Protocol/RawValueTable.h"
#include "Protocol/Validation.h"

#include <stdexcept>

namespace bix::ax {
namespace {

constexpr std::size_t kMaximumRequestIdBytes = 128;
constexpr std::size_t kMaximumNonceBytes = 128;
constexpr std::size_t kMaximumAppVersionBytes = 64;
constexpr std::size_t kMaximumCommandBytes = 64;

using CommandNames = RawValueTable<HelperCommand, kHelperCommandCount>;

constexpr CommandNames kCommandNames{{{
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
}}};
static_assert(kCommandNames.followsDeclarationOrder());

bool isProtocolName(const JSONValue* value) {
    const std::string* name = value != nullptr ? value->stringValue() : nullptr;
    return name != nullptr && *name == kHelperProtocolName;
}

bool isProtocolVersion(const JSONValue* value) {
    return value != nullptr && value->intValue() == kHelperProtocolVersion;
}

} // namespace

const std::array<HelperCommand, kHelperCommandCount>& allHelperCommands() {
    static constexpr auto commands = kCommandNames.allValues();
    return commands;
}

std::string_view rawValue(HelperCommand command) {
    if (const std::optional<std::string_view> name = kCommandNames.name(command)) {
        return *name;
    }
    throw std::out_of_range("rawValue: not a HelperCommand");
}

std::optional<HelperCommand> helperCommandFromRawValue(std::string_view name) {
    return kCommandNames.find(name);
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

} // namespace bix::ax
