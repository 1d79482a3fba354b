#include "AxctlSession.h"

#include "AxctlFailure.h"
#include "Platform/UnicodeText.h"
#include "Protocol/CanonicalJSONEncoder.h"
#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/StrictJSONParser.h"

#include <chrono>
#include <fstream>

namespace bix::ax::axctl {
namespace {

// Local documents (profiles, raw requests) are bounded by what one frame can carry; the helper
// applies its own, tighter limits.
constexpr int kDocumentMaximumDepth = 128;
// Grace beyond maximumWaitMs before the client stops polling on its own: the helper reports
// its own timeout first.
constexpr auto kAnswerGrace = std::chrono::seconds(5);
// How often `ask` looks for the first text of an answer.
constexpr auto kFirstTextPoll = std::chrono::milliseconds(20);

JSONValue parseDocument(std::string_view text, const std::string& what) {
    try {
        return StrictJSONParser(kDocumentMaximumDepth,
                                static_cast<int>(HelperProtocolLimits::maximumFrameBytes))
            .parse(text);
    } catch (const HelperProtocolError& error) {
        failUsage(what + " is not strict JSON: " + error.message());
    }
}

const std::string& replyString(const JSONObject& result, std::string_view key) {
    const JSONValue* value = jsonValue(result, key);
    if (value == nullptr || value->stringValue() == nullptr) {
        throw AxctlFailure(AxctlExit::helperFailed,
                           "the helper's result has no string " + std::string(key));
    }
    return *value->stringValue();
}

const JSONArray& replyArray(const JSONObject& result, std::string_view key) {
    const JSONValue* value = jsonValue(result, key);
    if (value == nullptr || value->arrayValue() == nullptr) {
        throw AxctlFailure(AxctlExit::helperFailed,
                           "the helper's result has no list " + std::string(key));
    }
    return *value->arrayValue();
}

bool flag(const JSONObject& object, std::string_view key) {
    const JSONValue* value = jsonValue(object, key);
    return value != nullptr && value->boolValue() == true;
}

// "bound" for the codes after which the binding is gone, "resolved" for those after which
// only the resolution is; anything else leaves the session's state alone.
enum class StaleState { none, binding, resolution };

StaleState staleStateAfter(std::string_view code) {
    if (code == "TARGET_STALE" || code == "TARGET_NOT_BOUND") {
        return StaleState::binding;
    }
    return code == "PROFILE_MISMATCH" ? StaleState::resolution : StaleState::none;
}

} // namespace

LoadedProfile loadProfile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        failUsage("cannot read the profile " + path);
    }
    std::string text;
    text.resize(HelperProtocolLimits::maximumFrameBytes + 1);
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > HelperProtocolLimits::maximumFrameBytes) {
        failUsage("the profile " + path + " is larger than one frame");
    }
    LoadedProfile profile{parseDocument(text, "the profile " + path), {}, std::nullopt};
    const JSONObject* object = profile.document.objectValue();
    const JSONValue* hash = object ? jsonValue(*object, "profileHash") : nullptr;
    if (hash == nullptr || hash->stringValue() == nullptr) {
        failUsage("the profile " + path + " has no profileHash");
    }
    profile.profileHash = *hash->stringValue();
    const JSONValue* bundles = jsonValue(*object, "bundleIds");
    if (bundles && bundles->arrayValue() && !bundles->arrayValue()->empty() &&
        bundles->arrayValue()->front().stringValue()) {
        profile.firstBundleId = *bundles->arrayValue()->front().stringValue();
    }
    return profile;
}

void AxctlSession::run(const Verb& verb) {
    const std::optional<std::string>& argument = verb.argument;
    if (verb.name == "list-apps") {
        listApps();
    } else if (verb.name == "bind") {
        bindVerb(argument);
    } else if (verb.name == "resolve") {
        resolveVerb(argument);
    } else if (verb.name == "send") {
        send(argument.value_or(""));
    } else if (verb.name == "ask") {
        ask(argument.value_or(""));
    } else if (verb.name == "follow") {
        follow();
    } else if (verb.name == "stop") {
        press("pressStop", "pressed stop");
    } else if (verb.name == "new-conversation") {
        press("pressNewConversation", "pressed new conversation");
    } else if (verb.name == "raw") {
        raw(argument.value_or(""));
    } else {
        failUsage(verb.name + " is not a session verb");
    }
}

