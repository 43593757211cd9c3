#include "cpd/host/framework/looper.h"

#include <gtest/gtest.h>

#include <atomic>
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

// Counts what happens to messages, from whichever thread runs or destroys them.
struct Tally {
    std::atomic<int> runs{0};
    std::atomic<int> destroyed{0};
};

class CountingMessage : public Message {
  public:
    CountingMessage(Tally& tally, std::function<void()> body = nullptr)
        : mTally(tally), mBody(std::move(body)) {}
    ~CountingMessage() override { ++mTally.destroyed; }
    int Run() override {
        ++mTally.runs;
        if (mBody) {
            mBody();
        }
        return 0;
    }

  private:
    Tally& mTally;
    std::function<void()> mBody;
};

std::unique_ptr<Message> Counting(Tally& tally, std::function<void()> body = nullptr) {
    return std::make_unique<CountingMessage>(tally, std::move(body));
}

// A one-shot signal between threads.
class Gate {
  public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mOpen = true;
        }
        mCond.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, kGuard, [this] { return mOpen; });
    }

  private:
    std::mutex mMutex;
    std::condition_variable mCond;
    bool mOpen = false;
};

struct Ran {
    int poster;
    int index;
    std::thread::id thread;
};

// Running messages ------------------------------------------------------------------------------

class LooperDispatch : public testing::Test {};

TEST_F(LooperDispatch, MessagesFromSeveralThreadsRunOnTheLooperThreadInPerThreadOrder) {
    constexpr int kPosters = 4;
    constexpr int kPerPoster = 200;
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<Ran> ran;
    Tally tally;

    Looper looper;
    ASSERT_EQ(looper.Start(), 0);
    std::vector<std::thread> posters;
    std::vector<std::thread::id> posterIds(kPosters);
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            posterIds[p] = std::this_thread::get_id();
            for (int i = 0; i < kPerPoster; ++i) {
                EXPECT_EQ(looper.PostMessageAAA(
                              Counting(tally,
                                       [&, p, i] {
                                           std::lock_guard<std::mutex> lock(mutex);
                                           ran.push_back(Ran{p, i, std::this_thread::get_id()});
                                           cond.notify_all();
                                       })),
                          0);
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(
        cond.wait_for(lock, kGuard, [&] { return ran.size() == size_t{kPosters * kPerPoster}; }));

    const std::thread::id looperThread = ran.front().thread;
    EXPECT_NE(looperThread, std::this_thread::get_id());
    int next[kPosters] = {};
    for (const Ran& r : ran) {
        EXPECT_EQ(r.thread, looperThread);
        EXPECT_EQ(r.index, next[r.poster]);
        ++next[r.poster];
    }
    for (const std::thread::id& id : posterIds) {
        EXPECT_NE(id, looperThread);
    }
}

TEST_F(LooperDispatch, MessageIsDestroyedAfterItRan) {
    Tally tally;
    Gate destroyed;
    std::atomic<bool> ranBeforeDestruction{false};

    class Probe : public Message {
      public:
        Probe(Tally& tally, Gate& gate, std::atomic<bool>& ranFirst)
            : mTally(tally), mGate(gate), mRanFirst(ranFirst) {}
        ~Probe() override {
            mRanFirst = mTally.runs == 1;
            mGate.Open();
        }
        int Run() override {
            ++mTally.runs;
            return 0;
        }

      private:
        Tally& mTally;
        Gate& mGate;
        std::atomic<bool>& mRanFirst;
    };

    Looper looper;
    looper.Start();
    ASSERT_EQ(
        looper.PostMessageAAA(std::make_unique<Probe>(tally, destroyed, ranBeforeDestruction)), 0);
    ASSERT_TRUE(destroyed.Wait());
    EXPECT_TRUE(ranBeforeDestruction);
}

TEST_F(LooperDispatch, RunningMessageCanPostToItsOwnLooper) {
    Tally tally;
    Gate second;
    Looper looper;
    looper.Start();
    looper.PostMessageAAA(Counting(tally, [&] {
        EXPECT_EQ(looper.PostMessageAAA(Counting(tally, [&] { second.Open(); })), 0);
    }));
    EXPECT_TRUE(second.Wait());
}

TEST_F(LooperDispatch, StartIsIdempotent) {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    Tally tally;
    Gate done;
    Looper looper;
    ASSERT_EQ(looper.Start(), 0);
    ASSERT_EQ(looper.Start(), 0);
    for (int i = 0; i < 20; ++i) {
        looper.PostMessageAAA(Counting(tally, [&, i] {
            std::lock_guard<std::mutex> lock(mutex);
            threads.push_back(std::this_thread::get_id());
            if (i == 19) {
                done.Open();
            }
        }));
        EXPECT_EQ(looper.Start(), 0);
    }
    ASSERT_TRUE(done.Wait());
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(threads.size(), 20u);
    for (const std::thread::id& id : threads) {
        EXPECT_EQ(id, threads.front());
    }
}

// Stopping --------------------------------------------------------------------------------------

class LooperShutdown : public testing::Test {};

TEST_F(LooperShutdown, DestroyingUnstartedLooperReleasesQueuedMessages) {
    Tally tally;
    {
        Looper looper;
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(looper.PostMessageAAA(Counting(tally)), 0);
        }
    }
    EXPECT_EQ(tally.runs, 0);
    EXPECT_EQ(tally.destroyed, 10);
}

TEST_F(LooperShutdown, DestructionWaitsForRunningMessageAndReleasesTheQueuedOnes) {
    Tally blockerTally;
    Tally queued;
    Tally probes;
    Gate blockerRunning;
    std::atomic<bool> blockerFinished{false};
    std::atomic<bool> finishedWhenDestroyed{false};
    std::atomic<int> refusedStart{0};
    auto looper = std::make_unique<Looper>();
    Looper* raw = looper.get();
    looper->Start();

    // The running message notices the destruction when posting starts being refused, then
    // takes a little longer, so a destructor that did not wait for it would return first.
    looper->PostMessageAAA(Counting(blockerTally, [&] {
        blockerRunning.Open();
        const auto until = std::chrono::steady_clock::now() + kGuard;
        while (raw->PostMessageAAA(Counting(probes)) == 0 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        refusedStart = raw->Start();
        std::this_thread::sleep_for(50ms);
        blockerFinished = true;
    }));
    ASSERT_TRUE(blockerRunning.Wait());
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(looper->PostMessageAAA(Counting(queued)), 0);
    }
    looper.reset();
    finishedWhenDestroyed = blockerFinished.load();

    EXPECT_TRUE(finishedWhenDestroyed);
    EXPECT_EQ(blockerTally.destroyed, 1);
    EXPECT_EQ(refusedStart, -1);
    EXPECT_EQ(queued.runs, 0);
    EXPECT_EQ(queued.destroyed, 5);
    // Accepted probes were queued and released; the refused one was released at once.
    EXPECT_EQ(probes.runs, 0);
    EXPECT_GE(probes.destroyed, 1);
}

}  // namespace
}  // namespace cpd
