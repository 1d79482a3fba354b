// Relay throughput: browser -> host -> broker -> host application and back, for 1 KiB and
// 256 KiB frames, compared in the same run with a floor where two trivial copy loops move the
// same frames through the same pipes and socket. Host and broker run the library's real mode
// functions in forked children, so no home directory or user account is touched.
//
// Usage: bix_browser_bridge_relay_bench [seconds-per-measurement]
#include "bootstrap/bootstrap.h"
#include "broker/broker_mode.h"
#include "common/byte_order.h"
#include "host/host_mode.h"
#include "platform/bix_platform.h"
#include "protocol/control_record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace bix::bridge;

namespace {

const std::string kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

void write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n <= 0) {
            die("write");
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void read_all(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n <= 0) {
            die("read");
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
};

Pipe make_pipe() {
    int fds[2];
    if (pipe(fds) != 0) {
        die("pipe");
    }
    return {fds[0], fds[1]};
}

// The driver's two ends: the browser's pipes to and from the host, and the host application's
// control pipes to and from the broker (carrying records, or bare frames for the floor).
struct Topology {
    int browser_to_host = -1;
    int host_to_browser = -1;
    int app_to_broker = -1;
    int broker_to_app = -1;
    std::vector<pid_t> children;
    bool records = true;
};

std::string scratch_directory() {
    char pattern[] = "/tmp/bxbbench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        die("mkdtemp");
    }
    std::string dir = std::string(pattern) + "/bridge-bootstrap-directory";
    if (mkdir(dir.c_str(), 0700) != 0) {
        die("mkdir");
    }
    return dir;
}

std::string write_bootstrap(const std::string& dir) {
    std::string socket_path = dir + "/broker.sock";
    std::string bytes("BIXBN1\0\0", 8);
    std::uint8_t fixed[84] = {};
    bix_store_le32(fixed, 1);
    bix_store_le32(fixed + 4, geteuid());
    bix_store_le64(fixed + 8, static_cast<std::uint64_t>(time(nullptr) + 3600));
    bix_store_le16(fixed + 16, static_cast<std::uint16_t>(socket_path.size()));
    fixed[18] = 1;
    bix_fill_random(fixed + 20, 64);
    bytes.append(reinterpret_cast<char*>(fixed), sizeof fixed);
    bytes += socket_path + kOrigin.substr(19, 32);
    std::string path = dir + "/bootstrap";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        die("open bootstrap");
    }
    write_all(fd, bytes.data(), bytes.size());
    close(fd);
    return path;
}

