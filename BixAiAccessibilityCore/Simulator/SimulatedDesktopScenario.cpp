#include "Simulator/SimulatedDesktopScenario.h"

#include "Protocol/HelperError.h"
#include "Protocol/JSONValue.h"
#include "Protocol/StrictJSONParser.h"

#include <functional>
#include <limits>
#include <string>
#include <utility>

namespace bix::ax {

namespace {

// Scenario files describe whole windows (benchmarks use thousands of elements), so the bounds
// are generous; they still stop a runaway file.
constexpr int kScenarioMaximumDepth = 512;
constexpr int kScenarioMaximumNodes = 4'000'000;
constexpr std::int64_t kMaximumRepeat = 100'000;

[[noreturn]] void reject(const std::string& what) {
    throw HelperProtocolError(HelperErrorCode::internalFailure, "Scenario rejected: " + what + ".");
}

// Read access to one JSON object that remembers which members were used, so unknown (mistyped)
// members are refused instead of silently ignored.
class Members {
public:
    Members(const JSONValue& value, std::string where) : where_(std::move(where)) {
        object_ = value.objectValue();
        if (object_ == nullptr) {
            reject(where_ + " must be an object");
        }
    }

    const JSONValue* find(std::string_view key) {
        used_.emplace(key);
        return jsonValue(*object_, key);
    }
    void finish() const {
        for (const auto& [key, _] : *object_) {
            if (used_.count(key) == 0) {
                reject(where_ + " has an unknown member \"" + key + "\"");
            }
        }
    }
    std::optional<bool> boolean(std::string_view key) {
        const JSONValue* value = find(key);
        if (value == nullptr) {
            return std::nullopt;
        }
        if (!value->boolValue()) {
            reject(where_ + "." + std::string(key) + " must be true or false");
        }
        return value->boolValue();
    }
    std::optional<std::int64_t> integer(std::string_view key, std::int64_t low, std::int64_t high) {
        const JSONValue* value = find(key);
        if (value == nullptr || value->isNull()) {
            return std::nullopt;
        }
        auto number = value->intValue();
        if (!number || *number < low || *number > high) {
            reject(where_ + "." + std::string(key) + " must be an integer in range");
        }
        return number;
    }
    // Absent and null both give nothing.
    std::optional<std::string> text(std::string_view key) {
        const JSONValue* value = find(key);
        if (value == nullptr || value->isNull()) {
            return std::nullopt;
        }
        if (value->stringValue() == nullptr) {
            reject(where_ + "." + std::string(key) + " must be a string");
        }
        return *value->stringValue();
    }
    std::vector<std::string> texts(std::string_view key) {
        std::vector<std::string> out;
        for (const auto& item : array(key)) {
            if (item.stringValue() == nullptr) {
                reject(where_ + "." + std::string(key) + " must hold strings");
            }
            out.push_back(*item.stringValue());
        }
        return out;
    }
    const JSONArray& array(std::string_view key) {
        static const JSONArray kEmpty;
        const JSONValue* value = find(key);
        if (value == nullptr) {
            return kEmpty;
        }
        if (value->arrayValue() == nullptr) {
            reject(where_ + "." + std::string(key) + " must be an array");
        }
        return *value->arrayValue();
    }
    const std::string& where() const { return where_; }

private:
    const JSONObject* object_ = nullptr;
    std::string where_;
    std::set<std::string, std::less<>> used_;
};

SimulatedValue attributeValue(const JSONValue& value, const std::string& where) {
    if (value.isNull()) {
        return std::monostate{};
    }
    if (const auto* text = value.stringValue()) {
        return *text;
    }
    if (auto flag = value.boolValue()) {
        return *flag;
    }
    if (auto number = value.intValue()) {
        return static_cast<double>(*number);
    }
    if (auto number = value.doubleValue()) {
        return *number;
    }
    if (value.objectValue() != nullptr) {
        Members members(value, where);
        auto characters = members.text("attributed");
        members.finish();
        if (!characters) {
            reject(where + " must name its attributed text");
        }
        return AXAttributedText{*characters};
    }
    reject(where + " is not an attribute value");
}

std::optional<AXOperation> operationNamed(const std::string& name) {
    static const std::map<std::string, AXOperation> kOperations = {
        {"copyAttribute", AXOperation::copyAttribute},
        {"isAttributeSettable", AXOperation::isAttributeSettable},
        {"setAttribute", AXOperation::setAttribute},
        {"copyActionNames", AXOperation::copyActionNames},
        {"getPid", AXOperation::getPid},
        {"performAction", AXOperation::performAction},
        {"addNotification", AXOperation::addNotification},
    };
    auto found = kOperations.find(name);
    if (found == kOperations.end()) {
        return std::nullopt;
    }
    return found->second;
}

struct InjectedError {
    std::string elementKey;
    AXOperation operation;
    std::string name;
    AXError code;
};

// Element descriptions may carry "errors"; they are applied once the element exists, by key.
struct ElementReader {
    std::vector<InjectedError> errors;
    std::size_t anonymous = 0;

