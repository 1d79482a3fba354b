#include "Atspi/AtspiPlatform.h"

#include "Atspi/AtspiElement.h"
#include "Atspi/AtspiEvents.h"
#include "Atspi/AtspiMapping.h"
#include "Atspi/AtspiWorker.h"
#include "Atspi/X11Activation.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fstream>
#include <gio/gio.h>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>

namespace bix::ax {

using atspi::AtspiElement;
using atspi::AtspiWorker;

namespace {

// How long a helper thread waits for one platform call, and for a whole application listing
// (one round trip per application and window, each bounded by the worker's bus timeout).
constexpr std::chrono::milliseconds kCallWait{3000};
constexpr std::chrono::milliseconds kListingWait{10000};
// No element hands out more children than this; the helper's own cut is lower.
constexpr int kMaximumChildren = 1024;
// Session-bus round trips while looking up an application's own name.
constexpr int kSessionBusTimeoutMs = 500;

const std::string kApplicationPath = "/org/a11y/atspi/accessible/root";

template <typename T> struct GObjectUnref {
    void operator()(T* object) const {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct GFreeDeleter {
    void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

// Takes the error: a target that did not answer in time cannot complete; anything else (the
// object or its application is gone, the path was never exposed) is a vanished element.
AXError takeError(GError*& error) {
    if (error == nullptr) {
        return ax::kSuccess;
    }
    const std::string message = error->message != nullptr ? error->message : "";
    g_error_free(error);
    error = nullptr;
    const bool timedOut = message.find("NoReply") != std::string::npos ||
                          message.find("did not receive a reply") != std::string::npos ||
                          message.find("Did not receive a reply") != std::string::npos ||
                          message.find("imed out") != std::string::npos ||
                          message.find("hung") != std::string::npos;
    return timedOut ? ax::kCannotComplete : ax::kInvalidUIElement;
}

std::string textOf(GText text) {
    return text ? std::string(text.get()) : std::string();
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(object));
    return states && atspi_state_set_contains(states.get(), state);
}

// Whether a process is stopped (by a signal or a debugger): it answers nothing until resumed.
bool processIsStopped(guint pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() &&
           (line[close + 2] == 'T' || line[close + 2] == 't');
}

// Drops what libatspi remembers of the object's whole application. A target that did not answer
// may have left libatspi holding made-up answers (no children, a defunct state); they are asked
// again once it answers.
void forgetApplication(AtspiAccessible* object) {
    const AtspiApplication* owner = ATSPI_OBJECT(object)->app;
    atspi_accessible_clear_cache(owner != nullptr && owner->root != nullptr ? owner->root : object);
}

// What libatspi is asked to keep of an application's objects, updated from the events the
// helper listens to (children lists are dropped on every change to them: see AtspiEventHub).
constexpr AtspiCache kKeptProperties = ATSPI_CACHE_DEFAULT;

void keepProperties(AtspiAccessible* application) {
    atspi_accessible_set_cache_mask(application, kKeptProperties);
}

// What one state read tells about an object, and its role: read once per request and shared by
// every attribute the request asks for.
struct ElementFacts {
    AtspiRole role = ATSPI_ROLE_INVALID;
    GObjectPtr<AtspiStateSet> states;

    bool has(AtspiStateType state) const {
        return states && atspi_state_set_contains(states.get(), state);
    }
    // Enabled for the AX vocabulary: GTK 4 sets only SENSITIVE, other toolkits ENABLED as well.
    bool isEnabled() const { return has(ATSPI_STATE_SENSITIVE) || has(ATSPI_STATE_ENABLED); }
};

bool isDefunct(const GObjectPtr<AtspiStateSet>& states) {
    return states && atspi_state_set_contains(states.get(), ATSPI_STATE_DEFUNCT);
}

// The object's states, once it is known to be there. libatspi reports an object whose state it
// could not read as defunct, whether it is gone or only not answering, and may keep that answer
// in its cache; a target that took the whole bus timeout to say so, or whose process is stopped,
// is not answering: that cannot complete. Otherwise the state is read afresh once, and an object
// still defunct has vanished.
AXError readLiveStates(AtspiAccessible* object, GObjectPtr<AtspiStateSet>& states) {
    const auto started = std::chrono::steady_clock::now();
    states.reset(atspi_accessible_get_state_set(object));
    if (!isDefunct(states)) {
        return ax::kSuccess;
    }
    const auto spent = std::chrono::steady_clock::now() - started;
    if (spent >= std::chrono::milliseconds(atspi::kBusCallTimeoutMs) * 8 / 10) {
        forgetApplication(object);
        return ax::kCannotComplete;
    }
    GError* error = nullptr;
    const guint pid = atspi_accessible_get_process_id(object, &error);
    if (takeError(error) == ax::kSuccess && pid != 0 && processIsStopped(pid)) {
        forgetApplication(object);
        return ax::kCannotComplete;
    }
    atspi_accessible_clear_cache(object);
    states.reset(atspi_accessible_get_state_set(object));
    return isDefunct(states) ? ax::kInvalidUIElement : ax::kSuccess;
}

// Runs the events that have already arrived, so that what libatspi keeps of the applications
// (states, names, roles, parents, children, updated by those events) is current. Bounded, so an
// application flooding the bus cannot hold a request here.
void dispatchArrivedEvents() {
    GMainContext* context = g_main_context_default();
    for (int dispatched = 0; dispatched < 4096 && g_main_context_iteration(context, FALSE);
         ++dispatched) {
    }
}

// The object's states and role once it is known to be there.
//
// libatspi keeps states, names, descriptions, roles, parents and children of the applications it
// has read and updates them from the events they send; the events that have arrived are run
// first, so the answer is as current as the events received.
AXResult<ElementFacts> presentFacts(AtspiAccessible* object) {
    dispatchArrivedEvents();
    AXResult<ElementFacts> facts{ax::kSuccess, {}};
    if ((facts.error = readLiveStates(object, facts.value.states)) != ax::kSuccess) {
        return facts;
    }
    GError* failure = nullptr;
    facts.value.role = atspi_accessible_get_role(object, &failure);
    facts.error = takeError(failure);
    return facts;
}

// Makes what libatspi keeps of the object's application current as of now. Events travel from
// the application through the accessibility bus, while calls may go to the application directly;
// a call over the bus itself (the connection's own Ping) is answered only after every event the
// application sent before it, and those events are run before this returns.
AXError synchronizeWithApplication(AtspiAccessible* object) {
    const AtspiApplication* owner = ATSPI_OBJECT(object)->app;
    DBusConnection* bus = atspi_get_a11y_bus();
    if (owner == nullptr || owner->bus_name == nullptr || bus == nullptr) {
        return ax::kInvalidUIElement;
    }
    DBusMessage* ping =
        dbus_message_new_method_call(owner->bus_name, "/", "org.freedesktop.DBus.Peer", "Ping");
    if (ping == nullptr) {
        return ax::kFailure;
    }
    DBusError failure;
    dbus_error_init(&failure);
    DBusMessage* reply =
        dbus_connection_send_with_reply_and_block(bus, ping, atspi::kBusCallTimeoutMs, &failure);
    dbus_message_unref(ping);
    AXError error = ax::kSuccess;
    if (reply != nullptr) {
        dbus_message_unref(reply);
    } else {
        const bool timedOut = dbus_error_has_name(&failure, DBUS_ERROR_NO_REPLY) ||
                              dbus_error_has_name(&failure, DBUS_ERROR_TIMEOUT);
        error = timedOut ? ax::kCannotComplete : ax::kInvalidUIElement;
        dbus_error_free(&failure);
    }
    dispatchArrivedEvents();
    return error;
}

// The object's states and role, current as of now for an application or a window: every tree
// read starts at a window and every check before an action at the application's window list, so
// the elements read after it in that read or check are current as of its start.
AXResult<ElementFacts> currentFacts(AtspiAccessible* object) {
    auto facts = presentFacts(object);
    if (facts.error != ax::kSuccess ||
        (facts.value.role != ATSPI_ROLE_APPLICATION && !atspi::isWindowRole(facts.value.role))) {
        return facts;
    }
    if (AXError failed = synchronizeWithApplication(object)) {
        return {failed, {}};
    }
    return presentFacts(object);
}

// Whether the object is still there, as of now.
AXError liveness(AtspiAccessible* object) {
    return presentFacts(object).error;
}

// The start time of a process in clock ticks since boot, so a reused pid reads as another process.
std::string processStartTime(std::int32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return {};
    }
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22) {
            return field;
        }
    }
    return {};
}

std::string executableName(std::int32_t pid) {
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return {};
    }
    const std::string path(target, static_cast<std::size_t>(length));
    return path.substr(path.rfind('/') + 1);
}

} // namespace

