#include "Access/PlatformAccessibilityBackend.h"

#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/Redaction.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bix::ax {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr std::int32_t kAppPid = 501;
constexpr std::int32_t kOtherPid = 777;

SimulatedElementSpec button(const std::string& key, const std::string& title) {
    return SimulatedElementSpec::withRole("AXButton")
        .named(key)
        .set("AXIdentifier", key)
        .set("AXTitle", title)
        .withActions({"AXPress"});
}

// A desktop with one regular application holding one window:
//   window > group > (composer, send)
class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimulatedApplicationSpec app;
        app.pid = kAppPid;
        app.bundleId = "com.example.chat";
        app.localizedName = "Chat";
        app.isActive = true;
        auto window = SimulatedElementSpec::withRole("AXWindow").named("window");
        window.set("AXTitle", std::string("Main"))
            .set("AXSubrole", std::string("AXStandardWindow"));
        auto group = SimulatedElementSpec::withRole("AXGroup").named("group");
        group.child(SimulatedElementSpec::withRole("AXTextArea")
                        .named("composer")
                        .set("AXValue", std::string("draft"))
                        .settable("AXValue")
                        .settable("AXFocused"));
        group.child(button("send", "Send"));
        window.child(group);
        app.windows.push_back(window);
        desktop().addApplication(app);
    }

    SimulatedDesktop& desktop() { return backend_->desktop(); }
    SimulatedElementId id(const std::string& key) { return *desktop().elementByKey(key); }
    AXElementHandle window() { return backend_->windows(kAppPid).at(0); }
    // The handle of a keyed element, reached through the tree from the window.
    AXElementHandle handle(const std::string& key) {
        auto group = backend_->snapshot(window(), false).children.at(0);
        if (key == "group") {
            return group;
        }
        auto children = backend_->snapshot(group, false).children;
        return key == "composer" ? children.at(0) : children.at(1);
    }

    std::shared_ptr<SimulatedDesktopBackend> backend_ = SimulatedDesktopBackend::empty();
};

TEST(AXErrorMapping, MapsEveryPlatformCodeToItsHelperError) {
    const std::string unsupported = "The target does not support this AX operation.";
    const std::string failedSafely = "The AX operation failed safely.";
    struct Row {
        AXError error;
        HelperErrorCode code;
        std::string message;
    };
    const std::vector<Row> rows = {
        {ax::kAPIDisabled, HelperErrorCode::permissionDenied,
         "Accessibility permission is unavailable."},
        {ax::kAttributeUnsupported, HelperErrorCode::actionUnsupported, unsupported},
        {ax::kActionUnsupported, HelperErrorCode::actionUnsupported, unsupported},
        {ax::kNotificationUnsupported, HelperErrorCode::actionUnsupported, unsupported},
        {ax::kCannotComplete, HelperErrorCode::actionFailed,
         "The target app could not complete the AX operation."},
        {ax::kInvalidUIElement, HelperErrorCode::targetStale,
         "The selected app or window changed."},
        {ax::kInvalidUIElementObserver, HelperErrorCode::targetStale,
         "The selected app or window changed."},
        {ax::kFailure, HelperErrorCode::actionFailed, failedSafely},
        {ax::kIllegalArgument, HelperErrorCode::actionFailed, failedSafely},
        {ax::kNotImplemented, HelperErrorCode::actionFailed, failedSafely},
        {ax::kNotificationAlreadyRegistered, HelperErrorCode::actionFailed, failedSafely},
        {ax::kNotificationNotRegistered, HelperErrorCode::actionFailed, failedSafely},
        {ax::kNoValue, HelperErrorCode::actionFailed, failedSafely},
        {-1, HelperErrorCode::actionFailed, failedSafely},
    };
    EXPECT_FALSE(helperErrorForAXError(ax::kSuccess).has_value());
    for (const auto& row : rows) {
        auto mapped = helperErrorForAXError(row.error);
        ASSERT_TRUE(mapped.has_value()) << row.error;
        EXPECT_EQ(*mapped, HelperProtocolError(row.code, row.message)) << row.error;
    }
}

