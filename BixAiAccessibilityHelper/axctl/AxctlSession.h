#pragma once

#include "AxctlCommandLine.h"
#include "HelperConnection.h"
#include "Protocol/JSONValue.h"

#include <cstdio>
#include <optional>
#include <string>

namespace bix::ax::axctl {

// A profile file as the client needs it: the whole document for resolveProfile, its hash for
// bindTarget and its first bundle identifier as the default application.
struct LoadedProfile {
    JSONValue document;
    std::string profileHash;
    std::optional<std::string> firstBundleId;
};

// Reads and checks a profile file (strict JSON, at most one frame). Throws a usage AxctlFailure.
LoadedProfile loadProfile(const std::string& path);

// Runs verbs against one helper session and keeps what they learn (the profile, the binding,
// the resolution) for the verbs that follow, binding and resolving on demand. Prints every
// reply as canonical JSON with --json, otherwise a short summary per verb.
class AxctlSession {
public:
    AxctlSession(HelperConnection& helper, AxctlOptions options, int signalFd, std::FILE* out)
        : helper_(helper), options_(std::move(options)), signalFd_(signalFd), out_(out) {}

    // Runs one verb. A refused command throws AxctlFailure with commandFailed; a dead helper,
    // helperFailed; a verb that cannot be run as given, usage.
    void run(const Verb& verb);

private:
    // The answer the last `ask` started following.
    struct PendingAnswer {
        std::string observationId;
        std::string turnToken;
        std::optional<std::string> completeText; // already complete when `ask` returned
    };
    struct Binding {
        std::string bindingId;
        std::string displayName;
        std::string profileHash;
    };

    JSONObject call(std::string_view command, JSONValue params);
    void forgetStaleState(std::string_view code);
    void printLine(const std::string& line);

    const LoadedProfile& requireProfile();
    void bind(const std::string& bundleId, const std::string& profileHash);
    void resolve(bool announce);
    void ensureBound();
    void ensureResolved();

    void listApps();
    void bindVerb(const std::optional<std::string>& bundleArgument);
    void resolveVerb(const std::optional<std::string>& profileArgument);
    void send(const std::string& prompt);
    // Writes, submits and follows the answer until it has begun to stream; `follow` waits for
    // the rest.
    void ask(const std::string& prompt);
    void follow();
    void awaitFirstText(PendingAnswer& answer);
    std::string awaitAnswer(const std::string& observationId, const std::string& turnToken);
    void press(std::string_view command, std::string_view summary);
    void raw(const std::string& requestText);

    HelperConnection& helper_;
    AxctlOptions options_;
    int signalFd_;
    std::FILE* out_;
    std::optional<LoadedProfile> profile_;
    std::optional<Binding> binding_;
    std::optional<std::string> resolutionId_;
    // The answer the last `ask` started following.
    std::optional<PendingAnswer> pendingAnswer_;
};

} // namespace bix::ax::axctl