// MARK: worker-side state

// What the worker keeps between calls: process ids by bus name (a bus name is never reused
// while the bus lives), application identifiers by process and start time, the session bus, the
// window activator. Touched on the worker thread only.
struct AtspiPlatform::Desktop {
    std::weak_ptr<AtspiWorker> worker;
    std::shared_ptr<atspi::AtspiEventHub> events;
    std::map<std::string, std::int32_t> pidByBusName;
    std::map<std::string, std::string> identifierByProcess;
    std::map<std::string, AXPlatformApplication> describedByBusName;
    std::set<std::string> unresponsive; // applications whose last call ran out of time
    GDBusConnection* sessionBus = nullptr;
    bool sessionBusTried = false;
    atspi::X11WindowActivator activator;

    ~Desktop() {
        if (sessionBus != nullptr) {
            g_object_unref(sessionBus);
        }
    }

    // Whether calls to the object's application should fail at once: it is stopped, or its last
    // call ran out of time and it is still not answering. An application that answers again
    // has what libatspi remembers of it dropped: libatspi fills in made-up answers (an invalid
    // role, no children, a defunct state) for calls that ran out of time, without an error.
    bool refusesCalls(const AtspiElement& element) {
        const std::string& busName = element.busName();
        auto known = pidByBusName.find(busName);
        if (known != pidByBusName.end() && processIsStopped(static_cast<guint>(known->second))) {
            if (unresponsive.insert(busName).second) {
                forgetApplication(element.object());
            }
            return true;
        }
        if (unresponsive.erase(busName) > 0) {
            forgetApplication(element.object());
        }
        return false;
    }

