#include "Simulator/SimulatedDesktop.h"

#include "Platform/MainRunLoop.h"
#include "Protocol/HelperErrorTestSupport.h"
#include "Simulator/SimulatedDesktopBackend.h"
#include "Simulator/SimulatedDesktopScenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bix::ax {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

const char kScenario[] = R"({
  "trusted": true,
  "ownPid": 1,
  "frontmost": 20,
  "applications": [
    {"pid": 20, "bundleId": "com.example.editor", "name": "Editor", "active": true,
     "focused": "field",
     "windows": [
       {"key": "win", "role": "AXWindow", "subrole": "AXStandardWindow", "identifier": "main",
        "title": "Doc", "minimized": false,
        "children": [
          {"key": "field", "role": "AXTextField", "value": {"attributed": "rich"},
           "settable": ["AXValue"], "enabled": true,
           "errors": [{"operation": "copyAttribute", "name": "AXTitle", "code": -25204}]},
          {"key": "embedded", "role": "AXGroup", "pid": 30, "hash": 5,
           "children": [{"key": "inner", "role": "AXButton", "actions": ["AXPress"]}]},
          {"role": "AXStaticText", "value": 2.5, "repeat": 3, "actions": null,
           "notifications": ["AXValueChanged"], "attributes": {"AXCustom": "x"}}
        ]}
     ]},
    {"pid": 21, "bundleId": null, "activationPolicy": "accessory", "terminated": true}
  ]
})";

std::shared_ptr<SimulatedDesktopBackend> load(const std::string& text) {
    return SimulatedDesktopBackend::fromScenarioText(text);
}

TEST(SimulatedDesktopScenario, BuildsApplicationsWindowsAndElementTrees) {
    auto backend = load(kScenario);
    auto& desktop = backend->desktop();
    EXPECT_EQ(desktop.ownProcessIdentifier(), 1);
    EXPECT_EQ(desktop.frontmostApplicationPID(), 20);
    auto apps = desktop.runningApplications();
    ASSERT_THAT(apps, SizeIs(2));
    EXPECT_EQ(apps[0].bundleIdentifier, "com.example.editor");
    EXPECT_TRUE(apps[0].isActive);
    EXPECT_FALSE(apps[1].bundleIdentifier.has_value());
    EXPECT_EQ(apps[1].activationPolicy, AXActivationPolicy::accessory);
    EXPECT_TRUE(apps[1].isTerminated);

    const auto win = *desktop.elementByKey("win");
    EXPECT_THAT(desktop.windowsOf(20), ElementsAre(win));
    ASSERT_THAT(desktop.childrenOf(win), SizeIs(5)); // field, embedded, three repeated texts
    const auto window = backend->windows(20).at(0);
    const auto snap = backend->snapshot(window, false);
    EXPECT_EQ(snap.title, "Doc");
    EXPECT_EQ(snap.subrole, "AXStandardWindow");
    EXPECT_EQ(snap.identifier, "main");

    const auto field = backend->snapshot(snap.children[0], true);
    EXPECT_EQ(field.value, "rich");
    EXPECT_TRUE(field.isValueSettable);
    EXPECT_FALSE(field.title.has_value()); // the injected failure makes the title unreadable
    EXPECT_EQ(backend->focusedElement(20), snap.children[0]);

    const auto embedded = backend->snapshot(snap.children[1], false);
    EXPECT_EQ(embedded.pid, 30);
    EXPECT_EQ(backend->snapshot(embedded.children.at(0), false).pid, 30);
    EXPECT_EQ(desktop.elementReference(*desktop.elementByKey("embedded"))->hash(), 5u);

    const auto text = backend->snapshot(snap.children[4], true);
    EXPECT_FALSE(text.value.has_value()); // a number is not text
    EXPECT_THAT(text.actions, IsEmpty());
    EXPECT_EQ(std::get<std::string>(desktop.attributeValue(desktop.childrenOf(win)[4], "AXCustom")),
              "x");
}

// A scenario with a chat behaviour whose object also holds `members`.
std::string chat(const std::string& members) {
    return R"({"applications": [{"pid": 1, "windows": [{"key": "w", "children": [
               {"key": "a"}, {"key": "b"}, {"key": "c"}, {"key": "d"}, {"key": "e"}]}]}],
               "behaviours": [{"type": "chat", "composer": "a", "submit": "b", "stop": "c",
                               "newConversation": "d", "transcript": "e", )" +
           members + "}]}";
}

