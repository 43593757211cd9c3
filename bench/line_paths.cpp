// The measured paths: the plug-in's read pump, writes and latency against raw libserialport loops.
#include "bench/line_paths.h"

#include <fcntl.h>
#include <libserialport.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/bench_host.h"
#include "cpd/host/framework/velmar_log.h"

namespace bench {

namespace {

std::string gPluginPath = BENCH_PLUGIN_PATH;

// A port opened straight through libserialport, as the plug-in opens it.
class RawPort {
  public:
    explicit RawPort(const std::string& name) {
        if (sp_get_port_by_name(name.c_str(), &mPort) != SP_OK ||
            sp_open(mPort, SP_MODE_READ_WRITE) != SP_OK) {
            std::fprintf(stderr, "bench: cannot open %s\n", name.c_str());
            std::exit(1);
        }
    }
    ~RawPort() {
        sp_close(mPort);
        sp_free_port(mPort);
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;
    sp_port* get() const { return mPort; }

  private:
    sp_port* mPort = nullptr;
};

constexpr double kWarmup = 0.2;

// Leaves the line empty both ways, so one measurement never sees another's leftover bytes.
void Quiesce(vserial::Adapter* adapter) {
    {
        RawPort port(adapter->PortName());
        sp_flush(port.get(), SP_BUF_BOTH);
    }
    const int fd = adapter->PeerFd();
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    uint8_t buffer[4096];
    while (::read(fd, buffer, sizeof(buffer)) > 0) {
    }
    ::fcntl(fd, F_SETFL, flags);
}

Latency Percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Latency l;
    if (!samples.empty()) {
        l.p50us = samples[samples.size() / 2] * 1e6;
        l.p99us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)] * 1e6;
    }
    return l;
}

// One byte at a time from an idle line: the peer writes it, the reader stamps its arrival.
Latency Measure(int peerFd, int samples, Arrivals& arrivals) {
    std::vector<double> values;
    for (int i = 0; i < samples; ++i) {
        Sleep(200e-6);
        const Clock::time_point t0 = Clock::now();
        const char byte = 'x';
        if (::write(peerFd, &byte, 1) != 1) {
            break;
        }
        Clock::time_point t1;
        if (!arrivals.Wait(static_cast<uint64_t>(i) + 1, std::chrono::milliseconds(2000), &t1)) {
            std::fprintf(stderr, "bench: byte %d never arrived\n", i);
            break;
        }
        values.push_back(Seconds(t1 - t0));
    }
    return Percentiles(values);
}

}  // namespace

void SetPluginPath(const std::string& path) {
    gPluginPath = path;
}

const std::string& PluginPath() {
    return gPluginPath;
}

std::unique_ptr<vserial::Rig> MakeRig(vserial::Adapter** plugged, vserial::Adapter** raw) {
    std::unique_ptr<vserial::Rig> rig = vserial::Rig::Create();
    if (rig == nullptr) {
        std::exit(1);
    }
    *plugged = rig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "Bench Plugged", "BP1"});
    if (raw != nullptr) {
        *raw = rig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "Bench Raw", "BR1"});
    }
    if (*plugged == nullptr || (raw != nullptr && *raw == nullptr)) {
        std::exit(1);
    }
    return rig;
}

Peer::Peer(int fd, Mode mode) : mFd(fd), mFlags(::fcntl(fd, F_GETFL)) {
    ::fcntl(fd, F_SETFL, mFlags | O_NONBLOCK);
    mThread = std::thread([this, mode] { mode == Mode::kFlood ? Flood() : Drain(); });
}

Peer::~Peer() {
    mStop = true;
    mThread.join();
    ::fcntl(mFd, F_SETFL, mFlags);
}