TEST_F(BackendTest, PlatformCodeOfARequiredReadReachesTheCallerMapped) {
    desktop().injectError(id("send"), AXOperation::getPid, ax::kCannotComplete);
    auto send = handle("send");
    EXPECT_THAT([&] { backend_->snapshot(send, false); },
                FailsWith(HelperErrorCode::actionFailed,
                          "The target app could not complete the AX operation."));
}

TEST_F(BackendTest, SameElementReachedByEveryPathHasOneHandle) {
    const auto viaWindowList = window();
    const auto group = handle("group");
    const auto viaParent = *backend_->snapshot(group, false).parent;
    EXPECT_EQ(viaParent, viaWindowList);
    EXPECT_EQ(backend_->windows(kAppPid).at(0), viaWindowList);

    const auto composer = handle("composer");
    desktop().setFocusedElement(kAppPid, id("composer"));
    EXPECT_EQ(backend_->focusedElement(kAppPid), composer);
    EXPECT_EQ(*backend_->snapshot(composer, false).parent, group);
    EXPECT_EQ(handle("composer"), composer);
}

TEST_F(BackendTest, HandleTokensAreUpperCaseCanonicalUuids) {
    const auto token = window().token;
    ASSERT_THAT(token, SizeIs(36));
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(token[i], '-');
        } else {
            EXPECT_TRUE(std::isdigit(token[i]) || (token[i] >= 'A' && token[i] <= 'F')) << token;
        }
    }
}

TEST_F(BackendTest, CollidingHashesGetTwoHandlesThatBothResolve) {
    auto first = button("twin-a", "First");
    first.hash = 7;
    auto second = button("twin-b", "Second");
    second.hash = 7;
    desktop().addChild(id("group"), first);
    desktop().addChild(id("group"), second);

    const auto children = backend_->snapshot(handle("group"), false).children;
    ASSERT_THAT(children, SizeIs(4));
    EXPECT_NE(children[2], children[3]);
    EXPECT_EQ(backend_->snapshot(children[2], false).title, "First");
    EXPECT_EQ(backend_->snapshot(children[3], false).title, "Second");
    // Reading again walks the collision list and finds the same handles.
    EXPECT_EQ(backend_->snapshot(handle("group"), false).children, children);
}

TEST_F(BackendTest, UnknownTokenFailsAsNoLongerAvailable) {
    EXPECT_THAT(
        [&] { backend_->snapshot(AXElementHandle{"00000000-0000-4000-8000-000000000000"}, false); },
        FailsWith(HelperErrorCode::targetStale, "AX element is no longer available."));
}

TEST_F(BackendTest, VanishedElementResolvesAndThePlatformCallFails) {
    const auto send = handle("send");
    desktop().removeElement(id("send"));
    EXPECT_THAT([&] { backend_->snapshot(send, false); },
                FailsWith(HelperErrorCode::targetStale, "The selected app or window changed."));
}

TEST_F(BackendTest, AbsentStateAttributesReadAsEnabledUnfocusedNotMinimized) {
    const auto snap = backend_->snapshot(handle("send"), false);
    EXPECT_TRUE(snap.isEnabled);
    EXPECT_FALSE(snap.isFocused);
    EXPECT_FALSE(snap.isMinimized);
    EXPECT_FALSE(snap.subrole.has_value());
    EXPECT_EQ(snap.pid, kAppPid);
    EXPECT_EQ(snap.role, "AXButton");
    EXPECT_EQ(snap.identifier, "send");
    EXPECT_THAT(snap.actions, ElementsAre("AXPress"));
    EXPECT_FALSE(snap.isValueSettable);

    desktop().setAttribute(id("send"), "AXEnabled", false);
    desktop().setAttribute(id("send"), "AXFocused", true);
    const auto changed = backend_->snapshot(handle("send"), false);
    EXPECT_FALSE(changed.isEnabled);
    EXPECT_TRUE(changed.isFocused);
}

