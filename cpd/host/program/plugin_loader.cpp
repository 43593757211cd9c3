#include "cpd/host/program/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace cpd::host {

namespace {

constexpr const char* kPluginFile = "liblocal_serial_redir.so";

}  // namespace

void DriverCloser::operator()(CpdDriver* driver) const {
    driver->Close(false);
    delete driver;
}

std::unique_ptr<Plugin> Plugin::Load(const std::string& path, std::string* error) {
    if (::access(path.c_str(), R_OK) != 0) {
        *error = "plug-in not found: " + path;
        return nullptr;
    }
    // dlopen searches the library path for a bare name; a file name the user typed means that
    // file, so make it a path.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // RTLD_LOCAL: the plug-in's symbols must not leak into the next module the process loads.
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        *error = "cannot load plug-in " + path + ": " + (reason != nullptr ? reason : "unknown");
        return nullptr;
    }
    const auto* module = static_cast<const CpdDrvModule*>(::dlsym(handle, "CPD_DRV_MODULE"));
    if (module == nullptr || module->open == nullptr) {
        *error = path + " is not a driver plug-in: " +
                 (module == nullptr ? "no CPD_DRV_MODULE" : "CPD_DRV_MODULE has no open function");
        ::dlclose(handle);
        return nullptr;
    }
    std::unique_ptr<Plugin> plugin(new Plugin());
    plugin->mPath = path;
    plugin->mHandle = handle;
    plugin->mModule = module;
    return plugin;
}

Plugin::~Plugin() {
    ::dlclose(mHandle);
}

DriverPtr Plugin::OpenDriver(CpdDevice* device, const std::string& arg) {
    return DriverPtr(mModule->open(device, arg));
}

std::string Plugin::DriverName() const {
    return mModule->name != nullptr ? mModule->name : "";
}

std::string DefaultPluginPath() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir.erase(dir.rfind('/') + 1);
        const std::string beside = dir + kPluginFile;
        if (::access(beside.c_str(), R_OK) == 0) {
            return beside;
        }
    }
    return CPD_HOST_BUILD_PLUGIN;
}

}  // namespace cpd::host
