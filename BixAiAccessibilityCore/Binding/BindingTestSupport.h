#pragma once

// Fixtures shared by the binding tests: a simulated desktop behind a backend that counts calls
// and can run a hook in the middle of an operation, plus small builders for applications and
// windows.

#include "Access/AccessibilityBackend.h"
#include "Binding/AppDiscovery.h"
#include "Binding/BoundTargetStore.h"
#include "Platform/Clock.h"
#include "Protocol/HelperErrorTestSupport.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bix::ax::binding_test {

inline const std::string kProfileHash(64, 'a');
inline const std::string kOtherProfileHash(64, 'b');

inline SimulatedElementSpec windowSpec(const std::string& title,
                                       const std::string& identifier = "main-window") {
    auto spec = SimulatedElementSpec::withRole("AXWindow");
    spec.set("AXTitle", title)
        .set("AXIdentifier", identifier)
        .set("AXSubrole", std::string("AXStandardWindow"));
    return spec;
}

inline SimulatedApplicationSpec applicationSpec(std::int32_t pid, const std::string& bundleId,
                                                const std::string& name, bool active = false,
                                                int windowCount = 1) {
    SimulatedApplicationSpec spec;
    spec.pid = pid;
    spec.bundleId = bundleId;
    spec.localizedName = name;
    spec.isActive = active;
    for (int index = 1; index <= windowCount; ++index) {
        spec.windows.push_back(
            windowSpec(name + " " + std::to_string(index), "window-" + std::to_string(index)));
    }
    return spec;
}

// Forwards every operation to a real backend, counting some calls and running an optional hook
// inside application(), the one call every staleness check makes. A test uses the hook to change
// the world at an exact step of a service operation, without threads or timing.
class InterceptingBackend final : public AccessibilityBackend {
public:
    explicit InterceptingBackend(std::shared_ptr<AccessibilityBackend> inner)
        : inner_(std::move(inner)) {}

    // Runs once, at the next application() call, before the call is forwarded.
    void onNextApplicationLookup(std::function<void()> hook) {
        std::lock_guard guard(mutex_);
        applicationHook_ = std::move(hook);
    }
    // Replaces the running-application list (a backend that forgot to filter).
    void overrideRunningApplications(std::vector<RunningApplicationDescriptor> applications) {
        std::lock_guard guard(mutex_);
        runningOverride_ = std::move(applications);
    }

    int trustChecks() const { return trustChecks_; }
    int activations() const { return activations_; }
    int snapshots() const { return snapshots_; }

    bool isTrusted(bool prompt) override {
        ++trustChecks_;
        return inner_->isTrusted(prompt);
    }
    std::vector<RunningApplicationDescriptor> runningApplications() override {
        {
            std::lock_guard guard(mutex_);
            if (runningOverride_) {
                return *runningOverride_;
            }
        }
        return inner_->runningApplications();
    }
    std::optional<RunningApplicationDescriptor> application(std::int32_t pid) override {
        std::function<void()> hook;
        {
            std::lock_guard guard(mutex_);
            hook = std::exchange(applicationHook_, nullptr);
        }
        if (hook) {
            hook();
        }
        return inner_->application(pid);
    }
    std::vector<AXElementHandle> windows(std::int32_t pid) override { return inner_->windows(pid); }
    AXNodeSnapshot snapshot(const AXElementHandle& handle, bool includeValue) override {
        ++snapshots_;
        return inner_->snapshot(handle, includeValue);
    }
    void setValue(const std::string& value, const AXElementHandle& on,
                  const AXBoundActionGuard& guardedBy) override {
        inner_->setValue(value, on, guardedBy);
    }
    void perform(const std::string& action, const AXElementHandle& on,
                 const AXBoundActionGuard& guardedBy) override {
        inner_->perform(action, on, guardedBy);
    }
    std::shared_ptr<AXObservation> observe(std::int32_t pid,
                                           const std::vector<AXElementHandle>& elements,
                                           const std::vector<std::string>& notifications,
                                           AXNotificationHandler handler) override {
        return inner_->observe(pid, elements, notifications, std::move(handler));
    }
    std::optional<std::int32_t> frontmostApplicationPID() override {
        return inner_->frontmostApplicationPID();
    }
    std::optional<AXElementHandle> focusedElement(std::int32_t pid) override {
        return inner_->focusedElement(pid);
    }
    bool activateApplication(std::int32_t pid) override {
        ++activations_;
        return inner_->activateApplication(pid);
    }
    bool restoreFocus(const AXElementHandle& handle, std::int32_t pid) override {
        return inner_->restoreFocus(handle, pid);
    }

private:
    std::shared_ptr<AccessibilityBackend> inner_;
    std::mutex mutex_; // guards applicationHook_ and runningOverride_
    std::function<void()> applicationHook_;
    std::optional<std::vector<RunningApplicationDescriptor>> runningOverride_;
    std::atomic<int> trustChecks_{0};
    std::atomic<int> activations_{0};
    std::atomic<int> snapshots_{0};
};

// Collects the binding identifiers a store reports as dropped, in order.
class InvalidationRecorder {
public:
    TargetInvalidationHandler handler() {
        return [this](const std::string& bindingId) {
            std::lock_guard guard(mutex_);
            dropped_.push_back(bindingId);
        };
    }
    std::vector<std::string> dropped() const {
        std::lock_guard guard(mutex_);
        return dropped_;
    }

private:
    mutable std::mutex mutex_; // guards dropped_
    std::vector<std::string> dropped_;
};

// A simulated desktop, a manual clock and the binding services over them, wired as the runtime
// wires them.
struct BindingWorld {
    ManualClock clock;
    std::shared_ptr<SimulatedDesktopBackend> simulated = SimulatedDesktopBackend::empty();
    std::shared_ptr<InterceptingBackend> backend = std::make_shared<InterceptingBackend>(simulated);
    std::shared_ptr<AppDiscovery> discovery =
        std::make_shared<AppDiscovery>(backend, clock.clock());
    std::shared_ptr<BoundTargetStore> targets =
        std::make_shared<BoundTargetStore>(backend, discovery, clock.clock());
    InvalidationRecorder recorder;

    BindingWorld() { targets->addInvalidationHandler(recorder.handler()); }

    SimulatedDesktop& desktop() { return simulated->desktop(); }

    // Lists the applications and returns the candidate of `bundleId` (a test failure if absent).
    AppCandidate candidateFor(const std::string& bundleId) {
        for (const AppCandidate& candidate : discovery->listCandidates()) {
            if (candidate.bundleId == bundleId) {
                return candidate;
            }
        }
        ADD_FAILURE() << "no candidate for " << bundleId;
        return {};
    }

    // The first binding step for a candidate; its offered windows.
    std::vector<WindowCandidate> listWindows(const AppCandidate& candidate,
                                             const std::string& profileHash = kProfileHash) {
        return targets->bind(candidate.candidateId, candidate.bundleId, profileHash, std::nullopt)
            .windows();
    }

    // Both binding steps, choosing the offered window at `choice`.
    BoundTargetSummary bind(const std::string& bundleId, std::size_t choice = 0,
                            const std::string& profileHash = kProfileHash) {
        AppCandidate candidate = candidateFor(bundleId);
        std::vector<WindowCandidate> windows = listWindows(candidate, profileHash);
        return targets
            ->bind(candidate.candidateId, bundleId, profileHash,
                   windows.at(choice).windowCandidateId)
            .summary();
    }
};

} // namespace bix::ax::binding_test
