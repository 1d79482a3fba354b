#include "Simulator/SimulatedDesktopState.h"

#include <algorithm>
#include <type_traits>

// The platform's answers over the model: trust, running applications, attribute reads and writes,
// action names, owning processes and actions, with the platform's result codes.

namespace bix::ax {

using namespace simulated;

namespace {

AXAttributeValue toAttributeValue(const SimulatedValue& value) {
    return std::visit([](const auto& v) -> AXAttributeValue { return v; }, value);
}

std::optional<SimulatedValue> fromAttributeValue(const AXAttributeValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return SimulatedValue{*text};
    }
    if (const auto* attributed = std::get_if<AXAttributedText>(&value)) {
        return SimulatedValue{*attributed};
    }
    if (const auto* number = std::get_if<double>(&value)) {
        return SimulatedValue{*number};
    }
    if (const auto* flag = std::get_if<bool>(&value)) {
        return SimulatedValue{*flag};
    }
    return std::nullopt;
}

AXPlatformApplication describe(const Application& app) {
    return AXPlatformApplication{app.pid,           app.bundleId,
                                 app.localizedName, app.activationPolicy,
                                 app.isActive,      app.isTerminated};
}
} // namespace

// MARK: AXPlatform: applications

bool SimulatedDesktop::isProcessTrusted(bool prompt) {
    std::lock_guard guard(state_->mutex);
    if (prompt) {
        ++state_->prompts;
    }
    return state_->trusted;
}

std::int32_t SimulatedDesktop::ownProcessIdentifier() {
    std::lock_guard guard(state_->mutex);
    return state_->ownPid;
}
std::vector<AXPlatformApplication> SimulatedDesktop::runningApplications() {
    std::lock_guard guard(state_->mutex);
    std::vector<AXPlatformApplication> result;
    for (const auto& app : state_->applications) {
        result.push_back(describe(app));
    }
    return result;
}

std::optional<AXPlatformApplication> SimulatedDesktop::runningApplication(std::int32_t pid) {
    std::lock_guard guard(state_->mutex);
    const Application* app = state_->app(pid);
    if (app == nullptr) {
        return std::nullopt;
    }
    return describe(*app);
}

std::optional<std::int32_t> SimulatedDesktop::frontmostApplicationPID() {
    std::lock_guard guard(state_->mutex);
    return state_->frontmost;
}

bool SimulatedDesktop::activateApplication(std::int32_t pid) {
    std::lock_guard guard(state_->mutex);
    Application* target = state_->app(pid);
    if (target == nullptr || target->isTerminated || !state_->activationAllowed) {
        return false;
    }
    for (auto& app : state_->applications) {
        app.isActive = app.pid == pid;
    }
    state_->frontmost = pid;
    return true;
}

// MARK: AXPlatform: elements

AXPlatformElementRef SimulatedDesktop::createApplicationElement(std::int32_t pid) {
    std::lock_guard guard(state_->mutex);
    const Application* app = state_->app(pid);
    // A process with no application still gets a reference, as on the platform; every call on
    // it fails as an invalid element.
    return state_->ref(app == nullptr ? kNoElement : app->element);
}

namespace {
// Resolves a reference for one operation: trust, existence, then any forced result code.
template <typename Fn>
auto withElement(SimulatedDesktop::State& state, const AXPlatformElementRef& reference,
                 AXOperation operation, const std::string& name, Fn&& fn)
    -> decltype(fn(std::declval<Element&>())) {
    using Result = decltype(fn(std::declval<Element&>()));
    auto fail = [](AXError error) {
        if constexpr (std::is_same_v<Result, AXError>) {
            return error;
        } else {
            Result result{};
            result.error = error;
            return result;
        }
    };
    if (!state.trusted) {
        return fail(ax::kAPIDisabled);
    }
    auto id = state.idOf(reference);
    Element* e = id ? state.element(*id) : nullptr;
    if (e == nullptr) {
        return fail(ax::kInvalidUIElement);
    }
    if (AXError forced = e->forcedError(operation, name)) {
        return fail(forced);
    }
    return fn(*e);
}
} // namespace

