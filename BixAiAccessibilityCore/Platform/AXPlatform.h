#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace bix::ax {

// The platform's accessibility result codes, with the numbers the macOS interface uses, so the
// backend's error mapping is the same on every platform layer.
using AXError = std::int32_t;
namespace ax {
inline constexpr AXError kSuccess = 0;
inline constexpr AXError kFailure = -25200;
inline constexpr AXError kIllegalArgument = -25201;
inline constexpr AXError kInvalidUIElement = -25202;
inline constexpr AXError kInvalidUIElementObserver = -25203;
inline constexpr AXError kCannotComplete = -25204;
inline constexpr AXError kAttributeUnsupported = -25205;
inline constexpr AXError kActionUnsupported = -25206;
inline constexpr AXError kNotificationUnsupported = -25207;
inline constexpr AXError kNotImplemented = -25208;
inline constexpr AXError kNotificationAlreadyRegistered = -25209;
inline constexpr AXError kNotificationNotRegistered = -25210;
inline constexpr AXError kAPIDisabled = -25211;
inline constexpr AXError kNoValue = -25212;
} // namespace ax

// A reference to one platform accessibility element. Several references may name the same
// element; hash() and equals() are the platform's identity (CFHash / CFEqual on macOS): equal
// elements have equal hashes, but equal hashes do not imply equal elements.
class AXPlatformElement {
public:
    virtual ~AXPlatformElement() = default;
    virtual std::size_t hash() const = 0;
    virtual bool equals(const AXPlatformElement& other) const = 0;
};
using AXPlatformElementRef = std::shared_ptr<const AXPlatformElement>;

// Text with formatting runs (only its characters matter to the helper).
struct AXAttributedText {
    std::string characters;

    friend bool operator==(const AXAttributedText&, const AXAttributedText&) = default;
};

// One attribute value as the platform hands it out. monostate means "no value".
using AXAttributeValue = std::variant<std::monostate, std::string, AXAttributedText, double, bool,
                                      AXPlatformElementRef, std::vector<AXPlatformElementRef>>;

// A platform call's result code together with what it produced (meaningful on success only).
template <typename T> struct AXResult {
    AXError error = ax::kSuccess;
    T value{};
};

enum class AXActivationPolicy { regular, accessory, prohibited };

// A running process as the platform's application list describes it.
struct AXPlatformApplication {
    std::int32_t pid = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    AXActivationPolicy activationPolicy = AXActivationPolicy::regular;
    bool isActive = false;
    bool isTerminated = false;
};

// Called by the platform for each notification delivery, on the main run-loop thread, with the
// element the platform names and the context given at registration. It captures nothing.
using AXObserverCallback = void (*)(const AXPlatformElementRef& element,
                                    const std::string& notification,
                                    const std::shared_ptr<void>& context);

// One platform observer for one process (AXObserver plus its run-loop source on macOS).
// Thread-safe. Delivery starts once attached to the main run loop and stops when detached.
class AXPlatformObserver {
public:
    virtual ~AXPlatformObserver() = default;
    virtual AXError addNotification(const AXPlatformElementRef& element,
                                    const std::string& notification,
                                    std::shared_ptr<void> context) = 0;
    virtual AXError removeNotification(const AXPlatformElementRef& element,
                                       const std::string& notification) = 0;
    virtual void attachToMainRunLoop() = 0;
    virtual void detachFromMainRunLoop() = 0;
};

// The accessibility and application interface of one platform, at the level of the macOS calls:
// every element operation returns the platform's result code. Implementations are thread-safe
// and keep no per-caller state; the backend core above them owns the registry and the rules.
class AXPlatform {
public:
    virtual ~AXPlatform() = default;

    // Applications (NSWorkspace / NSRunningApplication).
    virtual bool isProcessTrusted(bool prompt) = 0;
    virtual std::int32_t ownProcessIdentifier() = 0;
    virtual std::vector<AXPlatformApplication> runningApplications() = 0;
    virtual std::optional<AXPlatformApplication> runningApplication(std::int32_t pid) = 0;
    virtual std::optional<std::int32_t> frontmostApplicationPID() = 0;
    virtual bool activateApplication(std::int32_t pid) = 0;

    // Elements (AXUIElement…).
    virtual AXPlatformElementRef createApplicationElement(std::int32_t pid) = 0;
    virtual AXResult<AXAttributeValue> copyAttributeValue(const AXPlatformElementRef& element,
                                                          const std::string& attribute) = 0;
    // Several attributes of one element in one request (AXUIElementCopyMultipleAttributeValues):
    // one result per name, in order. A platform whose calls cross a process boundary answers
    // them together; the default reads them one by one.
    virtual std::vector<AXResult<AXAttributeValue>>
    copyMultipleAttributeValues(const AXPlatformElementRef& element,
                                const std::vector<std::string>& attributes) {
        std::vector<AXResult<AXAttributeValue>> results;
        results.reserve(attributes.size());
        for (const auto& attribute : attributes) {
            results.push_back(copyAttributeValue(element, attribute));
        }
        return results;
    }
    virtual AXResult<bool> isAttributeSettable(const AXPlatformElementRef& element,
                                               const std::string& attribute) = 0;
    virtual AXError setAttributeValue(const AXPlatformElementRef& element,
                                      const std::string& attribute,
                                      const AXAttributeValue& value) = 0;
    // An absent list (success without names) is reported as std::nullopt.
    virtual AXResult<std::optional<std::vector<std::string>>>
    copyActionNames(const AXPlatformElementRef& element) = 0;
    virtual AXResult<std::int32_t> getPid(const AXPlatformElementRef& element) = 0;
    virtual AXError performAction(const AXPlatformElementRef& element,
                                  const std::string& action) = 0;

    // Notifications (AXObserverCreate). A success without an observer is possible in principle
    // and is reported as a null pointer.
    virtual AXResult<std::shared_ptr<AXPlatformObserver>>
    createObserver(std::int32_t pid, AXObserverCallback callback) = 0;
};

} // namespace bix::ax
