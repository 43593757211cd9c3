// The plug-in's entry: the exported module descriptor CPD_DRV_MODULE and the driver object the
// host gets from its open function. The host calls onEvent on its delivering thread and Close
// and the destructor on its calling thread, never while an onEvent call is running.
#pragma once

#include <memory>
#include <string>

#include "cpd/driver/local/serial/local_serial_redir.h"
#include "cpd/interface/cpd_driver.h"
#include "cpd/interface/cpd_export.h"

namespace cpd {

class LocalSerialRedirDriver : public CpdRawDriver {
  public:
    LocalSerialRedirDriver(CpdDevice* device, const char* arg);
    ~LocalSerialRedirDriver() override;
    LocalSerialRedirDriver(const LocalSerialRedirDriver&) = delete;
    LocalSerialRedirDriver& operator=(const LocalSerialRedirDriver&) = delete;

    // Creates the redirection; 0 once it exists, even if its port could not be opened.
    int Init();
    int onEvent(std::unique_ptr<CpdPacket> packet, int arg) override;
    int Close(bool flag) override;
    std::shared_ptr<DriverObj> GetDriverObj() override;

  private:
    CpdDevice* mDevice = nullptr;
    std::shared_ptr<LocalSerialRedir> mRedir;
};

CpdDriver* open_serial_redir_drv(CpdDevice* device, const std::string& arg);

}  // namespace cpd

extern "C" CPD_PLUGIN_API const cpd::CpdDrvModule CPD_DRV_MODULE;
