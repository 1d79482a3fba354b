#include "AxctlProgram.h"

#include "AxctlCommandLine.h"
#include "AxctlFailure.h"
#include "AxctlSession.h"
#include "HelperConnection.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace bix::ax::axctl {
namespace {

// An interactive line longer than this is refused rather than buffered without end.
constexpr std::size_t kMaximumLineBytes = 1 << 20;
constexpr std::string_view kHelperName = "bix-ai-accessibility-helper";

void report(std::FILE* err, const std::string& message) {
    std::fprintf(err, "bix-axctl: %s\n", printableText(message).c_str());
    std::fflush(err);
}

// The helper installed beside this executable.
std::string defaultHelperPath() {
    std::string self(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= self.size()) {
        return std::string(kHelperName);
    }
    self.resize(static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + std::string(kHelperName);
}

// Reads standard input line by line; an interrupt ends the wait.
class LineReader {
public:
    LineReader(int fd, int signalFd) : fd_(fd), signalFd_(signalFd) {}

    // The next line without its line feed; nothing at the end of input. Refuses (with a usage
    // failure) and skips a line longer than kMaximumLineBytes.
    std::optional<std::string> next() {
        while (true) {
            const auto newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                if (std::exchange(skipping_, false)) {
                    continue;
                }
                return line;
            }
            if (buffer_.size() > kMaximumLineBytes) {
                buffer_.clear();
                skipping_ = true;
                failUsage("the line is longer than " + std::to_string(kMaximumLineBytes) +
                          " bytes");
            }
            if (!fill()) {
                if (buffer_.empty() || skipping_) {
                    return std::nullopt;
                }
                return std::exchange(buffer_, std::string());
            }
        }
    }

private:
    bool fill() {
        if (waitForDescriptor(fd_, POLLIN, signalFd_, std::nullopt) == WaitOutcome::interrupted) {
            throw AxctlFailure(AxctlExit::interrupted, "interrupted");
        }
        char chunk[4096];
        ssize_t got = 0;
        do {
            got = ::read(fd_, chunk, sizeof chunk);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    int fd_;
    int signalFd_;
    std::string buffer_;
    bool skipping_ = false;
};

// "!N" names line N (from 1) of the history; anything else is returned unchanged.
std::string expandHistory(const std::string& line, const std::vector<std::string>& history) {
    if (!line.starts_with("!")) {
        return line;
    }
    std::size_t number = 0;
    const auto [end, error] = std::from_chars(line.data() + 1, line.data() + line.size(), number);
    if (error != std::errc() || end != line.data() + line.size() || number == 0 ||
        number > history.size()) {
        failUsage("no history line " + line.substr(1));
    }
    return history[number - 1];
}

// Runs one interactive line. Returns false when the session should end.
bool runLine(const std::string& typed, std::vector<std::string>& history, AxctlSession& session,
             std::FILE* out, bool echo) {
    const std::string line = expandHistory(typed, history);
    if (echo && line != typed) {
        std::fprintf(out, "%s\n", line.c_str());
    }
    const std::optional<Verb> verb = parseInteractiveLine(line);
    if (!verb) {
        return true;
    }
    history.push_back(line);
    if (verb->name == "quit" || verb->name == "exit") {
        return false;
    }
    if (verb->name == "help") {
        std::fputs(usageText().data(), out);
    } else if (verb->name == "history") {
        for (std::size_t i = 0; i < history.size(); ++i) {
            std::fprintf(out, "%5zu  %s\n", i + 1, history[i].c_str());
        }
    } else {
        session.run(*verb);
    }
    std::fflush(out);
    return true;
}

// Reads verbs from standard input until quit or its end. A failed verb is reported and the
// loop goes on; a dead helper or an interrupt ends it with its status.
int runInteractive(AxctlSession& session, int signalFd, std::FILE* out, std::FILE* err) {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    LineReader reader(STDIN_FILENO, signalFd);
    std::vector<std::string> history;
    while (true) {
        if (terminal) {
            std::fputs("axctl> ", out);
            std::fflush(out);
        }
        try {
            const std::optional<std::string> line = reader.next();
            if (!line || !runLine(*line, history, session, out, terminal)) {
                return static_cast<int>(AxctlExit::success);
            }
        } catch (const AxctlFailure& failure) {
            report(err, failure.message());
            if (failure.status() == AxctlExit::helperFailed ||
                failure.status() == AxctlExit::interrupted) {
                return static_cast<int>(failure.status());
            }
        }
    }
}

std::unique_ptr<HelperConnection> connect(const AxctlOptions& options, int signalFd) {
    if (options.inputFd) {
        return HelperConnection::attach(*options.inputFd, *options.outputFd, signalFd);
    }
    std::vector<std::string> arguments;
    if (options.scenarioPath) {
        arguments = {"--simulated-desktop", *options.scenarioPath};
    } else if (options.demoDesktop) {
        arguments = {"--demo-desktop"};
    }
    return HelperConnection::start(options.helperPath.value_or(defaultHelperPath()), arguments,
                                   signalFd);
}

int runSession(const AxctlCommandLine& commandLine, std::FILE* out, std::FILE* err) {
    SignalWatch signals;
    std::unique_ptr<HelperConnection> helper = connect(commandLine.options, signals.fd());
    helper->hello();
    AxctlSession session(*helper, commandLine.options, signals.fd(), out);
    int status = static_cast<int>(AxctlExit::success);
    if (commandLine.interactive) {
        status = runInteractive(session, signals.fd(), out, err);
    } else {
        for (const Verb& verb : commandLine.verbs) {
            session.run(verb);
        }
    }
    helper->close();
    return status;
}

} // namespace

int runAxctl(std::span<const std::string> arguments, std::FILE* out, std::FILE* err) noexcept {
    try {
        const AxctlCommandLine commandLine = parseAxctlCommandLine(arguments);
        if (commandLine.help) {
            std::fputs(usageText().data(), out);
            return static_cast<int>(AxctlExit::success);
        }
        // A helper that stops reading must fail a write, not kill the client.
        std::signal(SIGPIPE, SIG_IGN);
        return runSession(commandLine, out, err);
    } catch (const AxctlFailure& failure) {
        report(err, failure.message());
        return static_cast<int>(failure.status());
    } catch (const std::exception& error) {
        report(err, error.what());
        return static_cast<int>(AxctlExit::helperFailed);
    } catch (...) {
        report(err, "unexpected failure");
        return static_cast<int>(AxctlExit::helperFailed);
    }
}

} // namespace bix::ax::axctl