TEST_F(BackendTest, ValueIsReadOnlyWhenAskedAndOnlyAsText) {
    const auto composer = handle("composer");
    EXPECT_EQ(backend_->snapshot(composer, true).value, "draft");
    EXPECT_FALSE(backend_->snapshot(composer, false).value.has_value());
    EXPECT_TRUE(backend_->snapshot(composer, true).isValueSettable);

    desktop().setAttribute(id("composer"), "AXValue", AXAttributedText{"styled text"});
    EXPECT_EQ(backend_->snapshot(composer, true).value, "styled text");
    desktop().setAttribute(id("composer"), "AXValue", 42.0);
    EXPECT_FALSE(backend_->snapshot(composer, true).value.has_value());
    // With includeValue false the attribute is not even read: a failing read goes unnoticed.
    desktop().injectError(id("composer"), AXOperation::copyAttribute, ax::kFailure, "AXValue");
    EXPECT_FALSE(backend_->snapshot(composer, false).value.has_value());
    EXPECT_FALSE(backend_->snapshot(composer, true).value.has_value());
}

TEST_F(BackendTest, ChildrenAreCutAt256AndWindowsAt16InPlatformOrder) {
    for (int i = 0; i < 300; ++i) {
        desktop().addChild(id("window"), SimulatedElementSpec::withRole("AXStaticText")
                                             .set("AXTitle", "child " + std::to_string(i)));
    }
    const auto children = backend_->snapshot(window(), false).children;
    ASSERT_THAT(children, SizeIs(256));
    EXPECT_EQ(backend_->snapshot(children[0], false).role, "AXGroup");
    EXPECT_EQ(backend_->snapshot(children[255], false).title, "child 254");

    for (int i = 1; i < 20; ++i) {
        desktop().addWindow(kAppPid, SimulatedElementSpec::withRole("AXWindow")
                                         .set("AXTitle", "window " + std::to_string(i)));
    }
    const auto windows = backend_->windows(kAppPid);
    ASSERT_THAT(windows, SizeIs(16));
    EXPECT_EQ(windows[0], window());
    EXPECT_EQ(backend_->snapshot(windows[15], false).title, "window 15");
}

TEST_F(BackendTest, RoleMissingOrNotTextFailsTheSnapshot) {
    const auto send = handle("send");
    desktop().setAttribute(id("send"), "AXRole", 3.0);
    EXPECT_THAT([&] { backend_->snapshot(send, false); },
                FailsWith(HelperErrorCode::actionUnsupported, "AX attribute type is unsupported."));
    desktop().removeAttribute(id("send"), "AXRole");
    EXPECT_THAT([&] { backend_->snapshot(send, false); },
                FailsWith(HelperErrorCode::actionUnsupported,
                          "The target does not support this AX operation."));
}

