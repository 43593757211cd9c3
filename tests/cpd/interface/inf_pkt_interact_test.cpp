#include "cpd/interface/inf_pkt_interact.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"

namespace cpd {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;
using test::TestDevice;

// Hang guard only: every wait below normally ends within milliseconds.
constexpr auto kGuard = 10s;

std::unique_ptr<CpdPacket> MakePacket(uint32_t seq, uint32_t marker, uint16_t cmd = 3) {
    std::unique_ptr<CpdPacket> packet(new CpdPacket(64));
    packet->SetHeader(0x21, cmd, seq);
    packet->AppendU32(&marker);
    return packet;
}

uint32_t MarkerOf(CpdPacket& packet) {
    uint32_t marker = 0;
    packet.ReadU32(&marker);
    return marker;
}

struct Delivery {
    int arg;
    uint32_t seq;
    uint32_t marker;
    std::thread::id thread;
};

// The layer's owner: records what reaches it through the callback and the async handlers.
class Owner : public InfPktCallback {
  public:
    Owner() = default;
    ~Owner() = default;
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    int PktCallback(int arg, std::unique_ptr<CpdPacket> packet) override {
        if (++mInside > 1) {
            mOverlapped = true;
        }
        std::this_thread::yield();
        Record(mCallbacks, arg, *packet);
        --mInside;
        return 0;
    }

    int OnAsync(int arg, std::unique_ptr<CpdPacket> packet) {
        Record(mAsync, arg, *packet);
        return 0;
    }

    // Blocks until Release, then takes a little longer, so a teardown that does not wait for
    // it would be caught returning early.
    int OnSlow(int arg, std::unique_ptr<CpdPacket> packet) {
        Record(mAsync, arg, *packet);
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait_for(lock, kGuard, [this] { return mReleased; });
        lock.unlock();
        std::this_thread::sleep_for(50ms);
        mSlowFinished = true;
        return 0;
    }

    void Release() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mReleased = true;
        }
        mCond.notify_all();
    }

    std::vector<Delivery> WaitCallbacks(size_t count) { return WaitFor(mCallbacks, count); }
    std::vector<Delivery> WaitAsync(size_t count) { return WaitFor(mAsync, count); }
    std::vector<Delivery> Callbacks() { return WaitFor(mCallbacks, 0); }
    std::vector<Delivery> Async() { return WaitFor(mAsync, 0); }
    bool Overlapped() const { return mOverlapped; }
    bool SlowFinished() const { return mSlowFinished; }

  private:
    void Record(std::vector<Delivery>& into, int arg, CpdPacket& packet) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            into.push_back(
                Delivery{arg, packet.GetSeq(), MarkerOf(packet), std::this_thread::get_id()});
        }
        mCond.notify_all();
    }
    std::vector<Delivery> WaitFor(std::vector<Delivery>& list, size_t count) {
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait_for(lock, kGuard, [&] { return list.size() >= count; });
        return list;
    }

    std::atomic<int> mInside{0};
    std::atomic<bool> mOverlapped{false};
    std::atomic<bool> mSlowFinished{false};
    std::mutex mMutex;  // guards the lists and mReleased
    std::condition_variable mCond;
    std::vector<Delivery> mCallbacks;
    std::vector<Delivery> mAsync;
    bool mReleased = false;
};

using Layer = InfPktInteract<Owner>;

class InteractFixture : public testing::Test {
  protected:
    void SetUp() override {
        mLayer = std::make_unique<Layer>(&mOwner, &mDevice);
        mLayer->SetCallback(&mOwner);
    }
    void TearDown() override { mLayer.reset(); }

    LogCapture mLog;
    TestDevice mDevice{"port"};
    Owner mOwner;
    std::unique_ptr<Layer> mLayer;
};

// Receiving ---------------------------------------------------------------------------------

class PacketRouting : public InteractFixture {};

TEST_F(PacketRouting, WithEmptyTablesEveryPacketReachesTheCallbackWithTheHostsArg) {
    const uint32_t seqs[] = {0, 1, 0xFFFFFFFFu, 1};
    const int args[] = {-1, 0, 7, 123456};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(mLayer->OnReceive(args[i], MakePacket(seqs[i], 100 + i)), 0);
    }
    const std::vector<Delivery> calls = mOwner.Callbacks();
    ASSERT_EQ(calls.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].arg, args[i]);
        EXPECT_EQ(calls[i].seq, seqs[i]);
        EXPECT_EQ(calls[i].marker, 100u + i);
        EXPECT_EQ(calls[i].thread, std::this_thread::get_id());
    }
}

