#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bix::ax::axctl {

// One verb with its argument, as typed on the command line or on an interactive line.
struct Verb {
    std::string name;
    std::optional<std::string> argument;

    friend bool operator==(const Verb&, const Verb&) = default;
};

// Everything the options of one run say. Unset optionals fall back to the profile or the helper.
struct AxctlOptions {
    std::optional<std::string> helperPath;
    std::optional<std::string> scenarioPath;
    std::optional<std::string> profilePath;
    std::optional<std::string> bundleId;
    std::optional<std::string> profileHash;
    std::optional<int> inputFd;  // --fds IN,OUT: replies are read from IN
    std::optional<int> outputFd; // and requests written to OUT
    std::optional<int> window;   // 1-based position in the helper's window list
    bool demoDesktop = false;    // start the helper on its built-in demo desktop
    bool json = false;
    int stableMs = 500;
    int maximumWaitMs = 60'000;
    int pollMs = 250;

    friend bool operator==(const AxctlOptions&, const AxctlOptions&) = default;
};

// A parsed command line: options plus the verbs to run in order. No verbs means interactive.
struct AxctlCommandLine {
    AxctlOptions options;
    std::vector<Verb> verbs;
    bool interactive = false;
    bool help = false;
};

// Parses argv without the program name. Options may stand before, between or after verbs; a
// verb's argument is taken verbatim even when it starts with "--". Throws a usage AxctlFailure.
AxctlCommandLine parseAxctlCommandLine(std::span<const std::string> arguments);

// Parses one interactive line into a verb; nothing for a blank line. `send`, `ask` and `raw` take
// the rest of the line (one quoted word is unquoted); other verbs split it into words. Throws a
// usage AxctlFailure.
std::optional<Verb> parseInteractiveLine(std::string_view line);

// Splits a line into words the way a shell does for plain text: blanks separate words, single
// quotes keep everything, double quotes keep everything but backslash escapes of `"` and `\`.
std::vector<std::string> splitWords(std::string_view line);

// `text` with every control character but tab and line feed replaced by '?', so that text from
// the target application (an answer, a name) cannot drive the terminal it is printed on.
std::string printableText(std::string_view text);

// The usage text printed by --help and the interactive `help` verb.
std::string_view usageText();

} // namespace bix::ax::axctl
