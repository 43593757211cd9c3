// The double's own behaviour that the driver suites lean on without checking it themselves:
// read scripts, the cross-thread wake, write capture, libserialport's refusals and forced
// results. What those suites already prove through the driver (the n-th getter failure, forced
// lookup and configuration failures, port listing, descriptions, the flow-control mapping) is
// not repeated here.
#include "sp_double.h"

#include <gtest/gtest.h>
#include <libserialport.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kPort = "ttyFAKE0";

// Opens kPort through the library surface, as the code under test does.
class SpDoubleOpenPort : public ::testing::Test {
  protected:
    void SetUp() override {
        spd_reset();
        ASSERT_EQ(spd_add_port(kPort, "Fake adapter"), 0);
        ASSERT_EQ(sp_get_port_by_name(kPort, &mPort), SP_OK);
        ASSERT_EQ(sp_open(mPort, SP_MODE_READ_WRITE), SP_OK);
        spd_clear_calls();
    }
    void TearDown() override {
        sp_free_port(mPort);
        EXPECT_EQ(spd_live_ports(), 0);
        EXPECT_EQ(spd_is_open(kPort), 0);
        spd_reset();
    }

    // The read's result, followed by the bytes it returned.
    std::string Read(size_t count, unsigned timeout_ms) {
        std::string buf(count, '\0');
        const int rc = sp_blocking_read(mPort, &buf[0], count, timeout_ms);
        return std::to_string(rc) + ":" + buf.substr(0, rc > 0 ? static_cast<size_t>(rc) : 0);
    }

    sp_port* mPort = nullptr;
};

TEST_F(SpDoubleOpenPort, ScriptedReadsComeBackInOrderSplitToTheRequestThenTimeOutEmpty) {
    ASSERT_EQ(spd_push_read(kPort, "abc", 3), 0);
    ASSERT_EQ(spd_push_read_result(kPort, SP_ERR_FAIL), 0);
    ASSERT_EQ(spd_push_read(kPort, "defg", 4), 0);
    EXPECT_EQ(spd_push_read_result(kPort, 0), -1);  // 0 would read as an empty chunk
    spd_set_read_wait_cap(1);

    const struct {
        size_t count;
        const char* expected;
    } reads[] = {{2, "2:ab"}, {10, "1:c"}, {10, "-2:"}, {10, "4:defg"}, {10, "0:"}};
    for (const auto& r : reads) {
        EXPECT_EQ(Read(r.count, 500), r.expected);
    }
    EXPECT_EQ(spd_pending_reads(kPort), 0u);
}

TEST_F(SpDoubleOpenPort, PushFromAnotherThreadWakesBlockedReader) {
    // After its wait the reader would still find the data, so a missing wake shows only as a
    // stall: the cap is past the test's ctest timeout, which turns that stall into a failure.
    spd_set_read_wait_cap(600000);
    std::string got;
    std::thread reader([&] { got = Read(16, 0); });
    while (spd_count_calls("sp_blocking_read") == 0) {
        std::this_thread::yield();
    }
    ASSERT_EQ(spd_push_read(kPort, "late", 4), 0);
    reader.join();
    EXPECT_EQ(got, "4:late");
}

TEST_F(SpDoubleOpenPort, WritesAreCapturedAndLimitGivesShortCount) {
    // Byte counts travel in an enum sp_return whose C++ range stops at 3: they must become int
    // before anything reads them back (UBSan checks this).
    const int whole = sp_blocking_write(mPort, "hello", 5, 500);
    spd_set_write_limit(2);
    const int partial = sp_blocking_write(mPort, "world", 5, 500);
    EXPECT_EQ(whole, 5);
    EXPECT_EQ(partial, 2);
    EXPECT_EQ(spd::Written(kPort), "hellowo");
    EXPECT_EQ(spd::Calls(),
              (std::vector<std::string>{"sp_blocking_write(5,500)", "sp_blocking_write(5,500)"}));
}

// Each call as libserialport answers it, then the configuration the port ends with: refused
// and forced calls must leave it alone.
TEST_F(SpDoubleOpenPort, CallsAreAnsweredAsLibserialportAnswersThem) {
    sp_port* other = nullptr;
    ASSERT_EQ(sp_get_port_by_name(kPort, &other), SP_OK);
    const struct {
        const char* what;
        std::function<int()> call;
        int expected;
    } cases[] = {
        {"setter in range", [&] { return sp_set_baudrate(mPort, 115200); }, SP_OK},
        {"negative leaves unchanged", [&] { return sp_set_bits(mPort, -1); }, SP_OK},
        {"setter out of range", [&] { return sp_set_stopbits(mPort, 0); }, SP_ERR_ARG},
        {"handle not open", [&] { return sp_set_parity(other, SP_PARITY_ODD); }, SP_ERR_ARG},
        {"second open of a held port", [&] { return sp_open(other, SP_MODE_READ); }, SP_ERR_FAIL},
        {"unknown name for a forced result",
         [] { return spd_set_result("sp_set_baud", SP_ERR_FAIL); }, -1},
        {"forced result", [] { return spd_set_result("sp_set_dtr", SP_ERR_FAIL); }, 0},
        {"forced setter", [&] { return sp_set_dtr(mPort, SP_DTR_OFF); }, SP_ERR_FAIL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.what;
    }
    spd_config now{};
    ASSERT_EQ(spd_get_port_config(kPort, &now), 0);
    const spd_config defaults = spd_default_config();
    EXPECT_EQ(now.baudrate, 115200);
    EXPECT_EQ(now.bits, defaults.bits);
    EXPECT_EQ(now.stopbits, defaults.stopbits);
    EXPECT_EQ(now.parity, defaults.parity);
    EXPECT_EQ(now.dtr, defaults.dtr);
    sp_free_port(other);
}

}  // namespace
