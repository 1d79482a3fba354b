#pragma once

#include "Protocol/JSONValue.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace bix::ax {

// The protocol's name on the wire and the one version this helper speaks.
inline constexpr std::string_view kHelperProtocolName = "bix.ax.helper";
inline constexpr std::int64_t kHelperProtocolVersion = 1;

// The allowlist: no other command name is ever accepted. The wire name is the case name.
enum class HelperCommand {
    checkTrust,
    listCandidateApps,
    bindTarget,
    unbindTarget,
    inspectBoundTarget,
    promoteTeachProfile,
    resolveProfile,
    setComposerText,
    pressSubmit,
    observeResponse,
    getLatestResponse,
    pressStop,
    pressNewConversation,
    shutdown,
};

inline constexpr std::size_t kHelperCommandCount = 14;

// Every command, in declaration order.
const std::array<HelperCommand, kHelperCommandCount>& allHelperCommands();

// The wire name of a command, e.g. "checkTrust".
std::string_view rawValue(HelperCommand command);

// The command whose wire name is exactly `name` (case-sensitive), or nothing.
std::optional<HelperCommand> helperCommandFromRawValue(std::string_view name);

// The handshake that opens a session: all three members validated; appVersion is used for
// nothing else.
struct HelperHello {
    std::string requestId;
    std::string processNonce;
    std::string appVersion;

    // Checks a decoded hello object completely. Throws HelperProtocolError: invalidRequest for
    // the shape and the identifiers, unsupportedProtocol for the protocol members.
    static HelperHello parse(const JSONValue& value);
};

// One command request. The parameters are not inspected here: each command checks its own.
struct HelperCommandRequest {
    std::string requestId;
    std::string processNonce;
    HelperCommand command = HelperCommand::checkTrust;
    JSONObject params;

    // Checks a decoded request object (everything but the session nonce's value). Throws
    // HelperProtocolError: invalidRequest, unsupportedProtocol or commandNotAllowed.
    static HelperCommandRequest parse(const JSONValue& value);
};

} // namespace bix::ax
