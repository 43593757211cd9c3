#include "cpd/host/framework/looper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace cpd {
namespace {

using namespace std::chrono_literals;

// Hang guard only: every wait below normally ends within milliseconds.
constexpr auto kGuard = 10s;

// What happened to messages, from whichever thread ran or destroyed them.
struct Tally {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::pair<int, std::thread::id>> ran;  // tag, running thread
    int destroyed = 0;
    int destroyedAfterRunning = 0;

    bool WaitDestroyed(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, kGuard, [&] { return destroyed >= count; });
    }
};

class Probe : public Message {
  public:
    Probe(Tally& tally, int tag, std::function<void()> body)
        : mTally(tally), mTag(tag), mBody(std::move(body)) {}
    ~Probe() override {
        std::lock_guard<std::mutex> lock(mTally.mutex);
        ++mTally.destroyed;
        mTally.destroyedAfterRunning += mRan ? 1 : 0;
        mTally.cond.notify_all();
    }
    int Run() override {
        if (mBody) {
            mBody();
        }
        std::lock_guard<std::mutex> lock(mTally.mutex);
        mTally.ran.emplace_back(mTag, std::this_thread::get_id());
        mRan = true;
        return 0;
    }

  private:
    Tally& mTally;
    int mTag;
    std::function<void()> mBody;
    bool mRan = false;
};

std::unique_ptr<Message> MakeProbe(Tally& tally, int tag = 0, std::function<void()> body = {}) {
    return std::make_unique<Probe>(tally, tag, std::move(body));
}

// Every poster also calls Start: a second thread would break the per-poster order.
TEST(LooperDispatch, MessagesRunOnOneLooperThreadInPerPosterOrderAndAreThenDestroyed) {
    constexpr int kPosters = 4;
    constexpr int kPerPoster = 200;
    Tally tally;
    Looper looper;
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            EXPECT_EQ(looper.Start(), 0);
            for (int i = 0; i < kPerPoster; ++i) {
                EXPECT_EQ(looper.PostMessageAAA(MakeProbe(tally, p * kPerPoster + i)), 0);
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(tally.WaitDestroyed(kPosters * kPerPoster));

    std::lock_guard<std::mutex> lock(tally.mutex);
    EXPECT_EQ(tally.destroyedAfterRunning, kPosters * kPerPoster);
    const std::thread::id looperThread = tally.ran.front().second;
    EXPECT_NE(looperThread, std::this_thread::get_id());
    int next[kPosters] = {};
    for (const auto& [tag, thread] : tally.ran) {
        EXPECT_EQ(thread, looperThread);
        EXPECT_EQ(tag % kPerPoster, next[tag / kPerPoster]++);
    }
}

TEST(LooperShutdown, DestructionWaitsForRunningMessageAndReleasesTheQueuedOnes) {
    Tally blocker;
    Tally queued;
    Tally probes;
    std::promise<void> running;
    std::atomic<bool> blockerFinished{false};
    std::atomic<int> restart{0};
    auto looper = std::make_unique<Looper>();
    Looper* raw = looper.get();
    looper->Start();
    // The running message can post to its own looper; it notices the destruction when posting
    // starts being refused, then takes a little longer, so a destructor that did not wait for it
    // would return first.
    looper->PostMessageAAA(MakeProbe(blocker, 0, [&] {
        EXPECT_EQ(raw->PostMessageAAA(MakeProbe(probes)), 0);
        running.set_value();
        const auto until = std::chrono::steady_clock::now() + kGuard;
        while (raw->PostMessageAAA(MakeProbe(probes)) == 0 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        restart = raw->Start();
        std::this_thread::sleep_for(50ms);
        blockerFinished = true;
    }));
    ASSERT_EQ(running.get_future().wait_for(kGuard), std::future_status::ready);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(looper->PostMessageAAA(MakeProbe(queued)), 0);
    }
    looper.reset();

    EXPECT_TRUE(blockerFinished);
    EXPECT_EQ(blocker.destroyedAfterRunning, 1);
    EXPECT_EQ(restart, -1);
    EXPECT_TRUE(queued.ran.empty());
    EXPECT_EQ(queued.destroyed, 5);
    // Accepted probes were queued and released; the refused one was released at once.
    EXPECT_TRUE(probes.ran.empty());
    EXPECT_GE(probes.destroyed, 2);
}

}  // namespace
}  // namespace cpd
