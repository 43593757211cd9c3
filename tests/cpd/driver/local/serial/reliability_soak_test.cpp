// Soaks of the built plug-in on a virtual adapter with the real libserialport: many complete
// redirection lifecycles that must leave no thread, descriptor or allocation behind, and a long
// two-way stream that must arrive whole and in order while its settings keep changing.
// Loads: CPD_SOAK_CYCLES lifecycles (default 1000), CPD_SOAK_MIB MiB each way (default 64).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cpd/host/framework/velmar_log.h"
#include "plugin_loader.h"
#include "reliability_support.h"
#include "serial_packets.h"
#include "tests/support/test_device.h"
#include "vserial/vserial.h"

namespace cpd::test {
namespace {

constexpr uint8_t kDevId = 0x21;

struct DriverCloser {
    void operator()(CpdDriver* driver) const {
        driver->Close(false);
        delete driver;
    }
};
using Driver = std::unique_ptr<CpdDriver, DriverCloser>;

// Running FNV-1a: equal counts and equal hashes mean the same bytes in the same order.
class StreamHash {
  public:
    void Add(const void* data, size_t n) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < n; ++i) {
            mHash = (mHash ^ bytes[i]) * 0x100000001b3ull;
        }
        mCount += n;
    }
    uint64_t Hash() const { return mHash; }
    uint64_t Count() const { return mCount; }

  private:
    uint64_t mHash = 0xcbf29ce484222325ull;
    uint64_t mCount = 0;
};

// Fills `out` with `n` bytes of the stream `random` produces.
void RandomBytes(std::mt19937_64& random, std::string& out, size_t n) {
    out.resize(n);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t word = random();
        std::memcpy(&out[i], &word, std::min<size_t>(8, n - i));
    }
}

class SoakRig : public ::testing::Test {
  protected:
    void SetUp() override {
        // Debug lines for every packet would dominate the run; the soaks judge by results.
        velmarLogOff();
        mRig = vserial::Rig::Create();
        ASSERT_NE(mRig, nullptr);
        mAdapter = mRig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "FT232R USB UART", "SOAK1"});
        ASSERT_NE(mAdapter, nullptr);
        std::string error;
        mPlugin = PluginLoader::Load(CPD_SERIAL_PLUGIN, &error);
        ASSERT_NE(mPlugin, nullptr) << error;
    }
    void TearDown() override { velmarLogToStderr(); }

    Driver Open(CpdDevice* device) { return Driver(mPlugin->Module().open(device, "serial")); }

    // Reads the peer end until `count` bytes came or the hang guard passed.
    std::string PeerReceive(size_t count) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{mAdapter->PeerFd(), POLLIN, 0};
            if (poll(&pfd, 1, 20) == 1) {
                char buffer[256];
                const ssize_t n = read(mAdapter->PeerFd(), buffer, sizeof buffer);
                if (n > 0) {
                    got.append(buffer, static_cast<size_t>(n));
                }
            }
        }
        return got;
    }

    std::unique_ptr<vserial::Rig> mRig;
    vserial::Adapter* mAdapter = nullptr;
    std::unique_ptr<PluginLoader> mPlugin;
};

std::string ReadData(const std::vector<SentPacket>& sent) {
    std::string data;
    for (const SentPacket& p : sent) {
        if (p.Cmd() == SERIAL_CMD_READ_DATA) {
            data.append(reinterpret_cast<const char*>(p.Payload()) + 4, p.PayloadSize() - 4);
        }
    }
    return data;
}