// The benchmark's host application reads its control pipe through a read-ahead buffer, as an
// efficient host application would; the floor's application reads whole frames the same way.
class BufferedReader {
public:
    void read(int fd, void* out, std::size_t size) {
        char* p = static_cast<char*>(out);
        while (size > 0) {
            if (begin_ == end_) {
                ssize_t n = ::read(fd, buffer_.data(), buffer_.size());
                if (n <= 0) {
                    die("read");
                }
                begin_ = 0;
                end_ = static_cast<std::size_t>(n);
            }
            std::size_t count = std::min(size, end_ - begin_);
            std::memcpy(p, buffer_.data() + begin_, count);
            begin_ += count;
            p += count;
            size -= count;
        }
    }

private:
    std::vector<char> buffer_ = std::vector<char>(1 << 16);
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

BufferedReader app_reader;

void read_record(int fd, BixRecordHeader& header, std::vector<char>& payload) {
    BixRecordHeaderBytes bytes{};
    app_reader.read(fd, bytes.data(), bytes.size());
    auto parsed = bix_parse_record_header(bytes);
    if (!parsed) {
        die("record header");
    }
    header = *parsed;
    payload.resize(header.payload_length);
    app_reader.read(fd, payload.data(), payload.size());
}

void send_record(int fd, char type, std::uint32_t client, const char* payload, std::size_t size) {
    auto header = bix_encode_record_header(static_cast<BixRecordType>(type), client,
                                           static_cast<std::uint32_t>(size));
    std::vector<char> record(header.begin(), header.end());
    record.insert(record.end(), payload, payload + size);
    write_all(fd, record.data(), record.size());
}

Topology start_real_bridge(const std::string& bootstrap_path) {
    Topology t;
    Pipe to_broker = make_pipe(), from_broker = make_pipe();
    pid_t broker = fork();
    if (broker == 0) {
        close(to_broker.write_end);
        close(from_broker.read_end);
        (void)bix_install_stop_signals();
        BixBootstrapContext context{geteuid(), bix_unix_time_seconds()};
        _exit(bix_run_broker_mode(bootstrap_path, context,
                                  {to_broker.read_end, from_broker.write_end, 2}));
    }
    close(to_broker.read_end);
    close(from_broker.write_end);
    t.app_to_broker = to_broker.write_end;
    t.broker_to_app = from_broker.read_end;
    BixRecordHeader header;
    std::vector<char> payload;
    read_record(t.broker_to_app, header, payload); // ready

    Pipe to_host = make_pipe(), from_host = make_pipe();
    pid_t host = fork();
    if (host == 0) {
        close(to_host.write_end);
        close(from_host.read_end);
        close(t.app_to_broker);
        close(t.broker_to_app);
        (void)bix_install_stop_signals();
        BixBootstrapContext context{geteuid(), bix_unix_time_seconds()};
        _exit(bix_run_host_mode(BixHostSetup{kOrigin,
                                             std::string(bootstrap_path),
                                             context,
                                             {to_host.read_end, from_host.write_end, 2}}));
    }
    close(to_host.read_end);
    close(from_host.write_end);
    t.browser_to_host = to_host.write_end;
    t.host_to_browser = from_host.read_end;
    read_record(t.broker_to_app, header, payload); // client handshake
    send_record(t.app_to_broker, 'e', header.client_id, nullptr, 0);
    t.children = {host, broker};
    return t;
}

// Copies whatever arrives on either descriptor to its partner, as fast as read and write allow.
[[noreturn]] void copy_loop(int a_in, int a_out, int b_in, int b_out) {
    std::vector<char> buffer(1 << 18);
    pollfd fds[2] = {{a_in, POLLIN, 0}, {b_in, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            _exit(1);
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
            if (n <= 0) {
                _exit(0);
            }
            write_all(i == 0 ? a_out : b_out, buffer.data(), static_cast<std::size_t>(n));
        }
    }
}

Topology start_floor(const std::string& socket_path) {
    Topology t;
    t.records = false;
    // The same kind of connection as the bridge's: a Unix stream socket through a listener.
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    unlink(socket_path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0) {
        die("floor listener");
    }
    int host_side = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(host_side, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        die("floor connect");
    }
    int broker_side = accept(listener, nullptr, nullptr);
    close(listener);
    unlink(socket_path.c_str());
    Pipe to_broker = make_pipe(), from_broker = make_pipe();
    Pipe to_host = make_pipe(), from_host = make_pipe();
    // Each copier keeps only its own ends, so closing the driver's ends stops it.
    auto keep_only = [&](int a, int b, int c) {
        for (int fd : {to_broker.read_end, to_broker.write_end, from_broker.read_end,
                       from_broker.write_end, to_host.read_end, to_host.write_end,
                       from_host.read_end, from_host.write_end, host_side, broker_side}) {
            if (fd != a && fd != b && fd != c) {
                close(fd);
            }
        }
    };
    pid_t broker = fork();
    if (broker == 0) {
        keep_only(to_broker.read_end, from_broker.write_end, broker_side);
        copy_loop(to_broker.read_end, broker_side, broker_side, from_broker.write_end);
    }
    pid_t host = fork();
    if (host == 0) {
        keep_only(to_host.read_end, from_host.write_end, host_side);
        copy_loop(to_host.read_end, host_side, host_side, from_host.write_end);
    }
    for (int fd : {to_broker.read_end, from_broker.write_end, to_host.read_end, from_host.write_end,
                   host_side, broker_side}) {
        close(fd);
    }
    t.app_to_broker = to_broker.write_end;
    t.broker_to_app = from_broker.read_end;
    t.browser_to_host = to_host.write_end;
    t.host_to_browser = from_host.read_end;
    t.children = {host, broker};
    return t;
}

void stop(Topology& t) {
    app_reader = BufferedReader();
    for (int fd : {t.browser_to_host, t.host_to_browser, t.app_to_broker, t.broker_to_app}) {
        close(fd);
    }
    for (pid_t child : t.children) {
        int status = 0;
        waitpid(child, &status, 0);
    }
}

struct Figures {
    double frames_per_second = 0;
    double megabytes_per_second = 0;
};

// Round trips of `window` frames at a time: browser writes, application echoes, browser reads.
// The window keeps both directions from filling the socket at once.
Figures measure(Topology& t, std::size_t body_size, std::size_t window, double seconds) {
    std::string frame(4 + body_size, 'x');
    bix_store_le32(reinterpret_cast<std::uint8_t*>(frame.data()),
                   static_cast<std::uint32_t>(body_size));
    frame[4] = '"';
    frame.back() = '"';
    std::vector<char> payload(frame.size());
    std::vector<char> back(frame.size());
    BixRecordHeader header;
    std::vector<char> record;
    std::size_t frames = 0;
    auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        for (std::size_t i = 0; i < window; ++i) {
            write_all(t.browser_to_host, frame.data(), frame.size());
        }
        for (std::size_t i = 0; i < window; ++i) {
            if (t.records) {
                read_record(t.broker_to_app, header, record);
                send_record(t.app_to_broker, 'f', header.client_id, record.data(), record.size());
            } else {
                app_reader.read(t.broker_to_app, payload.data(), payload.size());
                write_all(t.app_to_broker, payload.data(), payload.size());
            }
        }
        for (std::size_t i = 0; i < window; ++i) {
            read_all(t.host_to_browser, back.data(), back.size());
        }
        frames += window;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    Figures f;
    f.frames_per_second = static_cast<double>(frames) / elapsed;
    f.megabytes_per_second = f.frames_per_second * static_cast<double>(body_size) / 1e6;
    return f;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    signal(SIGPIPE, SIG_IGN);
    std::string dir = scratch_directory();
    std::string bootstrap = write_bootstrap(dir);
    struct Size {
        const char* name;
        std::size_t body;
        std::size_t window;
    };
    // 1 KiB frames travel 16 at a time (the floor can then move many frames per system call)
    // and one at a time (latency-bound, no batching on either side).
    const Size sizes[] = {{"1 KiB", 1024, 16}, {"1 KiB/1", 1024, 1}, {"256 KiB", 262144, 1}};
    std::printf("round trips browser -> host -> broker -> app -> broker -> host -> browser\n");
    std::printf("%-8s %-6s %14s %12s\n", "frame", "path", "frames/s", "MB/s (1 way)");
    bool met = true;
    for (const Size& size : sizes) {
        Topology real = start_real_bridge(bootstrap);
        Figures bridge = measure(real, size.body, size.window, seconds);
        stop(real);
        Topology floor = start_floor(dir + "/floor.sock");
        Figures copy = measure(floor, size.body, size.window, seconds);
        stop(floor);
        double ratio = bridge.frames_per_second / copy.frames_per_second;
        met = met && ratio >= 0.8;
        std::printf("%-8s %-6s %14.0f %12.1f\n", size.name, "bridge", bridge.frames_per_second,
                    bridge.megabytes_per_second);
        std::printf("%-8s %-6s %14.0f %12.1f\n", size.name, "floor", copy.frames_per_second,
                    copy.megabytes_per_second);
        std::printf("%-8s bridge/floor = %.0f%% (target >= 80%%)\n", size.name, ratio * 100);
    }
    unlink(bootstrap.c_str());
    rmdir(dir.c_str());
    rmdir(dir.substr(0, dir.rfind('/')).c_str());
    std::printf("target %s\n", met ? "met" : "NOT met");
    return 0;
}
