// Bridge benchmark: cpd-host serve and socat chains moving a line's bytes to a TCP client.
#include "bench/bridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/interface/cpd_packet.h"

extern char** environ;

namespace bench {

namespace {

// A child process (socat or cpd-host), ended with SIGTERM by the destructor; its peak
// resident size is read from the kernel's accounting when it is reaped.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv) {
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        mName = argv[0];
        if (posix_spawn(&mPid, args[0], &actions, nullptr, args.data(), environ) != 0) {
            mPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Ok() const { return mPid > 0; }

    // Ends the child with SIGTERM and reaps it; its peak resident size in KiB (0 if unknown).
    // A child still there after ten seconds failed to stop: it is killed and the run fails.
    long Stop() {
        if (mPid <= 0) {
            return mMaxRss;
        }
        ::kill(mPid, SIGTERM);
        int status = 0;
        rusage usage{};
        for (int i = 0; i < 1000; ++i) {
            if (::wait4(mPid, &status, WNOHANG, &usage) == mPid) {
                mMaxRss = usage.ru_maxrss;
                mCpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
                mPid = -1;
                return mMaxRss;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::fprintf(stderr, "bench: %s (%d) did not stop on SIGTERM within 10 s\n", mName.c_str(),
                     static_cast<int>(mPid));
        ::kill(mPid, SIGKILL);
        ::wait4(mPid, &status, 0, &usage);
        mPid = -1;
        std::exit(1);
    }

  private:
    std::string mName;
    pid_t mPid = -1;
    long mMaxRss = 0;
    double mCpuSeconds = 0;

  public:
    // User and system time of the whole run, known once stopped.
    double CpuSeconds() const { return mCpuSeconds; }
    static double Seconds(const timeval& t) {
        return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
    }
};

int FreeTcpPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(s);
    return port;
}

// Retries for a few seconds while the child starts listening.
int ConnectTcp(int port) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            // A bridge that stops delivering ends the measurement instead of hanging it.
            timeval limit{3, 0};
            ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
            return s;
        }
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

int ConnectUnix(const std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            return s;
        }
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

bool WriteAll(int fd, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n <= 0) {
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t length) {
    auto* bytes = static_cast<uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::read(fd, bytes, length);
        if (n <= 0) {
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Writes the pattern into `fd` until told to stop. Non-blocking with a short poll, so a bridge
// that stopped reading (the receiver is done) cannot hold the thread in a write.
class Flood {
  public:
    explicit Flood(int fd) : mFd(fd) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        mThread = std::thread([this] {
            const std::vector<uint8_t> pattern = Pattern(4096);
            size_t offset = 0;
            while (!mStop) {
                const ssize_t n = ::write(mFd, pattern.data() + offset, pattern.size() - offset);
                if (n > 0) {
                    offset = (offset + static_cast<size_t>(n)) % pattern.size();
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd p{mFd, POLLOUT, 0};
                    ::poll(&p, 1, 50);
                } else {
                    return;
                }
            }
        });
    }
    ~Flood() {
        mStop = true;
        mThread.join();
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

  private:
    int mFd;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// Counts the bytes a TCP client receives for `seconds` after a warm-up; `consume` turns the
// received stream into data bytes (framed packets for cpd-host, the bytes themselves for socat).
// *all counts the data bytes of the warm-up too.
template <typename Consume>
double Receive(int socket, double seconds, uint64_t* all, Consume consume) {
    std::vector<uint8_t> buffer(65536);
    uint64_t data = 0;
    *all = 0;
    Clock::time_point t0 = Clock::now();
    bool measuring = false;
    for (;;) {
        const ssize_t n = ::read(socket, buffer.data(), buffer.size());
        if (n <= 0) {
            return 0;
        }
        const uint64_t got = consume(buffer.data(), static_cast<size_t>(n));
        *all += got;
        const Clock::time_point now = Clock::now();
        if (!measuring && Seconds(now - t0) >= 0.3) {
            measuring = true;
            t0 = now;
            data = 0;
            continue;
        }
        data += got;
        if (measuring && Seconds(now - t0) >= seconds) {
            return static_cast<double>(data) / Seconds(now - t0);
        }
    }
}

// Reads until the stream has been quiet for a moment: with the flood stopped, what socat still
// holds flows out before the connection closes.
void DrainUntilQuiet(int socket) {
    timeval limit{0, 300000};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    uint8_t buffer[65536];
    while (::read(socket, buffer, sizeof(buffer)) > 0) {
    }
}

// The packet stream of one remote connection: whole frames out of TCP reads.
class FrameReader {
  public:
    // Data bytes carried by the READ_DATA frames completed by these bytes.
    uint64_t Feed(const uint8_t* bytes, size_t n) {
        mPending.insert(mPending.end(), bytes, bytes + n);
        uint64_t data = 0;
        size_t pos = 0;
        while (mPending.size() - pos >= cpd::kCpdPacketHeaderSize) {
            cpd::CpdPacketHeader header{};
            std::memcpy(&header, mPending.data() + pos, sizeof(header));
            const uint32_t length = header.bigEndian != cpd::HostIsBigEndian()
                                        ? cpd::ByteSwap32(header.length)
                                        : header.length;
            if (length < cpd::kCpdPacketHeaderSize || mPending.size() - pos < length) {
                break;
            }
            if (header.cmd == cpd::SERIAL_CMD_READ_DATA && length >= 20) {
                data += length - 20;
            }
            pos += length;
        }
        mPending.erase(mPending.begin(), mPending.begin() + static_cast<long>(pos));
        return data;
    }

  private:
    std::vector<uint8_t> mPending;
};

double PerFourKiB(double cpuSeconds, uint64_t bytes) {
    return bytes > 0 ? cpuSeconds * 1e6 / (static_cast<double>(bytes) / 4096) : 0;
}

struct BridgeResult {
    double bytesPerSecond = 0;
    long maxRssKiB = 0;
    // The bridge processes' CPU time over the data bytes that crossed, per 4 KiB.
    double cpuUsPer4KiB = 0;
};

// With `logToFile` false the plug-in's log goes to cpd-host's standard error, /dev/null here.
BridgeResult MeasureCpdHost(const std::string& host, const std::string& plugin, double seconds,
                            bool logToFile) {
    const std::string socketPath = "/tmp/cpd_bench_peer_" + std::to_string(::getpid());
    const std::string logPath = "/tmp/cpd_bench_host_" + std::to_string(::getpid()) + ".log";
    const int port = FreeTcpPort();
    BridgeResult result;
    uint64_t all = 0;  // data bytes received
    std::vector<std::string> argv = {host, "--plugin", plugin, "--virtual",
                                     "product=Bench Bridge,serial=BB1,peer=unix:" + socketPath};
    if (logToFile) {
        argv.insert(argv.end(), {"--log", logPath});
    }
    argv.insert(argv.end(),
                {"serve", "--listen", "127.0.0.1:" + std::to_string(port), "Bench Bridge - BB1"});
    Child child(argv);
    if (!child.Ok()) {
        return result;
    }
    const int peer = ConnectUnix(socketPath);
    const int remote = ConnectTcp(port);
    uint8_t header[cpd::kCpdPacketHeaderSize];
    if (peer >= 0 && remote >= 0 && ReadAll(remote, header, sizeof(header))) {
        // The configuration report: its devId addresses our requests; its payload is skipped.
        cpd::CpdPacketHeader report{};
        std::memcpy(&report, header, sizeof(report));
        std::vector<uint8_t> rest(report.length - sizeof(header));
        ReadAll(remote, rest.data(), rest.size());
        cpd::CpdPacket start(64);
        start.SetHeader(report.devId, cpd::SERIAL_CMD_START_READ, 1);
        WriteAll(remote, start.Data(), start.Length());
        Flood flood(peer);
        FrameReader frames;
        result.bytesPerSecond =
            Receive(remote, seconds, &all,
                    [&frames](const uint8_t* b, size_t n) { return frames.Feed(b, n); });
    }
    if (remote >= 0) {
        ::close(remote);
    }
    if (peer >= 0) {
        ::close(peer);
    }
    result.maxRssKiB = child.Stop();
    result.cpuUsPer4KiB = PerFourKiB(child.CpuSeconds(), all);
    ::unlink(logPath.c_str());
    return result;
}

BridgeResult MeasureSocat(double seconds) {
    BridgeResult result;
    uint64_t all = 0;  // data bytes received
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return result;
    }
    const std::string slaveName = ::ptsname(master);
    // Held open so the line outlives socat's own opening and closing; raw like a serial port.
    const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    const int port = FreeTcpPort();
    Child child({"/usr/bin/socat", "-u", "OPEN:" + slaveName + ",rawer",
                 "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr"});
    if (child.Ok()) {
        const int remote = ConnectTcp(port);
        if (remote >= 0) {
            {
                Flood flood(master);
                result.bytesPerSecond = Receive(
                    remote, seconds, &all, [](const uint8_t*, size_t n) { return uint64_t{n}; });
            }
            DrainUntilQuiet(remote);
            ::close(remote);
        }
    }
    result.maxRssKiB = child.Stop();
    result.cpuUsPer4KiB = PerFourKiB(child.CpuSeconds(), all);
    ::close(slave);
    ::close(master);
    return result;
}

// The same path as cpd-host's with socat doing each hop: one socat serves a unix socket and
// feeds what arrives into a pty it creates (cpd-host's unix-socket peer and virtual adapter),
// a second reads the pty's other end and sends to TCP (the plug-in and the serve loop).
BridgeResult MeasureSocatChain(double seconds) {
    BridgeResult result;
    uint64_t all = 0;  // data bytes received
    const std::string tag = std::to_string(::getpid());
    const std::string socketPath = "/tmp/cpd_bench_socat_" + tag;
    const std::string ptyLink = "/tmp/cpd_bench_socat_pty_" + tag;
    ::unlink(socketPath.c_str());
    ::unlink(ptyLink.c_str());
    Child feeder(
        {"/usr/bin/socat", "-u", "UNIX-LISTEN:" + socketPath, "PTY,link=" + ptyLink + ",rawer"});
    const int peer = feeder.Ok() ? ConnectUnix(socketPath) : -1;
    // The pty exists once the feeder has its client.
    for (int i = 0; i < 100 && peer >= 0 && ::access(ptyLink.c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int port = FreeTcpPort();
    Child sender({"/usr/bin/socat", "-u", "OPEN:" + ptyLink + ",rawer",
                  "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr"});
    const int remote = peer >= 0 && sender.Ok() ? ConnectTcp(port) : -1;
    if (remote >= 0) {
        {
            Flood flood(peer);
            result.bytesPerSecond = Receive(remote, seconds, &all,
                                            [](const uint8_t*, size_t n) { return uint64_t{n}; });
        }
        DrainUntilQuiet(remote);
    }
    if (remote >= 0) {
        ::close(remote);
    }
    if (peer >= 0) {
        ::close(peer);
    }
    result.maxRssKiB = sender.Stop() + feeder.Stop();
    result.cpuUsPer4KiB = PerFourKiB(sender.CpuSeconds() + feeder.CpuSeconds(), all);
    ::unlink(socketPath.c_str());
    ::unlink(ptyLink.c_str());
    return result;
}

}  // namespace

int RunBridge(const std::string& hostBinary, const std::string& pluginPath, bool quick) {
    ::signal(SIGPIPE, SIG_IGN);
    const double seconds = quick ? 0.5 : 3.0;
    const int reps = 5;
    const bool haveSocat = ::access("/usr/bin/socat", X_OK) == 0;
    struct Row {
        const char* name = "";
        std::function<BridgeResult()> measure;
        std::vector<double> rate;
        std::vector<double> cpu;
        long rss = 0;
    };
    std::vector<Row> rows;
    auto add = [&rows](const char* name, std::function<BridgeResult()> measure) {
        Row row;
        row.name = name;
        row.measure = std::move(measure);
        rows.push_back(std::move(row));
    };
    if (haveSocat) {
        add("socat, pty to TCP (one hop less)", [&] { return MeasureSocat(seconds); });
        add("socat chain, unix socket to pty to TCP (two processes)",
            [&] { return MeasureSocatChain(seconds); });
    }
    add("cpd-host serve, log to file",
        [&] { return MeasureCpdHost(hostBinary, pluginPath, seconds, true); });
    add("cpd-host serve, log to stderr (/dev/null)",
        [&] { return MeasureCpdHost(hostBinary, pluginPath, seconds, false); });
    for (int r = 0; r < reps; ++r) {
        for (Row& row : rows) {
            const BridgeResult result = row.measure();
            row.rate.push_back(result.bytesPerSecond);
            row.cpu.push_back(result.cpuUsPer4KiB);
            row.rss = std::max(row.rss, result.maxRssKiB);
        }
    }
    // "median (min-max)" of the repetitions.
    auto spread = [](std::vector<double> v, int decimals) {
        std::sort(v.begin(), v.end());
        char text[96];
        std::snprintf(text, sizeof(text), "%.*f (%.*f-%.*f)", decimals, v[v.size() / 2], decimals,
                      v.front(), decimals, v.back());
        return std::string(text);
    };
    // The socat chain makes the same hops as cpd-host; each repetition's ratios are against the
    // chain's run of the same repetition: time per byte and CPU per byte, higher is worse.
    std::printf(
        "### Bridge (serial line's far end to a TCP client on loopback, median (min-max) of %d "
        "interleaved repetitions)\n\n",
        reps);
    std::printf(
        "| bridge | MB/s | time vs socat chain | bridge CPU us per 4 KiB | CPU vs socat chain | "
        "peak RSS |\n|---|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        std::vector<double> mb;
        std::vector<double> time;
        std::vector<double> cpu;
        for (size_t r = 0; r < row.rate.size(); ++r) {
            mb.push_back(row.rate[r] / 1e6);
            if (haveSocat && row.rate[r] > 0 && rows[1].cpu[r] > 0) {
                time.push_back(rows[1].rate[r] / row.rate[r]);
                cpu.push_back(row.cpu[r] / rows[1].cpu[r]);
            }
        }
        std::printf("| %s | %s | %s | %s | %s | %ld KiB |\n", row.name, spread(mb, 1).c_str(),
                    time.empty() ? "-" : spread(time, 2).c_str(), spread(row.cpu, 1).c_str(),
                    cpu.empty() ? "-" : spread(cpu, 2).c_str(), row.rss);
    }
    std::printf("\n");
    return 0;
}

}  // namespace bench
