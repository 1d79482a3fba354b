#include "Access/PlatformAccessibilityBackend.h"

#include "Platform/Uuid.h"
#include "Protocol/Redaction.h"
#include "Protocol/Validation.h"

#include <algorithm>
#include <deque>
#include <unordered_set>
#include <utility>

namespace bix::ax {

namespace {

const char kUntrusted[] = "Accessibility permission is unavailable.";
const char kUnknownHandle[] = "AX element is no longer available.";
const char kWrongAttributeType[] = "AX attribute type is unsupported.";
const char kProcessChanged[] = "The bound process identity changed.";
const char kWindowDetached[] = "The selected window is no longer attached to the bound app.";
const char kWindowIdentityChanged[] = "The selected window identity changed.";
const char kWindowMinimized[] =
    "The selected window is minimized; no Accessibility action was attempted.";
const char kControlLeftWindow[] = "The resolved control left the selected window.";
const char kContainmentCrossed[] = "Accessibility containment crossed the bound process.";
const char kContainmentBudget[] =
    "Accessibility containment budget was exceeded; no action was attempted.";

const std::string kRole = "AXRole";
const std::string kSubrole = "AXSubrole";
const std::string kIdentifier = "AXIdentifier";
const std::string kTitle = "AXTitle";
const std::string kDescription = "AXDescription";
const std::string kValue = "AXValue";
const std::string kEnabled = "AXEnabled";
const std::string kFocused = "AXFocused";
const std::string kMinimized = "AXMinimized";
const std::string kChildren = "AXChildren";
const std::string kParent = "AXParent";
const std::string kWindows = "AXWindows";
const std::string kFocusedUIElement = "AXFocusedUIElement";
const std::string kPressAction = "AXPress";
const std::string kWindowRole = "AXWindow";
const char kApplicationFallbackName[] = "Application";

using ElementList = std::vector<AXPlatformElementRef>;

[[noreturn]] void fail(HelperErrorCode code, const char* message) {
    throw HelperProtocolError(code, message);
}

bool isAllowlistedNotification(const std::string& name) {
    return std::find(kAllowlistedAXNotifications.begin(), kAllowlistedAXNotifications.end(),
                     name) != kAllowlistedAXNotifications.end();
}

// The context of one (element, notification) registration: the registered element's handle and
// the caller's handler. Kept alive by its observation, and by any delivery already in flight.
struct ObservationBox {
    AXElementHandle handle;
    AXNotificationHandler handler;
};

// Delivery entry point handed to the platform. Captures nothing; all it needs is in the box.
void deliverNotification(const AXPlatformElementRef&, const std::string& notification,
                         const std::shared_ptr<void>& context) {
    if (!context) {
        return;
    }
    const auto* box = static_cast<const ObservationBox*>(context.get());
    // The registered element's handle is reported, whatever element the platform names, so a
    // destroyed element is still recognisable to the handler.
    box->handler(box->handle, notification);
}

// One live subscription. `lock_` guards `observer_` and `registrations_`; the boxes stay for the
// observation's whole life so a delivery already dispatched never sees a freed context.
class PlatformObservation final : public AXObservation {
public:
    using Registration = std::pair<AXPlatformElementRef, std::string>;

    PlatformObservation(std::shared_ptr<AXPlatformObserver> observer,
                        std::vector<Registration> registrations,
                        std::vector<std::shared_ptr<ObservationBox>> boxes)
        : observer_(std::move(observer)), registrations_(std::move(registrations)),
          boxes_(std::move(boxes)) {}
    ~PlatformObservation() override { cancel(); }

