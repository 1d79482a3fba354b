#pragma once

#include <atspi/atspi.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How the AT-SPI vocabulary reads in the helper's AX vocabulary: roles, actions, notifications
// and the application identifier that stands in for a bundle identifier. Pure functions, so the
// translation is tested without a desktop.

namespace bix::ax::atspi {

struct AXRoleMapping {
    std::string role;
    std::optional<std::string> subrole;
};

// `multiLine` is the element's MULTI_LINE state; it decides text area against text field.
AXRoleMapping axRoleFor(AtspiRole role, bool multiLine);

bool isWindowRole(AtspiRole role);
// Roles whose text is their value (entries, text views, labels); other roles may carry a Text
// interface too (web buttons, containers full of placeholders) but have no value.
bool isTextValueRole(AtspiRole role);
bool isButtonLikeRole(AtspiRole role);

// The AX action a toolkit action name stands for (names as the toolkit reports them, never
// localized ones); nullopt for actions the helper does not know.
std::optional<std::string> axActionFor(std::string_view toolkitAction, AtspiRole role);
// Index of the toolkit action that performs `axAction`, preferring the most specific name:
// click, press, jump, then activate on button-like roles, then doDefault only when `enabled`.
std::optional<int> toolkitActionIndexFor(const std::vector<std::string>& toolkitActions,
                                         std::string_view axAction, AtspiRole role, bool enabled);

// The AX notifications one AT-SPI event stands for on its source element.
std::vector<std::string> axNotificationsForEvent(std::string_view eventType, int detail1,
                                                 bool sourceIsApplication);

// The identifier that stands in for a bundle identifier: the application's own reverse-DNS id
// (a GApplication's well-known session-bus name) when it has exactly one that looks like one,
// otherwise "linux.<toolkit>.<program>", each part reduced to letters, digits and hyphens.
// nullopt when no part is left to build one from.
std::optional<std::string> applicationIdentifierFor(const std::vector<std::string>& ownedBusNames,
                                                    std::string_view toolkit,
                                                    std::string_view program);

} // namespace bix::ax::atspi