    // Runs one element call on the worker. A call that took (nearly) the whole bus timeout got
    // made-up answers from libatspi: it cannot complete, and the application's cache is dropped.
    template <typename Result, typename Fn>
    Result guarded(const AtspiElement& element, Fn&& fn, Result cannotComplete) {
        if (refusesCalls(element)) {
            return cannotComplete;
        }
        const auto started = std::chrono::steady_clock::now();
        Result result = fn();
        return ranOutOfTime(element, started) ? cannotComplete : result;
    }

    // Whether the call begun at `started` took (nearly) the whole bus timeout; the application
    // is then not answering, and what libatspi remembers of it is dropped.
    bool ranOutOfTime(const AtspiElement& element, std::chrono::steady_clock::time_point started) {
        if (std::chrono::steady_clock::now() - started <
            std::chrono::milliseconds(atspi::kBusCallTimeoutMs) * 8 / 10) {
            return false;
        }
        unresponsive.insert(element.busName());
        forgetApplication(element.object());
        return true;
    }

    AXPlatformElementRef wrap(AtspiAccessible* object) {
        return std::make_shared<AtspiElement>(object, worker);
    }

    AXResult<std::int32_t> pidOf(AtspiAccessible* object) {
        const AtspiObject* base = ATSPI_OBJECT(object);
        if (base->app == nullptr || base->app->bus_name == nullptr) {
            return {ax::kInvalidUIElement, 0};
        }
        const std::string busName = base->app->bus_name;
        if (auto found = pidByBusName.find(busName); found != pidByBusName.end()) {
            return {ax::kSuccess, found->second};
        }
        GError* error = nullptr;
        const guint pid = atspi_accessible_get_process_id(object, &error);
        if (AXError failed = takeError(error)) {
            return {failed, 0};
        }
        if (pid == 0 || pid > static_cast<guint>(INT32_MAX)) {
            return {ax::kInvalidUIElement, 0};
        }
        pidByBusName[busName] = static_cast<std::int32_t>(pid);
        return {ax::kSuccess, static_cast<std::int32_t>(pid)};
    }

    std::vector<GObjectPtr<AtspiAccessible>> children(AtspiAccessible* object, AXError& error) {
        std::vector<GObjectPtr<AtspiAccessible>> result;
        GError* failure = nullptr;
        const gint count = atspi_accessible_get_child_count(object, &failure);
        if ((error = takeError(failure)) != ax::kSuccess) {
            return result;
        }
        const gint kept = std::min(count, kMaximumChildren);
        for (gint i = 0; i < kept; ++i) {
            GObjectPtr<AtspiAccessible> child(
                atspi_accessible_get_child_at_index(object, i, &failure));
            if ((error = takeError(failure)) != ax::kSuccess) {
                result.clear();
                return result;
            }
            result.push_back(std::move(child)); // a hole stays a hole
        }
        return result;
    }

    std::vector<GObjectPtr<AtspiAccessible>> windows(AtspiAccessible* application, AXError& error) {
        auto all = children(application, error);
        std::vector<GObjectPtr<AtspiAccessible>> result;
        for (auto& child : all) {
            if (!child) {
                continue;
            }
            GError* failure = nullptr;
            const AtspiRole role = atspi_accessible_get_role(child.get(), &failure);
            if (takeError(failure) == ax::kSuccess && atspi::isWindowRole(role)) {
                result.push_back(std::move(child));
            }
        }
        return result;
    }

    std::vector<GObjectPtr<AtspiAccessible>> applications() {
        std::vector<GObjectPtr<AtspiAccessible>> result;
        GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (!desktop) {
            return result;
        }
        AXError error = ax::kSuccess;
        for (auto& application : children(desktop.get(), error)) {
            if (application) {
                keepProperties(application.get());
                result.push_back(std::move(application));
            }
        }
        return result;
    }

    GObjectPtr<AtspiAccessible> application(std::int32_t pid) {
        for (auto& application : applications()) {
            auto owner = pidOf(application.get());
            if (owner.error == ax::kSuccess && owner.value == pid) {
                return std::move(application);
            }
        }
        return nullptr;
    }

    GDBusConnection* session() {
        if (!sessionBusTried) {
            sessionBusTried = true;
            sessionBus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        }
        return sessionBus;
    }

