#include "Atspi/AtspiMapping.h"

#include "Protocol/Validation.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace bix::ax::atspi {

namespace {

const char kWindow[] = "AXWindow";
const char kStandardWindow[] = "AXStandardWindow";
const char kDialog[] = "AXDialog";
const char kGroup[] = "AXGroup";
const char kStaticText[] = "AXStaticText";
const char kPress[] = "AXPress";
const char kShowMenu[] = "AXShowMenu";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool isGroupRole(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_LANDMARK:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_VIEWPORT:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_ARTICLE:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_SPLIT_PANE:
    case ATSPI_ROLE_TOOL_BAR:
    case ATSPI_ROLE_LOG:
        return true;
    default:
        return false;
    }
}

// Lower-case letters, digits and hyphens only, runs of anything else folded into one hyphen.
std::string identifierPart(std::string_view text) {
    std::string part;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 && byte < 0x80) {
            part += static_cast<char>(std::tolower(byte));
        } else if (!part.empty() && part.back() != '-') {
            part += '-';
        }
    }
    while (!part.empty() && part.back() == '-') {
        part.pop_back();
    }
    return part;
}

bool isSharedServiceName(std::string_view name) {
    return startsWith(name, "org.freedesktop.") || startsWith(name, "org.a11y.");
}

} // namespace

AXRoleMapping axRoleFor(AtspiRole role, bool multiLine) {
    switch (role) {
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
        return {kWindow, kStandardWindow};
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
        return {kWindow, kDialog};
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
        return {multiLine ? "AXTextArea" : "AXTextField", std::nullopt};
    case ATSPI_ROLE_PASSWORD_TEXT:
        return {"AXTextField", "AXSecureTextField"};
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
        return {"AXButton", std::nullopt};
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
        return {kStaticText, std::nullopt};
    case ATSPI_ROLE_SCROLL_PANE:
        return {"AXScrollArea", std::nullopt};
    case ATSPI_ROLE_SCROLL_BAR:
        return {"AXScrollBar", std::nullopt};
    case ATSPI_ROLE_LINK:
        return {"AXLink", std::nullopt};
    case ATSPI_ROLE_APPLICATION:
        return {"AXApplication", std::nullopt};
    default:
        if (isGroupRole(role)) {
            return {kGroup, std::nullopt};
        }
        return {"AXUnknown", std::nullopt};
    }
}

bool isWindowRole(AtspiRole role) {
    return axRoleFor(role, false).role == kWindow;
}

bool isTextValueRole(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
        return true;
    default:
        return false;
    }
}

bool isButtonLikeRole(AtspiRole role) {
    return axRoleFor(role, false).role == "AXButton" || role == ATSPI_ROLE_LINK;
}

std::optional<std::string> axActionFor(std::string_view toolkitAction, AtspiRole role) {
    if (toolkitAction == "click" || toolkitAction == "press" || toolkitAction == "jump") {
        return kPress;
    }
    // On entries "activate" confirms the text; only on buttons does it press.
    if (toolkitAction == "activate" && isButtonLikeRole(role)) {
        return kPress;
    }
    if (toolkitAction == "showContextMenu" || toolkitAction == "menu.popup") {
        return kShowMenu;
    }
    return std::nullopt;
}

std::optional<int> toolkitActionIndexFor(const std::vector<std::string>& toolkitActions,
                                         std::string_view axAction, AtspiRole role, bool enabled) {
    auto indexOf = [&](std::string_view name) -> std::optional<int> {
        auto found = std::find(toolkitActions.begin(), toolkitActions.end(), name);
        if (found == toolkitActions.end()) {
            return std::nullopt;
        }
        return static_cast<int>(found - toolkitActions.begin());
    };
    std::vector<std::string_view> preferred;
    if (axAction == kPress) {
        preferred = {"click", "press", "jump"};
        if (isButtonLikeRole(role)) {
            preferred.emplace_back("activate");
        }
    } else if (axAction == kShowMenu) {
        preferred = {"showContextMenu", "menu.popup"};
    }
    for (const auto name : preferred) {
        if (auto index = indexOf(name)) {
            return index;
        }
    }
    // Browsers list doDefault even on disabled buttons: used only for an enabled element.
    if (axAction == kPress && enabled && isButtonLikeRole(role)) {
        return indexOf("doDefault");
    }
    return std::nullopt;
}

std::vector<std::string> axNotificationsForEvent(std::string_view eventType, int detail1,
                                                 bool sourceIsApplication) {
    const std::string valueChanged = "AXValueChanged";
    const std::string destroyed = "AXUIElementDestroyed";
    const std::string layoutChanged = "AXLayoutChanged";
    const std::string windowCreated = "AXWindowCreated";
    const std::string selectionChanged = "AXSelectedChildrenChanged";
    if (startsWith(eventType, "object:text-changed") || eventType == "object:value-changed" ||
        startsWith(eventType, "object:value-changed:") ||
        eventType == "object:property-change:accessible-name" ||
        eventType == "object:property-change:accessible-value") {
        return {valueChanged};
    }
    if (eventType == "object:state-changed:defunct") {
        return detail1 != 0 ? std::vector<std::string>{destroyed} : std::vector<std::string>{};
    }
    if (startsWith(eventType, "object:children-changed")) {
        if (sourceIsApplication && startsWith(eventType, "object:children-changed:add")) {
            return {windowCreated, layoutChanged};
        }
        return {layoutChanged};
    }
    if (eventType == "object:state-changed:showing" ||
        eventType == "object:state-changed:visible") {
        return {layoutChanged};
    }
    if (eventType == "window:create") {
        return {windowCreated};
    }
    if (eventType == "window:destroy") {
        return {destroyed};
    }
    if (startsWith(eventType, "object:selection-changed") ||
        startsWith(eventType, "object:active-descendant-changed")) {
        return {selectionChanged};
    }
    return {};
}

std::optional<std::string> applicationIdentifierFor(const std::vector<std::string>& ownedBusNames,
                                                    std::string_view toolkit,
                                                    std::string_view program) {
    std::vector<std::string> candidates;
    for (const auto& name : ownedBusNames) {
        if (!isSharedServiceName(name) && Validation::matches(Validation::Pattern::bundle, name)) {
            candidates.push_back(name);
        }
    }
    if (!candidates.empty()) {
        // Several names: the first in byte order, so the same process always gets the same one.
        return *std::min_element(candidates.begin(), candidates.end());
    }
    const std::string toolkitPart = identifierPart(toolkit);
    const std::string programPart = identifierPart(program);
    if (programPart.empty()) {
        return std::nullopt;
    }
    std::string identifier =
        "linux." + (toolkitPart.empty() ? std::string("unknown") : toolkitPart) + "." + programPart;
    if (!Validation::matches(Validation::Pattern::bundle, identifier)) {
        return std::nullopt;
    }
    return identifier;
}

} // namespace bix::ax::atspi
