#include "AxctlCommandLine.h"

#include "AxctlFailure.h"

#include <algorithm>
#include <charconv>

namespace bix::ax::axctl {
namespace {

enum class Arity { none, optional, required };

struct VerbRule {
    std::string_view name;
    Arity arity;
    bool interactiveOnly;
};

// Every verb. `send`, `ask` and `raw` take the rest of an interactive line as their argument.
constexpr VerbRule kVerbRules[] = {
    {"list-apps", Arity::none, false},   {"bind", Arity::optional, false},
    {"resolve", Arity::optional, false}, {"send", Arity::required, false},
    {"ask", Arity::required, false},     {"follow", Arity::none, false},
    {"stop", Arity::none, false},        {"new-conversation", Arity::none, false},
    {"raw", Arity::required, false},     {"help", Arity::none, true},
    {"history", Arity::none, true},      {"quit", Arity::none, true},
    {"exit", Arity::none, true},
};

constexpr std::string_view kBlanks = " \t\r\n";

const VerbRule* findVerbRule(std::string_view name) {
    const auto* end = std::end(kVerbRules);
    const auto* found = std::find_if(std::begin(kVerbRules), end,
                                     [&](const VerbRule& rule) { return rule.name == name; });
    return found == end ? nullptr : found;
}

int parseInteger(std::string_view text, std::string_view option, int minimum, int maximum) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum ||
        value > maximum) {
        failUsage(std::string(option) + " needs an integer from " + std::to_string(minimum) +
                  " to " + std::to_string(maximum));
    }
    return value;
}

void parseDescriptorPair(AxctlOptions& options, std::string_view text) {
    const auto comma = text.find(',');
    if (comma == std::string_view::npos) {
        failUsage("--fds needs IN,OUT, two descriptor numbers");
    }
    options.inputFd = parseInteger(text.substr(0, comma), "--fds", 0, 1'000'000);
    options.outputFd = parseInteger(text.substr(comma + 1), "--fds", 0, 1'000'000);
}

struct OptionRule {
    std::string_view name;
    void (*apply)(AxctlOptions&, std::string_view); // nullptr: a flag without a value
};