    void readPlainAttribute(Members& members, SimulatedElementSpec& spec, std::string_view key,
                            const std::string& attribute) {
        if (const JSONValue* value = members.find(key)) {
            spec.attributes[attribute] =
                attributeValue(*value, members.where() + "." + std::string(key));
        }
    }

    std::vector<SimulatedElementSpec> readList(const JSONArray& items, const std::string& where) {
        std::vector<SimulatedElementSpec> out;
        for (std::size_t i = 0; i < items.size(); ++i) {
            auto [spec, repeat] = read(items[i], where + "[" + std::to_string(i) + "]");
            for (std::int64_t n = 0; n < repeat; ++n) {
                out.push_back(spec);
            }
        }
        return out;
    }

    std::pair<SimulatedElementSpec, std::int64_t> read(const JSONValue& value,
                                                       const std::string& where) {
        Members members(value, where);
        SimulatedElementSpec spec;
        spec.key = members.text("key").value_or("");
        readPlainAttribute(members, spec, "role", "AXRole");
        readPlainAttribute(members, spec, "subrole", "AXSubrole");
        readPlainAttribute(members, spec, "identifier", "AXIdentifier");
        readPlainAttribute(members, spec, "title", "AXTitle");
        readPlainAttribute(members, spec, "description", "AXDescription");
        readPlainAttribute(members, spec, "value", "AXValue");
        readPlainAttribute(members, spec, "enabled", "AXEnabled");
        readPlainAttribute(members, spec, "focused", "AXFocused");
        readPlainAttribute(members, spec, "minimized", "AXMinimized");
        if (const JSONValue* attributes = members.find("attributes")) {
            Members named(*attributes, where + ".attributes");
            for (const auto& [name, attributeJson] : *attributes->objectValue()) {
                spec.attributes[name] = attributeValue(*named.find(name), where + "." + name);
            }
        }
        for (auto& name : members.texts("settable")) {
            spec.settableAttributes.insert(std::move(name));
        }
        if (const JSONValue* actions = members.find("actions"); actions && actions->isNull()) {
            spec.actions = std::nullopt;
        } else {
            spec.actions = members.texts("actions");
        }
        if (auto pid = members.integer("pid", std::numeric_limits<std::int32_t>::min(),
                                       std::numeric_limits<std::int32_t>::max())) {
            spec.pid = static_cast<std::int32_t>(*pid);
        }
        if (auto hash = members.integer("hash", 0, std::numeric_limits<std::int64_t>::max())) {
            spec.hash = static_cast<std::size_t>(*hash);
        }
        if (members.find("notifications") != nullptr) {
            auto names = members.texts("notifications");
            spec.supportedNotifications = std::set<std::string>(names.begin(), names.end());
        }
        const auto& errorList = members.array("errors");
        if (!errorList.empty() && spec.key.empty()) {
            spec.key = "scenario-element-" + std::to_string(++anonymous);
        }
        for (std::size_t i = 0; i < errorList.size(); ++i) {
            errors.push_back(
                readError(errorList[i], spec.key, where + ".errors[" + std::to_string(i) + "]"));
        }
        spec.children = readList(members.array("children"), where + ".children");
        const std::int64_t repeat = members.integer("repeat", 1, kMaximumRepeat).value_or(1);
        if (repeat > 1 && !spec.key.empty()) {
            reject(where + " repeats an element that has a key");
        }
        members.finish();
        return {std::move(spec), repeat};
    }