// One request; the reply goes to standard output with --json. A failure reply ends the verb.
JSONObject AxctlSession::call(std::string_view command, JSONValue params) {
    const JSONValue reply = helper_.request(command, params);
    if (options_.json) {
        printLine(encodeCanonicalJSON(reply));
    }
    const JSONObject& envelope = *reply.objectValue();
    if (flag(envelope, "ok")) {
        const JSONObject* result = jsonValue(envelope, "result")->objectValue();
        return result ? *result : JSONObject{};
    }
    const JSONObject* error = jsonValue(envelope, "error")->objectValue();
    const JSONValue* codeValue = error ? jsonValue(*error, "code") : nullptr;
    const JSONValue* messageValue = error ? jsonValue(*error, "message") : nullptr;
    const std::string* code = codeValue ? codeValue->stringValue() : nullptr;
    const std::string* message = messageValue ? messageValue->stringValue() : nullptr;
    if (code == nullptr || message == nullptr) {
        throw AxctlFailure(AxctlExit::helperFailed, "the helper sent a malformed failure");
    }
    forgetStaleState(*code);
    throw AxctlFailure(AxctlExit::commandFailed,
                       std::string(command) + " failed: " + *code + ": " + *message);
}

// The helper has dropped what the failure names, so the next verb binds or resolves again.
void AxctlSession::forgetStaleState(std::string_view code) {
    switch (staleStateAfter(code)) {
    case StaleState::binding:
        binding_.reset();
        resolutionId_.reset();
        break;
    case StaleState::resolution:
        resolutionId_.reset();
        break;
    case StaleState::none:
        break;
    }
}

