// The plug-in as a Windows host meets it: a DLL loaded with LoadLibrary, its descriptor found
// with GetProcAddress, a driver opened through it and run on the libserialport test double
// (which this program loads under libserialport's DLL name, so the plug-in binds to it).
//
// The host's device reaches the plug-in through vftables laid out here by hand, slot by slot as
// the host's interface numbers them, and the driver is called by slot number too: a slot or
// calling-convention mismatch between the DLL and a host built by Microsoft's compiler shows up
// as a wrong call, which headers shared by both sides could never show.
#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/interface/cpd_driver.h"
#include "cpd/interface/cpd_packet.h"
#include "sp_double.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"

namespace {

using cpd::CpdDevice;
using cpd::CpdDeviceDesc;
using cpd::CpdDriver;
using cpd::CpdDrvModule;
using cpd::CpdPacket;
using cpd::DriverObj;
using cpd::test::LogCapture;
using cpd::test::SentPacket;
using cpd::test::TestDevice;
using PacketPtr = std::unique_ptr<CpdPacket>;

constexpr const char* kPortName = "COM7";
// Longer than std::string's inline buffer, so the texts the plug-in gets live on the heap.
constexpr const char* kPortDescription = "USB Serial Port (COM7)";
// Hang guards only: everything here normally happens within milliseconds.
constexpr std::chrono::seconds kWait{10};

int CountProcessThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

const IMAGE_NT_HEADERS64* NtHeaders(HMODULE module) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes);
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes + dos->e_lfanew);
}

bool InsideImage(HMODULE module, const void* p) {
    const auto base = reinterpret_cast<uintptr_t>(module);
    const auto address = reinterpret_cast<uintptr_t>(p);
    return address >= base && address < base + NtHeaders(module)->OptionalHeader.SizeOfImage;
}

// --- Calls by slot number, in the MSVC x64 convention: `this` first; a returned class is built
// in storage the caller passes right after `this`; a class argument passed by value travels as
// the address of a copy that the callee destroys.
template <typename Fn>
Fn Slot(const void* object, int slot) {
    return reinterpret_cast<Fn>((*static_cast<void* const* const*>(object))[slot]);
}

template <typename T>
T CallReturning(const void* object, int slot) {
    alignas(T) unsigned char storage[sizeof(T)];
    T* result = Slot<T* (*)(const void*, void*)>(object, slot)(object, storage);
    T value = std::move(*result);
    result->~T();  // built by the plug-in, released here
    return value;
}

int CallOnEvent(CpdDriver* driver, PacketPtr packet) {
    alignas(PacketPtr) unsigned char argument[sizeof(PacketPtr)];
    new (argument) PacketPtr(std::move(packet));  // the plug-in destroys it, and the packet
    return Slot<int (*)(void*, void*, int)>(driver, 1)(driver, argument, 0);
}

// A CpdDevice and its CpdDeviceDesc as two hand-made vftables over a TestDevice, recording which
// slot the plug-in calls. Every descriptor view handed out shares mViews' control block, made by
// this module, which the plug-in must release.
class HandMadeDevice {
  public:
    explicit HandMadeDevice(TestDevice& inner) : mInner(inner) {}
    HandMadeDevice(const HandMadeDevice&) = delete;
    HandMadeDevice& operator=(const HandMadeDevice&) = delete;

    CpdDevice* Device() { return reinterpret_cast<CpdDevice*>(&mDevice); }
    std::vector<int> Slots(bool device) {
        std::lock_guard<std::mutex> lock(mMutex);
        const std::set<int>& slots = device ? mDeviceSlots : mDescSlots;
        return std::vector<int>(slots.begin(), slots.end());
    }
    long ViewsHeld() const { return mViews.use_count() - 1; }

  private:
    struct Object {
        const void* const* vftable;
        HandMadeDevice* owner;
    };

    void Record(const Object* self, int slot) {
        std::lock_guard<std::mutex> lock(mMutex);
        (self == &mDevice ? mDeviceSlots : mDescSlots).insert(slot);
    }
    static TestDevice& Inner(Object* self, int slot) {
        self->owner->Record(self, slot);
        return self->owner->mInner;
    }

