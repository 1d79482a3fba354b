#pragma once

#include "Simulator/SimulatedDesktop.h"

#include <string_view>

namespace bix::ax {

// Builds a desktop from scenario text (the JSON format described in SCENARIOS.md) on top of
// whatever `desktop` already holds. Throws HelperProtocolError (internalFailure) with a message
// naming the first problem; the desktop may then hold part of the scenario.
void loadSimulatedDesktopScenario(SimulatedDesktop& desktop, std::string_view text);

// The built-in demo desktop: an AI chat application with its scripted behaviour, a notes
// application with two windows, and three processes that are never listed.
std::string_view demoDesktopScenario();

} // namespace bix::ax