void AxctlSession::printLine(const std::string& line) {
    std::fputs(printableText(line).c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

const LoadedProfile& AxctlSession::requireProfile() {
    if (!profile_ && options_.profilePath) {
        profile_ = loadProfile(*options_.profilePath);
    }
    if (!profile_) {
        failUsage("no profile: give --profile FILE or run resolve FILE first");
    }
    return *profile_;
}

// Lists the applications (candidate ids live until the next listing), then binds the chosen
// window of the first candidate with `bundleId`.
void AxctlSession::bind(const std::string& bundleId, const std::string& profileHash) {
    const JSONObject listing = call("listCandidateApps", JSONObject{});
    const std::string* candidateId = nullptr;
    for (const JSONValue& candidate : replyArray(listing, "candidates")) {
        const JSONObject* object = candidate.objectValue();
        if (object && replyString(*object, "bundleId") == bundleId) {
            candidateId = &replyString(*object, "candidateId");
            break;
        }
    }
    if (candidateId == nullptr) {
        throw AxctlFailure(AxctlExit::commandFailed, "no candidate application is " + bundleId);
    }
    JSONObject params{{"candidateId", *candidateId},
                      {"expectedBundleId", bundleId},
                      {"profileHash", profileHash}};
    JSONObject result = call("bindTarget", params);
    if (replyString(result, "status") == "window-selection-required") {
        const JSONArray& windows = replyArray(result, "windows");
        const auto position = static_cast<std::size_t>(options_.window.value_or(1));
        if (position > windows.size() || windows[position - 1].objectValue() == nullptr) {
            failUsage("--window " + std::to_string(position) + ": " + bundleId + " has " +
                      std::to_string(windows.size()) + " window(s)");
        }
        params["windowCandidateId"] =
            replyString(*windows[position - 1].objectValue(), "windowCandidateId");
        result = call("bindTarget", params);
    }
    if (replyString(result, "status") != "bound") {
        throw AxctlFailure(AxctlExit::helperFailed, "bindTarget did not bind");
    }
    binding_ =
        Binding{replyString(result, "bindingId"), replyString(result, "displayName"), profileHash};
    resolutionId_.reset();
}

void AxctlSession::resolve(bool announce) {
    const JSONObject result = call("resolveProfile", JSONObject{{"bindingId", binding_->bindingId},
                                                                {"profile", profile_->document}});
    resolutionId_ = replyString(result, "resolutionId");
    if (options_.json || !announce) {
        return;
    }
    std::string capabilities;
    const JSONValue* listed = jsonValue(result, "capabilities");
    for (const auto& [key, value] :
         listed && listed->objectValue() ? *listed->objectValue() : JSONObject{}) {
        if (key.starts_with("can") && value.boolValue() == true) {
            capabilities += " " + key;
        }
    }
    const JSONValue* version = jsonValue(result, "profileVersion");
    printLine("resolved " + replyString(result, "profileId") + " v" +
              std::to_string(version ? version->intValue().value_or(0) : 0) + " on " +
              binding_->displayName + " (" + *resolutionId_ + ")");
    printLine("capabilities:" + capabilities);
}

// Binds (again) when there is no binding for the profile's hash. Nothing is printed for this
// implicit step in plain mode.
void AxctlSession::ensureBound() {
    const LoadedProfile& profile = requireProfile();
    if (binding_ && binding_->profileHash == profile.profileHash) {
        return;
    }
    const std::optional<std::string> bundleId =
        options_.bundleId ? options_.bundleId : profile.firstBundleId;
    if (!bundleId) {
        failUsage("no application: give --bundle ID or a profile with bundleIds");
    }
    bind(*bundleId, profile.profileHash);
}

void AxctlSession::ensureResolved() {
    ensureBound();
    if (!resolutionId_) {
        resolve(false);
    }
}

void AxctlSession::listApps() {
    const JSONObject result = call("listCandidateApps", JSONObject{});
    if (options_.json) {
        return;
    }
    const JSONArray& candidates = replyArray(result, "candidates");
    if (candidates.empty()) {
        printLine("no candidate applications");
    }
    for (const JSONValue& candidate : candidates) {
        const JSONObject* object = candidate.objectValue();
        if (object == nullptr) {
            continue;
        }
        std::string states = flag(*object, "isRunning") ? "running" : "not running";
        states += flag(*object, "isActive") ? ", active" : "";
        printLine(replyString(*object, "bundleId") + "  " + replyString(*object, "displayName") +
                  "  (" + states + ")");
    }
}

void AxctlSession::bindVerb(const std::optional<std::string>& bundleArgument) {
    std::optional<std::string> bundleId = bundleArgument ? bundleArgument : options_.bundleId;
    std::optional<std::string> profileHash = options_.profileHash;
    if (!bundleId || !profileHash) {
        if (!options_.profilePath && !profile_) {
            failUsage("bind needs a bundle identifier and a profile hash: give --profile FILE, "
                      "or BUNDLE_ID with --profile-hash HEX");
        }
        const LoadedProfile& profile = requireProfile();
        bundleId = bundleId ? bundleId : profile.firstBundleId;
        profileHash = profileHash ? profileHash : profile.profileHash;
    }
    if (!bundleId) {
        failUsage("no application: give bind BUNDLE_ID or --bundle ID");
    }
    bind(*bundleId, *profileHash);
    if (!options_.json) {
        printLine("bound " + binding_->displayName + " (" + binding_->bindingId + ")");
    }
}

// Takes the profile from the argument (replacing an earlier one) or the options, binds when the
// binding does not carry the profile's hash, and resolves afresh.
void AxctlSession::resolveVerb(const std::optional<std::string>& profileArgument) {
    if (profileArgument) {
        profile_ = loadProfile(*profileArgument);
    }
    ensureBound();
    resolve(true);
}

void AxctlSession::send(const std::string& prompt) {
    ask(prompt);
    follow();
}

void AxctlSession::ask(const std::string& prompt) {
    const std::string text = UnicodeText::toNFC(prompt);
    if (text.empty()) {
        failUsage("send needs a non-empty prompt");
    }
    ensureResolved();
    const std::string bindingId = binding_->bindingId;
    const std::string resolutionId = *resolutionId_;
    call("setComposerText",
         JSONObject{{"bindingId", bindingId}, {"resolutionId", resolutionId}, {"text", text}});
    call("pressSubmit", JSONObject{{"bindingId", bindingId}, {"resolutionId", resolutionId}});
    std::string turnToken = makeRandomToken("turn_");
    const JSONObject started =
        call("observeResponse", JSONObject{{"bindingId", bindingId},
                                           {"maximumWaitMs", options_.maximumWaitMs},
                                           {"resolutionId", resolutionId},
                                           {"stableMs", options_.stableMs},
                                           {"turnToken", turnToken}});
    pendingAnswer_ = PendingAnswer{replyString(started, "observationId"), std::move(turnToken), {}};
    awaitFirstText(*pendingAnswer_);
}

// Reads the answer at a short interval until its first new text is shown, so a `stop` that
// follows lands while it still streams.
void AxctlSession::awaitFirstText(PendingAnswer& answer) {
    const JSONObject params{{"bindingId", binding_->bindingId},
                            {"observationId", answer.observationId},
                            {"resolutionId", *resolutionId_},
                            {"turnToken", answer.turnToken}};
    const auto giveUpAt = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(options_.maximumWaitMs) + kAnswerGrace;
    while (std::chrono::steady_clock::now() < giveUpAt) {
        sleepUnlessInterrupted(signalFd_, kFirstTextPoll);
        const JSONObject latest = call("getLatestResponse", params);
        const std::string& status = replyString(latest, "status");
        if (status == "streaming") {
            return;
        }
        if (status == "complete") {
            answer.completeText = replyString(latest, "text");
            return;
        }
        if (status == "interfered") {
            throw AxctlFailure(AxctlExit::commandFailed,
                               "the answer was interfered with: the composer changed");
        }
    }
    throw AxctlFailure(AxctlExit::commandFailed,
                       "no answer began within " + std::to_string(options_.maximumWaitMs) + " ms");
}

void AxctlSession::follow() {
    if (!pendingAnswer_ || !binding_ || !resolutionId_) {
        failUsage("follow needs an answer to follow: ask first");
    }
    const PendingAnswer pending = *pendingAnswer_;
    pendingAnswer_.reset();
    const std::string answer = pending.completeText
                                   ? *pending.completeText
                                   : awaitAnswer(pending.observationId, pending.turnToken);
    if (!options_.json) {
        printLine(answer);
    }
}

// Polls getLatestResponse until the answer is complete; "interfered" and running out of time
// are failures of the verb.
std::string AxctlSession::awaitAnswer(const std::string& observationId,
                                      const std::string& turnToken) {
    const auto giveUpAt = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(options_.maximumWaitMs) + kAnswerGrace;
    const JSONObject params{{"bindingId", binding_->bindingId},
                            {"observationId", observationId},
                            {"resolutionId", *resolutionId_},
                            {"turnToken", turnToken}};
    while (std::chrono::steady_clock::now() < giveUpAt) {
        sleepUnlessInterrupted(signalFd_, std::chrono::milliseconds(options_.pollMs));
        const JSONObject latest = call("getLatestResponse", params);
        const std::string& status = replyString(latest, "status");
        if (status == "complete") {
            return replyString(latest, "text");
        }
        if (status == "interfered") {
            throw AxctlFailure(AxctlExit::commandFailed,
                               "the answer was interfered with: the composer changed");
        }
    }
    throw AxctlFailure(AxctlExit::commandFailed, "no complete answer within " +
                                                     std::to_string(options_.maximumWaitMs) +
                                                     " ms");
}

void AxctlSession::press(std::string_view command, std::string_view summary) {
    ensureResolved();
    const JSONObject result = call(
        command, JSONObject{{"bindingId", binding_->bindingId}, {"resolutionId", *resolutionId_}});
    if (!options_.json) {
        const JSONValue* status = jsonValue(result, "status");
        printLine(std::string(summary) + " (" +
                  (status && status->stringValue() ? *status->stringValue() : "") + ")");
    }
}

// Sends {"command":…,"params":…} as given; the client adds the envelope. Any params value is
// passed on, so the helper's own refusals can be tried.
void AxctlSession::raw(const std::string& requestText) {
    const JSONValue request = parseDocument(requestText, "the raw request");
    const JSONObject* object = request.objectValue();
    const JSONValue* command = object ? jsonValue(*object, "command") : nullptr;
    const JSONValue* params = object ? jsonValue(*object, "params") : nullptr;
    const std::size_t known = (command != nullptr) + (params != nullptr);
    if (command == nullptr || command->stringValue() == nullptr || object->size() != known) {
        failUsage(R"(raw needs {"command":"NAME","params":{...}} ("params" may be left out))");
    }
    const JSONObject result = call(*command->stringValue(), params ? *params : JSONObject{});
    if (!options_.json) {
        printLine(encodeCanonicalJSON(result));
    }
}

} // namespace bix::ax::axctl