// Each row forces one platform result on one read of the send button and states whether the
// snapshot fails (with which error) or carries on with a default.
TEST_F(BackendTest, EveryReadIsEitherRequiredOrOptionalAsSpecified) {
    struct Row {
        AXOperation operation;
        std::string name;
        AXError error;
        std::optional<HelperErrorCode> fails;
    };
    const std::vector<Row> rows = {
        {AXOperation::getPid, "", ax::kInvalidUIElement, HelperErrorCode::targetStale},
        {AXOperation::copyAttribute, "AXRole", ax::kCannotComplete, HelperErrorCode::actionFailed},
        {AXOperation::copyAttribute, "AXSubrole", ax::kCannotComplete, std::nullopt},
        {AXOperation::copyAttribute, "AXIdentifier", ax::kFailure, std::nullopt},
        {AXOperation::copyAttribute, "AXTitle", ax::kFailure, std::nullopt},
        {AXOperation::copyAttribute, "AXDescription", ax::kFailure, std::nullopt},
        {AXOperation::copyAttribute, "AXEnabled", ax::kFailure, std::nullopt},
        {AXOperation::copyAttribute, "AXFocused", ax::kFailure, std::nullopt},
        {AXOperation::copyAttribute, "AXMinimized", ax::kFailure, std::nullopt},
        {AXOperation::copyAttribute, "AXChildren", ax::kFailure, std::nullopt},
        {AXOperation::copyAttribute, "AXParent", ax::kFailure, std::nullopt},
        {AXOperation::isAttributeSettable, "AXValue", ax::kAttributeUnsupported, std::nullopt},
        {AXOperation::isAttributeSettable, "AXValue", ax::kCannotComplete,
         HelperErrorCode::actionFailed},
        {AXOperation::copyActionNames, "", ax::kActionUnsupported, std::nullopt},
        {AXOperation::copyActionNames, "", ax::kAttributeUnsupported, std::nullopt},
        {AXOperation::copyActionNames, "", ax::kAPIDisabled, HelperErrorCode::permissionDenied},
    };
    const auto send = handle("send");
    for (const auto& row : rows) {
        desktop().clearInjectedErrors(id("send"));
        desktop().injectError(id("send"), row.operation, row.error, row.name);
        SCOPED_TRACE(row.name + " " + std::to_string(row.error));
        if (row.fails) {
            try {
                backend_->snapshot(send, false);
                ADD_FAILURE() << "snapshot succeeded";
            } catch (const HelperProtocolError& error) {
                EXPECT_EQ(error.code(), *row.fails);
            }
            continue;
        }
        const auto snap = backend_->snapshot(send, false);
        EXPECT_EQ(snap.role, "AXButton");
        if (row.name == "AXTitle") {
            EXPECT_FALSE(snap.title.has_value());
        }
        if (row.name == "AXEnabled") {
            EXPECT_TRUE(snap.isEnabled);
        }
        if (row.name == "AXParent") {
            EXPECT_FALSE(snap.parent.has_value());
        }
        if (row.operation == AXOperation::copyActionNames) {
            EXPECT_THAT(snap.actions, IsEmpty());
        }
    }
    desktop().clearInjectedErrors(id("window"));
    desktop().injectError(id("window"), AXOperation::copyAttribute, ax::kFailure, "AXChildren");
    EXPECT_THAT(backend_->snapshot(window(), false).children, IsEmpty());
}

TEST_F(BackendTest, FailedSnapshotMintsNoHandles) {
    const auto group = handle("group");
    const std::size_t before = backend_->registeredHandleCount();
    desktop().injectError(id("group"), AXOperation::copyActionNames, ax::kCannotComplete);
    EXPECT_THROW(backend_->snapshot(group, false), HelperProtocolError);
    EXPECT_EQ(backend_->registeredHandleCount(), before);
}

TEST_F(BackendTest, WindowListFailuresAreThrownAndNonElementValuesRefused) {
    EXPECT_THAT([&] { backend_->windows(999); },
                FailsWith(HelperErrorCode::targetStale, "The selected app or window changed."));
    const auto appElement = desktop().applicationElement(kAppPid);
    desktop().injectError(appElement, AXOperation::copyAttribute, ax::kCannotComplete, "AXWindows");
    EXPECT_THAT([&] { backend_->windows(kAppPid); },
                FailsWith(HelperErrorCode::actionFailed,
                          "The target app could not complete the AX operation."));
    desktop().clearInjectedErrors(appElement);
    desktop().setAttribute(appElement, "AXWindows", std::string("not a list"));
    EXPECT_THAT([&] { backend_->windows(kAppPid); },
                FailsWith(HelperErrorCode::actionUnsupported, "AX attribute type is unsupported."));
}