    void cancel() override {
        std::shared_ptr<AXPlatformObserver> observer;
        std::vector<Registration> registrations;
        {
            std::lock_guard guard(lock_);
            if (!observer_) {
                return;
            }
            observer = std::move(observer_);
            observer_.reset();
            registrations.swap(registrations_);
        }
        for (const auto& [element, name] : registrations) {
            observer->removeNotification(element, name);
        }
        observer->detachFromMainRunLoop();
    }

private:
    std::mutex lock_; // guards observer_ and registrations_
    std::shared_ptr<AXPlatformObserver> observer_;
    std::vector<Registration> registrations_;
    const std::vector<std::shared_ptr<ObservationBox>> boxes_;
};

// The value of a read that succeeded with the expected type; nothing otherwise.
template <typename T> std::optional<T> valueOf(AXResult<AXAttributeValue>&& result) {
    if (result.error != ax::kSuccess) {
        return std::nullopt;
    }
    if (auto* value = std::get_if<T>(&result.value)) {
        return std::move(*value);
    }
    return std::nullopt;
}

// A value attribute as text: plain or attributed.
std::optional<std::string> stringValueOf(AXResult<AXAttributeValue>&& result) {
    if (result.error != ax::kSuccess) {
        return std::nullopt;
    }
    if (auto* text = std::get_if<std::string>(&result.value)) {
        return std::move(*text);
    }
    if (auto* attributed = std::get_if<AXAttributedText>(&result.value)) {
        return std::move(attributed->characters);
    }
    return std::nullopt;
}

} // namespace

std::optional<HelperProtocolError> helperErrorForAXError(AXError error) {
    switch (error) {
    case ax::kSuccess:
        return std::nullopt;
    case ax::kAPIDisabled:
        return HelperProtocolError(HelperErrorCode::permissionDenied, kUntrusted);
    case ax::kAttributeUnsupported:
    case ax::kActionUnsupported:
    case ax::kNotificationUnsupported:
        return HelperProtocolError(HelperErrorCode::actionUnsupported,
                                   "The target does not support this AX operation.");
    case ax::kCannotComplete:
        return HelperProtocolError(HelperErrorCode::actionFailed,
                                   "The target app could not complete the AX operation.");
    case ax::kInvalidUIElement:
    case ax::kInvalidUIElementObserver:
        return HelperProtocolError(HelperErrorCode::targetStale,
                                   "The selected app or window changed.");
    default:
        return HelperProtocolError(HelperErrorCode::actionFailed,
                                   "The AX operation failed safely.");
    }
}

PlatformAccessibilityBackend::PlatformAccessibilityBackend(std::shared_ptr<AXPlatform> platform)
    : platform_(std::move(platform)) {}

// MARK: registry

AXElementHandle PlatformAccessibilityBackend::registerElement(const AXPlatformElementRef& element) {
    const std::size_t hash = element->hash();
    std::lock_guard guard(lock_);
    auto& sameHash = handlesByHash_[hash];
    for (const auto& handle : sameHash) {
        auto found = elements_.find(handle);
        if (found != elements_.end() && found->second->equals(*element)) {
            return handle;
        }
    }
    AXElementHandle handle{randomUuidString()};
    elements_.emplace(handle, element);
    sameHash.push_back(handle);
    return handle;
}

AXPlatformElementRef PlatformAccessibilityBackend::resolve(const AXElementHandle& handle) const {
    std::lock_guard guard(lock_);
    auto found = elements_.find(handle);
    if (found == elements_.end()) {
        fail(HelperErrorCode::targetStale, kUnknownHandle);
    }
    return found->second;
}

std::size_t PlatformAccessibilityBackend::registeredHandleCount() const {
    std::lock_guard guard(lock_);
    return elements_.size();
}

void PlatformAccessibilityBackend::map(AXError error) {
    if (auto mapped = helperErrorForAXError(error)) {
        throw *mapped;
    }
}

void PlatformAccessibilityBackend::requireTrusted() {
    if (!platform_->isProcessTrusted(false)) {
        fail(HelperErrorCode::permissionDenied, kUntrusted);
    }
}

// MARK: attribute readers

template <typename T>
T PlatformAccessibilityBackend::attribute(const AXPlatformElementRef& element,
                                          const std::string& name) {
    auto result = platform_->copyAttributeValue(element, name);
    map(result.error);
    if (auto* value = std::get_if<T>(&result.value)) {
        return std::move(*value);
    }
    fail(HelperErrorCode::actionUnsupported, kWrongAttributeType);
}

template <typename T>
std::optional<T>
PlatformAccessibilityBackend::optionalAttribute(const AXPlatformElementRef& element,
                                                const std::string& name) {
    return valueOf<T>(platform_->copyAttributeValue(element, name));
}

std::optional<std::string>
PlatformAccessibilityBackend::optionalStringValue(const AXPlatformElementRef& element) {
    return stringValueOf(platform_->copyAttributeValue(element, kValue));
}

// MARK: applications

bool PlatformAccessibilityBackend::isTrusted(bool prompt) {
    return platform_->isProcessTrusted(prompt);
}

std::optional<RunningApplicationDescriptor>
PlatformAccessibilityBackend::describe(const std::optional<AXPlatformApplication>& app) const {
    if (!app || app->isTerminated || !app->bundleIdentifier ||
        !Validation::matches(Validation::Pattern::bundle, *app->bundleIdentifier)) {
        return std::nullopt;
    }
    return RunningApplicationDescriptor{
        .pid = app->pid,
        .bundleId = *app->bundleIdentifier,
        .displayName =
            Redaction::safeDisplayName(app->localizedName.value_or(kApplicationFallbackName)),
        .isActive = app->isActive,
        .isTerminated = app->isTerminated,
    };
}

std::vector<RunningApplicationDescriptor> PlatformAccessibilityBackend::runningApplications() {
    const std::int32_t ownPid = platform_->ownProcessIdentifier();
    std::vector<RunningApplicationDescriptor> result;
    for (const auto& app : platform_->runningApplications()) {
        if (app.pid <= 0 || app.pid == ownPid ||
            app.activationPolicy != AXActivationPolicy::regular) {
            continue;
        }
        if (auto descriptor = describe(app)) {
            result.push_back(std::move(*descriptor));
        }
    }
    return result;
}

std::optional<RunningApplicationDescriptor>
PlatformAccessibilityBackend::application(std::int32_t pid) {
    return describe(platform_->runningApplication(pid));
}

std::optional<std::int32_t> PlatformAccessibilityBackend::frontmostApplicationPID() {
    return platform_->frontmostApplicationPID();
}

bool PlatformAccessibilityBackend::activateApplication(std::int32_t pid) {
    auto app = platform_->runningApplication(pid);
    if (!app || app->isTerminated) {
        return false;
    }
    return platform_->activateApplication(pid);
}

// MARK: elements

std::vector<AXElementHandle> PlatformAccessibilityBackend::windows(std::int32_t pid) {
    requireTrusted();
    auto windowList = attribute<ElementList>(platform_->createApplicationElement(pid), kWindows);
    if (windowList.size() > kMaxWindowsPerApplication) {
        windowList.resize(kMaxWindowsPerApplication);
    }
    std::vector<AXElementHandle> handles;
    handles.reserve(windowList.size());
    for (const auto& window : windowList) {
        // A hole in the platform's list names no window: skipped, as in child lists.
        if (window) {
            handles.push_back(registerElement(window));
        }
    }
    return handles;
}

AXNodeSnapshot PlatformAccessibilityBackend::snapshot(const AXElementHandle& handle,
                                                      bool includeValue) {
    requireTrusted();
    const auto element = resolve(handle);
    auto pid = platform_->getPid(element);
    map(pid.error);

    // The element's own attributes travel in one request; the role decides whether it is
    // there at all, the others may be missing or unsupported.
    std::vector<std::string> names{kRole,    kSubrole, kIdentifier, kTitle,    kDescription,
                                   kEnabled, kFocused, kMinimized,  kChildren, kParent};
    if (includeValue) {
        names.push_back(kValue);
    }
    auto read = platform_->copyMultipleAttributeValues(element, names);
    if (read.size() != names.size()) {
        map(ax::kFailure);
    }
    map(read[0].error);
    AXNodeSnapshot snap;
    snap.handle = handle;
    snap.pid = pid.value;
    if (auto role = valueOf<std::string>(std::move(read[0]))) {
        snap.role = std::move(*role);
    } else {
        fail(HelperErrorCode::actionUnsupported, kWrongAttributeType);
    }
    snap.subrole = valueOf<std::string>(std::move(read[1]));
    snap.identifier = valueOf<std::string>(std::move(read[2]));
    snap.title = valueOf<std::string>(std::move(read[3]));
    snap.description = valueOf<std::string>(std::move(read[4]));
    snap.isEnabled = valueOf<bool>(std::move(read[5])).value_or(true);
    snap.isFocused = valueOf<bool>(std::move(read[6])).value_or(false);
    snap.isMinimized = valueOf<bool>(std::move(read[7])).value_or(false);
    auto children = valueOf<ElementList>(std::move(read[8])).value_or(ElementList{});
    AXPlatformElementRef parent =
        valueOf<AXPlatformElementRef>(std::move(read[9])).value_or(nullptr);
    if (includeValue) {
        snap.value = stringValueOf(std::move(read[10]));
    }

    auto settable = platform_->isAttributeSettable(element, kValue);
    if (settable.error == ax::kSuccess) {
        snap.isValueSettable = settable.value;
    } else if (settable.error != ax::kAttributeUnsupported) {
        map(settable.error);
    }

    auto actions = platform_->copyActionNames(element);
    if (actions.error == ax::kSuccess) {
        if (actions.value) {
            snap.actions.insert(actions.value->begin(), actions.value->end());
        }
    } else if (actions.error != ax::kActionUnsupported &&
               actions.error != ax::kAttributeUnsupported) {
        map(actions.error);
    }

    // Handles are minted only once every read has succeeded, so a failed snapshot mints none.
    const std::size_t kept = std::min(children.size(), kMaxChildrenPerElement);
    snap.children.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) {
        if (children[i]) {
            snap.children.push_back(registerElement(children[i]));
        }
    }
    if (parent) {
        snap.parent = registerElement(parent);
    }
    return snap;
}

