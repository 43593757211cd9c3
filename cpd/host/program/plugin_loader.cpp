// Loading the plug-in by path, and finding the libraries cpd-host loads.
#include "cpd/host/program/plugin_loader.h"

#include "cpd/host/program/os.h"

namespace cpd::host {

namespace {

constexpr const char* kPluginFile = CPD_HOST_PLUGIN_FILE;

}  // namespace

void DriverCloser::operator()(CpdDriver* driver) const {
    driver->Close(false);
    delete driver;
}

std::unique_ptr<Plugin> Plugin::Load(const std::string& path, std::string* error) {
    if (!FileReadable(path)) {
        *error = "plug-in not found: " + path;
        return nullptr;
    }
    std::string reason;
    void* handle = OpenLibrary(path, &reason);
    if (handle == nullptr) {
        *error = "cannot load plug-in " + path + ": " + reason;
        return nullptr;
    }
    const auto* module = static_cast<const CpdDrvModule*>(FindSymbol(handle, "CPD_DRV_MODULE"));
    if (module == nullptr || module->open == nullptr) {
        *error = path + " is not a driver plug-in: " +
                 (module == nullptr ? "no CPD_DRV_MODULE" : "CPD_DRV_MODULE has no open function");
        CloseLibrary(handle);
        return nullptr;
    }
    std::unique_ptr<Plugin> plugin(new Plugin());
    plugin->mPath = path;
    plugin->mHandle = handle;
    plugin->mModule = module;
    return plugin;
}

Plugin::~Plugin() {
    CloseLibrary(mHandle);
}

DriverPtr Plugin::OpenDriver(CpdDevice* device, const std::string& arg) {
    return DriverPtr(mModule->open(device, arg));
}

std::string Plugin::DriverName() const {
    return mModule->name != nullptr ? mModule->name : "";
}

std::string DefaultPluginPath() {
    return FindLibrary(kPluginFile, CPD_HOST_BUILD_PLUGIN);
}

std::string FindLibrary(const std::string& file, const std::string& buildTreePath) {
    const std::string dir = ProgramDir();
    for (const std::string& folder : {dir, dir + CPD_HOST_INSTALLED_LIB_DIR}) {
        if (!dir.empty() && FileReadable(folder + file)) {
            return folder + file;
        }
    }
    return buildTreePath;
}

}  // namespace cpd::host
