#include "Protocol/HelperError.h"
#include "Runtime/AccessibilityHelperRuntime.h"
#include "Runtime/RuntimeTestSupport.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// Every test here observes the runtime through its test hooks.
#ifdef BIX_TEST_HOOKS

namespace bix::ax {
namespace {

using testing::commandPayload;
using testing::failureEnvelope;
using testing::helloPayload;
using testing::kTestNonce;

constexpr std::string_view kScenario = R"json({
  "trusted": true,
  "applications": [
    {"pid": 7001, "bundleId": "com.example.chat", "name": "Chat", "active": true,
     "windows": [{"role": "AXWindow", "subrole": "AXStandardWindow", "identifier": "main"},
                 {"role": "AXWindow", "identifier": "second"}]}
  ]
})json";
constexpr std::string_view kProfileHash =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A runtime over the simulated desktop, driven through handle() as the server would.
class RuntimeBinding : public ::testing::Test {
protected:
    std::shared_ptr<SimulatedDesktopBackend> backend =
        SimulatedDesktopBackend::fromScenarioText(std::string(kScenario));
    ManualClock clock;
    std::vector<std::string> invalidated; // declared first: the runtime's destructor may notify
    std::unique_ptr<AccessibilityHelperRuntime> runtime =
        std::make_unique<AccessibilityHelperRuntime>(backend, clock.clock());

    void SetUp() override {
        RuntimeTestHooks hooks;
        hooks.bindingInvalidated = [this](const std::string& id) { invalidated.push_back(id); };
        runtime->setTestHooks(std::move(hooks));
        ASSERT_FALSE(runtime->handle(helloPayload()).shouldShutdown);
    }

    JSONValue result(const std::string& command, const std::string& params) {
        const RuntimeReply reply = runtime->handle(commandPayload(command, params));
        const JSONValue envelope = StrictJSONParser(32, 8192).parse(reply.payload);
        const JSONValue* value = jsonValue(*envelope.objectValue(), "result");
        if (value == nullptr) {
            ADD_FAILURE() << command << " failed: " << reply.payload;
            return JSONValue();
        }
        return *value;
    }

    static std::string member(const JSONValue& object, std::string_view key) {
        const JSONValue* value = jsonValue(*object.objectValue(), key);
        return value && value->stringValue() ? *value->stringValue() : std::string();
    }

    std::string listChat() {
        const JSONValue listed = result("listCandidateApps", "{}");
        const JSONArray& candidates = *jsonValue(*listed.objectValue(), "candidates")->arrayValue();
        return member(candidates.at(0), "candidateId");
    }

    std::string bindParams(const std::string& candidateId, const std::string& windowId = "") {
        std::string params = "{\"candidateId\":\"" + candidateId +
                             "\",\"expectedBundleId\":\"com.example.chat\",\"profileHash\":\"" +
                             std::string(kProfileHash) + "\"";
        if (!windowId.empty()) {
            params += ",\"windowCandidateId\":\"" + windowId + "\"";
        }
        return params + "}";
    }

    std::string bindWindow(std::size_t index) {
        const std::string candidateId = listChat();
        const JSONValue offered = result("bindTarget", bindParams(candidateId));
        const JSONArray& windows = *jsonValue(*offered.objectValue(), "windows")->arrayValue();
        const JSONValue bound = result(
            "bindTarget", bindParams(candidateId, member(windows.at(index), "windowCandidateId")));
        return member(bound, "bindingId");
    }
};

TEST_F(RuntimeBinding, BindingGoesStaleWhenTheAppQuitsAndTheInvalidationReachesTheRuntime) {
    const std::string bindingId = bindWindow(0);
    ASSERT_FALSE(bindingId.empty());
    ASSERT_TRUE(backend->desktop().quitApplication(7001));
    try {
        runtime->targetsForTesting().validated(bindingId);
        ADD_FAILURE() << "validated() accepted a binding of an application that quit";
    } catch (const HelperProtocolError& error) {
        EXPECT_EQ(error, HelperProtocolError(HelperErrorCode::targetStale,
                                             "The selected app exited or changed."));
    }
    EXPECT_EQ(invalidated, std::vector<std::string>{bindingId});
    EXPECT_EQ(
        runtime->handle(commandPayload("unbindTarget", "{\"bindingId\":\"" + bindingId + "\"}"))
            .payload,
        failureEnvelope("TARGET_NOT_BOUND", "Target binding is unknown.", "req-1", kTestNonce));
}

TEST_F(RuntimeBinding, NewBindingReplacesTheOldOneAndUnbindNotifiesOnce) {
    const std::string first = bindWindow(0);
    const std::string second = bindWindow(1);
    EXPECT_EQ(invalidated, std::vector<std::string>{first});
    result("unbindTarget", "{\"bindingId\":\"" + second + "\"}");
    EXPECT_EQ(invalidated, (std::vector<std::string>{first, second}));
}

TEST_F(RuntimeBinding, ShutdownDropsTheBindingThenStopsListening) {
    const std::string bindingId = bindWindow(0);
    runtime->shutdown();
    EXPECT_EQ(invalidated, std::vector<std::string>{bindingId});
    // The session's listener is gone: a binding made and dropped afterwards notifies nobody.
    const std::string candidateId =
        runtime->discoveryForTesting().listCandidates().at(0).candidateId;
    auto& targets = runtime->targetsForTesting();
    const BindTargetResult offered =
        targets.bind(candidateId, "com.example.chat", std::string(kProfileHash), std::nullopt);
    const BindTargetResult bound =
        targets.bind(candidateId, "com.example.chat", std::string(kProfileHash),
                     offered.windows().at(0).windowCandidateId);
    targets.unbind(bound.summary().bindingId);
    runtime.reset(); // destruction shuts down again, without a second teardown
    EXPECT_EQ(invalidated, std::vector<std::string>{bindingId});
}

TEST_F(RuntimeBinding, ServicesKeepTimeWithTheRuntimeClock) {
    const std::string candidateId = listChat();
    clock.advance(std::chrono::seconds(120));
    EXPECT_EQ(runtime->handle(commandPayload("bindTarget", bindParams(candidateId))).payload,
              failureEnvelope("CANDIDATE_EXPIRED", "App candidate expired.", "req-1", kTestNonce));
}

} // namespace
} // namespace bix::ax

#endif // BIX_TEST_HOOKS