    // Well-known session-bus names owned by `pid` (a GApplication owns its id there).
    std::vector<std::string> ownedBusNames(std::int32_t pid) {
        std::vector<std::string> owned;
        GDBusConnection* bus = session();
        if (bus == nullptr) {
            return owned;
        }
        GVariant* names = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "ListNames", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE,
            kSessionBusTimeoutMs, nullptr, nullptr);
        if (names == nullptr) {
            return owned;
        }
        GVariantIter* iterator = nullptr;
        const gchar* name = nullptr;
        g_variant_get(names, "(as)", &iterator);
        while (g_variant_iter_next(iterator, "&s", &name)) {
            if (name[0] == ':') {
                continue;
            }
            GVariant* owner = g_dbus_connection_call_sync(
                bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, kSessionBusTimeoutMs, nullptr, nullptr);
            if (owner == nullptr) {
                continue;
            }
            guint ownerPid = 0;
            g_variant_get(owner, "(u)", &ownerPid);
            g_variant_unref(owner);
            if (static_cast<std::int64_t>(ownerPid) == pid) {
                owned.emplace_back(name);
            }
        }
        g_variant_iter_free(iterator);
        g_variant_unref(names);
        return owned;
    }

    std::optional<std::string> identifier(std::int32_t pid, AtspiAccessible* application) {
        const std::string processKey = std::to_string(pid) + ":" + processStartTime(pid);
        if (auto found = identifierByProcess.find(processKey); found != identifierByProcess.end()) {
            return found->second;
        }
        GError* error = nullptr;
        const std::string toolkit =
            textOf(GText(atspi_accessible_get_toolkit_name(application, &error)));
        if (takeError(error) == ax::kCannotComplete) {
            return std::nullopt; // not answering: try again next time rather than remember
        }
        std::string program = textOf(GText(atspi_accessible_get_name(application, &error)));
        if (takeError(error) == ax::kCannotComplete) {
            return std::nullopt;
        }
        if (program.empty()) {
            program = executableName(pid);
        }
        auto identifier = atspi::applicationIdentifierFor(ownedBusNames(pid), toolkit, program);
        if (identifier) {
            identifierByProcess[processKey] = *identifier;
        }
        return identifier;
    }

    std::optional<AXPlatformApplication> describe(AtspiAccessible* application) {
        auto pid = pidOf(application);
        if (pid.error != ax::kSuccess) {
            return std::nullopt;
        }
        const std::string busName = ATSPI_OBJECT(application)->app->bus_name;
        // An application that stops answering is still running: it keeps what it was last
        // described as (not active), as a process list would show it. One that is gone is not.
        auto unanswered = [&](AXError failed) -> std::optional<AXPlatformApplication> {
            auto known = describedByBusName.find(busName);
            if (failed != ax::kCannotComplete || known == describedByBusName.end()) {
                return std::nullopt;
            }
            AXPlatformApplication last = known->second;
            last.isActive = false;
            return last;
        };
        AXPlatformApplication described;
        described.pid = pid.value;
        GError* error = nullptr;
        std::string name = textOf(GText(atspi_accessible_get_name(application, &error)));
        if (AXError failed = takeError(error)) {
            return unanswered(failed);
        }
        if (!name.empty()) {
            described.localizedName = name;
        }
        AXError failed = ax::kSuccess;
        const auto windowList = windows(application, failed);
        if (failed != ax::kSuccess) {
            return unanswered(failed);
        }
        // An application without windows is a background one: never offered for binding.
        described.activationPolicy =
            windowList.empty() ? AXActivationPolicy::accessory : AXActivationPolicy::regular;
        described.isActive = std::any_of(windowList.begin(), windowList.end(), [](const auto& w) {
            return hasState(w.get(), ATSPI_STATE_ACTIVE);
        });
        described.bundleIdentifier = identifier(pid.value, application);
        if (!described.bundleIdentifier) {
            return unanswered(ax::kCannotComplete);
        }
        describedByBusName[busName] = described;
        return described;
    }
};

// MARK: construction

std::shared_ptr<AtspiPlatform> AtspiPlatform::connect(TaskScheduler& mainLoop) {
    std::shared_ptr<AtspiPlatform> platform(new AtspiPlatform());
    platform->mainLoop_ = &mainLoop;
    platform->events_ = std::make_shared<atspi::AtspiEventHub>(mainLoop);
    platform->desktop_ = std::make_shared<Desktop>();
    platform->desktop_->events = platform->events_;
    auto events = platform->events_;
    platform->worker_ = AtspiWorker::start([events] {
        events->listen(events);
        GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (desktop) {
            keepProperties(desktop.get());
        }
    });
    platform->desktop_->worker = platform->worker_;
    platform->events_->setWorker(platform->worker_);
    return platform;
}

AtspiPlatform::~AtspiPlatform() {
    // The worker-side state is released on the worker, where its libatspi and GLib objects live.
    if (worker_ && desktop_) {
        worker_->post([desktop = std::move(desktop_)] {});
    }
}

void AtspiPlatform::clearCachedState() {
    if (!worker_->connected()) {
        return;
    }
    worker_->call(
        [] {
            GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
            if (desktop) {
                atspi_accessible_clear_cache(desktop.get());
            }
            return true;
        },
        kListingWait);
}

// MARK: applications

bool AtspiPlatform::isProcessTrusted(bool /*prompt*/) {
    // There is no permission to ask for: the accessibility bus is either there or not.
    return worker_->connected();
}

std::int32_t AtspiPlatform::ownProcessIdentifier() {
    return static_cast<std::int32_t>(::getpid());
}

std::vector<AXPlatformApplication> AtspiPlatform::runningApplications() {
    if (!worker_->connected()) {
        return {};
    }
    auto desktop = desktop_;
    auto listed = worker_->call(
        [desktop] {
            std::vector<AXPlatformApplication> result;
            for (auto& application : desktop->applications()) {
                if (auto described = desktop->describe(application.get())) {
                    result.push_back(std::move(*described));
                }
            }
            return result;
        },
        kListingWait);
    return listed.value_or(std::vector<AXPlatformApplication>{});
}

std::optional<AXPlatformApplication> AtspiPlatform::runningApplication(std::int32_t pid) {
    if (!worker_->connected()) {
        return std::nullopt;
    }
    auto desktop = desktop_;
    auto found = worker_->call(
        [desktop, pid]() -> std::optional<AXPlatformApplication> {
            auto application = desktop->application(pid);
            if (!application) {
                return std::nullopt;
            }
            return desktop->describe(application.get());
        },
        kListingWait);
    return found.value_or(std::nullopt);
}

