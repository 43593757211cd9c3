// A host device for tests: fixed identity and port-selection text, and an outbox that records
// every packet the driver sends (from any thread) so a test can wait for them; and the bounded
// wait every driver suite uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/interface/cpd_device.h"
#include "cpd/interface/cpd_packet.h"

namespace cpd::test {

// Hang guard only: every wait normally ends long before it.
constexpr std::chrono::milliseconds kHangGuard{10000};

template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

class TestDeviceDesc : public CpdDeviceDesc {
  public:
    TestDeviceDesc(std::string args, std::string description, int vid, int pid, int cid)
        : mArgs(std::move(args)),
          mDescription(std::move(description)),
          mVid(vid),
          mPid(pid),
          mCid(cid) {}
    std::string GetDescription() override { return mDescription; }
    int GetVid() override { return mVid; }
    int GetPid() override { return mPid; }
    int GetCid() override { return mCid; }
    std::string GetArgs() override { return mArgs; }

  private:
    std::string mArgs;
    std::string mDescription;
    int mVid;
    int mPid;
    int mCid;
};

// A packet as the remote side received it: the wire bytes and the arg it travelled with.
struct SentPacket {
    std::vector<uint8_t> bytes;
    int arg = 0;

    CpdPacketHeader Header() const {
        CpdPacketHeader header{};
        std::memcpy(&header, bytes.data(), sizeof(header));
        return header;
    }
    uint16_t Cmd() const { return Header().cmd; }
    uint32_t Seq() const { return Header().seq; }
    const uint8_t* Payload() const { return bytes.data() + kCpdPacketHeaderSize; }
    size_t PayloadSize() const { return bytes.size() - kCpdPacketHeaderSize; }
    uint32_t U32At(size_t payloadOffset) const {
        uint32_t value = 0;
        std::memcpy(&value, Payload() + payloadOffset, sizeof(value));
        return value;
    }
};

// The data bytes of the driver's READ_DATA packets, in the order sent.
inline std::string ReadData(const std::vector<SentPacket>& sent) {
    std::string data;
    for (const SentPacket& p : sent) {
        if (p.Cmd() == SERIAL_CMD_READ_DATA) {
            data.append(reinterpret_cast<const char*>(p.Payload()) + 4, p.PayloadSize() - 4);
        }
    }
    return data;
}

class TestDevice : public CpdDevice {
  public:
    struct Identity {
        int devId = 0x21;
        int devIdHigh = 0x03;
        int vid = 0x0403;
        int pid = 0x6001;
        int cid = 0x07;
        void* bus = reinterpret_cast<void*>(0x1000);
    };

    explicit TestDevice(std::string args, std::string description = "test serial device")
        : TestDevice(std::move(args), std::move(description), Identity{}) {}
    TestDevice(std::string args, std::string description, Identity identity)
        : mIdentity(identity),
          mDesc(std::make_shared<TestDeviceDesc>(std::move(args), std::move(description),
                                                 identity.vid, identity.pid, identity.cid)) {}
    ~TestDevice() = default;
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    std::shared_ptr<CpdDeviceDesc> GetDeviceDesc() override { return mDesc; }
    int GetDevId() override { return mIdentity.devId; }
    int GetDevIdHigh() override { return mIdentity.devIdHigh; }
    void* GetBus() override { return mIdentity.bus; }

    int SendPacket(std::unique_ptr<CpdPacket> packet, int arg) override {
        SentPacket sent;
        if (packet != nullptr && packet->Data() != nullptr) {
            sent.bytes.assign(packet->Data(), packet->Data() + packet->Length());
        }
        sent.arg = arg;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mSent.push_back(std::move(sent));
        }
        mCond.notify_all();
        return 0;
    }

    // Waits until at least `count` packets were sent; returns how many there are.
    size_t WaitForPackets(size_t count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait_for(lock, limit, [&] { return mSent.size() >= count; });
        return mSent.size();
    }
    std::vector<SentPacket> Sent() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSent;
    }
    void ClearSent() {
        std::lock_guard<std::mutex> lock(mMutex);
        mSent.clear();
    }

  private:
    Identity mIdentity;
    std::shared_ptr<TestDeviceDesc> mDesc;
    std::mutex mMutex;  // guards mSent
    std::condition_variable mCond;
    std::vector<SentPacket> mSent;
};

}  // namespace cpd::test
