#include "Simulator/SimulatedDesktopBackend.h"

#include "Protocol/HelperError.h"
#include "Simulator/SimulatedDesktopScenario.h"

#include <fstream>
#include <sstream>
#include <utility>

namespace bix::ax {

SimulatedDesktopBackend::SimulatedDesktopBackend(std::shared_ptr<SimulatedDesktop> desktop)
    : PlatformAccessibilityBackend(desktop), desktop_(std::move(desktop)) {}

std::shared_ptr<SimulatedDesktopBackend> SimulatedDesktopBackend::empty() {
    return std::make_shared<SimulatedDesktopBackend>(std::make_shared<SimulatedDesktop>());
}

std::shared_ptr<SimulatedDesktopBackend> SimulatedDesktopBackend::demo() {
    return fromScenarioText(std::string(demoDesktopScenario()));
}

std::shared_ptr<SimulatedDesktopBackend>
SimulatedDesktopBackend::fromScenarioText(const std::string& text) {
    auto backend = empty();
    loadSimulatedDesktopScenario(backend->desktop(), text);
    return backend;
}

std::shared_ptr<SimulatedDesktopBackend>
SimulatedDesktopBackend::fromScenarioFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw HelperProtocolError(HelperErrorCode::internalFailure,
                                  "Scenario file could not be opened.");
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        throw HelperProtocolError(HelperErrorCode::internalFailure,
                                  "Scenario file could not be read.");
    }
    return fromScenarioText(contents.str());
}

} // namespace bix::ax
