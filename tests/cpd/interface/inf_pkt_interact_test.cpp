// The packet-interaction layer: delivery order, handlers on the looper, waiters, teardown.
#include "cpd/interface/inf_pkt_interact.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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
    std::thread::id thread;
};

// The layer's owner: records what reaches it through the callback and the async handlers.
class Owner : public InfPktCallback {
  public:
    int PktCallback(int arg, std::unique_ptr<CpdPacket> packet) override {
        mOverlapped = mOverlapped || ++mInside > 1;
        std::this_thread::yield();
        Record(mCallbacks, arg, *packet);
        --mInside;
        return 0;
    }
    int OnAsync(int arg, std::unique_ptr<CpdPacket> packet) {
        Record(mAsync, arg, *packet);
        return 0;
    }
    // Takes a while, so a teardown that does not wait for it is caught returning early.
    int OnSlow(int arg, std::unique_ptr<CpdPacket> packet) {
        OnAsync(arg, std::move(packet));
        std::this_thread::sleep_for(100ms);
        mSlowFinished = true;
        return 0;
    }
    std::vector<Delivery> Callbacks() { return WaitFor(mCallbacks, 0); }
    std::vector<Delivery> WaitAsync(size_t count) { return WaitFor(mAsync, count); }

    std::atomic<bool> mOverlapped{false};
    std::atomic<bool> mSlowFinished{false};

  private:
    void Record(std::vector<Delivery>& into, int arg, CpdPacket& packet) {
        std::lock_guard<std::mutex> lock(mMutex);
        into.push_back({arg, packet.GetSeq(), std::this_thread::get_id()});
        mCond.notify_all();
    }
    std::vector<Delivery> WaitFor(std::vector<Delivery>& list, size_t count) {
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait_for(lock, kGuard, [&] { return list.size() >= count; });
        return list;
    }

    std::atomic<int> mInside{0};
    std::mutex mMutex;  // guards the lists
    std::condition_variable mCond;
    std::vector<Delivery> mCallbacks;
    std::vector<Delivery> mAsync;
};

using Layer = InfPktInteract<Owner>;

class Interact : public testing::Test {
  protected:
    void SetUp() override { mLayer->SetCallback(&mOwner); }

    test::LogCapture mLog;
    test::TestDevice mDevice{"port"};
    Owner mOwner;
    std::unique_ptr<Layer> mLayer = std::make_unique<Layer>(&mOwner, &mDevice);
};

// With empty tables every packet goes to the callback, on the delivering thread, with the
// host's arg, one at a time and in each deliverer's order.
TEST_F(Interact, ConcurrentDeliveriesReachTheCallbackOneAtATimeInDeliveryOrder) {
    constexpr uint32_t kPerThread = 300;
    std::thread::id threads[3];
    auto deliver = [this, &threads](int arg) {
        threads[arg] = std::this_thread::get_id();
        for (uint32_t i = 0; i < kPerThread; ++i) {
            EXPECT_EQ(mLayer->OnReceive(arg, MakePacket(i, arg * 1000u + i)), 0);
        }
    };
    std::thread first(deliver, 1);
    std::thread second(deliver, 2);
    first.join();
    second.join();

    EXPECT_FALSE(mOwner.mOverlapped);
    const std::vector<Delivery> calls = mOwner.Callbacks();
    ASSERT_EQ(calls.size(), 2 * kPerThread);
    uint32_t next[3] = {0, 0, 0};
    for (const Delivery& call : calls) {
        ASSERT_TRUE(call.arg == 1 || call.arg == 2);
        EXPECT_EQ(call.thread, threads[call.arg]);
        EXPECT_EQ(call.seq, next[call.arg]++);
    }
}

