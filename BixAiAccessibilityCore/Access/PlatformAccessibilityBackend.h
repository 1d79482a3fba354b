#pragma once

#include "Access/AccessibilityBackend.h"
#include "Platform/AXPlatform.h"
#include "Protocol/HelperError.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace bix::ax {

// Fan-out bounds of every read.
inline constexpr std::size_t kMaxWindowsPerApplication = 16;
inline constexpr std::size_t kMaxChildrenPerElement = 256;
// Bounds of the side-effect boundary: the window list it searches and the containment walk.
inline constexpr std::size_t kMaxBoundaryWindows = 64;
inline constexpr std::size_t kMaxContainmentEntries = 2048;
inline constexpr int kMaxContainmentDepth = 24;

// The helper error a platform result code stands for, or nothing for success.
std::optional<HelperProtocolError> helperErrorForAXError(AXError error);

// The backend logic over one AX-like platform layer: the element registry (handles minted once
// per platform element, found again through the element's hash and the platform's equality), the
// snapshot reader, the result-code mapping, the guarded side effects and the notification
// registrations. Everything platform-specific sits behind AXPlatform, so a simulated desktop, an
// AT-SPI layer or the macOS interface can each drive the same rules.
//
// Owns the registry. `lock_` guards `elements_` and `handlesByHash_` and is held only around
// lookups, insertions and the equality walk of registration, never around other platform calls.
// Invariants: every handle in `handlesByHash_` is a key of `elements_`; no two handles name
// elements the platform considers equal; entries are never removed.
class PlatformAccessibilityBackend : public AccessibilityBackend {
public:
    explicit PlatformAccessibilityBackend(std::shared_ptr<AXPlatform> platform);

    bool isTrusted(bool prompt) override;
    std::vector<RunningApplicationDescriptor> runningApplications() override;
    std::optional<RunningApplicationDescriptor> application(std::int32_t pid) override;
    std::vector<AXElementHandle> windows(std::int32_t pid) override;
    AXNodeSnapshot snapshot(const AXElementHandle& handle, bool includeValue) override;
    void setValue(const std::string& value, const AXElementHandle& on,
                  const AXBoundActionGuard& guardedBy) override;
    void perform(const std::string& action, const AXElementHandle& on,
                 const AXBoundActionGuard& guardedBy) override;
    std::shared_ptr<AXObservation> observe(std::int32_t pid,
                                           const std::vector<AXElementHandle>& elements,
                                           const std::vector<std::string>& notifications,
                                           AXNotificationHandler handler) override;
    std::optional<std::int32_t> frontmostApplicationPID() override;
    std::optional<AXElementHandle> focusedElement(std::int32_t pid) override;
    bool activateApplication(std::int32_t pid) override;
    bool restoreFocus(const AXElementHandle& handle, std::int32_t pid) override;

    // How many handles the registry holds (it only grows).
    std::size_t registeredHandleCount() const;

private:
    AXElementHandle registerElement(const AXPlatformElementRef& element);
    AXPlatformElementRef resolve(const AXElementHandle& handle) const;
    static void map(AXError error);
    void requireTrusted();

    template <typename T> T attribute(const AXPlatformElementRef& element, const std::string& name);
    template <typename T>
    std::optional<T> optionalAttribute(const AXPlatformElementRef& element,
                                       const std::string& name);
    std::optional<std::string> optionalStringValue(const AXPlatformElementRef& element);
    std::optional<RunningApplicationDescriptor>
    describe(const std::optional<AXPlatformApplication>& application) const;

    void validateSideEffectBoundary(const AXElementHandle& handle,
                                    const AXPlatformElementRef& element,
                                    const AXBoundActionGuard& actionGuard);
    bool windowContainsExactElement(const AXPlatformElementRef& window,
                                    const AXPlatformElementRef& target, std::int32_t pid);

    std::shared_ptr<AXPlatform> platform_;
    mutable std::mutex lock_; // guards elements_ and handlesByHash_
    std::unordered_map<AXElementHandle, AXPlatformElementRef> elements_;
    std::unordered_map<std::size_t, std::vector<AXElementHandle>> handlesByHash_;
};

} // namespace bix::ax