// The simulated desktop, except that every window list it hands out has a hole in front, as a
// real platform's list may.
class HoleInWindowList final : public AXPlatform {
public:
    explicit HoleInWindowList(std::shared_ptr<SimulatedDesktop> inner) : inner_(std::move(inner)) {}
    bool isProcessTrusted(bool prompt) override { return inner_->isProcessTrusted(prompt); }
    std::int32_t ownProcessIdentifier() override { return inner_->ownProcessIdentifier(); }
    std::vector<AXPlatformApplication> runningApplications() override {
        return inner_->runningApplications();
    }
    std::optional<AXPlatformApplication> runningApplication(std::int32_t pid) override {
        return inner_->runningApplication(pid);
    }
    std::optional<std::int32_t> frontmostApplicationPID() override {
        return inner_->frontmostApplicationPID();
    }
    bool activateApplication(std::int32_t pid) override { return inner_->activateApplication(pid); }
    AXPlatformElementRef createApplicationElement(std::int32_t pid) override {
        return inner_->createApplicationElement(pid);
    }
    AXResult<AXAttributeValue> copyAttributeValue(const AXPlatformElementRef& element,
                                                  const std::string& attribute) override {
        auto result = inner_->copyAttributeValue(element, attribute);
        if (auto* list = std::get_if<std::vector<AXPlatformElementRef>>(&result.value);
            list != nullptr && attribute == "AXWindows") {
            list->insert(list->begin(), AXPlatformElementRef{});
        }
        return result;
    }
    AXResult<bool> isAttributeSettable(const AXPlatformElementRef& element,
                                       const std::string& attribute) override {
        return inner_->isAttributeSettable(element, attribute);
    }
    AXError setAttributeValue(const AXPlatformElementRef& element, const std::string& attribute,
                              const AXAttributeValue& value) override {
        return inner_->setAttributeValue(element, attribute, value);
    }
    AXResult<std::optional<std::vector<std::string>>>
    copyActionNames(const AXPlatformElementRef& element) override {
        return inner_->copyActionNames(element);
    }
    AXResult<std::int32_t> getPid(const AXPlatformElementRef& element) override {
        return inner_->getPid(element);
    }
    AXError performAction(const AXPlatformElementRef& element, const std::string& action) override {
        return inner_->performAction(element, action);
    }
    AXResult<std::shared_ptr<AXPlatformObserver>>
    createObserver(std::int32_t pid, AXObserverCallback callback) override {
        return inner_->createObserver(pid, std::move(callback));
    }

private:
    std::shared_ptr<SimulatedDesktop> inner_;
};

TEST_F(BackendTest, AHoleInTheWindowListIsSkipped) {
    PlatformAccessibilityBackend holey(
        std::make_shared<HoleInWindowList>(backend_->sharedDesktop()));
    const auto windows = holey.windows(kAppPid);
    ASSERT_THAT(windows, SizeIs(1));
    EXPECT_EQ(holey.snapshot(windows[0], false).title, "Main");
}

TEST_F(BackendTest, FocusedElementIsAbsentOnAnyFailureButRefusesWhenUntrusted) {
    EXPECT_FALSE(backend_->focusedElement(kAppPid).has_value());
    EXPECT_FALSE(backend_->focusedElement(999).has_value());
    desktop().setFocusedElement(kAppPid, id("composer"));
    EXPECT_TRUE(backend_->focusedElement(kAppPid).has_value());
    desktop().injectError(desktop().applicationElement(kAppPid), AXOperation::copyAttribute,
                          ax::kCannotComplete, "AXFocusedUIElement");
    EXPECT_FALSE(backend_->focusedElement(kAppPid).has_value());

    desktop().setTrusted(false);
    EXPECT_THAT(
        [&] { backend_->focusedElement(kAppPid); },
        FailsWith(HelperErrorCode::permissionDenied, "Accessibility permission is unavailable."));
}