TEST(SimulatedDesktopScenario, RefusesMalformedScenariosWithAReason) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"[]", "scenario must be an object"},
        {"{\"applications\": [{}]}", "pid is required"},
        {"{\"applicatons\": []}", "unknown member \"applicatons\""},
        {"{\"applications\": [{\"pid\": 1, \"windows\": [{\"rol\": \"AXWindow\"}]}]}",
         "unknown member \"rol\""},
        {"{\"applications\": [{\"pid\": 1}, {\"pid\": 1}]}", "pid is used twice"},
        {"{\"applications\": [{\"pid\": 1, \"windows\": [{\"key\": \"a\"}, {\"key\": \"a\"}]}]}",
         "used twice"},
        {"{\"applications\": [{\"pid\": 1, \"activationPolicy\": \"daemon\"}]}",
         "activationPolicy"},
        {"{\"applications\": [{\"pid\": 1, \"focused\": \"nowhere\"}]}",
         "focused names no element"},
        {"{\"applications\": [{\"pid\": 1, \"windows\": [{\"key\": \"a\"}]}, "
         "{\"pid\": 2, \"focused\": \"a\"}]}",
         "focused names no element"},
        {"{\"applications\": [{\"pid\": 1, \"windows\": [{\"key\": \"a\"}]}, "
         "{\"pid\": 2, \"windows\": [{\"key\": \"a\"}]}]}",
         "used twice"},
        {"{\"applications\": [{\"pid\": 4294967296}]}", "pid must be an integer in range"},
        {"{\"applications\": [{\"pid\": 1, \"windows\": [{\"errors\": [{\"operation\": \"x\", "
         "\"code\": 1}]}]}]}",
         "not an operation name"},
        {"{\"behaviours\": [{\"type\": \"chat\", \"composer\": \"a\", \"submit\": \"b\", "
         "\"stop\": \"c\", \"newConversation\": \"d\", \"transcript\": \"e\"}]}",
         "names an element that does not exist"},
        {chat(R"("neverSettles": "yes")"), "neverSettles must be true or false"},
        {chat(R"("afterSubmit": [{"afterMilliseconds": 1, "quit": false}])"),
         "afterSubmit[0].quit must be a pid or true"},
        {chat(R"("afterSubmit": [{"afterMilliseconds": 1, "recreate": "missing"}])"),
         "recreate names no element"},
        {chat(R"("afterSubmit": [{"afterMilliseconds": 1, "quit": true, "close": "w"}])"),
         "must name exactly one change"},
        {chat(R"("afterSubmit": [{"quit": true}])"), "afterMilliseconds is required"},
        {chat(R"("afterSubmit": [{"afterMilliseconds": 1, "recreat": "a"}])"),
         "unknown member \"recreat\""},
        {chat(R"("afterSubmit": {"afterMilliseconds": 1, "quit": true})"),
         "afterSubmit must be an array"},
        // Only a chat's own changes may leave the application implicit.
        {"{\"events\": [{\"afterMilliseconds\": 1, \"quit\": true}]}",
         "quit must be an integer in range"},
        {"{\"trusted\": 1}", "trusted must be true or false"},
        {"{\"trusted\": true,}", "not strict JSON"},
    };
    for (const auto& [text, reason] : rows) {
        try {
            load(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const HelperProtocolError& error) {
            EXPECT_EQ(error.code(), HelperErrorCode::internalFailure) << text;
            EXPECT_THAT(error.message(), HasSubstr(reason)) << text;
        }
    }
}

TEST(SimulatedDesktopScenario, TimedEventsRunOnTheSchedulerOnceItIsSet) {
    auto backend = load(R"({
      "applications": [{"pid": 7, "bundleId": "com.example.app",
                        "windows": [{"key": "w", "role": "AXWindow"},
                                    {"key": "v", "role": "AXWindow"}]}],
      "events": [{"afterMilliseconds": 100, "quit": 7},
                 {"afterMilliseconds": 50, "minimize": "w"},
                 {"afterMilliseconds": 50, "recreate": "v"}]})");
    auto& desktop = backend->desktop();
    const auto v = *desktop.elementByKey("v");
    ManualClock clock;
    ManualTaskScheduler scheduler(clock.clock());
    clock.advance(std::chrono::seconds(10)); // nothing is armed before the scheduler exists
    desktop.setScheduler(&scheduler);
    clock.advance(std::chrono::milliseconds(49));
    scheduler.runReady();
    EXPECT_EQ(desktop.attributeValue(*desktop.elementByKey("w"), "AXMinimized"), SimulatedValue{});
    EXPECT_EQ(desktop.elementByKey("v"), v);
    clock.advance(std::chrono::milliseconds(1));
    scheduler.runReady();
    EXPECT_EQ(desktop.attributeValue(*desktop.elementByKey("w"), "AXMinimized"),
              SimulatedValue{true});
    EXPECT_FALSE(desktop.exists(v)); // recreated: same place, new identity
    EXPECT_THAT(desktop.windowsOf(7),
                ElementsAre(*desktop.elementByKey("w"), *desktop.elementByKey("v")));
    EXPECT_TRUE(backend->application(7).has_value());
    clock.advance(std::chrono::milliseconds(50));
    scheduler.runReady();
    EXPECT_FALSE(backend->application(7).has_value());
    desktop.setScheduler(nullptr);

    EXPECT_THROW(load(R"({"events": [{"afterMilliseconds": 1, "quit": 7, "relaunch": 7,
                                      "newPid": 8}]})"),
                 HelperProtocolError);
    EXPECT_THROW(load(R"({"events": [{"afterMilliseconds": 1, "close": "missing"}]})"),
                 HelperProtocolError);
}

