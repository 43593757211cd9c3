#include "cpd/host/framework/looper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
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

}  // namespace
}  // namespace cpd
