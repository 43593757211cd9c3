#include "sp_double.h"

#include <gtest/gtest.h>
#include <libserialport.h>

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
        spd_reset();
    }

    std::string Read(size_t count, unsigned timeout_ms, int* result) {
        std::string buf(count, '\0');
        *result = sp_blocking_read(mPort, &buf[0], count, timeout_ms);
        buf.resize(*result > 0 ? static_cast<size_t>(*result) : 0);
        return buf;
    }

    sp_port* mPort = nullptr;
};

TEST_F(SpDoubleOpenPort, ScriptedReadsComeBackInOrderThenTimeOutEmpty) {
    ASSERT_EQ(spd_push_read(kPort, "abc", 3), 0);
    ASSERT_EQ(spd_push_read_result(kPort, SP_ERR_FAIL), 0);
    ASSERT_EQ(spd_push_read(kPort, "defg", 4), 0);
    spd_set_read_wait_cap(1);

    int rc = 0;
    EXPECT_EQ(Read(2, 500, &rc), "ab");  // a chunk larger than the request is split
    EXPECT_EQ(Read(10, 500, &rc), "c");
    Read(10, 500, &rc);
    EXPECT_EQ(rc, SP_ERR_FAIL);
    EXPECT_EQ(Read(10, 500, &rc), "defg");
    EXPECT_EQ(spd_pending_reads(kPort), 0u);
    Read(10, 500, &rc);
    EXPECT_EQ(rc, 0);
}

TEST_F(SpDoubleOpenPort, PushFromAnotherThreadWakesBlockedReader) {
    // The cap is only a hang guard: the reader must come back with the data,
    // not with the 0 of an expired wait.
    spd_set_read_wait_cap(30000);
    int rc = -100;
    std::string got;
    std::thread reader([&] { got = Read(16, 0, &rc); });
    while (spd_count_calls("sp_blocking_read") == 0) {
        std::this_thread::yield();
    }
    ASSERT_EQ(spd_push_read(kPort, "late", 4), 0);
    reader.join();
    EXPECT_EQ(rc, 4);
    EXPECT_EQ(got, "late");
}

TEST_F(SpDoubleOpenPort, WritesAreCapturedAndLimitGivesShortCount) {
    // Byte counts travel in an enum sp_return whose C++ range stops at 3: they
    // must become int before anything reads them back (UBSan checks this).
    const int whole = sp_blocking_write(mPort, "hello", 5, 500);
    spd_set_write_limit(2);
    const int partial = sp_blocking_write(mPort, "world", 5, 500);
    EXPECT_EQ(whole, 5);
    EXPECT_EQ(partial, 2);
    ASSERT_EQ(spd_set_result("sp_blocking_write", SP_ERR_FAIL), 0);
    EXPECT_EQ(sp_blocking_write(mPort, "lost", 4, 500), SP_ERR_FAIL);
    EXPECT_EQ(spd::Written(kPort), "hellowo");
    EXPECT_EQ(spd::Calls(),
              (std::vector<std::string>{"sp_blocking_write(5,500)", "sp_blocking_write(5,500)",
                                        "sp_blocking_write(4,500)"}));
}

TEST_F(SpDoubleOpenPort, SettersChangeReportedConfigAndRefuseOutOfRangeValues) {
    EXPECT_EQ(sp_set_baudrate(mPort, 115200), SP_OK);
    EXPECT_EQ(sp_set_stopbits(mPort, 0), SP_ERR_ARG);
    ASSERT_EQ(spd_set_result("sp_set_bits", SP_ERR_FAIL), 0);
    EXPECT_EQ(sp_set_bits(mPort, 7), SP_ERR_FAIL);
    EXPECT_EQ(sp_set_flowcontrol(mPort, SP_FLOWCONTROL_RTSCTS), SP_OK);

    spd_config c{};
    ASSERT_EQ(spd_get_port_config(kPort, &c), 0);
    EXPECT_EQ(c.baudrate, 115200);
    EXPECT_EQ(c.stopbits, 1);
    EXPECT_EQ(c.bits, 8);
    EXPECT_EQ(c.rts, SP_RTS_FLOW_CONTROL);
    EXPECT_EQ(c.cts, SP_CTS_FLOW_CONTROL);
}