std::optional<AXElementHandle> PlatformAccessibilityBackend::focusedElement(std::int32_t pid) {
    requireTrusted();
    auto focused = optionalAttribute<AXPlatformElementRef>(platform_->createApplicationElement(pid),
                                                           kFocusedUIElement);
    if (!focused || !*focused) {
        return std::nullopt;
    }
    return registerElement(*focused);
}

bool PlatformAccessibilityBackend::restoreFocus(const AXElementHandle& handle, std::int32_t pid) {
    if (!platform_->isProcessTrusted(false)) {
        return false;
    }
    AXPlatformElementRef element;
    try {
        element = resolve(handle);
    } catch (const HelperProtocolError&) {
        return false;
    }
    auto owner = platform_->getPid(element);
    if (owner.error != ax::kSuccess || owner.value != pid) {
        return false;
    }
    auto settable = platform_->isAttributeSettable(element, kFocused);
    if (settable.error != ax::kSuccess || !settable.value) {
        return false;
    }
    return platform_->setAttributeValue(element, kFocused, AXAttributeValue{true}) == ax::kSuccess;
}

// MARK: guarded side effects

void PlatformAccessibilityBackend::setValue(const std::string& value, const AXElementHandle& on,
                                            const AXBoundActionGuard& guardedBy) {
    requireTrusted();
    const auto element = resolve(on);
    auto settable = platform_->isAttributeSettable(element, kValue);
    map(settable.error);
    if (!settable.value) {
        fail(HelperErrorCode::actionUnsupported, "The composer does not support AXValue.");
    }
    validateSideEffectBoundary(on, element, guardedBy);
    map(platform_->setAttributeValue(element, kValue, AXAttributeValue{value}));
}

