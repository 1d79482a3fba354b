#pragma once

#include "Access/AccessibilityBackend.h"
#include "Platform/Clock.h"
#include "Platform/Uuid.h"
#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolEncoder.h"
#include "Protocol/HelperRequests.h"
#include "Protocol/JSONValue.h"
#include "Protocol/StrictJSONParser.h"
#include "Runtime/HelperCommandTable.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace bix::ax {

// What the server writes back for one request payload.
struct RuntimeReply {
    std::string
        payload; // the encoded envelope; empty only if even the failure could not be encoded
    bool shouldShutdown = false; // stop after this reply has been written
};

#ifdef BIX_TEST_HOOKS
// Test-only seams for deterministic races; each runs on the thread that reaches it.
struct RuntimeTestHooks {
    std::function<void(HelperCommand)> beforeDispatch; // operation lock held
    std::function<void()> shutdownRequested;           // before the operation lock is taken
    std::function<void()> teardownStarted;             // operation lock held, first real teardown
    std::function<void(const std::string&)> bindingInvalidated; // the runtime's listener ran
};
#endif

// One helper session: turns each request payload into exactly one reply payload, enforces the
// handshake and the session nonce, decides which failures end the session, serialises every
// command and tears the services down once.
//
// Owns the service graph built over the shared backend and clock (discovery, target store, tree
// reader, matcher, resolution store, teach service, in that order) and the one listener it
// registers with the target store. Commands are served through the command table. `operationLock_`
// (recursive) is held for the whole of `handle` and `shutdown`, so commands never overlap and a
// shutdown waits for the command in progress. `stateLock_` guards `processNonce_` and `stopped_`,
// is only taken inside `operationLock_` and is never held across a call. Invariants: the nonce is
// set at most once; once `stopped_` is true it stays true.
class AccessibilityHelperRuntime {
public:
    static constexpr std::string_view helperVersion = "1.1.0";
    // Semantic fingerprint of the helper name, version and protocol; computed once.
    static const std::string& buildIdentifier();

    AccessibilityHelperRuntime(std::shared_ptr<AccessibilityBackend> backend, Clock now);
    ~AccessibilityHelperRuntime(); // shuts down
    AccessibilityHelperRuntime(const AccessibilityHelperRuntime&) = delete;
    AccessibilityHelperRuntime& operator=(const AccessibilityHelperRuntime&) = delete;

    // Handles one request payload. Never throws: every failure becomes a failure envelope.
    RuntimeReply handle(std::string_view payload);
    // Idempotent teardown; waits for a command in progress. Only the first call does any work.
    void shutdown();

#ifdef BIX_TEST_HOOKS
    void setTestHooks(RuntimeTestHooks hooks);
    AppDiscovery& discoveryForTesting() {
        return *services_.discovery;
    }
    BoundTargetStore& targetsForTesting() {
        return *services_.targets;
    }
    ProfileResolutionStore& resolutionsForTesting() {
        return *services_.resolutions;
    }
#endif

private:
    struct DispatchResult {
        JSONValue value;
        bool shouldShutdown = false;
    };
    // Identifiers known at the point of a failure; both absent before a request parsed.
    struct FailureContext {
        std::optional<std::string> requestId;
        std::optional<std::string> processNonce;
        bool inHello = false;
    };

    RuntimeReply handleLocked(std::string_view payload, FailureContext& context);
    RuntimeReply acceptHello(const JSONValue& value, FailureContext& context);
    RuntimeReply runCommand(const JSONValue& value, const std::string& sessionNonce,
                            FailureContext& context);
    RuntimeReply failureReply(const HelperProtocolError& error, const FailureContext& context);
    void markStopped();

    DispatchResult dispatch(const HelperCommandRequest& request);
    // The target store's listener: a dropped binding takes its response observations with it.
    void bindingInvalidated(const std::string& bindingId);

    Clock now_;
    HelperServices services_;
    std::recursive_mutex operationLock_;
    StrictJSONParser parser_;
    HelperProtocolEncoder encoder_;
    std::mutex stateLock_; // guards processNonce_ and stopped_
    std::optional<std::string> processNonce_;
    bool stopped_ = false;
    std::optional<Uuid> targetInvalidationToken_; // guarded by operationLock_
#ifdef BIX_TEST_HOOKS
    RuntimeTestHooks hooks_;
#endif
};

} // namespace bix::ax
