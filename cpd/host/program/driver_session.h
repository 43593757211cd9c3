// The device side of one redirection in this process: a HostDevice, the plug-in's driver opened
// on it, and the trace of both directions. Open and the destructor run on the calling thread;
// Deliver on one delivering thread at a time (it blocks while the plug-in serves the packet, up
// to its write timeout). The destructor closes the driver (Close joins the read pump), so no
// packet reaches the sink after it returns. Non-copyable: the plug-in holds the device's address.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cpd/host/program/host_device.h"
#include "cpd/host/program/plugin_loader.h"
#include "cpd/host/program/trace.h"

namespace cpd::host {

class DriverSession {
  public:
    // Called on the delivering thread after the plug-in served a packet, with its command.
    using AfterDeliver = std::function<void(uint16_t cmd)>;

    // Null (with a reason) when the plug-in refuses to open a driver. A driver whose port could
    // not be opened is still returned, as the plug-in hands it over; ReportSent() tells.
    static std::unique_ptr<DriverSession> Open(Plugin& plugin, const std::string& portDescription,
                                               const DeviceIdentity& identity, Tracer& tracer,
                                               HostDevice::Sink toRemote, std::string* error);
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // Hands a packet from the remote side to the driver; the driver's result.
    int Deliver(std::unique_ptr<CpdPacket> packet);
    void SetAfterDeliver(AfterDeliver hook) { mAfterDeliver = std::move(hook); }
    // True once the plug-in sent its configuration report (it opened and read the port).
    bool ReportSent() const { return mReportSent; }
    int DevId() const { return mDevice->GetDevId(); }

  private:
    DriverSession(Tracer& tracer, HostDevice::Sink toRemote);

    Tracer& mTracer;
    HostDevice::Sink mToRemote;
    std::atomic<bool> mReportSent{false};
    AfterDeliver mAfterDeliver;
    std::unique_ptr<HostDevice> mDevice;
    DriverPtr mDriver;  // declared last: closed before the device it uses goes away
};

// What became of the WRITE packets an in-process plug-in served: the plug-in answers none, and
// only its log says that one failed (and how many of its bytes the port took). Watches the log
// from construction to destruction, one watch per process; the log calls in on the thread that
// delivered the packet, the getters may be called from any thread. Non-copyable: the log holds
// its address.
class WriteWatch {
  public:
    WriteWatch();
    ~WriteWatch();
    WriteWatch(const WriteWatch&) = delete;
    WriteWatch& operator=(const WriteWatch&) = delete;

    bool Failed() const;
    // Bytes of WRITE packets that reached the port, those of a failed write's first part included.
    uint64_t Taken() const;

  private:
    static void OnLine(void* self, int level, const char* tag, const char* line, size_t n);

    mutable std::mutex mMutex;  // guards the fields below
    bool mFailed = false;
    uint64_t mTaken = 0;
    uint64_t mServing = 0;  // length of the write being served
    uint64_t mPartial = 0;  // bytes of it written before the plug-in gave up
};

}  // namespace cpd::host