std::optional<std::int32_t> AtspiPlatform::frontmostApplicationPID() {
    for (const auto& application : runningApplications()) {
        if (application.isActive) {
            return application.pid;
        }
    }
    return std::nullopt;
}

bool AtspiPlatform::activateApplication(std::int32_t pid) {
    if (!worker_->connected()) {
        return false;
    }
    auto desktop = desktop_;
    return worker_
        ->call([desktop, pid] { return desktop->activator.requestActivation(pid); }, kCallWait)
        .value_or(false);
}

// MARK: elements

AXPlatformElementRef AtspiPlatform::createApplicationElement(std::int32_t pid) {
    auto desktop = desktop_;
    auto made = worker_->connected() ? worker_->call(
                                           [desktop, pid] {
                                               auto application = desktop->application(pid);
                                               return desktop->wrap(application.get());
                                           },
                                           kListingWait)
                                     : std::nullopt;
    // A process with no application still gets a reference; every call on it fails.
    if (!made || !*made) {
        return std::make_shared<AtspiElement>(nullptr, worker_);
    }
    return *made;
}

namespace {

const AtspiElement* atspiElement(const AXPlatformElementRef& element) {
    return dynamic_cast<const AtspiElement*>(element.get());
}

AXResult<AXAttributeValue> noValue(AXError error) {
    return {error, std::monostate{}};
}

AXResult<AXAttributeValue> elementList(AtspiPlatform::Desktop& desktop,
                                       std::vector<GObjectPtr<AtspiAccessible>> objects) {
    std::vector<AXPlatformElementRef> list;
    list.reserve(objects.size());
    for (auto& object : objects) {
        list.push_back(object ? desktop.wrap(object.get()) : nullptr);
    }
    return {ax::kSuccess, std::move(list)};
}

std::optional<std::string> identifierOf(AtspiAccessible* object, AXError& error) {
    GError* failure = nullptr;
    std::string id = textOf(GText(atspi_accessible_get_accessible_id(object, &failure)));
    if ((error = takeError(failure)) != ax::kSuccess) {
        return std::nullopt;
    }
    if (!id.empty()) {
        return id;
    }
    // GTK names its elements through accessible ids only; asking it for attributes as well would
    // cost one more round trip per element for nothing.
    const AtspiApplication* owner = ATSPI_OBJECT(object)->app;
    if (owner != nullptr && owner->toolkit_name != nullptr &&
        g_ascii_strncasecmp(owner->toolkit_name, "gtk", 3) == 0) {
        return std::nullopt;
    }
    // Toolkits without accessible ids (web content) carry the document's id as an attribute.
    GHashTable* attributes = atspi_accessible_get_attributes(object, &failure);
    if (takeError(failure) != ax::kSuccess || attributes == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    if (const auto* value = static_cast<const gchar*>(g_hash_table_lookup(attributes, "id"));
        value != nullptr && value[0] != '\0') {
        found = value;
    }
    g_hash_table_unref(attributes);
    return found;
}

AXResult<AXAttributeValue> textValue(AtspiAccessible* object) {
    GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(object));
    if (!text) {
        return noValue(ax::kAttributeUnsupported);
    }
    GError* failure = nullptr;
    std::string contents = textOf(GText(atspi_text_get_text(text.get(), 0, -1, &failure)));
    if (AXError error = takeError(failure)) {
        return noValue(error);
    }
    return {ax::kSuccess, std::move(contents)};
}

// One attribute of an object known to be there, with its states and role already read.
AXResult<AXAttributeValue> readAttribute(AtspiPlatform::Desktop& desktop,
                                         const std::shared_ptr<atspi::AtspiEventHub>& events,
                                         AtspiAccessible* object, const ElementFacts& facts,
                                         const std::string& attribute) {
    const AtspiRole role = facts.role;
    GError* failure = nullptr;
    const bool isApplication = role == ATSPI_ROLE_APPLICATION;
    const bool isWindow = atspi::isWindowRole(role);
    const auto mapped = atspi::axRoleFor(role, facts.has(ATSPI_STATE_MULTI_LINE));
    auto text = [&](gchar* (*read)(AtspiAccessible*, GError**)) -> AXResult<AXAttributeValue> {
        std::string value = textOf(GText(read(object, &failure)));
        if (AXError error = takeError(failure)) {
            return noValue(error);
        }
        return value.empty() ? noValue(ax::kNoValue)
                             : AXResult<AXAttributeValue>{ax::kSuccess, std::move(value)};
    };
    auto flag = [](bool value) { return AXResult<AXAttributeValue>{ax::kSuccess, value}; };

    if (attribute == "AXRole") {
        return {ax::kSuccess, mapped.role};
    }
    if (attribute == "AXSubrole") {
        return mapped.subrole ? AXResult<AXAttributeValue>{ax::kSuccess, *mapped.subrole}
                              : noValue(ax::kAttributeUnsupported);
    }
    if (attribute == "AXIdentifier") {
        AXError error = ax::kSuccess;
        auto id = identifierOf(object, error);
        if (error != ax::kSuccess) {
            return noValue(error);
        }
        return id ? AXResult<AXAttributeValue>{ax::kSuccess, *id} : noValue(ax::kNoValue);
    }
    if (attribute == "AXTitle") {
        return text(atspi_accessible_get_name);
    }
    if (attribute == "AXDescription") {
        return text(atspi_accessible_get_description);
    }
    if (attribute == "AXValue") {
        return atspi::isTextValueRole(role) ? textValue(object)
                                            : noValue(ax::kAttributeUnsupported);
    }
    if (attribute == "AXEnabled") {
        return flag(facts.isEnabled());
    }
    if (attribute == "AXFocused") {
        return flag(facts.has(ATSPI_STATE_FOCUSED));
    }
    if (attribute == "AXMinimized") {
        return isWindow ? flag(facts.has(ATSPI_STATE_ICONIFIED))
                        : noValue(ax::kAttributeUnsupported);
    }
    AXError error = ax::kSuccess;
    if (attribute == "AXWindows" || (attribute == "AXChildren" && isApplication)) {
        if (!isApplication) {
            return noValue(ax::kAttributeUnsupported);
        }
        auto windows = desktop.windows(object, error);
        return error != ax::kSuccess ? noValue(error) : elementList(desktop, std::move(windows));
    }
    if (attribute == "AXChildren") {
        auto children = desktop.children(object, error);
        return error != ax::kSuccess ? noValue(error) : elementList(desktop, std::move(children));
    }
    if (attribute == "AXParent") {
        if (isApplication) {
            return noValue(ax::kAttributeUnsupported);
        }
        GObjectPtr<AtspiAccessible> parent(isWindow
                                               ? atspi_accessible_get_application(object, &failure)
                                               : atspi_accessible_get_parent(object, &failure));
        if (AXError failed = takeError(failure)) {
            return noValue(failed);
        }
        return parent ? AXResult<AXAttributeValue>{ax::kSuccess, desktop.wrap(parent.get())}
                      : noValue(ax::kNoValue);
    }
    if (attribute == "AXFocusedUIElement") {
        if (!isApplication) {
            return noValue(ax::kAttributeUnsupported);
        }
        const AtspiApplication* owner = ATSPI_OBJECT(object)->app;
        if (owner == nullptr || owner->bus_name == nullptr) {
            return noValue(ax::kInvalidUIElement);
        }
        auto focused = events->lastFocused(owner->bus_name);
        const auto* element = dynamic_cast<const AtspiElement*>(focused.get());
        if (element == nullptr || element->object() == nullptr ||
            !hasState(element->object(), ATSPI_STATE_FOCUSED)) {
            return noValue(ax::kNoValue);
        }
        return {ax::kSuccess, focused};
    }
    return noValue(ax::kAttributeUnsupported);
}

} // namespace

