#include "Runtime/AccessibilityHelperRuntime.h"

#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/Redaction.h"
#include "Protocol/Validation.h"

#include <array>
#include <exception>
#include <utility>

namespace bix::ax {

namespace {

constexpr int kParserMaximumDepth = 32;
constexpr int kParserMaximumNodes = 8192;

bool isFatalCode(HelperErrorCode code) {
    return code == HelperErrorCode::sessionMismatch ||
           code == HelperErrorCode::unsupportedProtocol || code == HelperErrorCode::frameTooLarge;
}

const HelperProtocolError& internalFailure() {
    static const HelperProtocolError error(HelperErrorCode::internalFailure,
                                           "The helper failed safely.");
    return error;
}

} // namespace

const std::string& AccessibilityHelperRuntime::buildIdentifier() {
    static const std::string identifier = Redaction::semanticFingerprint(
        {"bix-ai-accessibility-helper", std::string(helperVersion), "bix.ax.helper/1"});
    return identifier;
}

namespace {

// The service graph of one session, in the order each depends on the ones before it.
HelperServices buildServices(std::shared_ptr<AccessibilityBackend> backend, const Clock& now) {
    HelperServices services;
    services.backend = std::move(backend);
    services.discovery = std::make_shared<AppDiscovery>(services.backend, now);
    services.targets =
        std::make_shared<BoundTargetStore>(services.backend, services.discovery, now);
    services.treeReader = std::make_shared<AccessibilityTreeReader>(
        services.backend, kAccessibilityTreeMaximumNodes, kAccessibilityTreeMaximumDepth,
        kAccessibilityTreeMaximumDuration, now);
    services.matcher = std::make_shared<ElementMatcher>();
    services.resolutions =
        ProfileResolutionStore::create(services.targets, services.treeReader, services.matcher);
    services.actions = std::make_shared<ActionExecutor>(services.backend, services.resolutions);
    services.observer =
        std::make_shared<ResponseObserver>(services.backend, services.resolutions, now);
    services.teach = std::make_shared<DesktopTeachService>(services.backend, services.targets,
                                                           services.treeReader);
    return services;
}

} // namespace

AccessibilityHelperRuntime::AccessibilityHelperRuntime(
    std::shared_ptr<AccessibilityBackend> backend, Clock now)
    : now_(std::move(now)), services_(buildServices(std::move(backend), now_)),
      parser_(kParserMaximumDepth, kParserMaximumNodes) {
    // The store outlives no runtime (the runtime holds the only reference), so `this` is safe.
    targetInvalidationToken_ = services_.targets->addInvalidationHandler(
        [this](const std::string& bindingId) { bindingInvalidated(bindingId); });
}

AccessibilityHelperRuntime::~AccessibilityHelperRuntime() {
    shutdown();
}

RuntimeReply AccessibilityHelperRuntime::handle(std::string_view payload) {
    std::lock_guard operation(operationLock_);
    FailureContext context;
    try {
        return handleLocked(payload, context);
    } catch (const HelperProtocolError& error) {
        if (context.inHello || isFatalCode(error.code())) {
            markStopped();
            RuntimeReply reply = failureReply(error, context);
            reply.shouldShutdown = true;
            return reply;
        }
        return failureReply(error, context);
    } catch (...) {
        return failureReply(internalFailure(), context);
    }
}

RuntimeReply AccessibilityHelperRuntime::handleLocked(std::string_view payload,
                                                      FailureContext& context) {
    if (payload.size() > HelperProtocolLimits::maximumFrameBytes) {
        throw HelperProtocolError(HelperErrorCode::frameTooLarge,
                                  "Frame exceeds the protocol limit.");
    }
    const JSONValue value = parser_.parse(payload);
    std::optional<std::string> sessionNonce;
    bool stopped = false;
    {
        std::lock_guard state(stateLock_);
        sessionNonce = processNonce_;
        stopped = stopped_;
    }
    if (!sessionNonce) {
        context.inHello = true;
        if (stopped) {
            throw HelperProtocolError(HelperErrorCode::handshakeRequired,
                                      "Helper is shutting down.");
        }
        return acceptHello(value, context);
    }
    if (stopped) {
        throw HelperProtocolError(HelperErrorCode::handshakeRequired, "Helper is shutting down.");
    }
    return runCommand(value, *sessionNonce, context);
}

RuntimeReply AccessibilityHelperRuntime::acceptHello(const JSONValue& value,
                                                     FailureContext& context) {
    (void)context;
    const HelperHello hello = HelperHello::parse(value);
    {
        std::lock_guard state(stateLock_);
        processNonce_ = hello.processNonce;
    }
    return {encoder_.helloAck(hello.requestId, hello.processNonce, std::string(helperVersion),
                              buildIdentifier()),
            false};
}

RuntimeReply AccessibilityHelperRuntime::runCommand(const JSONValue& value,
                                                    const std::string& sessionNonce,
                                                    FailureContext& context) {
    const HelperCommandRequest request = HelperCommandRequest::parse(value);
    // From here on the host can match the failure to its request.
    context.requestId = request.requestId;
    context.processNonce = sessionNonce;
    if (request.processNonce != sessionNonce) {
        throw HelperProtocolError(HelperErrorCode::sessionMismatch,
                                  "Helper process session does not match.");
    }
#ifdef BIX_TEST_HOOKS
    if (hooks_.beforeDispatch) {
        hooks_.beforeDispatch(request.command);
    }
#endif
    DispatchResult result = dispatch(request);
    return {encoder_.success(request.requestId, sessionNonce, result.value), result.shouldShutdown};
}

RuntimeReply AccessibilityHelperRuntime::failureReply(const HelperProtocolError& error,
                                                      const FailureContext& context) {
    try {
        return {encoder_.failure(context.requestId, context.processNonce, error), false};
    } catch (...) {
        return {std::string(), false}; // the server reports this and stops
    }
}

void AccessibilityHelperRuntime::markStopped() {
    std::lock_guard state(stateLock_);
    stopped_ = true;
}

void AccessibilityHelperRuntime::shutdown() {
#ifdef BIX_TEST_HOOKS
    if (hooks_.shutdownRequested) {
        hooks_.shutdownRequested();
    }
#endif
    std::lock_guard operation(operationLock_);
    {
        std::lock_guard state(stateLock_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
    }
#ifdef BIX_TEST_HOOKS
    if (hooks_.teardownStarted) {
        hooks_.teardownStarted();
    }
#endif
    services_.observer->shutdown();
    services_.resolutions->shutdown();
    services_.targets->shutdown(); // tells the listeners about the binding it drops
    if (targetInvalidationToken_) {
        services_.targets->removeInvalidationHandler(*targetInvalidationToken_);
        targetInvalidationToken_.reset();
    }
}

void AccessibilityHelperRuntime::bindingInvalidated(const std::string& bindingId) {
    services_.observer->remove(bindingId);
#ifdef BIX_TEST_HOOKS
    if (hooks_.bindingInvalidated) {
        hooks_.bindingInvalidated(bindingId);
    }
#endif
}

#ifdef BIX_TEST_HOOKS
void AccessibilityHelperRuntime::setTestHooks(RuntimeTestHooks hooks) {
    std::lock_guard operation(operationLock_);
    hooks_ = std::move(hooks);
}
#endif

AccessibilityHelperRuntime::DispatchResult
AccessibilityHelperRuntime::dispatch(const HelperCommandRequest& request) {
    const HelperCommandEntry* entry = helperCommandEntry(request.command);
    if (entry == nullptr) {
        // Commands whose services are not part of this build refuse without side effects.
        throw internalFailure();
    }
    CommandContext context{services_, [this] { shutdown(); }};
    return {entry->handler(context, request.params), entry->endsSession};
}

namespace {

JSONValue shutdownCommand(CommandContext& context, const JSONObject& params) {
    Validation::exactKeys(params, std::initializer_list<std::string_view>{});
    context.shutdownSession(); // the operation lock is recursive: this runs inside handle()
    return JSONObject{{"status", "shutting-down"}};
}

constexpr std::array kSessionEntries{
    HelperCommandEntry{HelperCommand::shutdown, shutdownCommand, true},
};

} // namespace

std::span<const HelperCommandEntry> sessionCommands() {
    return kSessionEntries;
}

} // namespace bix::ax
