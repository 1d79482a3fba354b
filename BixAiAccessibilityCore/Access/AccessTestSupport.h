#pragma once

// Fixtures shared by the access-layer tests: a simulated desktop with one chat-like application,
// and a builder for the action guard a caller would hold for one of its controls.

#include "Access/AccessibilityBackend.h"
#include "Access/AccessibilityTreeReader.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bix::ax::access_test {

inline constexpr std::int32_t kAppPid = 501;
inline constexpr std::int32_t kOtherPid = 777;
inline const std::string kBundle = "com.example.chat";

inline SimulatedElementSpec pressable(const std::string& key) {
    return SimulatedElementSpec::withRole("AXButton")
        .named(key)
        .set("AXIdentifier", key)
        .set("AXTitle", key)
        .withActions({"AXPress"});
}

// One application (kAppPid, kBundle) with two windows:
//   "window"  > "group" > ("composer", "send")
//   "second"  > "sheet"
class ChatDesktop {
public:
    ChatDesktop() {
        SimulatedApplicationSpec app;
        app.pid = kAppPid;
        app.bundleId = kBundle;
        app.localizedName = "Chat";
        auto window = SimulatedElementSpec::withRole("AXWindow")
                          .named("window")
                          .set("AXIdentifier", std::string("main"))
                          .set("AXTitle", std::string("Chat"))
                          .set("AXMinimized", false);
        auto group = SimulatedElementSpec::withRole("AXGroup").named("group");
        group.child(SimulatedElementSpec::withRole("AXTextArea")
                        .named("composer")
                        .set("AXIdentifier", std::string("composer"))
                        .set("AXValue", std::string(""))
                        .settable("AXValue"));
        group.child(pressable("send"));
        window.child(group);
        auto second = SimulatedElementSpec::withRole("AXWindow")
                          .named("second")
                          .set("AXIdentifier", std::string("other"))
                          .set("AXMinimized", false);
        second.child(SimulatedElementSpec::withRole("AXSheet").named("sheet"));
        app.windows = {window, second};
        desktop().addApplication(app);
    }

    SimulatedDesktop& desktop() { return backend->desktop(); }
    SimulatedElementId id(const std::string& key) { return *desktop().elementByKey(key); }

    // The handle of a keyed element, reached the way the helper reaches it: the application's
    // window list, then child lists along the element's path in the model.
    AXElementHandle handle(const std::string& key) {
        std::vector<std::size_t> path;
        SimulatedElementId current = id(key);
        while (auto parent = desktop().parentOf(current)) {
            const auto siblings = desktop().childrenOf(*parent);
            path.push_back(static_cast<std::size_t>(
                std::find(siblings.begin(), siblings.end(), current) - siblings.begin()));
            current = *parent;
        }
        // The last step is from the application element to the window.
        AXElementHandle found = backend->windows(kAppPid).at(path.back());
        for (auto step = path.rbegin() + 1; step != path.rend(); ++step) {
            found = backend->snapshot(found, false).children.at(*step);
        }
        return found;
    }

    // A guard holding the live facts of `control` inside `windowKey`.
    AXBoundActionGuard guardFor(const std::string& control,
                                const std::string& windowKey = "window") {
        const auto window = handle(windowKey);
        return AXBoundActionGuard{
            .bindingId = "binding_TEST",
            .pid = kAppPid,
            .bundleId = kBundle,
            .window = window,
            .windowFingerprint = accessibilityWindowFingerprint(backend->snapshot(window, false)),
            .elementFingerprint = backend->snapshot(handle(control), false).semanticFingerprint(),
        };
    }

    // What a binding of the main window gives the tree reader.
    AXWindowTarget boundTarget(const std::string& windowKey = "window") {
        return AXWindowTarget{kAppPid, handle(windowKey)};
    }

    std::shared_ptr<SimulatedDesktopBackend> backend = SimulatedDesktopBackend::empty();
};

} // namespace bix::ax::access_test
