// Feeds scripted packet sequences to a fresh driver per input, the way a host does: open through
// the module descriptor, onEvent for each packet, Close (or plain destruction), with the port
// library replaced by the test double so a run never touches a device and takes microseconds.
//
// Input layout (see make_corpus.py, which writes the seeds in it):
//   setup byte, then its optional argument bytes, then records until the input ends:
//   op byte & 7: 0-3 packet, 4 queue read data at the port, 5 queue a read error,
//                6 null packet, 7 Close now (later packets reach a closed driver).
//   packet: flags byte (1 raw 16-byte header, 2 forged length u32, 4 foreign devId u8), then
//           either the raw header or cmd u16 + seq u8, then payload length u16 and the payload.
//
// The read pump is allowed to run: it reads only while the double has reads queued, the double's
// read wait is capped at 0 ms, and Stop wakes a pump that waits, so Stop never waits on a
// timeout. Before closing, the harness lets the pump drain the bytes it queued, which keeps runs
// repeatable (the pump's sends no longer depend on when Close happens to land).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <libserialport.h>

#include "cpd/driver/local/serial/driver_entry.h"
#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/host/framework/velmar_log.h"
#include "fuzz/fuzz_input.h"
#include "sp_double.h"

namespace {

using cpd::CpdPacket;
using cpd::CpdPacketHeader;
using cpd::fuzz::FuzzInput;

constexpr const char* kPortName = "/dev/ttyFUZZ0";
constexpr const char* kPortDescription = "Fuzz Serial Port";
// Bounds how long one input may hold the pump open while it drains the queued reads.
constexpr auto kDrainLimit = std::chrono::milliseconds(200);
constexpr int kMaxRecords = 512;

// Setup byte.
enum : uint8_t {
    kNoPort = 0x01,
    kRefuseOpen = 0x02,
    kFailGetter = 0x04,   // + u8: which sp_get_config_* call fails
    kShortWrites = 0x08,  // + u8: bytes a write takes
    kRefuseSettings = 0x10,
    kFailReads = 0x20,  // + u8: which negative code every read returns
    kDeviceIdZero = 0x40,
    kDestroyWithoutClose = 0x80,
};

// Packet flags byte.
enum : uint8_t {
    kRawHeader = 0x01,
    kForgedLength = 0x02,
    kForeignDevice = 0x04,
};

struct FuzzDesc : cpd::CpdDeviceDesc {
    std::string GetDescription() override { return "fuzz device"; }
    int GetVid() override { return 0x0403; }
    int GetPid() override { return 0x6001; }
    int GetCid() override { return 3; }
    std::string GetArgs() override { return kPortDescription; }
};

// Checks every packet the driver sends and keeps the data bytes of the read pump's packets.
class FuzzDevice : public cpd::CpdDevice {
  public:
    explicit FuzzDevice(int devId) : mDevId(devId), mDesc(std::make_shared<FuzzDesc>()) {}

    std::shared_ptr<cpd::CpdDeviceDesc> GetDeviceDesc() override { return mDesc; }
    int GetDevId() override { return mDevId; }
    int GetDevIdHigh() override { return 1; }
    void* GetBus() override { return nullptr; }

    int SendPacket(std::unique_ptr<CpdPacket> packet, int arg) override {
        FUZZ_CHECK(packet != nullptr && packet->Data() != nullptr);
        FUZZ_CHECK(arg == -1);
        CpdPacketHeader header;
        std::memcpy(&header, packet->Data(), sizeof(header));
        FUZZ_CHECK(header.magic == cpd::kCpdPacketMagic);
        FUZZ_CHECK(header.devId == static_cast<uint8_t>(mDevId));
        FUZZ_CHECK(header.length <= packet->Capacity());
        if (header.cmd == cpd::SERIAL_CMD_REDIR_CONFIG) {
            FUZZ_CHECK(header.length == cpd::kCpdPacketHeaderSize + 36);
            return 0;
        }
        FUZZ_CHECK(header.cmd == cpd::SERIAL_CMD_READ_DATA);
        FUZZ_CHECK(header.length > cpd::kCpdPacketHeaderSize + 4);
        int32_t count = 0;
        std::memcpy(&count, packet->Data() + cpd::kCpdPacketHeaderSize, sizeof(count));
        FUZZ_CHECK(count > 0 && static_cast<uint32_t>(count) == header.length - 20);
        FUZZ_CHECK(static_cast<size_t>(count) <= cpd::LocalSerialRedir::kReadBufferSize);
        const char* data = reinterpret_cast<const char*>(packet->Data()) + 20;
        std::lock_guard<std::mutex> lock(mMutex);
        mReceived.append(data, static_cast<size_t>(count));
        return 0;
    }

    std::string Received() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mReceived;
    }

  private:
    const int mDevId;
    std::shared_ptr<FuzzDesc> mDesc;
    std::mutex mMutex;  // SendPacket runs on the pump's thread and the opening thread
    std::string mReceived;
};

void MustForce(const char* function, int code) {
    FUZZ_CHECK(spd_set_result(function, code) == 0);
}