TEST_F(SoakRig, LifecyclesLeaveNoThreadDescriptorOrAllocationBehind) {
    const long cycles = EnvCount("CPD_SOAK_CYCLES", 1000);
    const int threadsBefore = ThreadBaseline();
    const int fdsBefore = FdCount();
    for (long cycle = 0; cycle < cycles; ++cycle) {
        TestDevice device(mAdapter->Description());
        Driver driver = Open(&device);
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(device.Sent().size(), 1u) << "cycle " << cycle << ": no configuration report";
        ASSERT_EQ(device.Sent()[0].Cmd(), SERIAL_CMD_REDIR_CONFIG);

        driver->onEvent(BaudRate(kDevId, cycle % 2 ? 115200 : 9600), 0);
        driver->onEvent(LineControl(kDevId, 1, 0, 8), 0);
        driver->onEvent(Timeouts(kDevId, 5), 0);
        driver->onEvent(StartRead(kDevId), 0);
        const std::string ping = "ping " + std::to_string(cycle);
        driver->onEvent(Write(kDevId, ping), 0);
        ASSERT_EQ(PeerReceive(ping.size()), ping) << "cycle " << cycle;

        const std::string pong = "pong " + std::to_string(cycle);
        ASSERT_EQ(write(mAdapter->PeerFd(), pong.data(), pong.size()),
                  static_cast<ssize_t>(pong.size()));
        ASSERT_TRUE(WaitUntil([&] { return ReadData(device.Sent()) == pong; }))
            << "cycle " << cycle << ": got '" << ReadData(device.Sent()) << "'";
    }
    EXPECT_TRUE(ThreadsSettleAt(threadsBefore))
        << ThreadCount() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(FdCount(), fdsBefore);
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

// Hashes the data of every READ_DATA packet as it is sent (on the pump's thread) and checks
// that their sequence numbers run on without a gap or a repeat.
class HashingDevice : public CpdDevice {
  public:
    explicit HashingDevice(std::string args)
        : mDesc(std::make_shared<TestDeviceDesc>(std::move(args), "soak device", 0x0403, 0x6001,
                                                 7)) {}

    std::shared_ptr<CpdDeviceDesc> GetDeviceDesc() override { return mDesc; }
    int GetDevId() override { return kDevId; }
    int GetDevIdHigh() override { return 0; }
    void* GetBus() override { return nullptr; }
    int SendPacket(std::unique_ptr<CpdPacket> packet, int arg) override {
        (void)arg;
        CpdPacketHeader header;
        std::memcpy(&header, packet->Data(), sizeof(header));
        std::lock_guard<std::mutex> lock(mMutex);
        if (header.seq != mNextSeq) {
            ++mSeqErrors;
        }
        mNextSeq = (header.seq + 1) & 0xFFFFu;
        if (header.cmd == SERIAL_CMD_READ_DATA) {
            int32_t count = 0;
            std::memcpy(&count, packet->Data() + kCpdPacketHeaderSize, sizeof(count));
            if (count <= 0 || static_cast<uint32_t>(count) + 20 != header.length) {
                ++mFramingErrors;
            } else {
                mData.Add(packet->Data() + 20, static_cast<size_t>(count));
                ++mPackets;
            }
        }
        return 0;
    }

    StreamHash Data() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mData;
    }
    uint64_t Received() { return Data().Count(); }
    int SeqErrors() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSeqErrors;
    }
    int FramingErrors() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mFramingErrors;
    }
    uint64_t Packets() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPackets;
    }

  private:
    std::shared_ptr<TestDeviceDesc> mDesc;
    std::mutex mMutex;  // SendPacket runs on the pump's thread; the test reads from its own
    StreamHash mData;
    uint32_t mNextSeq = 1;
    int mSeqErrors = 0;
    int mFramingErrors = 0;
    uint64_t mPackets = 0;
};