TEST(SimulatedDesktopScenario, ScenarioFileThatCannotBeOpenedIsRefused) {
    EXPECT_THAT([] { SimulatedDesktopBackend::fromScenarioFile("/nonexistent/scenario.json"); },
                FailsWith(HelperErrorCode::internalFailure, "Scenario file could not be opened."));
}

TEST(SimulatedDesktopDemo, HoldsTheChatApplicationAndUnlistedProcesses) {
    auto backend = SimulatedDesktopBackend::demo();
    auto apps = backend->runningApplications();
    ASSERT_THAT(apps, SizeIs(2));
    EXPECT_EQ(apps[0],
              (RunningApplicationDescriptor{4242, "com.example.aichat", "AI Chat", true, false}));
    EXPECT_EQ(apps[1].bundleId, "com.example.notes");
    EXPECT_EQ(backend->windows(4300).size(), 2u);
    auto& desktop = backend->desktop();
    for (const char* key : {"chat-window", "composer", "send-button", "stop-button",
                            "new-chat-button", "transcript"}) {
        EXPECT_TRUE(desktop.elementByKey(key).has_value()) << key;
    }
    const auto composer = backend->focusedElement(4242);
    ASSERT_TRUE(composer.has_value());
    EXPECT_EQ(backend->snapshot(*composer, false).identifier, "composer");
}

class SimulatedDesktopChanges : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = load(kScenario);
        win_ = *desktop().elementByKey("win");
    }
    SimulatedDesktop& desktop() { return backend_->desktop(); }

    std::shared_ptr<SimulatedDesktopBackend> backend_;
    SimulatedElementId win_ = 0;
};

TEST_F(SimulatedDesktopChanges, QuitMakesEveryElementOfTheApplicationVanish) {
    const auto window = backend_->windows(20).at(0);
    EXPECT_TRUE(desktop().quitApplication(20));
    EXPECT_FALSE(backend_->application(20).has_value());
    EXPECT_FALSE(desktop().exists(win_));
    EXPECT_FALSE(desktop().elementByKey("inner").has_value());
    EXPECT_THAT([&] { backend_->snapshot(window, false); },
                FailsWith(HelperErrorCode::targetStale, "The selected app or window changed."));
    EXPECT_FALSE(desktop().frontmostApplicationPID().has_value());
    EXPECT_FALSE(desktop().quitApplication(20));
}

TEST_F(SimulatedDesktopChanges, RelaunchStartsTheSameAppWithFreshElementsUnderANewPid) {
    const auto oldWindow = backend_->windows(20).at(0);
    ASSERT_NE(desktop().relaunchApplication(20, 40), 0u);
    EXPECT_FALSE(backend_->application(20).has_value());
    EXPECT_EQ(backend_->application(40)->bundleId, "com.example.editor");
    const auto newWindow = backend_->windows(40).at(0);
    EXPECT_NE(newWindow, oldWindow);
    const auto snap = backend_->snapshot(newWindow, false);
    EXPECT_EQ(snap.pid, 40);
    EXPECT_EQ(snap.title, "Doc");
    // The embedded element of another process keeps its owner.
    EXPECT_EQ(backend_->snapshot(snap.children[1], false).pid, 30);
    EXPECT_EQ(backend_->focusedElement(40), snap.children[0]);
}

TEST_F(SimulatedDesktopChanges, PidReusedByAnotherBundle) {
    desktop().quitApplication(20);
    SimulatedApplicationSpec other;
    other.pid = 20;
    other.bundleId = "com.example.other";
    EXPECT_NE(desktop().addApplication(other), 0u);
    EXPECT_EQ(backend_->application(20)->bundleId, "com.example.other");
    EXPECT_EQ(desktop().addApplication(other), 0u); // the pid is taken now
}