void PlatformAccessibilityBackend::perform(const std::string& action, const AXElementHandle& on,
                                           const AXBoundActionGuard& guardedBy) {
    requireTrusted();
    if (action != kPressAction) {
        fail(HelperErrorCode::commandNotAllowed, "Only AXPress is allowed.");
    }
    const auto element = resolve(on);
    validateSideEffectBoundary(on, element, guardedBy);
    map(platform_->performAction(element, kPressAction));
}

void PlatformAccessibilityBackend::validateSideEffectBoundary(const AXElementHandle& handle,
                                                              const AXPlatformElementRef& element,
                                                              const AXBoundActionGuard& guard) {
    const bool wellFormed =
        Validation::matches(Validation::Pattern::opaque, guard.bindingId) &&
        Validation::matches(Validation::Pattern::bundle, guard.bundleId) &&
        Validation::matches(Validation::Pattern::hash, guard.windowFingerprint) &&
        Validation::matches(Validation::Pattern::hash, guard.elementFingerprint);
    if (!wellFormed) {
        fail(HelperErrorCode::targetStale, kProcessChanged);
    }
    auto app = application(guard.pid);
    if (!app || app->isTerminated || app->bundleId != guard.bundleId) {
        fail(HelperErrorCode::targetStale, kProcessChanged);
    }

    const auto window = resolve(guard.window);
    auto windowList =
        attribute<ElementList>(platform_->createApplicationElement(guard.pid), kWindows);
    const std::size_t searched = std::min(windowList.size(), kMaxBoundaryWindows);
    const bool attached = std::any_of(
        windowList.begin(), windowList.begin() + static_cast<long>(searched),
        [&](const AXPlatformElementRef& listed) { return listed && listed->equals(*window); });
    if (!attached) {
        fail(HelperErrorCode::targetStale, kWindowDetached);
    }

    const auto windowSnapshot = snapshot(guard.window, false);
    if (windowSnapshot.pid != guard.pid || windowSnapshot.role != kWindowRole ||
        accessibilityWindowFingerprint(windowSnapshot) != guard.windowFingerprint) {
        fail(HelperErrorCode::targetStale, kWindowIdentityChanged);
    }
    if (attribute<bool>(window, kMinimized)) {
        fail(HelperErrorCode::actionFailed, kWindowMinimized);
    }

    const auto target = snapshot(handle, false);
    if (target.pid != guard.pid || !target.isEnabled ||
        target.semanticFingerprint() != guard.elementFingerprint) {
        fail(HelperErrorCode::targetStale, kControlLeftWindow);
    }
    if (!windowContainsExactElement(window, element, guard.pid)) {
        fail(HelperErrorCode::targetStale, kControlLeftWindow);
    }
}

