// The host's device object handed to the plug-in: its identity, a descriptor whose argument
// text selects the local port, and SendPacket, which hands each packet the plug-in sends to a
// sink (the remote side). SendPacket is called from the opening thread, the delivering thread
// and the plug-in's read pump; it runs the sink under a lock, one packet at a time, in order.
// The sink must not call back into the driver. Non-copyable: the plug-in keeps its address.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cpd/interface/cpd_device.h"

namespace cpd::host {

struct DeviceIdentity {
    int devId = 1;  // the plug-in uses the low byte
    int devIdHigh = 0;
    int vid = 0;
    int pid = 0;
    int cid = 0;
};

class HostDeviceDesc final : public CpdDeviceDesc {
  public:
    HostDeviceDesc(std::string portDescription, const DeviceIdentity& identity);
    std::string GetDescription() override;
    int GetVid() override { return mVid; }
    int GetPid() override { return mPid; }
    int GetCid() override { return mCid; }
    std::string GetArgs() override { return mArgs; }

  private:
    std::string mArgs;
    int mVid;
    int mPid;
    int mCid;
};

class HostDevice final : public CpdDevice {
  public:
    using Sink = std::function<void(std::unique_ptr<CpdPacket> packet)>;

    HostDevice(const std::string& portDescription, const DeviceIdentity& identity, Sink sink);
    ~HostDevice() = default;
    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;

    std::shared_ptr<CpdDeviceDesc> GetDeviceDesc() override { return mDesc; }
    int GetDevId() override { return mIdentity.devId; }
    int GetDevIdHigh() override { return mIdentity.devIdHigh; }
    int SendPacket(std::unique_ptr<CpdPacket> packet, int arg) override;
    void* GetBus() override { return this; }

  private:
    const DeviceIdentity mIdentity;
    const std::shared_ptr<CpdDeviceDesc> mDesc;
    std::mutex mSendMutex;  // one packet at a time through the sink, in the order sent
    Sink mSink;
};

}  // namespace cpd::host
