#pragma once

#include "Access/PlatformAccessibilityBackend.h"
#include "Simulator/SimulatedDesktop.h"

#include <memory>
#include <string>

namespace bix::ax {

// The accessibility backend of the Linux build and of every helper test: the backend core (element
// registry, snapshots, guarded actions, notifications) running over a SimulatedDesktop. Tests and
// demos reach the desktop through desktop() to change it while the helper runs.
class SimulatedDesktopBackend final : public PlatformAccessibilityBackend {
public:
    explicit SimulatedDesktopBackend(std::shared_ptr<SimulatedDesktop> desktop);

    // An empty desktop: no applications, trusted.
    static std::shared_ptr<SimulatedDesktopBackend> empty();
    // The built-in demo desktop holding an AI chat application (see SCENARIOS.md).
    static std::shared_ptr<SimulatedDesktopBackend> demo();
    // A desktop described by a scenario file. Throws HelperProtocolError (internalFailure) with
    // a message naming the problem when the file cannot be read or is not a valid scenario.
    static std::shared_ptr<SimulatedDesktopBackend> fromScenarioFile(const std::string& path);
    // The same from scenario text.
    static std::shared_ptr<SimulatedDesktopBackend> fromScenarioText(const std::string& text);

    SimulatedDesktop& desktop() { return *desktop_; }
    const std::shared_ptr<SimulatedDesktop>& sharedDesktop() const { return desktop_; }

private:
    std::shared_ptr<SimulatedDesktop> desktop_;
};

} // namespace bix::ax