    static std::shared_ptr<CpdDeviceDesc>* GetDeviceDesc(Object* self, void* out) {
        Inner(self, 0);
        return new (out) std::shared_ptr<CpdDeviceDesc>(
            self->owner->mViews, reinterpret_cast<CpdDeviceDesc*>(&self->owner->mDesc));
    }
    static int GetDevId(Object* self) { return Inner(self, 2).GetDevId(); }
    static int GetDevIdHigh(Object* self) { return Inner(self, 3).GetDevIdHigh(); }
    static int SendPacket(Object* self, PacketPtr* packet, int arg) {
        PacketPtr taken = std::move(*packet);
        packet->~PacketPtr();  // a by-value argument belongs to the callee
        return Inner(self, 6).SendPacket(std::move(taken), arg);
    }
    static void* GetBus(Object* self) { return Inner(self, 8).GetBus(); }

    static std::string* GetDescription(Object* self, void* out) {
        return new (out) std::string(Inner(self, 1).GetDeviceDesc()->GetDescription());
    }
    static int GetVid(Object* self) { return Inner(self, 2).GetDeviceDesc()->GetVid(); }
    static int GetPid(Object* self) { return Inner(self, 3).GetDeviceDesc()->GetPid(); }
    static int GetCid(Object* self) { return Inner(self, 4).GetDeviceDesc()->GetCid(); }
    static std::string* GetArgs(Object* self, void* out) {
        return new (out) std::string(Inner(self, 6).GetDeviceDesc()->GetArgs());
    }
    // Slots the plug-in has no business calling: recorded, answering 0.
    template <int N>
    static intptr_t Unused(Object* self) {
        self->owner->Record(self, N);
        return 0;
    }

    static inline const void* const kDeviceTable[] = {
        reinterpret_cast<const void*>(&GetDeviceDesc), reinterpret_cast<const void*>(&Unused<1>),
        reinterpret_cast<const void*>(&GetDevId),      reinterpret_cast<const void*>(&GetDevIdHigh),
        reinterpret_cast<const void*>(&Unused<4>),     reinterpret_cast<const void*>(&Unused<5>),
        reinterpret_cast<const void*>(&SendPacket),    reinterpret_cast<const void*>(&Unused<7>),
        reinterpret_cast<const void*>(&GetBus)};
    static inline const void* const kDescTable[] = {
        reinterpret_cast<const void*>(&Unused<0>), reinterpret_cast<const void*>(&GetDescription),
        reinterpret_cast<const void*>(&GetVid),    reinterpret_cast<const void*>(&GetPid),
        reinterpret_cast<const void*>(&GetCid),    reinterpret_cast<const void*>(&Unused<5>),
        reinterpret_cast<const void*>(&GetArgs)};

    TestDevice& mInner;
    Object mDevice{kDeviceTable, this};
    Object mDesc{kDescTable, this};
    std::shared_ptr<int> mViews = std::make_shared<int>();
    std::mutex mMutex;  // guards the two fields below
    std::set<int> mDeviceSlots;
    std::set<int> mDescSlots;
};

class PluginDllTest : public ::testing::Test {
  protected:
    void SetUp() override {
        spd_reset();
        ASSERT_EQ(spd_add_port(kPortName, kPortDescription), 0);
        mThreadsBefore = CountProcessThreads();
        mModule = LoadLibraryA(CPD_PLUGIN_DLL);
        ASSERT_NE(mModule, nullptr) << CPD_PLUGIN_DLL << " error " << GetLastError();
        mDescriptor = reinterpret_cast<const CpdDrvModule*>(
            reinterpret_cast<void*>(GetProcAddress(mModule, "CPD_DRV_MODULE")));
        ASSERT_NE(mDescriptor, nullptr);
    }

    void TearDown() override {
        CloseDriver();
        if (mModule != nullptr) {
            FreeLibrary(mModule);
        }
        spd_reset();
    }

    // Opens a driver on the hand-made device, as the host does for each redirected device.
    CpdDriver* Open() {
        mDriver = mDescriptor->open(mHand.Device(), "");
        return mDriver;
    }

    void CloseDriver() {
        if (mDriver != nullptr) {
            mDriver->Close(true);
            delete mDriver;
            mDriver = nullptr;
        }
    }

    // A remote-side request for this device: header, then the payload words and bytes given.
    PacketPtr Request(uint16_t cmd, std::initializer_list<uint32_t> words,
                      const std::string& bytes = std::string(), int devIdOffset = 0) {
        PacketPtr packet(new CpdPacket(256));
        packet->SetHeader(static_cast<uint8_t>(mDevice.GetDevId() + devIdOffset), cmd, ++mSeq);
        for (uint32_t word : words) {
            packet->AppendU32(&word);
        }
        if (!bytes.empty()) {
            packet->AppendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
        }
        return packet;
    }