    static InjectedError readError(const JSONValue& value, const std::string& key,
                                   const std::string& where) {
        Members members(value, where);
        auto operation = operationNamed(members.text("operation").value_or(""));
        if (!operation) {
            reject(where + ".operation is not an operation name");
        }
        auto code = members.integer("code", std::numeric_limits<std::int32_t>::min(),
                                    std::numeric_limits<std::int32_t>::max());
        if (!code) {
            reject(where + ".code is required");
        }
        InjectedError error{key, *operation, members.text("name").value_or(""),
                            static_cast<AXError>(*code)};
        members.finish();
        return error;
    }
};

AXActivationPolicy policyNamed(const std::string& name, const std::string& where) {
    if (name == "regular") {
        return AXActivationPolicy::regular;
    }
    if (name == "accessory") {
        return AXActivationPolicy::accessory;
    }
    if (name == "prohibited") {
        return AXActivationPolicy::prohibited;
    }
    reject(where + ".activationPolicy must be regular, accessory or prohibited");
}

void collectKeys(const SimulatedElementSpec& spec, std::set<std::string>& keys) {
    if (!spec.key.empty() && !keys.insert(spec.key).second) {
        reject("the key \"" + spec.key + "\" is used twice");
    }
    for (const auto& child : spec.children) {
        collectKeys(child, keys);
    }
}

// Whose application a change may name: a scenario event names a pid; a chat behaviour's change
// may say `true` for the chat application itself.
enum class ChangeOwner { scenario, chat };

// A pid, or (for a chat's change) `true` for the chat application, given as nothing.
std::optional<std::int32_t> readApplicationPid(Members& members, std::string_view key,
                                               ChangeOwner owner) {
    const JSONValue* value = members.find(key);
    if (owner == ChangeOwner::chat && value != nullptr && value->boolValue()) {
        if (!*value->boolValue()) {
            reject(members.where() + "." + std::string(key) + " must be a pid or true");
        }
        return std::nullopt;
    }
    auto pid = members.integer(key, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max());
    if (!pid) {
        reject(members.where() + "." + std::string(key) + " must be a pid");
    }
    return static_cast<std::int32_t>(*pid);
}

// A timed change: {"afterMilliseconds": N} plus exactly one of "quit", "relaunch" (with
// "newPid"), "close", "minimize", "restore", "retitle" (with "title") or "recreate". Keys must name
// elements that exist now.
SimulatedTimedChange readChange(const SimulatedDesktop& desktop, const JSONValue& value,
                                const std::string& where, ChangeOwner owner) {
    Members members(value, where);
    using Kind = SimulatedChange::Kind;
    const auto after = members.integer("afterMilliseconds", 0, 3'600'000);
    if (!after) {
        reject(where + ".afterMilliseconds is required");
    }
    SimulatedTimedChange timed{std::chrono::milliseconds(*after), {}};
    SimulatedChange& change = timed.change;
    int kinds = 0;
    if (members.find("quit") != nullptr) {
        ++kinds;
        change.kind = Kind::quit;
        change.pid = readApplicationPid(members, "quit", owner);
    }
    if (members.find("relaunch") != nullptr) {
        ++kinds;
        change.kind = Kind::relaunch;
        change.pid = readApplicationPid(members, "relaunch", owner);
        auto newPid = members.integer("newPid", std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max());
        if (!newPid) {
            reject(where + ".newPid is required");
        }
        change.newPid = static_cast<std::int32_t>(*newPid);
    }
    static const std::pair<std::string_view, Kind> kKeyedChanges[] = {
        {"close", Kind::close},     {"minimize", Kind::minimize}, {"restore", Kind::restore},
        {"retitle", Kind::retitle}, {"recreate", Kind::recreate},
    };
    for (const auto& [member, kind] : kKeyedChanges) {
        if (auto key = members.text(member)) {
            ++kinds;
            if (!desktop.elementByKey(*key)) {
                reject(where + "." + std::string(member) + " names no element");
            }
            change.kind = kind;
            change.key = *key;
        }
    }
    auto title = members.text("title");
    if (change.kind == Kind::retitle) {
        change.title = title.value_or("");
    }
    members.finish();
    if (kinds != 1) {
        reject(where + " must name exactly one change");
    }
    return timed;
}

SimulatedChatBehaviour readBehaviour(const SimulatedDesktop& desktop, const JSONValue& value,
                                     const std::string& where) {
    Members members(value, where);
    if (members.text("type") != "chat") {
        reject(where + ".type must be \"chat\"");
    }
    auto required = [&](std::string_view key) {
        auto text = members.text(key);
        if (!text) {
            reject(where + "." + std::string(key) + " is required");
        }
        return *text;
    };
    SimulatedChatBehaviour behaviour;
    behaviour.composerKey = required("composer");
    behaviour.submitKey = required("submit");
    behaviour.stopKey = required("stop");
    behaviour.newConversationKey = required("newConversation");
    behaviour.transcriptKey = required("transcript");
    behaviour.replyChunks = members.texts("reply");
    behaviour.step = std::chrono::milliseconds(
        members.integer("stepMilliseconds", 0, 3'600'000).value_or(behaviour.step.count()));
    behaviour.messageIdentifier =
        members.text("messageIdentifier").value_or(behaviour.messageIdentifier);
    behaviour.messageRole = members.text("messageRole").value_or(behaviour.messageRole);
    behaviour.neverSettles = members.boolean("neverSettles").value_or(false);
    const auto& afterSubmit = members.array("afterSubmit");
    for (std::size_t i = 0; i < afterSubmit.size(); ++i) {
        behaviour.afterSubmit.push_back(
            readChange(desktop, afterSubmit[i], where + ".afterSubmit[" + std::to_string(i) + "]",
                       ChangeOwner::chat));
    }
    members.finish();
    return behaviour;
}

void readEvent(SimulatedDesktop& desktop, const JSONValue& value, const std::string& where) {
    const auto timed = readChange(desktop, value, where, ChangeOwner::scenario);
    desktop.scheduleChange(timed.after,
                           [change = timed.change](SimulatedDesktop& d) { d.applyChange(change); });
}

JSONValue parseScenario(std::string_view text) {
    try {
        return StrictJSONParser(kScenarioMaximumDepth, kScenarioMaximumNodes).parse(text);
    } catch (const HelperProtocolError& error) {
        reject("the file is not strict JSON (" + error.message() + ")");
    }
}

SimulatedApplicationSpec readApplication(const JSONValue& value, const std::string& where,
                                         ElementReader& reader, std::set<std::string>& keys) {
    constexpr auto kPidLow = std::numeric_limits<std::int32_t>::min();
    constexpr auto kPidHigh = std::numeric_limits<std::int32_t>::max();
    Members members(value, where);
    SimulatedApplicationSpec app;
    auto pid = members.integer("pid", kPidLow, kPidHigh);
    if (!pid) {
        reject(where + ".pid is required");
    }
    app.pid = static_cast<std::int32_t>(*pid);
    app.bundleId = members.text("bundleId");
    app.localizedName = members.text("name");
    app.activationPolicy = policyNamed(members.text("activationPolicy").value_or("regular"), where);
    app.isActive = members.boolean("active").value_or(false);
    app.isTerminated = members.boolean("terminated").value_or(false);
    app.focusedKey = members.text("focused").value_or("");
    app.windows = reader.readList(members.array("windows"), where + ".windows");
    members.finish();
    std::set<std::string> ownKeys;
    for (const auto& window : app.windows) {
        collectKeys(window, ownKeys);
    }
    for (const auto& key : ownKeys) {
        if (!keys.insert(key).second) {
            reject("the key \"" + key + "\" is used twice");
        }
    }
    // The focused element must be one of this application's own elements.
    if (!app.focusedKey.empty() && ownKeys.count(app.focusedKey) == 0) {
        reject(where + ".focused names no element");
    }
    return app;
}

} // namespace

void loadSimulatedDesktopScenario(SimulatedDesktop& desktop, std::string_view text) {
    const JSONValue document = parseScenario(text);
    Members root(document, "scenario");
    if (auto trusted = root.boolean("trusted")) {
        desktop.setTrusted(*trusted);
    }
    if (auto allowed = root.boolean("activationAllowed")) {
        desktop.setActivationAllowed(*allowed);
    }
    constexpr auto kPidLow = std::numeric_limits<std::int32_t>::min();
    constexpr auto kPidHigh = std::numeric_limits<std::int32_t>::max();
    if (auto ownPid = root.integer("ownPid", kPidLow, kPidHigh)) {
        desktop.setOwnPid(static_cast<std::int32_t>(*ownPid));
    }
    if (auto frontmost = root.integer("frontmost", kPidLow, kPidHigh)) {
        desktop.setFrontmostApplication(static_cast<std::int32_t>(*frontmost));
    }

    ElementReader reader;
    std::set<std::string> keys;
    const auto& applications = root.array("applications");
    for (std::size_t i = 0; i < applications.size(); ++i) {
        const std::string where = "applications[" + std::to_string(i) + "]";
        if (desktop.addApplication(readApplication(applications[i], where, reader, keys)) == 0) {
            reject(where + ".pid is used twice");
        }
    }
    for (const auto& error : reader.errors) {
        desktop.injectError(*desktop.elementByKey(error.elementKey), error.operation, error.code,
                            error.name);
    }
    const auto& behaviours = root.array("behaviours");
    for (std::size_t i = 0; i < behaviours.size(); ++i) {
        const std::string where = "behaviours[" + std::to_string(i) + "]";
        if (!desktop.addChatBehaviour(readBehaviour(desktop, behaviours[i], where))) {
            reject(where + " names an element that does not exist");
        }
    }
    const auto& events = root.array("events");
    for (std::size_t i = 0; i < events.size(); ++i) {
        readEvent(desktop, events[i], "events[" + std::to_string(i) + "]");
    }
    root.finish();
}

} // namespace bix::ax
