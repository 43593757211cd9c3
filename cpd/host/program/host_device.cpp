// The device object cpd-host hands to the plug-in.
#include "cpd/host/program/host_device.h"

#include <utility>

namespace cpd::host {

HostDeviceDesc::HostDeviceDesc(std::string portDescription, const DeviceIdentity& identity)
    : mArgs(std::move(portDescription)),
      mVid(identity.vid),
      mPid(identity.pid),
      mCid(identity.cid) {}

std::string HostDeviceDesc::GetDescription() {
    return "cpd-host serial redirection of \"" + mArgs + "\"";
}

HostDevice::HostDevice(const std::string& portDescription, const DeviceIdentity& identity,
                       Sink sink)
    : mIdentity(identity),
      mDesc(std::make_shared<HostDeviceDesc>(portDescription, identity)),
      mSink(std::move(sink)) {}

int HostDevice::SendPacket(std::unique_ptr<CpdPacket> packet, int arg) {
    (void)arg;
    if (packet == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mSendMutex);
    if (mSink) {
        mSink(std::move(packet));
    }
    return 0;
}

}  // namespace cpd::host
