#include "Atspi/AtspiMapping.h"

#include <gtest/gtest.h>

namespace bix::ax::atspi {
namespace {

TEST(AtspiMapping, TextRolesReadAsAreaOrFieldByTheirLineState) {
    struct Case {
        AtspiRole role;
        bool multiLine;
        const char* role_;
        std::optional<std::string> subrole;
    };
    const Case cases[] = {
        {ATSPI_ROLE_TEXT, true, "AXTextArea", std::nullopt},
        {ATSPI_ROLE_TEXT, false, "AXTextField", std::nullopt},
        {ATSPI_ROLE_ENTRY, true, "AXTextArea", std::nullopt},
        {ATSPI_ROLE_PASSWORD_TEXT, true, "AXTextField", "AXSecureTextField"},
        {ATSPI_ROLE_FRAME, false, "AXWindow", "AXStandardWindow"},
        {ATSPI_ROLE_DIALOG, false, "AXWindow", "AXDialog"},
        {ATSPI_ROLE_DOCUMENT_WEB, false, "AXGroup", std::nullopt},
        {ATSPI_ROLE_CANVAS, false, "AXUnknown", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto mapped = axRoleFor(c.role, c.multiLine);
        EXPECT_EQ(mapped.role, c.role_) << atspi_role_get_name(c.role);
        EXPECT_EQ(mapped.subrole, c.subrole) << atspi_role_get_name(c.role);
    }
}

TEST(AtspiMapping, PressPrefersClickAndUsesFallbacksOnlyWhereTheyPress) {
    struct Case {
        std::vector<std::string> actions;
        AtspiRole role;
        bool enabled;
        std::optional<int> press;
    };
    const Case cases[] = {
        {{"activate", "click"}, ATSPI_ROLE_PUSH_BUTTON, true, 1},
        {{"activate"}, ATSPI_ROLE_PUSH_BUTTON, true, 0},
        // On an entry "activate" confirms the text: it is no press.
        {{"activate"}, ATSPI_ROLE_ENTRY, true, std::nullopt},
        // Browsers offer doDefault on disabled buttons too.
        {{"doDefault"}, ATSPI_ROLE_PUSH_BUTTON, true, 0},
        {{"doDefault"}, ATSPI_ROLE_PUSH_BUTTON, false, std::nullopt},
        {{"showContextMenu", "press"}, ATSPI_ROLE_LINK, true, 1},
        {{"Klicken"}, ATSPI_ROLE_PUSH_BUTTON, true, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toolkitActionIndexFor(c.actions, "AXPress", c.role, c.enabled), c.press)
            << c.actions.front();
    }
}

TEST(AtspiMapping, EventsBecomeTheNotificationsTheObserverUses) {
    struct Case {
        const char* type;
        int detail1;
        bool fromApplication;
        std::vector<std::string> notifications;
    };
    const Case cases[] = {
        {"object:text-changed:insert", 0, false, {"AXValueChanged"}},
        {"object:property-change:accessible-name", 0, false, {"AXValueChanged"}},
        {"object:state-changed:defunct", 1, false, {"AXUIElementDestroyed"}},
        {"object:state-changed:defunct", 0, false, {}},
        {"object:children-changed:add", 0, false, {"AXLayoutChanged"}},
        {"object:children-changed:add", 0, true, {"AXWindowCreated", "AXLayoutChanged"}},
        {"object:state-changed:showing", 1, false, {"AXLayoutChanged"}},
        {"window:create", 0, false, {"AXWindowCreated"}},
        {"object:active-descendant-changed", 0, false, {"AXSelectedChildrenChanged"}},
        {"object:state-changed:focused", 1, false, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(axNotificationsForEvent(c.type, c.detail1, c.fromApplication), c.notifications)
            << c.type;
    }
}

TEST(AtspiMapping, ApplicationIdentifierPrefersTheApplicationsOwnBusName) {
    struct Case {
        std::vector<std::string> names;
        const char* toolkit;
        const char* program;
        std::optional<std::string> identifier;
    };
    const Case cases[] = {
        {{"org.bix.GtkChat"}, "gtk", "chat.py", "org.bix.GtkChat"},
        // Shared services a process may also own never stand for it; the choice is stable.
        {{"org.freedesktop.portal.X", "org.b.Two", "org.a.One"}, "gtk", "x", "org.a.One"},
        {{}, "GTK", "chat_app_gtk3.py", "linux.gtk.chat-app-gtk3-py"},
        {{"not a name"}, "Chromium", "Chromium", "linux.chromium.chromium"},
        {{}, "", "tool", "linux.unknown.tool"},
        {{}, "gtk", "…", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(applicationIdentifierFor(c.names, c.toolkit, c.program), c.identifier)
            << c.program;
    }
}

} // namespace
} // namespace bix::ax::atspi
