// Stop on the host's calling thread racing SERIAL_CMD_START_READ on its delivering thread,
// thousands of times. Run on the libserialport test double: its read with nothing queued ends
// after a 1 ms cap, so each Stop joins within about a millisecond and the race gets thousands
// of real stop/start overlaps per second; a pty read could not be cut that short.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "cpd/driver/local/serial/local_serial_redir.h"
#include "reliability_support.h"
#include "serial_packets.h"
#include "sp_double.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"

namespace cpd::test {
namespace {

constexpr uint8_t kId = 0x21;
constexpr const char* kPort = "ttyRACE0";
constexpr const char* kDescription = "Race USB UART";

// Two threads meet here once per round.
class RoundBarrier {
  public:
    void ArriveAndWait() {
        std::unique_lock<std::mutex> lock(mMutex);
        const unsigned long generation = mGeneration;
        if (++mArrived == 2) {
            mArrived = 0;
            ++mGeneration;
            mCond.notify_all();
            return;
        }
        mCond.wait(lock, [&] { return mGeneration != generation; });
    }

  private:
    std::mutex mMutex;
    std::condition_variable mCond;
    int mArrived = 0;
    unsigned long mGeneration = 0;
};

TEST(StopRacesStartRead, NoPumpOutlivesTheRedirection) {
    ASSERT_EQ(spd_add_port(kPort, kDescription), 0);
    spd_set_read_wait_cap(1);
    LogCapture log;
    TestDevice device{kDescription};
    const int threadsBefore = ThreadBaseline();
    const long rounds = EnvCount("CPD_RACE_ROUNDS", 3000);
    {
        auto redir = std::make_shared<LocalSerialRedir>(&device);
        ASSERT_EQ(redir->Init(), 0);
        redir->EventHandle(Timeouts(kId, 1), 7);

        // Both threads leave the barrier together every round, so each START_READ meets a Stop
        // at a different point of its start: before the test-and-set, while the new pump is
        // being created, or while the previous pump is being joined.
        RoundBarrier barrier;
        std::thread delivering([&] {
            for (long i = 0; i < rounds; ++i) {
                barrier.ArriveAndWait();
                redir->EventHandle(StartRead(kId), 7);
            }
        });
        std::thread calling([&] {
            for (long i = 0; i < rounds; ++i) {
                barrier.ArriveAndWait();
                redir->Stop();
            }
        });
        delivering.join();
        calling.join();

        redir->Stop();
        EXPECT_TRUE(ThreadsSettleAt(threadsBefore + 1))
            << "only the looper may remain, not " << ThreadCount() - threadsBefore;
        const size_t started = log.Count("readFromSerialPort start");
        EXPECT_GT(started, 0u);
        std::printf("pumps started: %zu\n", started);
        EXPECT_EQ(log.Count("readFromSerialPort end"), started);
    }
    EXPECT_TRUE(ThreadsSettleAt(threadsBefore));
    EXPECT_EQ(spd_live_ports(), 0);
    spd_reset();
}

}  // namespace
}  // namespace cpd::test