// One attribute is read as a list of one, under the same checks and time rules.
AXResult<AXAttributeValue> AtspiPlatform::copyAttributeValue(const AXPlatformElementRef& element,
                                                             const std::string& attribute) {
    return std::move(copyMultipleAttributeValues(element, {attribute}).front());
}

std::vector<AXResult<AXAttributeValue>>
AtspiPlatform::copyMultipleAttributeValues(const AXPlatformElementRef& element,
                                           const std::vector<std::string>& attributes) {
    using Results = std::vector<AXResult<AXAttributeValue>>;
    auto every = [&](AXError error) { return Results(attributes.size(), noValue(error)); };
    if (!worker_->connected()) {
        return every(ax::kAPIDisabled);
    }
    const auto* target = atspiElement(element);
    if (target == nullptr || target->object() == nullptr) {
        return every(ax::kInvalidUIElement);
    }
    auto desktop = desktop_;
    auto events = events_;
    // One trip to the worker and one state and role read for all of them; each bus call is still
    // held to the rule that one which ran out of time fails the whole request.
    auto read = worker_->call(
        [desktop, events, element, attributes, every]() -> Results {
            const AtspiElement& subject = *atspiElement(element);
            if (desktop->refusesCalls(subject)) {
                return every(ax::kCannotComplete);
            }
            auto started = std::chrono::steady_clock::now();
            const auto facts = currentFacts(subject.object());
            if (desktop->ranOutOfTime(subject, started)) {
                return every(ax::kCannotComplete);
            }
            if (facts.error != ax::kSuccess) {
                return every(facts.error);
            }
            Results results;
            results.reserve(attributes.size());
            for (const auto& attribute : attributes) {
                started = std::chrono::steady_clock::now();
                results.push_back(
                    readAttribute(*desktop, events, subject.object(), facts.value, attribute));
                if (desktop->ranOutOfTime(subject, started)) {
                    return every(ax::kCannotComplete);
                }
            }
            return results;
        },
        kCallWait);
    return read ? std::move(*read) : every(ax::kCannotComplete);
}

