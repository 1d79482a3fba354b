#include "Protocol/HelperRequests.h"

#include "Protocol/CanonicalJSONEncoder.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <gtest/gtest.h>
#include <string>

namespace bix::ax {
namespace {

constexpr const char* kRequestNonce = "0123456789abcdef";

JSONObject validHello() {
    return JSONObject{{"protocol", "bix.ax.helper"},
                      {"protocolMin", 1},
                      {"protocolMax", 1},
                      {"requestId", "hello-1"},
                      {"processNonce", kRequestNonce},
                      {"appVersion", "3.2.1 (45)"}};
}

JSONObject validRequest() {
    return JSONObject{{"protocol", "bix.ax.helper"}, {"protocolVersion", 1},
                      {"requestId", "req-1"},        {"processNonce", kRequestNonce},
                      {"command", "checkTrust"},     {"params", JSONObject{}}};
}

JSONObject with(JSONObject object, const char* key, JSONValue value) {
    object.insert_or_assign(key, std::move(value));
    return object;
}

JSONObject without(JSONObject object, const char* key) {
    object.erase(key);
    return object;
}

struct RequestRefusal {
    JSONValue value;
    HelperErrorCode code;
    std::string message;
};

TEST(HelperHello, ParsesAValidHandshake) {
    const HelperHello hello = HelperHello::parse(validHello());
    EXPECT_EQ(hello.requestId, "hello-1");
    EXPECT_EQ(hello.processNonce, kRequestNonce);
    EXPECT_EQ(hello.appVersion, "3.2.1 (45)");
}

TEST(HelperHello, RefusesEachFaultWithItsCodeAndMessage) {
    using Code = HelperErrorCode;
    std::string appVersion64;
    for (int i = 0; i < 32; ++i) {
        appVersion64 += "\xc3\xa9";
    }
    EXPECT_NO_THROW(HelperHello::parse(with(validHello(), "appVersion", appVersion64)));
    const RequestRefusal refusals[] = {
        {JSONArray{}, Code::invalidRequest, "Handshake must be an object."},
        {"hello", Code::invalidRequest, "Handshake must be an object."},
        {with(validHello(), "extra", 1), Code::invalidRequest, "Unexpected or missing fields."},
        {without(validHello(), "appVersion"), Code::invalidRequest,
         "Unexpected or missing fields."},
        {with(validHello(), "protocolMax", 2), Code::unsupportedProtocol,
         "No supported helper protocol version."},
        {with(validHello(), "protocolMin", 1.0), Code::unsupportedProtocol,
         "No supported helper protocol version."},
        {with(validHello(), "protocol", "bix.ax.helper "), Code::unsupportedProtocol,
         "No supported helper protocol version."},
        {with(validHello(), "protocol", 1), Code::unsupportedProtocol,
         "No supported helper protocol version."},
        // The protocol members are judged before the identifiers.
        {with(with(validHello(), "protocolMin", 0), "requestId", ""), Code::unsupportedProtocol,
         "No supported helper protocol version."},
        {with(validHello(), "requestId", std::string(129, 'r')), Code::invalidRequest,
         "Invalid requestId."},
        {with(validHello(), "requestId", ""), Code::invalidRequest, "Invalid requestId."},
        {with(validHello(), "requestId", 7), Code::invalidRequest, "Invalid requestId."},
        {with(validHello(), "processNonce", std::string(15, 'n')), Code::invalidRequest,
         "Invalid processNonce."},
        {with(validHello(), "processNonce", "0123456789abcde."), Code::invalidRequest,
         "Invalid processNonce."},
        {with(validHello(), "processNonce", "0123456789abcde="), Code::invalidRequest,
         "Invalid processNonce."},
        {with(validHello(), "appVersion", appVersion64 + "."), Code::invalidRequest,
         "Invalid appVersion."},
        {with(with(validHello(), "requestId", "bad id"), "appVersion", ""), Code::invalidRequest,
         "Invalid requestId."},
    };
    for (const RequestRefusal& refusal : refusals) {
        EXPECT_THAT([&] { HelperHello::parse(refusal.value); },
                    FailsWith(refusal.code, refusal.message))
            << encodeCanonicalJSON(refusal.value);
    }
}

TEST(HelperCommandRequest, ParsesAValidRequest) {
    const HelperCommandRequest request = HelperCommandRequest::parse(
        with(validRequest(), "params", JSONObject{{"candidateId", "app_1"}}));
    EXPECT_EQ(request.requestId, "req-1");
    EXPECT_EQ(request.processNonce, kRequestNonce);
    EXPECT_EQ(request.command, HelperCommand::checkTrust);
    EXPECT_EQ(request.params, (JSONObject{{"candidateId", "app_1"}}));
}

TEST(HelperCommandRequest, RefusesEachFaultWithItsCodeAndMessage) {
    using Code = HelperErrorCode;
    const RequestRefusal refusals[] = {
        {nullptr, Code::invalidRequest, "Command must be an object."},
        {with(validRequest(), "protocolMin", 1), Code::invalidRequest,
         "Unexpected or missing fields."},
        {without(validRequest(), "params"), Code::invalidRequest, "Unexpected or missing fields."},
        {with(validRequest(), "protocolVersion", 1.0), Code::unsupportedProtocol,
         "Unsupported helper protocol version."},
        {with(validRequest(), "protocolVersion", 2), Code::unsupportedProtocol,
         "Unsupported helper protocol version."},
        {with(validRequest(), "protocol", "bix.ax.Helper"), Code::unsupportedProtocol,
         "Unsupported helper protocol version."},
        {with(validRequest(), "command", "CheckTrust"), Code::commandNotAllowed,
         "Command is not allowlisted."},
        {with(validRequest(), "command", ""), Code::invalidRequest, "Invalid command."},
        {with(validRequest(), "command", std::string(65, 'c')), Code::invalidRequest,
         "Invalid command."},
        {with(validRequest(), "command", JSONArray{}), Code::invalidRequest, "Invalid command."},
        // The allowlist is checked before params and the identifiers.
        {with(with(with(validRequest(), "command", "eraseDisk"), "params", 1), "requestId", ""),
         Code::commandNotAllowed, "Command is not allowlisted."},
        {with(validRequest(), "params", JSONArray{}), Code::invalidRequest,
         "params must be an object."},
        {with(with(validRequest(), "params", "x"), "requestId", ""), Code::invalidRequest,
         "params must be an object."},
        {with(validRequest(), "requestId", "a/b"), Code::invalidRequest, "Invalid requestId."},
        {with(validRequest(), "processNonce", "short"), Code::invalidRequest,
         "Invalid processNonce."},
    };
    for (const RequestRefusal& refusal : refusals) {
        EXPECT_THAT([&] { HelperCommandRequest::parse(refusal.value); },
                    FailsWith(refusal.code, refusal.message))
            << encodeCanonicalJSON(refusal.value);
    }
}

TEST(HelperCommand, WireNamesAreTheFourteenCaseNames) {
    const char* const names[] = {
        "checkTrust",           "listCandidateApps",  "bindTarget",
        "unbindTarget",         "inspectBoundTarget", "promoteTeachProfile",
        "resolveProfile",       "setComposerText",    "pressSubmit",
        "observeResponse",      "getLatestResponse",  "pressStop",
        "pressNewConversation", "shutdown",
    };
    const auto& commands = allHelperCommands();
    ASSERT_EQ(std::size(names), commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(rawValue(commands[i]), names[i]);
        EXPECT_EQ(helperCommandFromRawValue(names[i]), commands[i]);
        const HelperCommandRequest request =
            HelperCommandRequest::parse(with(validRequest(), "command", names[i]));
        EXPECT_EQ(request.command, commands[i]);
    }
    EXPECT_FALSE(helperCommandFromRawValue("Shutdown"));
    EXPECT_FALSE(helperCommandFromRawValue("shutdown "));
}

} // namespace
} // namespace bix::ax