    TestDevice mDevice{kPortDescription};
    HandMadeDevice mHand{mDevice};
    HMODULE mModule = nullptr;
    const CpdDrvModule* mDescriptor = nullptr;
    CpdDriver* mDriver = nullptr;
    int mThreadsBefore = 0;
    uint32_t mSeq = 100;
};

// Wine binds an import that no DLL exports to a stub and loads the DLL anyway; Windows would
// refuse to load it. So each import is looked up by name in the module that serves it.
TEST_F(PluginDllTest, EveryImportResolvesByName) {
    const auto* base = reinterpret_cast<const uint8_t*>(mModule);
    const IMAGE_DATA_DIRECTORY& imports =
        NtHeaders(mModule)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t count = 0;
    for (auto* entry =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        const char* dll = reinterpret_cast<const char*>(base + entry->Name);
        const HMODULE server = GetModuleHandleA(dll);
        ASSERT_NE(server, nullptr) << dll;
        for (auto* thunk =
                 reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + entry->OriginalFirstThunk);
             thunk->u1.AddressOfData != 0; ++thunk, ++count) {
            ASSERT_FALSE(IMAGE_SNAP_BY_ORDINAL64(thunk->u1.Ordinal)) << dll << " by ordinal";
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData)
                    ->Name);
            EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(server, name)), nullptr)
                << dll << " does not export " << name;
        }
    }
    EXPECT_GT(count, 0u);
}

// Every operation of the driver at its slot, and every slot of the device and its descriptor the
// plug-in calls; std::string, std::shared_ptr and std::unique_ptr<CpdPacket> cross in both
// directions and are released by the module that did not make them.
TEST_F(PluginDllTest, OperationsCrossAtTheSlotNumbersOfTheHostInterface) {
    ASSERT_NE(Open(), nullptr);
    CpdDriver* driver = mDriver;
    std::shared_ptr<DriverObj> view;
    const auto text = [](int value) { return std::to_string(value); };
    const struct {
        int slot;
        const char* operation;
        std::function<std::string()> call;
        const char* expected;
    } cases[] = {
        {2, "HostOp2", [&] { return text(Slot<int (*)(void*)>(driver, 2)(driver)); }, "0"},
        {5, "HostOp5",
         [&] {
             uint16_t out = 0;
             const int result = Slot<int (*)(void*, int16_t, uint16_t*, void*)>(driver, 5)(
                 driver, 1, &out, nullptr);
             return text(result) + " out " + text(out);
         },
         "-1 out 5382"},
        {7, "GetTypeName", [&] { return CallReturning<std::string>(driver, 7); }, "RawDrv"},
        {1, "onEvent, other device",
         [&] { return text(CallOnEvent(driver, Request(cpd::SERIAL_CMD_START_READ, {}, "", 1))); },
         "-1"},
        {1, "onEvent, baud rate",
         [&] {
             const int result =
                 CallOnEvent(driver, Request(cpd::SERIAL_CMD_SET_CONFIG,
                                             {cpd::DRIVER_SET_BAUD_RATE_TO_USER, 4, 57600}));
             spd_config config{};
             spd_get_port_config(kPortName, &config);
             return text(result) + " baud " + text(config.baudrate);
         },
         "0 baud 57600"},
        {8, "GetDriverObj, then its slot 4",
         [&] {
             view = CallReturning<std::shared_ptr<DriverObj>>(driver, 8);
             return view == nullptr ? "empty" : CallReturning<std::string>(view.get(), 4);
         },
         "serial"},
        {6, "Close", [&] { return text(Slot<int (*)(void*, bool)>(driver, 6)(driver, true)); },
         "0"},
        {8, "GetDriverObj after Close",
         [&] { return CallReturning<std::shared_ptr<DriverObj>>(driver, 8) ? "object" : "empty"; },
         "empty"},
    };
    for (const auto& c : cases) {
        const std::string answer = c.call();
        std::printf("driver slot %d %s -> %s\n", c.slot, c.operation, answer.c_str());
        EXPECT_EQ(answer, c.expected) << "slot " << c.slot << " " << c.operation;
    }
    // The last owner of the redirection object is this module; slot 0 is the deleting destructor.
    view.reset();
    Slot<void* (*)(void*, unsigned)>(driver, 0)(driver, 1);
    mDriver = nullptr;

    for (bool device : {true, false}) {
        std::string slots;
        for (int slot : mHand.Slots(device)) {
            slots += " " + text(slot);
        }
        std::printf("%s slots called:%s\n", device ? "CpdDevice" : "CpdDeviceDesc", slots.c_str());
    }
    EXPECT_EQ(mHand.Slots(true), (std::vector<int>{0, 2, 3, 6, 8}));
    EXPECT_EQ(mHand.Slots(false), (std::vector<int>{1, 2, 3, 4, 6}));
    EXPECT_EQ(mHand.ViewsHeld(), 0);
}

