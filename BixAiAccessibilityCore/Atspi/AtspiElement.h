#pragma once

#include "Atspi/AtspiWorker.h"
#include "Platform/AXPlatform.h"

#include <atspi/atspi.h>
#include <memory>
#include <string>

namespace bix::ax::atspi {

// One AT-SPI object as an AX element. Its identity is (bus name, object path), captured when the
// element is made, so hashing and comparing never touch the bus or libatspi. It holds a
// reference on the libatspi object, which is released on the worker thread (libatspi objects
// belong to that thread). An element with no object names nothing: every call on it fails.
class AtspiElement final : public AXPlatformElement {
public:
    // Takes a new reference on `object` (may be null). Call on the worker thread.
    AtspiElement(AtspiAccessible* object, std::weak_ptr<AtspiWorker> worker)
        : object_(object), worker_(std::move(worker)) {
        if (object_ == nullptr) {
            return;
        }
        g_object_ref(object_);
        const AtspiObject* base = ATSPI_OBJECT(object_);
        if (base->app != nullptr && base->app->bus_name != nullptr) {
            busName_ = base->app->bus_name;
        }
        if (base->path != nullptr) {
            path_ = base->path;
        }
    }
    ~AtspiElement() override {
        if (object_ == nullptr) {
            return;
        }
        if (auto worker = worker_.lock()) {
            AtspiAccessible* object = object_;
            worker->post([object] { g_object_unref(object); });
        }
        // Without a worker the process is ending; the reference goes with it.
    }
    AtspiElement(const AtspiElement&) = delete;
    AtspiElement& operator=(const AtspiElement&) = delete;

    std::size_t hash() const override {
        return std::hash<std::string>{}(busName_)*31 + std::hash<std::string>{}(path_);
    }
    bool equals(const AXPlatformElement& other) const override {
        const auto* element = dynamic_cast<const AtspiElement*>(&other);
        return element != nullptr && !busName_.empty() && element->busName_ == busName_ &&
               element->path_ == path_;
    }

    AtspiAccessible* object() const { return object_; }
    const std::string& busName() const { return busName_; }
    const std::string& path() const { return path_; }
    // The key events are matched by: bus name and path.
    std::string key() const { return busName_ + '\n' + path_; }

private:
    AtspiAccessible* object_ = nullptr;
    std::weak_ptr<AtspiWorker> worker_;
    std::string busName_;
    std::string path_;
};

inline std::string elementKey(AtspiAccessible* object) {
    if (object == nullptr) {
        return {};
    }
    const AtspiObject* base = ATSPI_OBJECT(object);
    if (base->app == nullptr || base->app->bus_name == nullptr || base->path == nullptr) {
        return {};
    }
    return std::string(base->app->bus_name) + '\n' + base->path;
}

} // namespace bix::ax::atspi