uint8_t ApplySetup(FuzzInput& in) {
    const uint8_t setup = in.U8();
    if ((setup & kNoPort) == 0) {
        spd_add_port(kPortName, kPortDescription);
    }
    if (setup & kRefuseOpen) {
        MustForce("sp_open", SP_ERR_FAIL);
    }
    if (setup & kFailGetter) {
        spd_fail_getter_call(1 + in.U8() % 9, SP_ERR_FAIL);
    }
    if (setup & kShortWrites) {
        spd_set_write_limit(in.U8());
    }
    if (setup & kRefuseSettings) {
        for (const char* f : {"sp_set_baudrate", "sp_set_bits", "sp_set_parity", "sp_set_stopbits",
                              "sp_set_dtr", "sp_set_flowcontrol"}) {
            MustForce(f, SP_ERR_FAIL);
        }
    }
    if (setup & kFailReads) {
        MustForce("sp_blocking_read", -1 - in.U8() % 4);
    }
    return setup;
}

std::unique_ptr<CpdPacket> ReadPacket(FuzzInput& in, uint8_t ownId, CpdPacketHeader* header) {
    const uint8_t flags = in.U8();
    *header = CpdPacketHeader{};
    if (flags & kRawHeader) {
        size_t got = 0;
        const uint8_t* raw = in.Bytes(sizeof(*header), &got);
        std::memcpy(header, raw, got);
    } else {
        header->magic = cpd::kCpdPacketMagic;
        header->devId = ownId;
        header->cmd = in.U16();
        header->seq = in.U8();
        header->bigEndian = static_cast<uint8_t>(cpd::HostIsBigEndian());
    }
    if (flags & kForeignDevice) {
        header->devId = in.U8();
    }
    const uint32_t forged = (flags & kForgedLength) ? in.U32() : 0;
    size_t payloadLen = 0;
    const uint8_t* payload = in.Bytes(in.U16(), &payloadLen);
    if ((flags & kRawHeader) == 0) {
        header->length = static_cast<uint32_t>(cpd::kCpdPacketHeaderSize + payloadLen);
    }
    if (flags & kForgedLength) {
        header->length = forged;
    }
    std::vector<uint8_t> wire(sizeof(*header) + payloadLen);
    std::memcpy(wire.data(), header, sizeof(*header));
    if (payloadLen > 0) {
        std::memcpy(wire.data() + sizeof(*header), payload, payloadLen);
    }
    return CpdPacket::FromWire(wire.data(), wire.size());
}

// Lets a running pump take every queued read, so what it sends no longer depends on timing.
void DrainQueuedReads() {
    const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    while (spd_pending_reads(kPortName) > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velmarLogOff();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    spd_reset();
    spd_set_read_wait_cap(0);
    FuzzInput in(data, size);
    const uint8_t setup = ApplySetup(in);

    FuzzDevice device((setup & kDeviceIdZero) ? 0x100 : 0x21);
    const uint8_t ownId = static_cast<uint8_t>(device.GetDevId());
    std::unique_ptr<cpd::CpdDriver> driver(CPD_DRV_MODULE.open(&device, ""));
    FUZZ_CHECK(driver != nullptr);  // handed out even when the port cannot be opened

    std::string queued;  // bytes queued at the port, in order
    bool closed = false;
    bool pumpStarted = false;
    for (int record = 0; record < kMaxRecords && !in.Empty(); ++record) {
        const uint8_t op = in.U8() & 7;
        if (op <= 3) {
            CpdPacketHeader header;
            std::unique_ptr<CpdPacket> packet = ReadPacket(in, ownId, &header);
            FUZZ_CHECK(packet != nullptr);  // the wire always holds a whole header
            const bool accepted = header.devId == ownId;
            if (accepted && !closed && header.cmd == cpd::SERIAL_CMD_START_READ) {
                pumpStarted = true;
            }
            FUZZ_CHECK(driver->onEvent(std::move(packet), 0) == (accepted ? 0 : -1));
        } else if (op == 4) {
            size_t n = 0;
            const uint8_t* bytes = in.Bytes(1 + in.U8(), &n);
            if (n > 0 && spd_push_read(kPortName, bytes, n) == 0) {
                queued.append(reinterpret_cast<const char*>(bytes), n);
            }
        } else if (op == 5) {
            spd_push_read_result(kPortName, -1 - in.U8() % 4);
        } else if (op == 6) {
            FUZZ_CHECK(driver->onEvent(nullptr, 0) == (ownId == 0 ? 0 : -1));
        } else if (!closed) {
            FUZZ_CHECK(driver->Close(false) == 0);
            closed = true;
        }
    }

    if (pumpStarted && !closed && (setup & kFailReads) == 0 && spd_is_open(kPortName) == 1) {
        DrainQueuedReads();
    }
    if ((setup & kDestroyWithoutClose) == 0) {
        FUZZ_CHECK(driver->Close(false) == 0);
    }
    driver.reset();

    // Whatever the pump sent is the queued bytes, in order, with nothing lost in between.
    const std::string received = device.Received();
    FUZZ_CHECK(received.size() <= queued.size());
    FUZZ_CHECK(std::memcmp(received.data(), queued.data(), received.size()) == 0);
    FUZZ_CHECK(spd_live_ports() == 0);
    FUZZ_CHECK(spd_live_configs() == 0);
    return 0;
}