// Load, open (configuration report), settings, a write, the read pump, Close, unload: the
// exported descriptor's pointers are relocated into the image, log lines name bare file names
// (__FILE__ holds a Windows path here), a quiet port makes no reads, and no thread outlives Close.
TEST_F(PluginDllTest, FullSessionOnTheDoubleLeavesNoThreadBehind) {
    EXPECT_TRUE(InsideImage(mModule, reinterpret_cast<const void*>(mDescriptor->open)));
    EXPECT_TRUE(InsideImage(mModule, mDescriptor->name));
    EXPECT_STREQ(mDescriptor->name, "local-serial-redir");
    LogCapture log;
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(spd_is_open(kPortName), 1);
    ASSERT_GE(mDevice.WaitForPackets(1, kWait), 1u);
    EXPECT_EQ(mDevice.Sent()[0].Cmd(), cpd::SERIAL_CMD_REDIR_CONFIG);
    EXPECT_EQ(mDevice.Sent()[0].PayloadSize(), sizeof(cpd::serial_config));
    mDevice.ClearSent();

    EXPECT_EQ(
        mDriver->onEvent(
            Request(cpd::SERIAL_CMD_SET_CONFIG, {cpd::DRIVER_SET_BAUD_RATE_TO_USER, 4, 115200}), 0),
        0);
    spd_config config{};
    ASSERT_EQ(spd_get_port_config(kPortName, &config), 0);
    EXPECT_EQ(config.baudrate, 115200);
    const std::string command = "AT+GMR\r\n";
    EXPECT_EQ(
        mDriver->onEvent(
            Request(cpd::SERIAL_CMD_WRITE, {static_cast<uint32_t>(command.size())}, command), 0),
        0);
    EXPECT_EQ(spd::Written(kPortName), command);

    // A 4 s read timeout that the double honours: a pump reading its quiet port would hold Close.
    spd_set_read_wait_cap(4000);
    mDriver->onEvent(Request(cpd::SERIAL_CMD_SET_CONFIG,
                             {cpd::DRIVER_SET_TIMEOUTS_TO_USER, 20, 0, 0, 4000, 0, 0}),
                     0);
    const std::string answer = "OK\r\n";
    ASSERT_EQ(spd_push_read(kPortName, answer.data(), answer.size()), 0);
    mDriver->onEvent(Request(cpd::SERIAL_CMD_START_READ, {}), 0);
    ASSERT_GE(mDevice.WaitForPackets(1, kWait), 1u);
    const SentPacket data = mDevice.Sent()[0];
    EXPECT_EQ(data.Cmd(), cpd::SERIAL_CMD_READ_DATA);
    ASSERT_EQ(data.PayloadSize(), 4 + answer.size());
    EXPECT_EQ(data.U32At(0), answer.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.Payload()) + 4, answer.size()),
              answer);
    // The driver's looper and the read pump run while the driver is open.
    EXPECT_GE(CountProcessThreads(), mThreadsBefore + 2);
    // With the answer read the port is quiet: the pump sleeps until bytes come or Close.
    spd_clear_calls();
    Sleep(100);
    EXPECT_EQ(spd_count_calls("sp_blocking_read"), 0u) << "the pump turned on a quiet port";

    CloseDriver();
    EXPECT_EQ(spd_count_calls("sp_blocking_read"), 0u) << "Close waited out a read";
    EXPECT_EQ(spd_is_open(kPortName), 0);
    EXPECT_EQ(CountProcessThreads(), mThreadsBefore);
    ASSERT_TRUE(FreeLibrary(mModule));
    mModule = nullptr;
    EXPECT_EQ(GetModuleHandleA(CPD_PLUGIN_DLL), nullptr);
    EXPECT_EQ(CountProcessThreads(), mThreadsBefore);

    EXPECT_TRUE(log.Contains("driver_entry.cpp open_serial_redir_drv("));
    EXPECT_TRUE(log.Contains("local_serial_redir.cpp readFromSerialPort("));
    // Neither the build's folders nor a drive path reach a line.
    EXPECT_EQ(log.Count(":\\"), 0u);
    EXPECT_EQ(log.Count("cpd\\driver"), 0u);
    EXPECT_EQ(log.Count("cpd/driver"), 0u);
}

}  // namespace
