// Soaks of the built plug-in on a virtual adapter with the real libserialport: many complete
// redirection lifecycles that must leave no thread, descriptor or allocation behind, and long
// two-way streams on several ports at once that must arrive whole and in order while their
// settings keep changing.
// Loads: CPD_SOAK_CYCLES lifecycles (default 1000), CPD_SOAK_MIB MiB each way (default 64).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cpd/host/framework/velmar_log.h"
#include "plugin_host.h"
#include "reliability_support.h"

namespace cpd::test {
namespace {

// Running FNV-1a: equal counts and equal hashes mean the same bytes in the same order.
struct StreamHash {
    void Add(const void* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3ull;
        }
        count += n;
    }
    uint64_t hash = 0xcbf29ce484222325ull;
    uint64_t count = 0;
};

// Fills `out` with `n` bytes of the stream `random` produces.
void RandomBytes(std::mt19937_64& random, std::string& out, size_t n) {
    out.resize(n);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t word = random();
        std::memcpy(&out[i], &word, std::min<size_t>(8, n - i));
    }
}

class SoakRig : public PluginHost {
  protected:
    // Debug lines for every packet would dominate the run; the soaks judge by results.
    void SetUp() override {
        PluginHost::SetUp();
        velmarLogOff();
    }
};

TEST_F(SoakRig, LifecyclesLeaveNoThreadDescriptorOrAllocationBehind) {
    const long cycles = EnvCount("CPD_SOAK_CYCLES", 1000);
    const int threadsBefore = ThreadBaseline();
    const int fdsBefore = FdCount();
    for (long cycle = 0; cycle < cycles; ++cycle) {
        const std::string n = std::to_string(cycle);
        ASSERT_NO_FATAL_FAILURE(OpenAdapter());
        ASSERT_EQ(mDevice->Sent().size(), 1u) << "cycle " << n << ": no configuration report";
        ASSERT_EQ(mDevice->Sent()[0].Cmd(), SERIAL_CMD_REDIR_CONFIG);
        Deliver(BaudRate(kDevId, cycle % 2 ? 115200 : 9600));
        Deliver(LineControl(kDevId, 1, 0, 8));
        Deliver(Timeouts(kDevId, 5));
        Deliver(StartRead(kDevId));
        Deliver(Write(kDevId, "ping " + n));
        ASSERT_EQ(PeerReceive(5 + n.size()), "ping " + n);
        PeerSend("pong " + n);
        ASSERT_TRUE(WaitUntil([&] { return ReadData(mDevice->Sent()) == "pong " + n; }))
            << "cycle " << n << ": got '" << ReadData(mDevice->Sent()) << "'";
        mDriver.reset();
    }
    EXPECT_TRUE(ThreadsSettleAt(threadsBefore))
        << ThreadCount() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(FdCount(), fdsBefore);
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

// Hashes the data of every READ_DATA packet as it is sent (on the pump's thread), and counts
// sequence numbers that do not run on by one and count fields that disagree with the length.
class HashingDevice : public TestDevice {
  public:
    struct Tally {
        StreamHash data;
        uint64_t packets = 0;
        int seqErrors = 0;
        int framingErrors = 0;
    };
    using TestDevice::TestDevice;

    int SendPacket(std::unique_ptr<CpdPacket> packet, int) override {
        CpdPacketHeader header;
        std::memcpy(&header, packet->Data(), sizeof(header));
        std::lock_guard<std::mutex> lock(mMutex);
        mTally.seqErrors += header.seq != mNextSeq;
        mNextSeq = (header.seq + 1) & 0xFFFFu;
        if (header.cmd == SERIAL_CMD_READ_DATA) {
            int32_t count = 0;
            std::memcpy(&count, packet->Data() + kCpdPacketHeaderSize, sizeof(count));
            if (count <= 0 || static_cast<uint32_t>(count) + 20 != header.length) {
                ++mTally.framingErrors;
            } else {
                mTally.data.Add(packet->Data() + 20, static_cast<size_t>(count));
                ++mTally.packets;
            }
        }
        return 0;
    }
    Tally Snapshot() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTally;
    }

  private:
    std::mutex mMutex;  // SendPacket runs on the pump's thread; the test reads from its own
    Tally mTally;
    uint32_t mNextSeq = 1;
};