TEST_F(SimulatedDesktopChanges, WindowChangesShowThroughTheBackend) {
    const auto window = backend_->windows(20).at(0);
    desktop().retitle(win_, "Renamed");
    desktop().setMinimized(win_, true);
    auto snap = backend_->snapshot(window, false);
    EXPECT_EQ(snap.title, "Renamed");
    EXPECT_TRUE(snap.isMinimized);

    const auto replacement = desktop().replaceElement(win_);
    ASSERT_NE(replacement, 0u);
    EXPECT_EQ(desktop().elementByKey("win"), replacement);
    EXPECT_THROW(backend_->snapshot(window, false), HelperProtocolError);
    const auto newWindow = backend_->windows(20).at(0);
    EXPECT_NE(newWindow, window);
    snap = backend_->snapshot(newWindow, false);
    EXPECT_EQ(snap.title, "Renamed");
    EXPECT_THAT(snap.children, SizeIs(5));

    EXPECT_TRUE(desktop().closeWindow(replacement));
    EXPECT_THAT(backend_->windows(20), IsEmpty());
    EXPECT_FALSE(desktop().closeWindow(*desktop().elementByKey("field")));
}

TEST_F(SimulatedDesktopChanges, ElementReplacementAndChildEditsKeepTreeConsistent) {
    const auto field = *desktop().elementByKey("field");
    const auto before = backend_->snapshot(backend_->windows(20)[0], false).children;
    const auto replaced = desktop().replaceElement(field);
    EXPECT_FALSE(desktop().exists(field));
    EXPECT_EQ(desktop().parentOf(replaced), win_);
    const auto after = backend_->snapshot(backend_->windows(20)[0], false).children;
    EXPECT_NE(after[0], before[0]);
    EXPECT_EQ(after[1], before[1]);
    EXPECT_EQ(backend_->snapshot(after[0], true).value, "rich");

    const auto added = desktop().addChild(win_, SimulatedElementSpec::withRole("AXButton"), 0);
    EXPECT_EQ(desktop().childrenOf(win_).front(), added);
    const auto inner = *desktop().elementByKey("inner");
    EXPECT_TRUE(desktop().moveElement(inner, win_));
    EXPECT_EQ(desktop().childrenOf(win_).back(), inner);
    EXPECT_FALSE(desktop().moveElement(win_, inner)); // would make a cycle
    EXPECT_TRUE(desktop().removeElement(*desktop().elementByKey("embedded")));
    EXPECT_THAT(desktop().childrenOf(win_), SizeIs(6));
    EXPECT_FALSE(desktop().removeElement(desktop().applicationElement(20)));
}

TEST(SimulatedDesktopSideEffects, KeepOnlyTheLatestEntriesAndClearToEmpty) {
    SimulatedDesktop desktop;
    SimulatedApplicationSpec app;
    app.pid = 5;
    app.windows.push_back(
        SimulatedElementSpec::withRole("AXWindow")
            .child(SimulatedElementSpec::withRole("AXTextField").settable("AXValue").named("f")));
    desktop.addApplication(app);
    const auto field = desktop.elementReference(*desktop.elementByKey("f"));
    const std::size_t writes = SimulatedDesktop::kSideEffectCapacity + 5;
    for (std::size_t i = 0; i < writes; ++i) {
        ASSERT_EQ(desktop.setAttributeValue(field, "AXValue", std::to_string(i)), ax::kSuccess);
    }
    auto effects = desktop.sideEffects();
    ASSERT_EQ(effects.size(), SimulatedDesktop::kSideEffectCapacity);
    EXPECT_EQ(effects.front().value, SimulatedValue{std::string("5")}); // the oldest five dropped
    EXPECT_EQ(effects.back().value, SimulatedValue{std::to_string(writes - 1)});

    desktop.clearSideEffects();
    EXPECT_THAT(desktop.sideEffects(), IsEmpty());
    ASSERT_EQ(desktop.performAction(field, "AXPress"), ax::kActionUnsupported);
    ASSERT_EQ(desktop.setAttributeValue(field, "AXValue", std::string("again")), ax::kSuccess);
    EXPECT_THAT(desktop.sideEffects(),
                ElementsAre(SimulatedSideEffect{SimulatedSideEffect::Kind::setAttribute,
                                                *desktop.elementByKey("f"), "AXValue",
                                                std::string("again")}));
}

} // namespace
} // namespace bix::ax