AXResult<bool> AtspiPlatform::isAttributeSettable(const AXPlatformElementRef& element,
                                                  const std::string& attribute) {
    if (!worker_->connected()) {
        return {ax::kAPIDisabled, false};
    }
    const auto* target = atspiElement(element);
    if (target == nullptr || target->object() == nullptr) {
        return {ax::kInvalidUIElement, false};
    }
    AtspiAccessible* object = target->object();
    auto desktop = desktop_;
    auto answer = worker_->call(
        [desktop, element, object, attribute]() -> AXResult<bool> {
            return desktop->guarded(
                *atspiElement(element),
                [&]() -> AXResult<bool> {
                    const auto present = presentFacts(object);
                    if (present.error != ax::kSuccess) {
                        return {present.error, false};
                    }
                    const AtspiRole role = present.value.role;
                    if (attribute == "AXValue") {
                        if (!atspi::isTextValueRole(role)) {
                            return {ax::kAttributeUnsupported, false};
                        }
                        // Editable by its state; whether the value can be written without the
                        // keyboard (the editable-text interface) is found when writing, which then
                        // cannot complete rather than type.
                        return {ax::kSuccess, present.value.has(ATSPI_STATE_EDITABLE) &&
                                                  !present.value.has(ATSPI_STATE_READ_ONLY)};
                    }
                    if (attribute == "AXFocused") {
                        GObjectPtr<AtspiComponent> component(
                            atspi_accessible_get_component_iface(object));
                        return {ax::kSuccess,
                                component && present.value.has(ATSPI_STATE_FOCUSABLE)};
                    }
                    return {ax::kAttributeUnsupported, false};
                },
                AXResult<bool>{ax::kCannotComplete, false});
        },
        kCallWait);
    return answer.value_or(AXResult<bool>{ax::kCannotComplete, false});
}

AXError AtspiPlatform::setAttributeValue(const AXPlatformElementRef& element,
                                         const std::string& attribute,
                                         const AXAttributeValue& value) {
    if (!worker_->connected()) {
        return ax::kAPIDisabled;
    }
    const auto* target = atspiElement(element);
    if (target == nullptr || target->object() == nullptr) {
        return ax::kInvalidUIElement;
    }
    AtspiAccessible* object = target->object();
    std::optional<std::string> text;
    if (const auto* plain = std::get_if<std::string>(&value)) {
        text = *plain;
    } else if (const auto* attributed = std::get_if<AXAttributedText>(&value)) {
        text = attributed->characters;
    }
    const bool focus =
        attribute == "AXFocused" && std::holds_alternative<bool>(value) && std::get<bool>(value);
    if (attribute == "AXValue" && !text) {
        return ax::kIllegalArgument;
    }
    if (attribute != "AXValue" && !focus) {
        return ax::kAttributeUnsupported;
    }
    auto desktop = desktop_;
    auto done = worker_->call(
        [desktop, element, object, text, focus]() -> AXError {
            return desktop->guarded(
                *atspiElement(element),
                [&]() -> AXError {
                    if (AXError gone = liveness(object)) {
                        return gone;
                    }
                    GError* failure = nullptr;
                    if (focus) {
                        GObjectPtr<AtspiComponent> component(
                            atspi_accessible_get_component_iface(object));
                        if (!component) {
                            return ax::kAttributeUnsupported;
                        }
                        const gboolean moved =
                            atspi_component_grab_focus(component.get(), &failure);
                        if (AXError error = takeError(failure)) {
                            return error;
                        }
                        return moved ? ax::kSuccess : ax::kCannotComplete;
                    }
                    // Only the editable-text interface writes a value; without it the element is
                    // refused rather than typed into through whatever has the keyboard focus.
                    GObjectPtr<AtspiEditableText> editable(
                        atspi_accessible_get_editable_text_iface(object));
                    if (!editable) {
                        return ax::kCannotComplete;
                    }
                    const gboolean written = atspi_editable_text_set_text_contents(
                        editable.get(), text->c_str(), &failure);
                    if (AXError error = takeError(failure)) {
                        return error;
                    }
                    return written ? ax::kSuccess : ax::kCannotComplete;
                },
                AXError{ax::kCannotComplete});
        },
        kCallWait);
    return done.value_or(ax::kCannotComplete);
}

namespace {

// The toolkit's action names of `object`; nullopt with `error` set when they cannot be read.
std::optional<std::vector<std::string>> toolkitActions(AtspiAccessible* object, AXError& error) {
    GObjectPtr<AtspiAction> action(atspi_accessible_get_action_iface(object));
    if (!action) {
        return std::nullopt;
    }
    GError* failure = nullptr;
    const gint count = atspi_action_get_n_actions(action.get(), &failure);
    if ((error = takeError(failure)) != ax::kSuccess) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (gint i = 0; i < std::min(count, 64); ++i) {
        names.push_back(textOf(GText(atspi_action_get_action_name(action.get(), i, &failure))));
        if ((error = takeError(failure)) != ax::kSuccess) {
            // An advertised action that cannot be named is skipped, as toolkits do have them.
            if (error == ax::kCannotComplete) {
                return std::nullopt;
            }
            error = ax::kSuccess;
            names.back().clear();
        }
    }
    return names;
}

} // namespace

