#include "AxctlCommandLine.h"

#include "AxctlFailure.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace bix::ax::axctl {
namespace {

struct CommandLineCase {
    std::vector<std::string> arguments;
    std::vector<Verb> verbs; // expected when `refusal` is empty
    bool interactive;
    std::string refusal; // a part of the usage message
};

AxctlCommandLine parse(const std::vector<std::string>& arguments) {
    return parseAxctlCommandLine(arguments);
}

TEST(AxctlCommandLine, SplitsVerbsAndArgumentsOrRefusesWithUsage) {
    const std::vector<CommandLineCase> cases = {
        {{}, {}, true, ""},
        {{"interactive", "--json"}, {}, true, ""},
        {{"list-apps"}, {{"list-apps", std::nullopt}}, false, ""},
        // A verb's argument is taken verbatim, also when it looks like an option or a verb.
        {{"send", "--json"}, {{"send", "--json"}}, false, ""},
        {{"send", "stop", "stop"}, {{"send", "stop"}, {"stop", std::nullopt}}, false, ""},
        {{"--profile", "p.json", "send", "hi", "new-conversation"},
         {{"send", "hi"}, {"new-conversation", std::nullopt}},
         false,
         ""},
        // An optional argument is not taken when the next word is a verb or an option.
        {{"bind", "resolve", "x.json"}, {{"bind", std::nullopt}, {"resolve", "x.json"}}, false, ""},
        {{"bind", "--json", "com.example.a"},
         {{"bind", std::nullopt}},
         false,
         "unknown verb com.example.a"},
        {{"bind", "com.example.a", "stop"},
         {{"bind", "com.example.a"}, {"stop", std::nullopt}},
         false,
         ""},
        {{"send"}, {}, false, "send needs an argument"},
        {{"raw"}, {}, false, "raw needs an argument"},
        {{"history"}, {}, false, "unknown verb history"},
        {{"interactive", "stop"}, {}, false, "cannot be combined"},
        {{"--frobnicate"}, {}, false, "unknown option --frobnicate"},
        {{"--profile"}, {}, false, "--profile needs a value"},
        {{"--window", "0", "bind"}, {}, false, "--window needs an integer from 1"},
        {{"--window", "2x", "bind"}, {}, false, "--window needs an integer"},
        {{"--poll-ms=5", "stop"}, {}, false, "--poll-ms needs an integer from 10"},
        {{"--fds", "3", "stop"}, {}, false, "--fds needs IN,OUT"},
        {{"--fds", "3,-1", "stop"}, {}, false, "--fds needs an integer"},
        {{"--fds", "3,4", "--helper", "h", "stop"}, {}, false, "--helper cannot be used"},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        if (!c.refusal.empty()) {
            try {
                parse(c.arguments);
                ADD_FAILURE() << "accepted";
            } catch (const AxctlFailure& failure) {
                EXPECT_EQ(failure.status(), AxctlExit::usage);
                EXPECT_NE(failure.message().find(c.refusal), std::string::npos)
                    << failure.message();
            }
            continue;
        }
        const AxctlCommandLine commandLine = parse(c.arguments);
        EXPECT_EQ(commandLine.verbs, c.verbs);
        EXPECT_EQ(commandLine.interactive, c.interactive);
    }
}

TEST(AxctlCommandLine, OptionsTakeSeparateOrJoinedValuesAnywhere) {
    const AxctlCommandLine commandLine =
        parse({"--json", "--demo-desktop", "--simulated-desktop=s.json", "stop", "--window", "2",
               "--stable-ms=700", "--max-wait-ms", "9000", "--poll-ms", "100", "--fds", "5,6",
               "--bundle", "com.example.b", "--profile-hash", "ab", "--profile", "p.json"});
    AxctlOptions expected;
    expected.json = true;
    expected.demoDesktop = true;
    expected.scenarioPath = "s.json";
    expected.window = 2;
    expected.stableMs = 700;
    expected.maximumWaitMs = 9000;
    expected.pollMs = 100;
    expected.inputFd = 5;
    expected.outputFd = 6;
    expected.bundleId = "com.example.b";
    expected.profileHash = "ab";
    expected.profilePath = "p.json";
    EXPECT_EQ(commandLine.options, expected);
    EXPECT_EQ(commandLine.verbs, (std::vector<Verb>{{"stop", std::nullopt}}));
    EXPECT_FALSE(commandLine.interactive);
    EXPECT_EQ(parse({"--helper", "/h", "stop"}).options.helperPath, "/h");
    EXPECT_TRUE(parse({"stop", "--help"}).help);
}

TEST(AxctlCommandLine, InteractiveLinesKeepPromptsAndJsonWhole) {
    const std::vector<std::pair<std::string, std::optional<Verb>>> cases = {
        {"   ", std::nullopt},
        {"  list-apps  ", Verb{"list-apps", std::nullopt}},
        {"send what is  2 + 2?", Verb{"send", "what is  2 + 2?"}},
        {"send \"quoted prompt\"", Verb{"send", "quoted prompt"}},
        {"send \"a\" and \"b\"", Verb{"send", "\"a\" and \"b\""}},
        {R"(raw '{"command":"checkTrust","params":{"prompt":false}}')",
         Verb{"raw", R"({"command":"checkTrust","params":{"prompt":false}})"}},
        {R"(raw {"command":"shutdown"})", Verb{"raw", R"({"command":"shutdown"})"}},
        {"resolve 'my profile.json'", Verb{"resolve", "my profile.json"}},
        {"history", Verb{"history", std::nullopt}},
    };
    for (const auto& [line, verb] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(parseInteractiveLine(line), verb);
    }
    for (const std::string line :
         {"send", "stop now", "bind a b", "frob", "interactive", "resolve 'unterminated"}) {
        SCOPED_TRACE(line);
        EXPECT_THROW(parseInteractiveLine(line), AxctlFailure);
    }
}

TEST(AxctlCommandLine, SplitWordsFollowsShellQuoting) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"", {}},
        {" a  b\tc ", {"a", "b", "c"}},
        {R"('a b' "c d")", {"a b", "c d"}},
        {R"("say \"hi\" \\ \n")", {R"(say "hi" \ \n)"}},
        {R"('it''s' x\ y)", {"its", "x y"}},
        {R"("")", {""}},
        {R"(a"b c"d)", {"ab cd"}},
    };
    for (const auto& [line, words] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(splitWords(line), words);
    }
    EXPECT_THROW(splitWords("\"open"), AxctlFailure);
}

TEST(AxctlCommandLine, PrintableTextDefusesTerminalControls) {
    EXPECT_EQ(printableText("a\x1b[2Jb\r\x7f\tc\nd\u00e9"), "a?[2Jb??\tc\nd\u00e9");
}

} // namespace
} // namespace bix::ax::axctl
