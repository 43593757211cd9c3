// Loads a driver plug-in the way the remote-desktop client's host does: by file path (dlopen,
// LoadLibraryEx), through its exported CPD_DRV_MODULE descriptor and the open function it names;
// nothing of the plug-in is linked. Plugin owns the library handle; every driver it opened must be
// destroyed before it (their code lives in the library). Calling thread only; non-copyable.
#pragma once

#include <memory>
#include <string>

#include "cpd/interface/cpd_driver.h"

namespace cpd::host {

// Ends a driver the way the host does: Close, then delete.
struct DriverCloser {
    void operator()(CpdDriver* driver) const;
};
using DriverPtr = std::unique_ptr<CpdDriver, DriverCloser>;

class Plugin {
  public:
    // Null with a one-line reason when the file is missing, cannot be loaded, or has no usable
    // CPD_DRV_MODULE.
    static std::unique_ptr<Plugin> Load(const std::string& path, std::string* error);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // Runs the module's open function; null when it refuses the device.
    DriverPtr OpenDriver(CpdDevice* device, const std::string& arg);
    const std::string& Path() const { return mPath; }
    std::string DriverName() const;

  private:
    Plugin() = default;

    std::string mPath;
    void* mHandle = nullptr;
    const CpdDrvModule* mModule = nullptr;
};

// The plug-in next to the running binary, else in the library folder of an installed
// cpd-host, else the one of the build tree it was built in.
std::string DefaultPluginPath();
// A library cpd-host loads by path (the plug-in, the virtual adapters' interposer): the file
// named `file` next to the running binary, else in the library folder of an installed cpd-host,
// else `buildTreePath`.
std::string FindLibrary(const std::string& file, const std::string& buildTreePath);

}  // namespace cpd::host