TEST_F(BackendTest, TrustGateRefusesElementReadsWithoutEverPrompting) {
    const auto send = handle("send");
    desktop().setTrusted(false);
    const auto refused =
        FailsWith(HelperErrorCode::permissionDenied, "Accessibility permission is unavailable.");
    EXPECT_THAT([&] { backend_->windows(kAppPid); }, refused);
    EXPECT_THAT([&] { backend_->snapshot(send, false); }, refused);
    EXPECT_FALSE(backend_->restoreFocus(send, kAppPid));
    EXPECT_EQ(desktop().trustPromptCount(), 0u);
    EXPECT_FALSE(backend_->isTrusted(true));
    EXPECT_EQ(desktop().trustPromptCount(), 1u);
    // Application queries do not need the accessibility permission.
    EXPECT_THAT(backend_->runningApplications(), SizeIs(1));
}

TEST(BackendApplications, ListsOnlyRegularLiveApplicationsWithValidBundles) {
    auto backend = SimulatedDesktopBackend::empty();
    auto& desktop = backend->desktop();
    desktop.setOwnPid(100);
    auto add =
        [&](std::int32_t pid, std::optional<std::string> bundle, std::optional<std::string> name,
            AXActivationPolicy policy = AXActivationPolicy::regular, bool terminated = false) {
            SimulatedApplicationSpec app;
            app.pid = pid;
            app.bundleId = std::move(bundle);
            app.localizedName = std::move(name);
            app.activationPolicy = policy;
            app.isTerminated = terminated;
            desktop.addApplication(app);
        };
    add(100, "com.example.self", "Helper itself");
    add(0, "com.example.zero", "Zero pid");
    add(-3, "com.example.negative", "Negative pid");
    add(201, "com.example.accessory", "Accessory", AXActivationPolicy::accessory);
    add(202, "com.example.daemon", "Daemon", AXActivationPolicy::prohibited);
    add(203, std::nullopt, "No bundle");
    add(204, "nodots", "Bad bundle");
    add(205, "com.example.bad\n", "Bundle with line feed");
    add(206, "com.example.gone", "Gone", AXActivationPolicy::regular, true);
    add(301, "com.example.unnamed", std::nullopt);
    add(302, "com.example.secret", "  My API token viewer ");
    add(303, "com.example.trimmed", "  Editor\n");

    const auto listed = backend->runningApplications();
    ASSERT_THAT(listed, SizeIs(3));
    EXPECT_EQ(listed[0], (RunningApplicationDescriptor{301, "com.example.unnamed", "Application",
                                                       false, false}));
    EXPECT_EQ(listed[1].displayName, "Application");
    EXPECT_EQ(listed[2].displayName, "Editor");

    EXPECT_EQ(backend->application(201)->bundleId, "com.example.accessory");
    EXPECT_EQ(backend->application(100)->displayName, "Helper itself");
    EXPECT_FALSE(backend->application(203).has_value());
    EXPECT_FALSE(backend->application(204).has_value());
    EXPECT_FALSE(backend->application(205).has_value());
    EXPECT_FALSE(backend->application(206).has_value());
    EXPECT_FALSE(backend->application(999).has_value());
}

TEST(BackendApplications, ActivationAndFrontmost) {
    auto backend = SimulatedDesktopBackend::empty();
    auto& desktop = backend->desktop();
    SimulatedApplicationSpec app;
    app.pid = 10;
    app.bundleId = "com.example.one";
    desktop.addApplication(app);
    app.pid = 11;
    app.isTerminated = true;
    desktop.addApplication(app);

    EXPECT_FALSE(backend->frontmostApplicationPID().has_value());
    EXPECT_FALSE(backend->activateApplication(99));
    EXPECT_FALSE(backend->activateApplication(11));
    EXPECT_TRUE(backend->activateApplication(10));
    EXPECT_EQ(backend->frontmostApplicationPID(), 10);
    EXPECT_TRUE(backend->application(10)->isActive);
    desktop.setActivationAllowed(false);
    EXPECT_FALSE(backend->activateApplication(10));
}