AXResult<AXAttributeValue> SimulatedDesktop::copyAttributeValue(const AXPlatformElementRef& element,
                                                                const std::string& attribute) {
    std::lock_guard guard(state_->mutex);
    auto& state = *state_;
    return withElement(state, element, AXOperation::copyAttribute, attribute,
                       [&](Element& e) -> AXResult<AXAttributeValue> {
                           // An explicit attribute wins, so tests can give structural
                           // attributes a wrong type.
                           if (auto found = e.attributes.find(attribute);
                               found != e.attributes.end()) {
                               return {ax::kSuccess, toAttributeValue(found->second)};
                           }
                           auto refs = [&](const std::vector<SimulatedElementId>& ids) {
                               std::vector<AXPlatformElementRef> out;
                               out.reserve(ids.size());
                               for (auto id : ids) {
                                   out.push_back(state.ref(id));
                               }
                               return out;
                           };
                           if (attribute == kChildren) {
                               return {ax::kSuccess, refs(e.children)};
                           }
                           if (attribute == kWindows && e.isApplication) {
                               return {ax::kSuccess, refs(e.children)};
                           }
                           if (attribute == kParent && e.parent) {
                               return {ax::kSuccess, state.ref(*e.parent)};
                           }
                           if (attribute == kFocusedUIElement && e.isApplication) {
                               const Application* app = state.app(e.pid);
                               if (app && app->focused && state.element(*app->focused)) {
                                   return {ax::kSuccess, state.ref(*app->focused)};
                               }
                               return {ax::kNoValue, {}};
                           }
                           return {ax::kAttributeUnsupported, {}};
                       });
}

AXResult<bool> SimulatedDesktop::isAttributeSettable(const AXPlatformElementRef& element,
                                                     const std::string& attribute) {
    std::lock_guard guard(state_->mutex);
    return withElement(*state_, element, AXOperation::isAttributeSettable, attribute,
                       [&](Element& e) -> AXResult<bool> {
                           if (e.settable.count(attribute) > 0) {
                               return {ax::kSuccess, true};
                           }
                           if (e.attributes.count(attribute) > 0) {
                               return {ax::kSuccess, false};
                           }
                           return {ax::kAttributeUnsupported, false};
                       });
}

AXError SimulatedDesktop::setAttributeValue(const AXPlatformElementRef& element,
                                            const std::string& attribute,
                                            const AXAttributeValue& value) {
    PendingWork work;
    AXError result = ax::kSuccess;
    {
        std::lock_guard guard(state_->mutex);
        auto& state = *state_;
        work = state.work();
        result = withElement(state, element, AXOperation::setAttribute, attribute,
                             [&](Element& e) -> AXError {
                                 auto plain = fromAttributeValue(value);
                                 if (e.settable.count(attribute) == 0) {
                                     return ax::kAttributeUnsupported;
                                 }
                                 if (!plain) {
                                     return ax::kIllegalArgument;
                                 }
                                 state.recordSideEffect({SimulatedSideEffect::Kind::setAttribute,
                                                         e.id, attribute, *plain});
                                 if (attribute == kFocused && *plain == SimulatedValue{true}) {
                                     if (Application* app = state.app(e.pid)) {
                                         app->focused = e.id;
                                     }
                                 }
                                 state.setValueNotifying(e, attribute, *plain, work);
                                 return ax::kSuccess;
                             });
    }
    work.run();
    return result;
}

AXResult<std::optional<std::vector<std::string>>>
SimulatedDesktop::copyActionNames(const AXPlatformElementRef& element) {
    std::lock_guard guard(state_->mutex);
    return withElement(*state_, element, AXOperation::copyActionNames, "",
                       [&](Element& e) -> AXResult<std::optional<std::vector<std::string>>> {
                           return {ax::kSuccess, e.actions};
                       });
}

AXResult<std::int32_t> SimulatedDesktop::getPid(const AXPlatformElementRef& element) {
    std::lock_guard guard(state_->mutex);
    return withElement(*state_, element, AXOperation::getPid, "",
                       [&](Element& e) -> AXResult<std::int32_t> {
                           return {ax::kSuccess, e.pid};
                       });
}

AXError SimulatedDesktop::performAction(const AXPlatformElementRef& element,
                                        const std::string& action) {
    PendingWork work;
    AXError result = ax::kSuccess;
    {
        std::lock_guard guard(state_->mutex);
        auto& state = *state_;
        work = state.work();
        result = withElement(
            state, element, AXOperation::performAction, action, [&](Element& e) -> AXError {
                const bool offered = e.actions && std::find(e.actions->begin(), e.actions->end(),
                                                            action) != e.actions->end();
                if (!offered) {
                    return ax::kActionUnsupported;
                }
                state.recordSideEffect(
                    {SimulatedSideEffect::Kind::performAction, e.id, action, {}});
                if (action == kPress) {
                    // Responders may rebuild the element table: `e` is not used after this.
                    const SimulatedElementId pressed = e.id;
                    for (const auto& responder : state.pressResponders) {
                        responder->pressed(state, pressed, work);
                    }
                }
                return ax::kSuccess;
            });
    }
    work.run();
    return result;
}

} // namespace bix::ax
