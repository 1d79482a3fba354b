#pragma once

#include "Access/AccessibilityBackend.h"
#include "Protocol/HelperError.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Assertions on what only the runtime's test hooks can observe (teardowns, listener calls); they
// drop out of builds without test hooks, where the hooks do not exist.
#ifdef BIX_TEST_HOOKS
#define BIX_WITH_TEST_HOOKS(...) __VA_ARGS__
#else
#define BIX_WITH_TEST_HOOKS(...)
#endif

namespace bix::ax::testing {

// A backend for runtime tests that only answers trust questions: the runtime's session rules are
// tested without a desktop. Every other operation behaves like a desktop with no applications.
// `trusted` and `failTrustWith` may be changed between requests; `prompts` records each call.
class TrustOnlyBackend final : public AccessibilityBackend {
public:
    bool trusted = true;
    std::function<void()> failTrustWith; // when set, isTrusted runs it (it throws)
    std::vector<bool> prompts;

    bool isTrusted(bool prompt) override {
        prompts.push_back(prompt);
        if (failTrustWith) {
            failTrustWith();
        }
        return trusted;
    }
    std::vector<RunningApplicationDescriptor> runningApplications() override { return {}; }
    std::optional<RunningApplicationDescriptor> application(std::int32_t) override { return {}; }
    std::vector<AXElementHandle> windows(std::int32_t) override { return {}; }
    AXNodeSnapshot snapshot(const AXElementHandle&, bool) override { throw stale(); }
    void setValue(const std::string&, const AXElementHandle&, const AXBoundActionGuard&) override {
        throw stale();
    }
    void perform(const std::string&, const AXElementHandle&, const AXBoundActionGuard&) override {
        throw stale();
    }
    std::shared_ptr<AXObservation> observe(std::int32_t, const std::vector<AXElementHandle>&,
                                           const std::vector<std::string>&,
                                           AXNotificationHandler) override {
        throw stale();
    }
    std::optional<std::int32_t> frontmostApplicationPID() override { return {}; }
    std::optional<AXElementHandle> focusedElement(std::int32_t) override { return {}; }
    bool activateApplication(std::int32_t) override { return false; }
    bool restoreFocus(const AXElementHandle&, std::int32_t) override { return false; }

private:
    static HelperProtocolError stale() {
        return HelperProtocolError(HelperErrorCode::targetStale,
                                   "AX element is no longer available.");
    }
};

// Request payloads as the host writes them (members in sorted order, compact).
inline constexpr std::string_view kTestNonce = "session-nonce-0123456789";

std::string helloPayload(std::string_view requestId = "hello-1",
                         std::string_view nonce = kTestNonce);
std::string commandPayload(std::string_view command, std::string_view paramsJSON,
                           std::string_view requestId = "req-1",
                           std::string_view nonce = kTestNonce);
// The failure envelope the host should see, with the identifiers given.
std::string failureEnvelope(std::string_view code, std::string_view message,
                            std::optional<std::string_view> requestId = std::nullopt,
                            std::optional<std::string_view> nonce = std::nullopt);
// The success envelope for `resultJSON` (already canonical).
std::string successEnvelope(std::string_view resultJSON, std::string_view requestId = "req-1",
                            std::string_view nonce = kTestNonce);

} // namespace bix::ax::testing