// The handler runs on the looper thread and takes the first packet of its seq before a waiter.
TEST_F(Interact, AsyncHandlerTakesOnePacketOnTheLooperThreadBeforeAWaiter) {
    mLayer->AddAsyncHandler(6, &Owner::OnAsync);
    mLayer->AddSyncWaiter(6);
    EXPECT_EQ(mLayer->OnReceive(11, MakePacket(6, 1)), 0);
    EXPECT_EQ(mLayer->OnReceive(12, MakePacket(6, 2)), 0);

    const std::vector<Delivery> async = mOwner.WaitAsync(1);
    ASSERT_EQ(async.size(), 1u);
    EXPECT_EQ(async[0].arg, 11);
    EXPECT_NE(async[0].thread, std::this_thread::get_id());
    // The handler served one packet; the second went to the waiter, not to the callback.
    std::unique_ptr<CpdPacket> reply = mLayer->WaitReply(6, kGuard);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(MarkerOf(*reply), 2u);
    EXPECT_TRUE(mOwner.Callbacks().empty());
}

TEST_F(Interact, SyncWaiterReceivesItsReplyFromAnotherThreadOnce) {
    mLayer->AddSyncWaiter(40);
    std::thread deliverer([this] {
        mLayer->OnReceive(3, MakePacket(41, 1));
        mLayer->OnReceive(3, MakePacket(40, 2));
    });
    std::unique_ptr<CpdPacket> reply = mLayer->WaitReply(40, kGuard);
    deliverer.join();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(MarkerOf(*reply), 2u);
    ASSERT_EQ(mOwner.Callbacks().size(), 1u);
    EXPECT_EQ(mOwner.Callbacks()[0].seq, 41u);
    // The waiter is gone once it has its reply: the same seq now reaches the callback.
    mLayer->OnReceive(3, MakePacket(40, 3));
    EXPECT_EQ(mOwner.Callbacks().size(), 2u);
}

class EchoFunc : public Layer::RetFunc {
  public:
    std::string Call(Owner* /*owner*/, std::string argument) override { return "re:" + argument; }
};

std::unique_ptr<CpdPacket> MakeCall(const std::string& name, const std::string& argument) {
    std::unique_ptr<CpdPacket> call(new CpdPacket(256));
    call->SetHeader(0x21, 0x1234, 4242);
    call->AppendString(name);
    call->AppendString(argument);
    return call;
}

// The answer is one string under the call's seq; an unknown name sends nothing.
TEST_F(Interact, ReturningRemoteCallIsAnsweredToTheCaller) {
    mLayer->AddRetFunc("echo", std::make_shared<EchoFunc>());
    mLayer->OnCall(MakeCall("nope", "x"), 0);
    EXPECT_EQ(mLog.Count(R"("Error:" "oncall method=nope")"), 1u);
    mLayer->OnCall(MakeCall("echo", "xyz"), 11);

    const std::vector<test::SentPacket> sent = mDevice.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].arg, 11);
    EXPECT_EQ(sent[0].Cmd(), 7937);
    EXPECT_EQ(sent[0].Seq(), 4242u);
    EXPECT_EQ(sent[0].Header().devId, 0x21);
    std::unique_ptr<CpdPacket> reply =
        CpdPacket::FromWire(sent[0].bytes.data(), sent[0].bytes.size());
    std::string result;
    ASSERT_EQ(reply->ReadString(result), 0);
    EXPECT_EQ(result, "re:xyz");
    EXPECT_EQ(reply->GetPayloadLen(), 0u);
    EXPECT_TRUE(mOwner.Callbacks().empty());
    // Without a device the reply has nowhere to go.
    EXPECT_EQ(Layer(&mOwner, nullptr).Send(MakePacket(9, 1), 0), -1);
}

TEST_F(Interact, DestructorReturnsOnlyAfterARunningHandlerFinished) {
    mLayer->AddAsyncHandler(1, &Owner::OnSlow);
    mLayer->OnReceive(0, MakePacket(1, 1));
    ASSERT_EQ(mOwner.WaitAsync(1).size(), 1u);
    mLayer.reset();
    EXPECT_TRUE(mOwner.mSlowFinished);
    EXPECT_EQ(mLog.Count(R"(interface/inf_pkt_interact.h ~InfPktInteract()"), 1u);
}

}  // namespace
}  // namespace cpd
