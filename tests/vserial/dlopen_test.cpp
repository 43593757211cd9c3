// The host program reaches libserialport only through the dlopen'ed plug-in; the adapters must
// still be what the library sees.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "vserial/vserial.h"

namespace {

TEST(VserialThroughDlopen, LibraryInLoadedModuleSeesEmulatedAdapter) {
    auto rig = vserial::Rig::Create();
    ASSERT_NE(rig, nullptr);
    vserial::Adapter* adapter = rig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "FT232R", "A1"});
    ASSERT_NE(adapter, nullptr);

    void* module = dlopen(VSERIAL_PROBE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto probe = reinterpret_cast<int (*)(const char*, char*, int)>(
        dlsym(module, "probe_describe_and_set_seven_bits"));
    ASSERT_NE(probe, nullptr);
    char description[128] = {};
    EXPECT_EQ(probe(adapter->PortName().c_str(), description, sizeof description), 0);
    EXPECT_EQ(description, adapter->Description());
    EXPECT_EQ(adapter->OpenCount(), 0);
    EXPECT_EQ(adapter->Settings()->dataBits, 7);
    dlclose(module);
}

}  // namespace