TEST_F(BackendTest, RestoreFocusWritesOnlyForAnElementOfThatProcess) {
    const auto composer = handle("composer");
    const auto send = handle("send");
    EXPECT_FALSE(backend_->restoreFocus(composer, kOtherPid));
    EXPECT_FALSE(backend_->restoreFocus(send, kAppPid)); // focus not settable
    EXPECT_FALSE(backend_->restoreFocus(AXElementHandle{"unknown"}, kAppPid));
    EXPECT_THAT(desktop().sideEffects(), IsEmpty());

    EXPECT_TRUE(backend_->restoreFocus(composer, kAppPid));
    EXPECT_THAT(desktop().sideEffects(),
                ElementsAre(SimulatedSideEffect{SimulatedSideEffect::Kind::setAttribute,
                                                id("composer"), "AXFocused", true}));
    EXPECT_EQ(backend_->focusedElement(kAppPid), composer);

    desktop().injectError(id("composer"), AXOperation::setAttribute, ax::kCannotComplete);
    EXPECT_FALSE(backend_->restoreFocus(composer, kAppPid));
}

TEST(AXNodeSnapshotFingerprint, CoversRoleSubroleIdentifierSettabilityAndActionsOnly) {
    AXNodeSnapshot base;
    base.role = "AXButton";
    base.identifier = "send";
    base.actions = {"AXShowMenu", "AXPress"};
    EXPECT_EQ(base.semanticFingerprint(),
              Redaction::semanticFingerprint(
                  {"AXButton", "", "send", "read-only", "AXPress,AXShowMenu"}));

    auto relabelled = base;
    relabelled.title = "Other";
    relabelled.description = "Other";
    relabelled.value = "typed";
    relabelled.isFocused = true;
    relabelled.isEnabled = false;
    relabelled.pid = 9;
    relabelled.children = {AXElementHandle{"child"}};
    relabelled.parent = AXElementHandle{"parent"};
    EXPECT_EQ(relabelled.semanticFingerprint(), base.semanticFingerprint());

    auto emptySubrole = base;
    emptySubrole.subrole = "";
    EXPECT_EQ(emptySubrole.semanticFingerprint(), base.semanticFingerprint());

    auto settable = base;
    settable.isValueSettable = true;
    auto otherIdentifier = base;
    otherIdentifier.identifier = "stop";
    auto fewerActions = base;
    fewerActions.actions = {"AXPress"};
    for (const auto& changed : {settable, otherIdentifier, fewerActions}) {
        EXPECT_NE(changed.semanticFingerprint(), base.semanticFingerprint());
    }
}

TEST_F(BackendTest, ActionOrderOfThePlatformDoesNotChangeTheFingerprint) {
    const auto send = handle("send");
    desktop().setActions(id("send"), std::vector<std::string>{"AXShowMenu", "AXPress"});
    const auto first = backend_->snapshot(send, false).semanticFingerprint();
    desktop().setActions(id("send"), std::vector<std::string>{"AXPress", "AXShowMenu"});
    EXPECT_EQ(backend_->snapshot(send, false).semanticFingerprint(), first);
}

TEST_F(BackendTest, WindowFingerprintSurvivesRetitlingButNotAnotherProcess) {
    const auto before = accessibilityWindowFingerprint(backend_->snapshot(window(), false));
    EXPECT_EQ(before, Redaction::semanticFingerprint({"501", "AXWindow", "AXStandardWindow", ""}));
    desktop().retitle(id("window"), "Renamed");
    desktop().setMinimized(id("window"), true);
    EXPECT_EQ(accessibilityWindowFingerprint(backend_->snapshot(window(), false)), before);
    desktop().setOwner(id("window"), kOtherPid);
    EXPECT_NE(accessibilityWindowFingerprint(backend_->snapshot(window(), false)), before);

    AXNodeSnapshot negative;
    negative.pid = -12;
    negative.role = "AXWindow";
    EXPECT_EQ(accessibilityWindowFingerprint(negative),
              Redaction::semanticFingerprint({"-12", "AXWindow", "", ""}));
}

} // namespace
} // namespace bix::ax