TEST_F(SoakRig, TwoWayStreamArrivesWholeInOrderWhileSettingsChange) {
    const uint64_t total = static_cast<uint64_t>(EnvCount("CPD_SOAK_MIB", 64)) << 20;
    const auto start = std::chrono::steady_clock::now();
    const auto giveUp = start + std::chrono::seconds(240);
    HashingDevice device(mAdapter->Description());
    Driver driver = Open(&device);
    ASSERT_NE(driver, nullptr);
    const uint32_t handflow[4] = {0, 0, 0, 0};  // no flow control: every byte value is data
    driver->onEvent(SetConfig(kDevId, DRIVER_SET_HANDFLOW_TO_USER, handflow, 16).Build(), 0);
    driver->onEvent(BaudRate(kDevId, 921600), 0);
    driver->onEvent(Timeouts(kDevId, 20), 0);
    driver->onEvent(StartRead(kDevId), 0);

    // Peer -> port: random bytes in random chunks, into the line as fast as it takes them.
    StreamHash peerSent;
    std::thread peerWriter([&] {
        std::mt19937_64 random(0x5eed0001);
        std::string chunk;
        while (peerSent.Count() < total && std::chrono::steady_clock::now() < giveUp) {
            RandomBytes(random, chunk,
                        std::min<uint64_t>(1 + random() % 8192, total - peerSent.Count()));
            size_t done = 0;
            while (done < chunk.size()) {
                if (std::chrono::steady_clock::now() >= giveUp) {
                    return;
                }
                pollfd pfd{mAdapter->PeerFd(), POLLOUT, 0};
                if (poll(&pfd, 1, 50) != 1) {
                    continue;  // the line is full until the pump reads
                }
                const ssize_t n =
                    write(mAdapter->PeerFd(), chunk.data() + done, chunk.size() - done);
                if (n <= 0) {
                    return;
                }
                done += static_cast<size_t>(n);
            }
            peerSent.Add(chunk.data(), chunk.size());
        }
    });
    // Port -> peer: whatever the driver's writes put on the line.
    StreamHash peerReceived;
    std::thread peerReader([&] {
        std::vector<char> buffer(65536);
        while (peerReceived.Count() < total && std::chrono::steady_clock::now() < giveUp) {
            pollfd pfd{mAdapter->PeerFd(), POLLIN, 0};
            if (poll(&pfd, 1, 50) == 1) {
                const ssize_t n = read(mAdapter->PeerFd(), buffer.data(), buffer.size());
                if (n > 0) {
                    peerReceived.Add(buffer.data(), static_cast<size_t>(n));
                }
            }
        }
    });

    // The host's delivering thread: writes of random sizes, with the read length (1 to well past
    // the pump's buffer) and the read timeout changed between them, and still changing after
    // the last write until the other direction is through.
    std::mt19937_64 random(0x5eed0002);
    StreamHash hostSent;
    std::string chunk;
    uint64_t settings = 0;
    auto changeSettings = [&] {
        const uint64_t length = random() % 8 == 0 ? 1 + random() % 16 : 17 + random() % 10000;
        driver->onEvent(ReadLength(kDevId, length), 0);
        driver->onEvent(Timeouts(kDevId, static_cast<uint32_t>(1 + random() % 200)), 0);
        ++settings;
    };
    for (uint64_t writes = 0; hostSent.Count() < total; ++writes) {
        RandomBytes(random, chunk,
                    std::min<uint64_t>(1 + random() % 16384, total - hostSent.Count()));
        driver->onEvent(Write(kDevId, chunk), 0);
        hostSent.Add(chunk.data(), chunk.size());
        if (writes % 32 == 0) {
            changeSettings();
        }
    }
    while (device.Received() < total && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        changeSettings();
    }
    peerWriter.join();
    peerReader.join();
    driver.reset();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(peerReceived.Count(), total);
    EXPECT_EQ(peerReceived.Hash(), hostSent.Hash()) << "remote -> port stream differs";
    const StreamHash received = device.Data();
    EXPECT_EQ(peerSent.Count(), total);
    EXPECT_EQ(received.Count(), total);
    EXPECT_EQ(received.Hash(), peerSent.Hash()) << "port -> remote stream differs";
    EXPECT_EQ(device.SeqErrors(), 0);
    EXPECT_EQ(device.FramingErrors(), 0);
    std::printf("soak: %llu MiB each way in %.1f s, %llu data packets, %llu settings changes\n",
                static_cast<unsigned long long>(total >> 20), seconds,
                static_cast<unsigned long long>(device.Packets()),
                static_cast<unsigned long long>(settings));
}

}  // namespace
}  // namespace cpd::test
