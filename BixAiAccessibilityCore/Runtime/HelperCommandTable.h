#pragma once

#include "Access/AccessibilityBackend.h"
#include "Access/AccessibilityTreeReader.h"
#include "Actions/ActionExecutor.h"
#include "Actions/ResponseObserver.h"
#include "Binding/AppDiscovery.h"
#include "Binding/BoundTargetStore.h"
#include "Profiles/DesktopTeachService.h"
#include "Profiles/ElementMatcher.h"
#include "Profiles/ProfileResolutionStore.h"
#include "Protocol/HelperRequests.h"
#include "Protocol/JSONValue.h"

#include <functional>
#include <memory>
#include <span>

namespace bix::ax {

// The services of one helper session, built by the runtime over one backend and one clock.
// Commands reach the platform only through these.
struct HelperServices {
    std::shared_ptr<AccessibilityBackend> backend;
    std::shared_ptr<AppDiscovery> discovery;
    std::shared_ptr<BoundTargetStore> targets;
    std::shared_ptr<AccessibilityTreeReader> treeReader;
    std::shared_ptr<ElementMatcher> matcher;
    std::shared_ptr<ProfileResolutionStore> resolutions;
    std::shared_ptr<ActionExecutor> actions;
    std::shared_ptr<ResponseObserver> observer;
    std::shared_ptr<DesktopTeachService> teach;
};

// What a command handler is given besides its parameters.
struct CommandContext {
    HelperServices& services;
    std::function<void()> shutdownSession; // the runtime's idempotent teardown
};

// Checks a command's parameters completely, in the command's fixed order, then calls the
// services and builds the result object. Throws HelperProtocolError.
using CommandHandler = JSONValue (*)(CommandContext& context, const JSONObject& params);

// One command of the wire protocol and how it is served.
struct HelperCommandEntry {
    HelperCommand command;
    CommandHandler handler;
    bool endsSession = false; // the session stops once the reply is written
};

// Each group of commands lives beside the services it drives and lists its entries here.
std::span<const HelperCommandEntry> discoveryAndBindingCommands();
std::span<const HelperCommandEntry> profileCommands();
std::span<const HelperCommandEntry> teachCommands();
std::span<const HelperCommandEntry> actionCommands();
std::span<const HelperCommandEntry> sessionCommands();

// The entry serving `command`, or nullptr for a command this build does not serve.
const HelperCommandEntry* helperCommandEntry(HelperCommand command);

} // namespace bix::ax
