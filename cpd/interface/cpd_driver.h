// Base classes of host drivers and of the objects a driver can hand to the host.
// The host creates a driver through a module's open function, calls onEvent for every packet
// of the device (on its delivering thread), then Close, then deletes the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "cpd/interface/cpd_device.h"
#include "cpd/interface/cpd_packet.h"

namespace cpd {

// An object of a driver that the host may query.
class DriverObj {
  public:
    virtual ~DriverObj() = default;
    virtual bool ObjQuery1() { return false; }
    virtual int ObjOp2() { return 0; }
    virtual int ObjOp3() { return 0; }
    virtual std::string GetTypeName() { return "default"; }
    virtual bool ObjQuery5() { return false; }
};

// The serial-redirection view of a driver object.
class SerialRedirLInf : public DriverObj {
  public:
    std::string GetTypeName() override { return "serial"; }
};

class CpdDriver {
  public:
    virtual ~CpdDriver() = default;
    // Called on the host's delivering thread for every packet of the device.
    virtual int onEvent(std::unique_ptr<CpdPacket> packet, int arg) = 0;
    virtual int HostOp2() { return 0; }
    virtual int HostOp3(std::shared_ptr<void> hostObject) {
        hostObject.reset();
        return 0;
    }
    virtual int HostOp4(void* arg) = 0;
    virtual int HostOp5(int16_t key, uint16_t* out, void* arg) {
        (void)key;
        (void)arg;
        if (out != nullptr) {  // the host passes an out-parameter; a null one is only skipped
            *out = 5382;
        }
        return -1;
    }
    // The host stops delivering packets before Close and deletes the driver after it.
    virtual int Close(bool flag) = 0;
    virtual std::string GetTypeName() = 0;
};

class CpdRawDriver : public CpdDriver {
  public:
    int HostOp4(void* arg) override {
        (void)arg;
        return 0;
    }
    std::string GetTypeName() override { return "RawDrv"; }
    virtual std::shared_ptr<DriverObj> GetDriverObj() { return nullptr; }
};

// Signature of a module's open function: one driver per redirected device, owned by the host.
using CpdOpenFunc = CpdDriver* (*)(CpdDevice* device, const std::string& arg);

// The module descriptor a plug-in exports as CPD_DRV_MODULE. Only `open` and `name` are
// pointers; the numeric fields belong to the host and are carried unchanged.
struct CpdDrvModule {
    CpdOpenFunc open;
    void* reserved;
    uint16_t hostField16;
    uint16_t hostField18;
    uint16_t hostField20;
    uint16_t zero22;
    const char* name;
    int32_t hostField32;
    uint8_t zero36[12];
};
static_assert(sizeof(CpdDrvModule) == 48, "module descriptor is 48 bytes");
static_assert(offsetof(CpdDrvModule, open) == 0, "open function at 0");
static_assert(offsetof(CpdDrvModule, reserved) == 8, "null entry at 8");
static_assert(offsetof(CpdDrvModule, hostField16) == 16, "field at 16");
static_assert(offsetof(CpdDrvModule, hostField18) == 18, "field at 18");
static_assert(offsetof(CpdDrvModule, hostField20) == 20, "field at 20");
static_assert(offsetof(CpdDrvModule, zero22) == 22, "zero at 22");
static_assert(offsetof(CpdDrvModule, name) == 24, "name at 24");
static_assert(offsetof(CpdDrvModule, hostField32) == 32, "field at 32");
static_assert(offsetof(CpdDrvModule, zero36) == 36, "zeros from 36");

}  // namespace cpd