TEST_F(PacketRouting, ConcurrentDeliveriesAreServedOneAtATimeInDeliveryOrder) {
    constexpr uint32_t kPerThread = 300;
    auto deliver = [this](int arg) {
        for (uint32_t i = 0; i < kPerThread; ++i) {
            mLayer->OnReceive(arg, MakePacket(i, static_cast<uint32_t>(arg) * 1000 + i));
        }
    };
    std::thread first(deliver, 1);
    std::thread second(deliver, 2);
    first.join();
    second.join();

    EXPECT_FALSE(mOwner.Overlapped());
    const std::vector<Delivery> calls = mOwner.Callbacks();
    ASSERT_EQ(calls.size(), 2 * kPerThread);
    uint32_t next[3] = {0, 0, 0};
    for (const Delivery& call : calls) {
        ASSERT_TRUE(call.arg == 1 || call.arg == 2);
        EXPECT_EQ(call.seq, next[call.arg]);
        EXPECT_EQ(call.marker, static_cast<uint32_t>(call.arg) * 1000 + next[call.arg]);
        ++next[call.arg];
    }
}

TEST_F(PacketRouting, PacketWithoutCallbackIsDroppedAndAccepted) {
    Layer bare(&mOwner, &mDevice);
    EXPECT_EQ(bare.OnReceive(4, MakePacket(1, 1, 9)), 0);
    mLayer->SetCallback(nullptr);
    EXPECT_EQ(mLayer->OnReceive(4, MakePacket(2, 2, 9)), 0);
    EXPECT_TRUE(mOwner.Callbacks().empty());
    EXPECT_EQ(mLog.Count(R"("proto OnData: send data PacketHnadler,cmd [9]\n")"), 2u);
}

TEST_F(PacketRouting, AsyncHandlerRunsOnTheLooperThreadAndWinsOverAWaiterOnce) {
    mLayer->AddAsyncHandler(6, &Owner::OnAsync);
    mLayer->AddSyncWaiter(6);
    EXPECT_EQ(mLayer->OnReceive(11, MakePacket(6, 1)), 0);
    EXPECT_EQ(mLayer->OnReceive(12, MakePacket(6, 2)), 0);

    const std::vector<Delivery> async = mOwner.WaitAsync(1);
    ASSERT_EQ(async.size(), 1u);
    EXPECT_EQ(async[0].arg, 11);
    EXPECT_EQ(async[0].marker, 1u);
    EXPECT_NE(async[0].thread, std::this_thread::get_id());

    // The handler served one packet; the second went to the waiter, not to the callback.
    std::unique_ptr<CpdPacket> reply = mLayer->WaitReply(6, kGuard);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(MarkerOf(*reply), 2u);
    EXPECT_TRUE(mOwner.Callbacks().empty());
    EXPECT_EQ(mOwner.Async().size(), 1u);
}

TEST_F(PacketRouting, SyncWaiterReceivesItsReplyFromAnotherThread) {
    mLayer->AddSyncWaiter(40);
    std::thread deliverer([this] {
        mLayer->OnReceive(3, MakePacket(41, 1));
        mLayer->OnReceive(3, MakePacket(40, 2));
    });
    std::unique_ptr<CpdPacket> reply = mLayer->WaitReply(40, kGuard);
    deliverer.join();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->GetSeq(), 40u);
    EXPECT_EQ(MarkerOf(*reply), 2u);
    const std::vector<Delivery> calls = mOwner.Callbacks();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].seq, 41u);

    // The waiter is gone once it has its reply: the same seq now reaches the callback.
    mLayer->OnReceive(3, MakePacket(40, 3));
    EXPECT_EQ(mOwner.Callbacks().size(), 2u);
}

TEST_F(PacketRouting, LayerLinesNameTheInterfaceHeader) {
    mLayer->OnReceive(0, MakePacket(1, 1, 9));
    mLayer.reset();
    const std::vector<test::LogLine> lines = mLog.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].text.rfind("interface/inf_pkt_interact.h OnReceive(", 0), 0u)
        << lines[0].text;
    EXPECT_NE(lines[0].text.find(R"("Debug:" "OnReceiver: cmd: 9, paylaodSize: 4\n")"),
              std::string::npos)
        << lines[0].text;
    EXPECT_EQ(lines[0].level, 5);
    const std::string& last = lines.back().text;
    EXPECT_EQ(last.rfind("interface/inf_pkt_interact.h ~InfPktInteract(", 0), 0u) << last;
    EXPECT_NE(last.find(R"("Debug:" "InfPktInteract  destroy.........  ")"), std::string::npos)
        << last;
}