// Four ports at once, each with its own driver, as a host with a multi-port adapter runs them.
TEST_F(SoakRig, TwoWayStreamsOnSeveralPortsArriveWholeInOrderWhileSettingsChange) {
    using Clock = std::chrono::steady_clock;
    constexpr int kPorts = 4;
    // Per port and direction; the whole load is spread over the ports.
    const uint64_t total = (static_cast<uint64_t>(EnvCount("CPD_SOAK_MIB", 64)) << 20) / kPorts;
    const auto start = Clock::now();
    const auto giveUp = start + std::chrono::seconds(240);
    struct Port {
        vserial::Adapter* adapter = nullptr;
        std::unique_ptr<HashingDevice> device;
        DriverPtr driver;
        StreamHash peerSent, peerReceived, hostSent;
        uint64_t settings = 0;
        std::thread peerWriter, peerReader, host;
    };
    std::vector<Port> ports(kPorts);
    for (int i = 0; i < kPorts; ++i) {
        Port& port = ports[i];
        port.adapter = i == 0 ? mAdapter
                              : mRig->AddUsbAdapter(
                                    {0x0403, 0x6001, "FTDI", "Soak UART", "S" + std::to_string(i)});
        ASSERT_NE(port.adapter, nullptr);
        port.device = std::make_unique<HashingDevice>(port.adapter->Description());
        port.driver = mPlugin->OpenDriver(port.device.get(), "serial");
        ASSERT_NE(port.driver, nullptr);
        const uint32_t handflow[4] = {0, 0, 0, 0};  // no flow control: every byte value is data
        port.driver->onEvent(SetConfig(kDevId, DRIVER_SET_HANDFLOW_TO_USER, handflow, 16).Build(),
                             0);
        port.driver->onEvent(BaudRate(kDevId, 921600), 0);
        port.driver->onEvent(Timeouts(kDevId, 20), 0);
        port.driver->onEvent(StartRead(kDevId), 0);
    }
    for (int i = 0; i < kPorts; ++i) {
        Port& port = ports[i];
        const int peer = port.adapter->PeerFd();
        // Peer -> port: random bytes in random chunks, into the line as fast as it takes them.
        port.peerWriter = std::thread([&port, peer, i, total, giveUp] {
            std::mt19937_64 random(0x5eed0001 + i);
            std::string chunk;
            while (port.peerSent.count < total && Clock::now() < giveUp) {
                RandomBytes(random, chunk,
                            std::min<uint64_t>(1 + random() % 8192, total - port.peerSent.count));
                for (size_t done = 0; done < chunk.size() && Clock::now() < giveUp;) {
                    pollfd pfd{peer, POLLOUT, 0};
                    if (poll(&pfd, 1, 50) == 1) {  // the line is full until the pump reads
                        const ssize_t n = write(peer, chunk.data() + done, chunk.size() - done);
                        done += n > 0 ? static_cast<size_t>(n) : 0;
                    }
                }
                port.peerSent.Add(chunk.data(), chunk.size());
            }
        });
        // Port -> peer: whatever the driver's writes put on the line.
        port.peerReader = std::thread([&port, peer, total, giveUp] {
            std::vector<char> buffer(65536);
            while (port.peerReceived.count < total && Clock::now() < giveUp) {
                pollfd pfd{peer, POLLIN, 0};
                const ssize_t n =
                    poll(&pfd, 1, 50) == 1 ? read(peer, buffer.data(), buffer.size()) : 0;
                port.peerReceived.Add(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
            }
        });
        // The host's delivering thread: writes of random sizes, with the read length (1 to well
        // past the pump's buffer) and the read timeout changed between them, and still changing
        // after the last write until the other direction is through.
        port.host = std::thread([&port, i, total, giveUp] {
            std::mt19937_64 random(0x5eed0002 + i);
            std::string chunk;
            auto changeSettings = [&] {
                const uint64_t length =
                    random() % 8 == 0 ? 1 + random() % 16 : 17 + random() % 10000;
                port.driver->onEvent(ReadLength(kDevId, length), 0);
                port.driver->onEvent(Timeouts(kDevId, static_cast<uint32_t>(1 + random() % 200)),
                                     0);
                ++port.settings;
            };
            for (uint64_t writes = 0; port.hostSent.count < total; ++writes) {
                RandomBytes(random, chunk,
                            std::min<uint64_t>(1 + random() % 16384, total - port.hostSent.count));
                port.driver->onEvent(Write(kDevId, chunk), 0);
                port.hostSent.Add(chunk.data(), chunk.size());
                if (writes % 32 == 0) {
                    changeSettings();
                }
            }
            while (port.device->Snapshot().data.count < total && Clock::now() < giveUp) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                changeSettings();
            }
        });
    }
    uint64_t packets = 0;
    uint64_t settings = 0;
    for (Port& port : ports) {
        port.peerWriter.join();
        port.peerReader.join();
        port.host.join();
        port.driver.reset();
        const std::string name = port.adapter->Description();
        EXPECT_EQ(port.peerReceived.count, total) << name;
        EXPECT_EQ(port.peerReceived.hash, port.hostSent.hash) << name << ": remote -> port differs";
        const HashingDevice::Tally received = port.device->Snapshot();
        EXPECT_EQ(port.peerSent.count, total) << name;
        EXPECT_EQ(received.data.count, total) << name;
        EXPECT_EQ(received.data.hash, port.peerSent.hash) << name << ": port -> remote differs";
        EXPECT_EQ(received.seqErrors, 0) << name;
        EXPECT_EQ(received.framingErrors, 0) << name;
        packets += received.packets;
        settings += port.settings;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "soak: %d ports, %llu MiB each way in %.1f s, %llu data packets, %llu settings "
        "changes\n",
        kPorts, static_cast<unsigned long long>(total * kPorts >> 20), seconds,
        static_cast<unsigned long long>(packets), static_cast<unsigned long long>(settings));
}

}  // namespace
}  // namespace cpd::test