TEST_F(SpDoubleOpenPort, NthGetterCallFailsWhicheverGetterItIs) {
    sp_port_config* config = nullptr;
    ASSERT_EQ(sp_new_config(&config), SP_OK);
    ASSERT_EQ(sp_get_config(mPort, config), SP_OK);
    spd_fail_getter_call(2, SP_ERR_FAIL);

    int baud = 0;
    int bits = 0;
    int stop = 0;
    EXPECT_EQ(sp_get_config_baudrate(config, &baud), SP_OK);
    EXPECT_EQ(sp_get_config_bits(config, &bits), SP_ERR_FAIL);
    EXPECT_EQ(sp_get_config_stopbits(config, &stop), SP_OK);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(bits, 0);
    EXPECT_EQ(stop, 1);
    sp_free_config(config);
    EXPECT_EQ(spd_live_configs(), 0);
}

class SpDoubleLookupFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        spd_reset();
        ASSERT_EQ(spd_add_port(kPort, "Fake adapter"), 0);
    }
    void TearDown() override { spd_reset(); }
};

TEST_F(SpDoubleLookupFaults, ForcedFailuresLeaveNoHandleBehind) {
    ASSERT_EQ(spd_set_result("sp_list_ports", SP_ERR_MEM), 0);
    ASSERT_EQ(spd_set_result("sp_get_port_by_name", SP_ERR_FAIL), 0);
    ASSERT_EQ(spd_set_result("sp_open", SP_ERR_FAIL), 0);
    EXPECT_EQ(spd_set_result("sp_set_baud", SP_ERR_FAIL), -1);

    sp_port** list = reinterpret_cast<sp_port**>(1);
    EXPECT_EQ(sp_list_ports(&list), SP_ERR_MEM);
    EXPECT_EQ(list, nullptr);
    sp_port* port = reinterpret_cast<sp_port*>(1);
    EXPECT_EQ(sp_get_port_by_name(kPort, &port), SP_ERR_FAIL);
    EXPECT_EQ(port, nullptr);

    ASSERT_EQ(spd_set_result("sp_get_port_by_name", SP_OK), 0);
    ASSERT_EQ(sp_get_port_by_name(kPort, &port), SP_OK);
    EXPECT_EQ(sp_open(port, SP_MODE_READ_WRITE), SP_ERR_FAIL);
    EXPECT_EQ(spd_is_open(kPort), 0);
    sp_free_port(port);
    EXPECT_EQ(spd_live_ports(), 0);
}

TEST_F(SpDoubleLookupFaults, ListedPortsCarryTheirDetailsAndAreFreedWithTheList) {
    ASSERT_EQ(spd_add_port("ttyFAKE1", nullptr), 0);
    ASSERT_EQ(spd_set_port_usb("ttyFAKE1", 0x0403, 0x6001, "FTDI", "FT232R", "A1"), 0);

    sp_port** list = nullptr;
    ASSERT_EQ(sp_list_ports(&list), SP_OK);
    ASSERT_NE(list[0], nullptr);
    ASSERT_NE(list[1], nullptr);
    EXPECT_EQ(list[2], nullptr);
    EXPECT_STREQ(sp_get_port_description(list[0]), "Fake adapter");
    EXPECT_EQ(sp_get_port_description(list[1]), nullptr);
    EXPECT_EQ(sp_get_port_transport(list[1]), SP_TRANSPORT_USB);
    int vid = 0;
    int pid = 0;
    EXPECT_EQ(sp_get_port_usb_vid_pid(list[1], &vid, &pid), SP_OK);
    EXPECT_EQ(vid, 0x0403);
    EXPECT_STREQ(sp_get_port_usb_product(list[1]), "FT232R");
    EXPECT_EQ(sp_get_port_usb_vid_pid(list[0], &vid, &pid), SP_ERR_ARG);
    sp_free_port_list(list);
    EXPECT_EQ(spd_live_ports(), 0);
}

}  // namespace