// Sending and remote calls ------------------------------------------------------------------

class EchoFunc : public Layer::RetFunc {
  public:
    std::string Call(Owner* /*owner*/, std::string argument) override { return "re:" + argument; }
};

class PokeFunc : public Layer::VoidFunc {
  public:
    void Call(Owner* owner, std::string argument) override {
        seenOwner = owner;
        seenArgument = argument;
    }
    Owner* seenOwner = nullptr;
    std::string seenArgument;
};

std::unique_ptr<CpdPacket> MakeCall(const std::string& name, const std::string& argument,
                                    uint32_t seq) {
    std::unique_ptr<CpdPacket> call(new CpdPacket(256));
    call->SetHeader(0x21, 0x1234, seq);
    call->AppendString(name);
    call->AppendString(argument);
    return call;
}

class RemoteCalls : public InteractFixture {};

TEST_F(RemoteCalls, ReturningCallIsAnsweredWithOneStringUnderTheCallsSeq) {
    mLayer->AddRetFunc("echo", std::make_shared<EchoFunc>());
    mLayer->OnCall(MakeCall("echo", "xyz", 4242), 11);

    const std::vector<test::SentPacket> sent = mDevice.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].arg, 11);
    EXPECT_EQ(sent[0].Cmd(), CPD_CMD_CALL_REPLY);
    EXPECT_EQ(sent[0].Cmd(), 7937);
    EXPECT_EQ(sent[0].Seq(), 4242u);
    EXPECT_EQ(sent[0].Header().devId, 0x21);
    std::unique_ptr<CpdPacket> reply =
        CpdPacket::FromWire(sent[0].bytes.data(), sent[0].bytes.size());
    ASSERT_NE(reply, nullptr);
    std::string result;
    ASSERT_EQ(reply->ReadString(result), 0);
    EXPECT_EQ(result, "re:xyz");
    EXPECT_EQ(reply->GetPayloadLen(), 0u);
}

TEST_F(RemoteCalls, VoidCallRunsWithOwnerAndArgumentAndSendsNothing) {
    auto poke = std::make_shared<PokeFunc>();
    mLayer->AddVoidFunc("poke", poke);
    mLayer->OnCall(MakeCall("poke", "arg text", 5), 0);
    EXPECT_EQ(poke->seenOwner, &mOwner);
    EXPECT_EQ(poke->seenArgument, "arg text");
    EXPECT_TRUE(mDevice.Sent().empty());
}

TEST_F(RemoteCalls, UnknownNameIsLoggedAndSendsNothing) {
    mLayer->AddRetFunc("echo", std::make_shared<EchoFunc>());
    mLayer->OnCall(MakeCall("nope", "x", 5), 0);
    EXPECT_TRUE(mDevice.Sent().empty());
    EXPECT_EQ(mLog.Count(R"("Error:" "enter")"), 1u);
    EXPECT_EQ(mLog.Count(R"("Error:" "oncall method=nope")"), 1u);
    EXPECT_TRUE(mOwner.Callbacks().empty());
}

TEST_F(RemoteCalls, SendHandsPacketAndArgToTheDeviceOrFailsWithoutOne) {
    mDevice.SetSendResult(3);
    EXPECT_EQ(mLayer->Send(MakePacket(8, 1), -1), 3);
    const std::vector<test::SentPacket> sent = mDevice.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].arg, -1);
    EXPECT_EQ(sent[0].Seq(), 8u);

    Layer deviceless(&mOwner, nullptr);
    EXPECT_EQ(deviceless.Send(MakePacket(9, 1), -1), -1);
}

// Teardown ----------------------------------------------------------------------------------

class LayerTeardown : public InteractFixture {};

TEST_F(LayerTeardown, DestructorReturnsOnlyAfterARunningHandlerFinished) {
    mLayer->AddAsyncHandler(1, &Owner::OnSlow);
    mLayer->OnReceive(0, MakePacket(1, 1));
    ASSERT_EQ(mOwner.WaitAsync(1).size(), 1u);

    std::atomic<bool> finishedWhenDestroyed{false};
    std::thread destroyer([&] {
        mLayer.reset();
        finishedWhenDestroyed = mOwner.SlowFinished();
    });
    // The destroy line comes before the looper is stopped, so the destructor is under way.
    EXPECT_TRUE(mLog.WaitFor("InfPktInteract  destroy", kGuard));
    mOwner.Release();
    destroyer.join();
    EXPECT_TRUE(finishedWhenDestroyed);
}

}  // namespace
}  // namespace cpd