bool PlatformAccessibilityBackend::windowContainsExactElement(const AXPlatformElementRef& window,
                                                              const AXPlatformElementRef& target,
                                                              std::int32_t pid) {
    std::deque<std::pair<AXPlatformElementRef, int>> queue{{window, 0}};
    std::unordered_set<std::size_t> seenHashes;
    std::size_t taken = 0;
    while (!queue.empty()) {
        if (taken == kMaxContainmentEntries) {
            fail(HelperErrorCode::actionFailed, kContainmentBudget);
        }
        auto [element, depth] = std::move(queue.front());
        queue.pop_front();
        ++taken;
        // Elements are remembered by hash only: a later element with a colliding hash is not
        // examined, which can only make the walk stricter.
        if (!seenHashes.insert(element->hash()).second) {
            continue;
        }
        if (element->equals(*target)) {
            return true;
        }
        if (depth >= kMaxContainmentDepth) {
            continue;
        }
        auto children = optionalAttribute<ElementList>(element, kChildren).value_or(ElementList{});
        const std::size_t kept = std::min(children.size(), kMaxChildrenPerElement);
        for (std::size_t i = 0; i < kept; ++i) {
            if (!children[i]) {
                continue;
            }
            auto owner = platform_->getPid(children[i]);
            map(owner.error);
            if (owner.value != pid) {
                fail(HelperErrorCode::targetStale, kContainmentCrossed);
            }
            queue.emplace_back(children[i], depth + 1);
        }
    }
    return false;
}

// MARK: notifications

std::shared_ptr<AXObservation> PlatformAccessibilityBackend::observe(
    std::int32_t pid, const std::vector<AXElementHandle>& elements,
    const std::vector<std::string>& notifications, AXNotificationHandler handler) {
    requireTrusted();
    if (elements.empty() || notifications.empty() ||
        !std::all_of(notifications.begin(), notifications.end(), isAllowlistedNotification)) {
        fail(HelperErrorCode::invalidRequest, "Observation request is not allowlisted.");
    }
    auto created = platform_->createObserver(pid, &deliverNotification);
    map(created.error);
    if (!created.value) {
        fail(HelperErrorCode::internalFailure, "Could not create AXObserver.");
    }
    auto observer = std::move(created.value);

    std::vector<PlatformObservation::Registration> registrations;
    std::vector<std::shared_ptr<ObservationBox>> boxes;
    try {
        for (const auto& handle : elements) {
            const auto element = resolve(handle);
            for (const auto& name : notifications) {
                auto box = std::make_shared<ObservationBox>(ObservationBox{handle, handler});
                const AXError added = observer->addNotification(element, name, box);
                if (added == ax::kNotificationUnsupported) {
                    continue;
                }
                map(added);
                registrations.emplace_back(element, name);
                boxes.push_back(std::move(box));
            }
        }
    } catch (...) {
        // A failed subscription leaves nothing registered.
        for (const auto& [element, name] : registrations) {
            observer->removeNotification(element, name);
        }
        throw;
    }
    if (registrations.empty()) {
        fail(HelperErrorCode::actionUnsupported,
             "The target exposes no supported AX notifications.");
    }
    observer->attachToMainRunLoop();
    return std::make_shared<PlatformObservation>(std::move(observer), std::move(registrations),
                                                 std::move(boxes));
}

} // namespace bix::ax
