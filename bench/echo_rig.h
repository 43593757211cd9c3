// Many echoing lines in one process and the runs scale_bench makes on them: the first N ports
// quiet or echoing at their line rate, through the plug-in or through bare libserialport loops.
// Main thread only; each run joins the threads it starts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vserial/vserial.h"

namespace bench {

constexpr int kMaxPorts = 32;  // the most adapters one vserial rig holds
// The read timeout under load: what a terminal program typically asks for.
constexpr uint32_t kLoadReadTimeoutMs = 20;

struct IdleRun {
    double cpuPercent = 0;       // the whole process, of one core
    std::vector<double> stopMs;  // each port's stop
};

struct LoadRun {
    double cpuPercent = 0;       // of one core, the far end left out
    double bytesPerSecond = 0;   // per port, each way
    uint64_t lost = 0;           // sent but never received once the writers paused
    uint64_t misplaced = 0;      // received bytes that were not the next of the stream
    std::vector<double> stopMs;  // each port's stop while its echo still flows
};

// kMaxPorts virtual USB adapters paced at their line rate, an echo device on each far end. The
// far end's threads (pacers and echo devices) are the same for the plug-in and the raw loops and
// are left out of the load runs' CPU figures.
class EchoRig {
  public:
    // Null when the rig cannot be made. `pluginPath`: the plug-in the runs load.
    static std::unique_ptr<EchoRig> Create(const std::string& pluginPath);
    EchoRig(const EchoRig&) = delete;
    EchoRig& operator=(const EchoRig&) = delete;

    // Every one of the first n ports open and reading with the read timeout, no traffic: the
    // process's CPU over `seconds`, then each port's stop (the plug-in's Close one port after
    // the other as a host closes them; the raw loops' flag set for all at once).
    IdleRun Idle(bool plugin, int n, uint32_t timeoutMs, double seconds);
    // The first n ports echoing at `baud` for `seconds`, every byte checked: the plug-in, each
    // port with its own device and the host's delivering thread writing, or the raw loops, each
    // port a writing and a reading thread. Starts once no echo of an earlier run is on its way.
    LoadRun Load(bool plugin, int n, int baud, double seconds);

  private:
    EchoRig() = default;
    // Returns once no echo of an earlier run is still on its way to the first n ports.
    void Quiesce(int n);

    std::string mPluginPath;
    std::unique_ptr<vserial::Rig> mRig;
    std::vector<vserial::Adapter*> mAdapters;                   // owned by mRig
    std::vector<std::unique_ptr<vserial::EchoDevice>> mEchoes;  // stopped before mRig goes
    std::vector<pid_t> mFarEnd;                                 // the rig's own threads
};

}  // namespace bench