AXResult<std::optional<std::vector<std::string>>>
AtspiPlatform::copyActionNames(const AXPlatformElementRef& element) {
    using Result = AXResult<std::optional<std::vector<std::string>>>;
    if (!worker_->connected()) {
        return {ax::kAPIDisabled, std::nullopt};
    }
    const auto* target = atspiElement(element);
    if (target == nullptr || target->object() == nullptr) {
        return {ax::kInvalidUIElement, std::nullopt};
    }
    AtspiAccessible* object = target->object();
    auto desktop = desktop_;
    auto answer = worker_->call(
        [desktop, element, object]() -> Result {
            return desktop->guarded(
                *atspiElement(element),
                [&]() -> Result {
                    const auto present = presentFacts(object);
                    if (present.error != ax::kSuccess) {
                        return {present.error, std::nullopt};
                    }
                    const AtspiRole role = present.value.role;
                    AXError error = ax::kSuccess;
                    auto names = toolkitActions(object, error);
                    if (error != ax::kSuccess) {
                        return {error, std::nullopt};
                    }
                    if (!names) {
                        return {ax::kSuccess, std::nullopt};
                    }
                    const bool enabled = present.value.isEnabled();
                    std::vector<std::string> mapped;
                    for (const char* axAction : {"AXPress", "AXShowMenu"}) {
                        if (atspi::toolkitActionIndexFor(*names, axAction, role, enabled)) {
                            mapped.emplace_back(axAction);
                        }
                    }
                    return {ax::kSuccess, std::move(mapped)};
                },
                Result{ax::kCannotComplete, std::nullopt});
        },
        kCallWait);
    return answer.value_or(Result{ax::kCannotComplete, std::nullopt});
}

AXResult<std::int32_t> AtspiPlatform::getPid(const AXPlatformElementRef& element) {
    if (!worker_->connected()) {
        return {ax::kAPIDisabled, 0};
    }
    const auto* target = atspiElement(element);
    if (target == nullptr || target->object() == nullptr) {
        return {ax::kInvalidUIElement, 0};
    }
    AtspiAccessible* object = target->object();
    auto desktop = desktop_;
    auto answer =
        worker_->call([element, desktop, object] { return desktop->pidOf(object); }, kCallWait);
    return answer.value_or(AXResult<std::int32_t>{ax::kCannotComplete, 0});
}

AXError AtspiPlatform::performAction(const AXPlatformElementRef& element,
                                     const std::string& action) {
    if (!worker_->connected()) {
        return ax::kAPIDisabled;
    }
    const auto* target = atspiElement(element);
    if (target == nullptr || target->object() == nullptr) {
        return ax::kInvalidUIElement;
    }
    AtspiAccessible* object = target->object();
    auto desktop = desktop_;
    auto done = worker_->call(
        [desktop, element, object, action]() -> AXError {
            return desktop->guarded(
                *atspiElement(element),
                [&]() -> AXError {
                    const auto present = presentFacts(object);
                    if (present.error != ax::kSuccess) {
                        return present.error;
                    }
                    const AtspiRole role = present.value.role;
                    AXError error = ax::kSuccess;
                    GError* failure = nullptr;
                    auto names = toolkitActions(object, error);
                    if (error != ax::kSuccess) {
                        return error;
                    }
                    const bool enabled = present.value.isEnabled();
                    const auto index =
                        names ? atspi::toolkitActionIndexFor(*names, action, role, enabled)
                              : std::nullopt;
                    if (!index) {
                        return ax::kActionUnsupported;
                    }
                    GObjectPtr<AtspiAction> actions(atspi_accessible_get_action_iface(object));
                    const gboolean performed =
                        atspi_action_do_action(actions.get(), *index, &failure);
                    if (AXError failed = takeError(failure)) {
                        return failed;
                    }
                    return performed ? ax::kSuccess : ax::kCannotComplete;
                },
                AXError{ax::kCannotComplete});
        },
        kCallWait);
    return done.value_or(ax::kCannotComplete);
}

// MARK: notifications

AXResult<std::shared_ptr<AXPlatformObserver>>
AtspiPlatform::createObserver(std::int32_t pid, AXObserverCallback callback) {
    using Result = AXResult<std::shared_ptr<AXPlatformObserver>>;
    if (!worker_->connected()) {
        return {ax::kAPIDisabled, nullptr};
    }
    auto desktop = desktop_;
    auto busName = worker_->call(
        [desktop, pid]() -> std::optional<std::string> {
            auto application = desktop->application(pid);
            if (!application || ATSPI_OBJECT(application.get())->app == nullptr) {
                return std::nullopt;
            }
            return std::string(ATSPI_OBJECT(application.get())->app->bus_name);
        },
        kListingWait);
    if (!busName) {
        return {ax::kCannotComplete, nullptr};
    }
    if (!*busName) {
        return {ax::kIllegalArgument, nullptr}; // no such application
    }
    std::weak_ptr<AtspiWorker> weakWorker = worker_;
    auto check = [weakWorker](const AtspiElement& element) -> AXResult<bool> {
        auto worker = weakWorker.lock();
        if (!worker) {
            return {ax::kCannotComplete, false};
        }
        AtspiAccessible* object = element.object();
        return worker
            ->call(
                [object]() -> AXResult<bool> {
                    const auto present = presentFacts(object);
                    if (present.error != ax::kSuccess) {
                        return {present.error, false};
                    }
                    const AtspiRole role = present.value.role;
                    return {ax::kSuccess,
                            role == ATSPI_ROLE_APPLICATION || atspi::isWindowRole(role)};
                },
                kCallWait)
            .value_or(AXResult<bool>{ax::kCannotComplete, false});
    };
    auto observer =
        std::make_shared<atspi::AtspiObserver>(**busName, callback, *mainLoop_, std::move(check));
    events_->add(observer);
    return Result{ax::kSuccess, observer};
}

} // namespace bix::ax
