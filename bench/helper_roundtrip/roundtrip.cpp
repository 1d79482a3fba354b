// Sends checkTrust requests one at a time over pipes to the helper and to a framing-only echo
// process, and prints the median and 99th-percentile round trip of each and the peak RSS of each
// child. Targets: helper median at most 3x the echo's, helper peak RSS under 16 MiB.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const char* const kNonce = "bench-session-nonce-0001";

struct Child {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
};

Child spawnChild(const std::string& path) {
    int in[2];
    int out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    Child child;
    // The demo desktop: the benchmark measures the protocol, not a desktop.
    char demoDesktop[] = "--demo-desktop";
    char* argv[] = {const_cast<char*>(path.c_str()), demoDesktop, nullptr};
    if (posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", path.c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    child.toChild = in[1];
    child.fromChild = out[0];
    return child;
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
        if (wrote <= 0) {
            std::perror("write");
            std::exit(1);
        }
        done += static_cast<std::size_t>(wrote);
    }
}

std::string readExactly(int fd, std::size_t count) {
    std::string data(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd, data.data() + done, count - done);
        if (got <= 0) {
            std::fprintf(stderr, "reply ended early\n");
            std::exit(1);
        }
        done += static_cast<std::size_t>(got);
    }
    return data;
}

std::string frame(const std::string& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::string header = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 8), static_cast<char>(n)};
    return header + payload;
}

std::string roundTrip(const Child& child, const std::string& framed) {
    writeAll(child.toChild, framed);
    const std::string header = readExactly(child.fromChild, 4);
    const std::uint32_t length = (std::uint32_t{static_cast<unsigned char>(header[0])} << 24) |
                                 (std::uint32_t{static_cast<unsigned char>(header[1])} << 16) |
                                 (std::uint32_t{static_cast<unsigned char>(header[2])} << 8) |
                                 std::uint32_t{static_cast<unsigned char>(header[3])};
    return readExactly(child.fromChild, length);
}

std::string request(int index, const char* command, const char* params) {
    return frame(std::string("{\"command\":\"") + command + "\",\"params\":" + params +
                 ",\"processNonce\":\"" + kNonce +
                 "\",\"protocol\":\"bix.ax.helper\",\"protocolVersion\":1,\"requestId\":\"r" +
                 std::to_string(index) + "\"}");
}

struct Figures {
    double medianMicros = 0;
    double p99Micros = 0;
    long peakRssKiB = 0;
};

Figures measure(const std::string& path, int requests, bool isHelper) {
    Child child = spawnChild(path);
    roundTrip(child, frame(std::string("{\"appVersion\":\"bench\",\"processNonce\":\"") + kNonce +
                           "\",\"protocol\":\"bix.ax.helper\",\"protocolMax\":1,"
                           "\"protocolMin\":1,\"requestId\":\"hello\"}"));
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(requests));
    for (int i = 0; i < requests; ++i) {
        const std::string framed = request(i, "checkTrust", "{\"prompt\":false}");
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = roundTrip(child, framed);
        const auto end = std::chrono::steady_clock::now();
        if (isHelper && reply.find("\"ok\":true") == std::string::npos) {
            std::fprintf(stderr, "unexpected reply: %s\n", reply.c_str());
            std::exit(1);
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    if (isHelper) {
        roundTrip(child, request(requests, "shutdown", "{}"));
    }
    ::close(child.toChild);
    int status = 0;
    rusage usage{};
    ::wait4(child.pid, &status, 0, &usage);
    ::close(child.fromChild);
    std::sort(micros.begin(), micros.end());
    Figures figures;
    figures.medianMicros = micros[micros.size() / 2];
    figures.p99Micros = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    figures.peakRssKiB = usage.ru_maxrss;
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::string helper = argc > 2 ? argv[2] : BIX_HELPER_PATH;
    if (helper.empty() || requests <= 0) {
        std::fprintf(stderr, "usage: %s [requests] [helper-path]\n", argv[0]);
        return 64;
    }
    const Figures floor = measure(BIX_ECHO_PATH, requests, false);
    const Figures measured = measure(helper, requests, true);
    std::printf("checkTrust round trips over pipes: %d requests\n", requests);
    std::printf("%-8s %12s %12s %14s\n", "process", "median us", "p99 us", "peak RSS KiB");
    std::printf("%-8s %12.1f %12.1f %14ld\n", "echo", floor.medianMicros, floor.p99Micros,
                floor.peakRssKiB);
    std::printf("%-8s %12.1f %12.1f %14ld\n", "helper", measured.medianMicros, measured.p99Micros,
                measured.peakRssKiB);
    const double ratio = measured.medianMicros / floor.medianMicros;
    std::printf("median ratio helper/echo: %.2f (target <= 3.00) %s\n", ratio,
                ratio <= 3.0 ? "met" : "MISSED");
    std::printf("helper peak RSS: %.1f MiB (target < 16 MiB) %s\n",
                static_cast<double>(measured.peakRssKiB) / 1024.0,
                measured.peakRssKiB < 16 * 1024 ? "met" : "MISSED");
    return 0;
}
