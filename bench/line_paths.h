// The paths the benchmark measures: each of the plug-in's (read pump, write, one-byte latency)
// and the bare libserialport loop it is compared with, on virtual adapters, plus the peer that
// floods or drains an adapter's far end. Main thread only; each measurement joins the threads
// it starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "bench/bench_host.h"
#include "bench/log_setup.h"
#include "vserial/vserial.h"

namespace bench {

// The plug-in every measurement loads (the build tree's unless set).
void SetPluginPath(const std::string& path);
const std::string& PluginPath();

// Two adapters: one the plug-in opens, one for the raw loops (none when raw is null). Exits
// the process when the rig cannot be made.
std::unique_ptr<vserial::Rig> MakeRig(vserial::Adapter** plugged, vserial::Adapter** raw);

// The device end of an adapter: floods it with the pattern or drains what the port writes, on
// its own thread, until destroyed. The fd is switched to non-blocking while in use so that the
// thread notices the end within one poll interval.
class Peer {
  public:
    enum class Mode { kFlood, kDrain };
    Peer(int fd, Mode mode);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    uint64_t CpuNs() { return OtherThreadCpuNs(mThread); }

  private:
    void Flood();
    void Drain();

    int mFd;
    int mFlags;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

struct Rate {
    double bytesPerSecond = 0;
    double bytesPerPacket = 0;
    double cpuNsPerByte = 0;      // CPU time of the reading or writing thread
    double hostCpuNsPerByte = 0;  // every thread but the adapter's far end (log writer too)
    double allocsPerPacket = -1;  // -1: not measured
    double logWritten = -1;       // share of the log's lines in the file, not dropped; -1: not
                                  // measured
};

// A flooding peer against 4095-byte reads with a 500 ms timeout.
Rate RawRead(vserial::Adapter* adapter, double seconds);
Rate PluginRead(vserial::Adapter* adapter, double seconds, LogTo log);
// Writes of `size` bytes to a draining peer.
Rate RawWrite(vserial::Adapter* adapter, uint32_t size, double seconds);
Rate PluginWrite(vserial::Adapter* adapter, uint32_t size, double seconds, LogTo log);

struct Latency {
    double p50us = 0;
    double p99us = 0;
};

// One byte at a time from an idle line, peer write to arrival, over `samples` bytes.
Latency RawLatency(vserial::Adapter* adapter, int samples);
Latency PluginLatency(vserial::Adapter* adapter, int samples);

// Peak resident size of a child benchmark process (`cpd_bench rss`) with one redirection
// pumping for `seconds`.
double ChildPeakRssKiB(double seconds);

}  // namespace bench
