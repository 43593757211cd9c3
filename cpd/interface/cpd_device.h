// The host's device object and its descriptor, as a driver sees them. The host owns both; a
// driver keeps plain pointers and never frees them. Devices are called from the host's calling
// thread, its packet-delivering thread and the driver's own threads, so they must be thread-safe.
#pragma once

#include <memory>
#include <string>

#include "cpd/interface/cpd_packet.h"

namespace cpd {

class CpdDeviceDesc {
  public:
    virtual ~CpdDeviceDesc() = default;
    virtual std::string GetDescription() = 0;
    virtual int GetVid() = 0;
    virtual int GetPid() = 0;
    virtual int GetCid() = 0;
    virtual int DescOp5() { return 0; }  // not used by drivers
    // Text that selects the local resource to redirect (for a serial port: its description).
    virtual std::string GetArgs() = 0;
};

class CpdDevice {
  public:
    // Never empty for a live device.
    virtual std::shared_ptr<CpdDeviceDesc> GetDeviceDesc() = 0;
    virtual int DeviceOp1() { return 0; }  // not used by drivers
    virtual int GetDevId() = 0;
    virtual int GetDevIdHigh() = 0;
    virtual int DeviceOp4() { return 0; }  // not used by drivers
    virtual int DeviceOp5() { return 0; }  // not used by drivers
    // Delivers a finished packet to the remote side; takes the packet in every case.
    virtual int SendPacket(std::unique_ptr<CpdPacket> packet, int arg) = 0;
    virtual int DeviceOp7() { return 0; }  // not used by drivers
    virtual void* GetBus() = 0;

  protected:
    // Devices belong to the host: nothing deletes one through this interface.
    ~CpdDevice() = default;
};

}  // namespace cpd
