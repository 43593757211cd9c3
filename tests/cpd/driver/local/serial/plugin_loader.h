// A minimal host for the built plug-in: loads the shared library by path, as the redirection host
// does, and hands out its module descriptor. The library stays loaded until the loader is
// destroyed, so every driver it opened must be deleted first. Non-copyable: owns the handle.
#pragma once

#include <dlfcn.h>

#include <memory>
#include <string>

#include "cpd/interface/cpd_driver.h"

namespace cpd::test {

class PluginLoader {
  public:
    // Null (with the loader's message in *error) when the library or its descriptor is missing.
    static std::unique_ptr<PluginLoader> Load(const std::string& path, std::string* error) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        void* symbol = handle != nullptr ? dlsym(handle, "CPD_DRV_MODULE") : nullptr;
        if (symbol == nullptr) {
            *error = dlerror();
            if (handle != nullptr) {
                dlclose(handle);
            }
            return nullptr;
        }
        return std::unique_ptr<PluginLoader>(new PluginLoader(handle, symbol));
    }
    ~PluginLoader() { dlclose(mHandle); }
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    const CpdDrvModule& Module() const { return *static_cast<const CpdDrvModule*>(mSymbol); }

  private:
    PluginLoader(void* handle, void* symbol) : mHandle(handle), mSymbol(symbol) {}

    void* mHandle;
    void* mSymbol;
};

}  // namespace cpd::test