void Peer::Flood() {
    const std::vector<uint8_t> pattern = Pattern(4096);
    while (!mStop) {
        if (::write(mFd, pattern.data(), pattern.size()) < 0) {
            if (errno != EAGAIN) {
                return;
            }
            pollfd p{mFd, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
}

void Peer::Drain() {
    uint8_t buffer[65536];
    while (!mStop) {
        if (::read(mFd, buffer, sizeof(buffer)) < 0) {
            if (errno != EAGAIN) {
                return;
            }
            pollfd p{mFd, POLLIN, 0};
            ::poll(&p, 1, 50);
        }
    }
}

Rate RawRead(vserial::Adapter* adapter, double seconds) {
    Quiesce(adapter);
    RawPort port(adapter->PortName());
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> cpu{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<uint8_t> buffer(4096);
        while (!stop) {
            const int n = sp_blocking_read(port.get(), buffer.data(), 4095, 500);
            if (n > 0) {
                bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                reads.fetch_add(1, std::memory_order_relaxed);
                cpu.store(ThreadCpuNs(), std::memory_order_relaxed);
            }
        }
    });
    Rate rate;
    {
        Peer peer(adapter->PeerFd(), Peer::Mode::kFlood);
        Sleep(kWarmup);
        const uint64_t b0 = bytes;
        const uint64_t r0 = reads;
        const uint64_t c0 = cpu;
        const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
        const Clock::time_point t0 = Clock::now();
        Sleep(seconds);
        const uint64_t b1 = bytes;
        const uint64_t r1 = reads;
        const uint64_t c1 = cpu;
        const uint64_t h1 = ProcessCpuNs() - peer.CpuNs();
        const double elapsed = Seconds(Clock::now() - t0);
        rate.bytesPerSecond = static_cast<double>(b1 - b0) / elapsed;
        rate.bytesPerPacket = static_cast<double>(b1 - b0) / static_cast<double>(r1 - r0);
        rate.cpuNsPerByte = static_cast<double>(c1 - c0) / static_cast<double>(b1 - b0);
        rate.hostCpuNsPerByte = static_cast<double>(h1 - h0) / static_cast<double>(b1 - b0);
    }
    stop = true;
    reader.join();
    return rate;
}

Rate PluginRead(vserial::Adapter* adapter, double seconds, LogTo log) {
    Quiesce(adapter);
    std::unique_ptr<SlowPipe> pipe;
    if (log == LogTo::kSlowPipe) {
        pipe = std::make_unique<SlowPipe>();
    }
    RouteLog(log);
    BenchDevice device(adapter->Description());
    Rate rate;
    {
        Plugin plugin(gPluginPath, &device);
        plugin.Deliver(StartReadPacket());
        Peer peer(adapter->PeerFd(), Peer::Mode::kFlood);
        Sleep(kWarmup);
        const uint64_t b0 = device.DataBytes();
        const uint64_t p0 = device.DataPackets();
        const uint64_t a0 = device.SenderAllocations();
        const uint64_t c0 = device.SenderCpuNs();
        const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
        const Clock::time_point t0 = Clock::now();
        Sleep(seconds);
        const uint64_t b1 = device.DataBytes();
        const uint64_t p1 = device.DataPackets();
        const uint64_t a1 = device.SenderAllocations();
        const uint64_t c1 = device.SenderCpuNs();
        const uint64_t h1 = ProcessCpuNs() - peer.CpuNs();
        const double elapsed = Seconds(Clock::now() - t0);
        const double packets = static_cast<double>(p1 - p0);
        rate.bytesPerSecond = static_cast<double>(b1 - b0) / elapsed;
        rate.bytesPerPacket = static_cast<double>(b1 - b0) / packets;
        rate.allocsPerPacket = static_cast<double>(a1 - a0) / packets;
        rate.cpuNsPerByte = static_cast<double>(c1 - c0) / static_cast<double>(b1 - b0);
        rate.hostCpuNsPerByte = static_cast<double>(h1 - h0) / static_cast<double>(b1 - b0);
    }
    if (log == LogTo::kFile) {
        rate.logWritten = TallyLogFile().Share();
    }
    if (pipe != nullptr) {
        pipe->Fast();
    }
    if (log != LogTo::kRotated) {
        RouteLog(LogTo::kFile);
    }
    return rate;
}

Rate RawWrite(vserial::Adapter* adapter, uint32_t size, double seconds) {
    Quiesce(adapter);
    RawPort port(adapter->PortName());
    Peer peer(adapter->PeerFd(), Peer::Mode::kDrain);
    const std::vector<uint8_t> data = Pattern(size);
    uint64_t writes = 0;
    const uint64_t c0 = ThreadCpuNs();
    const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
    const Clock::time_point t0 = Clock::now();
    Clock::time_point now = t0;
    while (Seconds(now - t0) < seconds) {
        for (int i = 0; i < 64; ++i) {
            if (sp_blocking_write(port.get(), data.data(), size, 500) == static_cast<int>(size)) {
                ++writes;
            }
        }
        now = Clock::now();
    }
    Rate rate;
    rate.bytesPerSecond = static_cast<double>(writes * size) / Seconds(now - t0);
    rate.bytesPerPacket = size;
    rate.cpuNsPerByte =
        static_cast<double>(ThreadCpuNs() - c0) / static_cast<double>(writes * size);
    rate.hostCpuNsPerByte = static_cast<double>(ProcessCpuNs() - peer.CpuNs() - h0) /
                            static_cast<double>(writes * size);
    return rate;
}

// Writes go through onEvent from the benchmark's thread, as the host's delivering thread would
// call it. Packets are built in batches outside the timed part: their making is the host's cost.
Rate PluginWrite(vserial::Adapter* adapter, uint32_t size, double seconds, LogTo log) {
    Quiesce(adapter);
    RouteLog(log);
    BenchDevice device(adapter->Description());
    Rate rate;
    {
        Plugin plugin(gPluginPath, &device);
        Peer peer(adapter->PeerFd(), Peer::Mode::kDrain);
        const std::vector<uint8_t> data = Pattern(size);
        const size_t batch = std::max<size_t>(32, (256u * 1024u) / size);
        std::vector<std::unique_ptr<cpd::CpdPacket>> packets;
        Clock::duration busy{};
        uint64_t delivered = 0;
        uint64_t allocations = 0;
        uint64_t cpu = 0;
        // Every thread's CPU over the whole loop but the far end's and this thread's while it
        // builds packets: the log writer goes on writing while the next batch is built.
        uint64_t building = 0;
        const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
        while (Seconds(busy) < seconds) {
            const uint64_t b0 = ThreadCpuNs();
            for (size_t i = 0; i < batch; ++i) {
                packets.push_back(WritePacket(data.data(), size));
            }
            building += ThreadCpuNs() - b0;
            const uint64_t a0 = ThreadAllocations();
            const uint64_t c0 = ThreadCpuNs();
            const Clock::time_point t0 = Clock::now();
            for (auto& packet : packets) {
                plugin.Deliver(std::move(packet));
            }
            busy += Clock::now() - t0;
            cpu += ThreadCpuNs() - c0;
            allocations += ThreadAllocations() - a0;
            delivered += packets.size();
            packets.clear();
        }
        rate.bytesPerSecond = static_cast<double>(delivered * size) / Seconds(busy);
        rate.bytesPerPacket = size;
        rate.allocsPerPacket = static_cast<double>(allocations) / static_cast<double>(delivered);
        rate.cpuNsPerByte = static_cast<double>(cpu) / static_cast<double>(delivered * size);
        velmarLogFlush();  // the writer's share of this run's lines
        rate.hostCpuNsPerByte = static_cast<double>(ProcessCpuNs() - peer.CpuNs() - h0 - building) /
                                static_cast<double>(delivered * size);
    }
    if (log == LogTo::kFile) {
        rate.logWritten = TallyLogFile().Share();
    }
    RouteLog(LogTo::kFile);
    return rate;
}

Latency RawLatency(vserial::Adapter* adapter, int samples) {
    Quiesce(adapter);
    RawPort port(adapter->PortName());
    Arrivals arrivals;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t byte = 0;
        while (!stop) {
            if (sp_blocking_read(port.get(), &byte, 1, 500) == 1) {
                arrivals.Stamp();
            }
        }
    });
    const Latency l = Measure(adapter->PeerFd(), samples, arrivals);
    stop = true;
    reader.join();
    return l;
}

Latency PluginLatency(vserial::Adapter* adapter, int samples) {
    Quiesce(adapter);
    RouteLog(LogTo::kFile);
    BenchDevice device(adapter->Description());
    device.StampArrivals(true);
    Plugin plugin(gPluginPath, &device);
    plugin.Deliver(ReadLengthPacket(1));
    plugin.Deliver(StartReadPacket());
    Sleep(0.05);
    return Measure(adapter->PeerFd(), samples, device.Stamps());
}

double ChildPeakRssKiB(double seconds) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return 0;
    }
    self[n] = '\0';
    const std::string command =
        "'" + std::string(self) + "' rss " + std::to_string(seconds) + " '" + gPluginPath + "'";
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        return 0;
    }
    double kib = 0;
    if (std::fscanf(child, "%lf", &kib) != 1) {
        kib = 0;
    }
    ::pclose(child);
    return kib;
}

}  // namespace bench
