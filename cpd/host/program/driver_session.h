// The device side of one redirection in this process: a HostDevice, the plug-in's driver opened
// on it, and the trace of both directions. Open and the destructor run on the calling thread;
// Deliver on one delivering thread at a time (it blocks while the plug-in serves the packet, up
// to its write timeout). The destructor closes the driver (Close joins the read pump), so no
// packet reaches the sink after it returns. Non-copyable: the plug-in holds the device's address.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
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

}  // namespace cpd::host
