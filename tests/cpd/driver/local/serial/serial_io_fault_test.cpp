// SerialIO on the libserialport test double: library failures a real port cannot be made to
// show, and a port the library lists without a description.
#include <gtest/gtest.h>
#include <libserialport.h>
#include <sp_double.h>

#include <cstring>
#include <string>
#include <vector>

#include "cpd/driver/local/serial/serial_io.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"

namespace cpd {
namespace {

constexpr char kPortName[] = "ttyFAKE0";
constexpr char kDescription[] = "FT232R USB UART - A50285BI";

class SerialIOFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        spd_reset();
        ASSERT_EQ(spd_add_port(kPortName, kDescription), 0);
    }
    void TearDown() override { spd_reset(); }

    test::LogCapture log;
};

TEST_F(SerialIOFaultTest, PortWithoutDescriptionNeverMatches) {
    spd_reset();
    ASSERT_EQ(spd_add_port("ttyNODESC0", nullptr), 0);
    ASSERT_EQ(spd_add_port("ttyBLANK0", ""), 0);
    test::TestDevice device("");
    SerialIO io(&device);

    ASSERT_EQ(io.OpenSerialDev(), 0);
    EXPECT_EQ(spd_is_open("ttyNODESC0"), 0);
    EXPECT_EQ(spd_is_open("ttyBLANK0"), 1);
    EXPECT_EQ(spd::Calls("sp_get_port_by_name"),
              std::vector<std::string>{"sp_get_port_by_name(ttyBLANK0)"});
}

class SerialIOOpenFaultTest : public SerialIOFaultTest {
  protected:
    void SetUp() override {
        SerialIOFaultTest::SetUp();
        ASSERT_EQ(io.OpenSerialDev(), 0);
        log.Clear();
        spd_clear_calls();
    }

    test::TestDevice device{kDescription};
    SerialIO io{&device};
};

// Any failure while reading the configuration stops the read with its own Error line, leaves the
// caller's record untouched and frees the configuration object.
TEST_F(SerialIOOpenFaultTest, FailedConfigReadLeavesRecordUntouched) {
    const struct {
        const char* failing;  // a function made to fail, or the getter at `getter` in read order
        unsigned getter;
        const char* message;
    } cases[] = {{"sp_new_config", 0, "sp_new_config failed"},
                 {"sp_get_config", 0, "sp_get_config failed"},
                 {nullptr, 1, "sp_get_config_baudrate failed"},
                 {nullptr, 2, "sp_get_config_bits failed"},
                 {nullptr, 3, "sp_get_config_stopbits failed"},
                 {nullptr, 4, "sp_get_config_parity failed"},
                 {nullptr, 5, "sp_get_config_rts failed"},
                 {nullptr, 6, "sp_get_config_cts failed"},
                 {nullptr, 7, "sp_get_config_dtr failed"},
                 {nullptr, 8, "sp_get_config_dsr failed"},
                 // The historical spelling: log scanners match on it.
                 {nullptr, 9, "sp_get_config_xon_xoffs failed"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        log.Clear();
        spd_clear_calls();
        if (c.failing != nullptr) {
            ASSERT_EQ(spd_set_result(c.failing, SP_ERR_FAIL), 0);
        } else {
            spd_fail_getter_call(c.getter, SP_ERR_FAIL);
        }
        serial_config config, untouched;
        std::memset(&config, 0x5a, sizeof(config));
        std::memset(&untouched, 0x5a, sizeof(untouched));

        EXPECT_EQ(io.GetSerialConfig(&config), -1);

        EXPECT_EQ(std::memcmp(&config, &untouched, sizeof(config)), 0);
        EXPECT_EQ(log.Lines().size(), 1u);
        EXPECT_EQ(log.Count("\"Error:\" \"" + std::string(c.message) + "\""), 1u);
        EXPECT_EQ(spd_count_calls("sp_get_config_"), c.getter);
        EXPECT_EQ(spd_live_configs(), 0);
        if (c.failing != nullptr) {
            ASSERT_EQ(spd_set_result(c.failing, SP_OK), 0);
        }
        spd_fail_getter_call(0, SP_OK);
    }
}

// The port object's result for each request: -1 only for a record too short or a setting the
// library refused. (The redirection drops the result, so only here is it seen.)
TEST_F(SerialIOOpenFaultTest, RequestsReportFailureOnlyWhenTooShortOrRefused) {
    const uint8_t record[16] = {1, 0, 8};  // zeros as baud rate and handflow, 8N1 as line control
    const struct {
        uint32_t msgType;
        uint32_t len;
        int expected;
    } cases[] = {{DRIVER_SET_LINE_CONTROL_TO_USER, 3, 0},
                 {DRIVER_CLR_DTR_TO_USER, 0, 0},
                 {DRIVER_SET_HANDFLOW_TO_USER, 16, 0},
                 {DRIVER_SERIAL_PURGE_TO_USER, 0, 0},
                 {4242, 0, 0},
                 {DRIVER_SET_HANDFLOW_TO_USER, 15, -1},
                 {DRIVER_SET_LINE_CONTROL_TO_USER, 2, -1},
                 {DRIVER_SET_BAUD_RATE_TO_USER, 3, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(io.SetConfig(c.msgType, c.len, record), c.expected) << c.msgType << "/" << c.len;
    }
    ASSERT_EQ(spd_set_result("sp_set_baudrate", SP_ERR_FAIL), 0);
    EXPECT_EQ(io.SetConfig(DRIVER_SET_BAUD_RATE_TO_USER, 4, record), -1);
}

}  // namespace
}  // namespace cpd
