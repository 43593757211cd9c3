// The plug-in's entry: CPD_DRV_MODULE, its open function and the driver object.
#include "cpd/driver/local/serial/driver_entry.h"

#include <new>
#include <utility>

#include "cpd/interface/cpd_log.h"

namespace cpd {

CpdDriver* open_serial_redir_drv(CpdDevice* device, const std::string& arg) {
    CPD_LOGD("client pen open des[%s]\n", device->GetDeviceDesc()->GetDescription().c_str());
    LocalSerialRedirDriver* driver = new (std::nothrow) LocalSerialRedirDriver(device, arg.c_str());
    if (driver == nullptr) {
        CPD_LOGE("new LocalSerialRedirDriver failed");
        return nullptr;
    }
    if (driver->Init() != 0) {
        CPD_LOGE("pen_open Init failed");
        delete static_cast<CpdDriver*>(driver);
        return nullptr;
    }
    return driver;
}

LocalSerialRedirDriver::LocalSerialRedirDriver(CpdDevice* device, const char* arg)
    : mDevice(device) {
    (void)arg;
}

LocalSerialRedirDriver::~LocalSerialRedirDriver() {
    mDevice = nullptr;
    mRedir.reset();
}

int LocalSerialRedirDriver::Init() {
    CPD_LOGD("enter\n");
    mRedir = std::make_shared<LocalSerialRedir>(mDevice);
    if (mRedir == nullptr) {
        CPD_LOGE("failed");
        return -1;
    }
    mRedir->Init();
    return 0;
}

int LocalSerialRedirDriver::onEvent(std::unique_ptr<CpdPacket> packet, int arg) {
    const int ownId = mDevice->GetDevId() & 0xFF;
    const int packetId = packet != nullptr ? packet->GetDevId() : 0;
    if (ownId != packetId) {
        CPD_LOGE("this packet is other device myDevId: %d, DevId: %d\n", mDevice->GetDevId() & 0xFF,
                 packetId);
        return -1;
    }
    if (mRedir == nullptr) {
        CPD_LOGE("operator not init");
        return 0;
    }
    if (packet == nullptr) {
        return 0;  // nothing to serve; the redirection only ever sees real packets
    }
    mRedir->EventHandle(std::move(packet), arg);
    return 0;
}

int LocalSerialRedirDriver::Close(bool flag) {
    (void)flag;
    CPD_LOGD("close\n");
    if (mRedir != nullptr) {
        mRedir->Stop();
        mRedir.reset();
    }
    return 0;
}

std::shared_ptr<DriverObj> LocalSerialRedirDriver::GetDriverObj() {
    if (mRedir == nullptr) {
        return nullptr;
    }
    // The object holds two DriverObj parts and the primary one cannot be named past the
    // ambiguity, so the answer is the one inside SerialRedirLInf: the serial interface view,
    // whose GetTypeName says "serial". It shares ownership with mRedir.
    return std::shared_ptr<DriverObj>(
        mRedir, static_cast<DriverObj*>(static_cast<SerialRedirLInf*>(mRedir.get())));
}

}  // namespace cpd

extern "C" CPD_PLUGIN_API const cpd::CpdDrvModule CPD_DRV_MODULE = {
    &cpd::open_serial_redir_drv,          nullptr, 11, 0xFFFF, 0xFFFF, 0, "local-serial-redir", -1,
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};