// Every option that takes a value. The ranges passed to the helper are its own business: the
// timing options are only kept non-negative so that the helper's own refusals can be tried.
constexpr OptionRule kOptionRules[] = {
    {"--helper", [](AxctlOptions& o, std::string_view v) { o.helperPath = std::string(v); }},
    {"--simulated-desktop",
     [](AxctlOptions& o, std::string_view v) { o.scenarioPath = std::string(v); }},
    {"--profile", [](AxctlOptions& o, std::string_view v) { o.profilePath = std::string(v); }},
    {"--bundle", [](AxctlOptions& o, std::string_view v) { o.bundleId = std::string(v); }},
    {"--profile-hash", [](AxctlOptions& o, std::string_view v) { o.profileHash = std::string(v); }},
    {"--fds", parseDescriptorPair},
    {"--window",
     [](AxctlOptions& o, std::string_view v) { o.window = parseInteger(v, "--window", 1, 999); }},
    {"--stable-ms",
     [](AxctlOptions& o, std::string_view v) {
         o.stableMs = parseInteger(v, "--stable-ms", 0, 100'000'000);
     }},
    {"--max-wait-ms",
     [](AxctlOptions& o, std::string_view v) {
         o.maximumWaitMs = parseInteger(v, "--max-wait-ms", 0, 100'000'000);
     }},
    {"--poll-ms", [](AxctlOptions& o,
                     std::string_view v) { o.pollMs = parseInteger(v, "--poll-ms", 10, 10'000); }},
};

// Applies the option at `arguments[index]` and returns how many arguments it used.
std::size_t applyOption(AxctlCommandLine& commandLine, std::span<const std::string> arguments,
                        std::size_t index) {
    const std::string_view word = arguments[index];
    if (word == "--json") {
        commandLine.options.json = true;
        return 1;
    }
    if (word == "--demo-desktop") {
        commandLine.options.demoDesktop = true;
        return 1;
    }
    if (word == "--help" || word == "-h") {
        commandLine.help = true;
        return 1;
    }
    const auto equals = word.find('=');
    const std::string_view name = word.substr(0, equals);
    for (const OptionRule& rule : kOptionRules) {
        if (rule.name != name) {
            continue;
        }
        if (equals != std::string_view::npos) {
            rule.apply(commandLine.options, word.substr(equals + 1));
            return 1;
        }
        if (index + 1 >= arguments.size()) {
            failUsage(std::string(name) + " needs a value");
        }
        rule.apply(commandLine.options, arguments[index + 1]);
        return 2;
    }
    failUsage("unknown option " + std::string(word));
}

bool isOption(std::string_view word) {
    return word.starts_with("-") && word.size() > 1;
}

// Checks the words after a verb against its arity and builds the verb.
Verb verbWithWords(const VerbRule& rule, const std::vector<std::string>& words) {
    Verb verb{std::string(rule.name), std::nullopt};
    const std::size_t allowed = rule.arity == Arity::none ? 0 : 1;
    if (words.size() > allowed) {
        failUsage(verb.name + " takes " + (allowed == 0 ? "no argument" : "one argument"));
    }
    if (rule.arity == Arity::required && words.empty()) {
        failUsage(verb.name + " needs an argument");
    }
    if (!words.empty()) {
        verb.argument = words.front();
    }
    return verb;
}

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

} // namespace

AxctlCommandLine parseAxctlCommandLine(std::span<const std::string> arguments) {
    AxctlCommandLine commandLine;
    std::size_t index = 0;
    while (index < arguments.size()) {
        const std::string& word = arguments[index];
        if (isOption(word)) {
            index += applyOption(commandLine, arguments, index);
            continue;
        }
        if (word == "interactive") {
            commandLine.interactive = true;
            ++index;
            continue;
        }
        const VerbRule* rule = findVerbRule(word);
        if (rule == nullptr || rule->interactiveOnly) {
            failUsage("unknown verb " + word + " (see --help)");
        }
        ++index;
        std::vector<std::string> words;
        const bool hasNext = index < arguments.size();
        if (hasNext &&
            (rule->arity == Arity::required ||
             (rule->arity == Arity::optional && !isOption(arguments[index]) &&
              findVerbRule(arguments[index]) == nullptr && arguments[index] != "interactive"))) {
            words.push_back(arguments[index++]);
        }
        commandLine.verbs.push_back(verbWithWords(*rule, words));
    }
    if (commandLine.interactive && !commandLine.verbs.empty()) {
        failUsage("interactive cannot be combined with other verbs");
    }
    if (commandLine.options.inputFd.has_value() != commandLine.options.outputFd.has_value()) {
        failUsage("--fds needs IN,OUT");
    }
    if (commandLine.options.inputFd && commandLine.options.helperPath) {
        failUsage("--fds attaches to a running helper; --helper cannot be used with it");
    }
    if (commandLine.verbs.empty()) {
        commandLine.interactive = true;
    }
    return commandLine;
}

std::optional<Verb> parseInteractiveLine(std::string_view line) {
    const std::string_view text = trimBlanks(line);
    if (text.empty()) {
        return std::nullopt;
    }
    const auto nameEnd = std::min(text.find_first_of(kBlanks), text.size());
    const std::string name(text.substr(0, nameEnd));
    const VerbRule* rule = findVerbRule(name);
    if (rule == nullptr) {
        failUsage("unknown verb " + name + " (type help)");
    }
    const std::string_view rest = trimBlanks(text.substr(nameEnd));
    if (name == "send" || name == "ask" || name == "raw") {
        if (rest.empty()) {
            failUsage(name + " needs an argument");
        }
        const bool quoted = (rest.front() == '"' || rest.front() == '\'') &&
                            rest.back() == rest.front() && rest.size() > 1;
        if (quoted) {
            const auto words = splitWords(rest);
            if (words.size() == 1) {
                return Verb{name, words.front()};
            }
        }
        return Verb{name, std::string(rest)};
    }
    return verbWithWords(*rule, splitWords(rest));
}

std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = '\0';
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote == '\'') {
            quote = c == '\'' ? '\0' : quote;
            if (c != '\'') {
                word += c;
            }
        } else if (quote == '"') {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word += line[++i];
            } else if (c == '"') {
                quote = '\0';
            } else {
                word += c;
            }
        } else if (kBlanks.find(c) != std::string_view::npos) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
            }
            inWord = false;
        } else {
            inWord = true;
            if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '\\' && i + 1 < line.size()) {
                word += line[++i];
            } else {
                word += c;
            }
        }
    }
    if (quote != '\0') {
        failUsage("unterminated quote");
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::string printableText(std::string_view text) {
    std::string printable(text);
    for (char& c : printable) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F) {
            c = '?';
        }
    }
    return printable;
}

std::string_view usageText() {
    return R"(usage: bix-axctl [OPTIONS] [VERB...]      (no verb, or `interactive`: read verbs from stdin)

verbs:
  list-apps               list the candidate applications
  bind [BUNDLE_ID]        bind a window of an application (default: --bundle, or the profile's
                          first bundle identifier; the profile hash comes from the profile)
  resolve [PROFILE.json]  bind if needed, then resolve the profile and show its capabilities
  send PROMPT             resolve if needed, write PROMPT, submit and print the complete answer
  ask PROMPT              the same, but return once the answer is being followed (see follow)
  follow                  wait for the answer of the last ask and print it
  stop                    resolve if needed, press the stop control
  new-conversation        resolve if needed, press the new-conversation control
  raw JSON                send {"command":...,"params":...} as one request
interactive only: help, history, !N (run history line N), quit, exit

options:
  --helper PATH           helper to start (default: bix-ai-accessibility-helper beside bix-axctl)
  --demo-desktop          start the helper on its built-in demo desktop (default: the real
                          desktop, over AT-SPI)
  --simulated-desktop F   start the helper with this scenario file
  --fds IN,OUT            use a running helper: read replies from IN, write requests to OUT
  --profile FILE          profile for bind, resolve, send, stop and new-conversation
  --bundle ID             application to bind
  --profile-hash HEX      profile hash to bind with when there is no profile
  --window N              window to bind when the application has several, 1 = first (default)
  --stable-ms N           observeResponse stableMs (default 500)
  --max-wait-ms N         observeResponse maximumWaitMs (default 60000)
  --poll-ms N             interval between getLatestResponse polls (default 250)
  --json                  print every reply as one line of canonical JSON
  --help                  this text

exit status: 0 success, 1 the helper refused a command, 2 usage error, 3 helper died or broke
the protocol, 130 interrupted
)";
}

} // namespace bix::ax::axctl
