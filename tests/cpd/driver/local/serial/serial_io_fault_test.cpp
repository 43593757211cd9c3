// SerialIO on the libserialport test double: library failures a real port cannot be made to
// show, and the exact calls the port object makes.
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

// Library calls whose log entry begins with `prefix`, in call order.
std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> matching;
    for (const std::string& call : spd::Calls()) {
        if (call.rfind(prefix, 0) == 0) {
            matching.push_back(call);
        }
    }
    return matching;
}

class SerialIOFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        spd_reset();
        ASSERT_EQ(spd_add_port(kPortName, kDescription), 0);
    }
    void TearDown() override { spd_reset(); }

    test::LogCapture log;
};

// A failed listing gives up without a word; a failed lookup by name says the copy failed and
// still frees the list.
TEST_F(SerialIOFaultTest, FailedEnumerationOrLookupGivesUpBeforeOpening) {
    test::TestDevice device(kDescription);
    SerialIO io(&device);
    log.Clear();
    ASSERT_EQ(spd_set_result("sp_list_ports", SP_ERR_MEM), 0);
    EXPECT_EQ(io.OpenSerialDev(), -1);
    EXPECT_TRUE(log.Lines().empty());

    ASSERT_EQ(spd_set_result("sp_list_ports", SP_OK), 0);
    ASSERT_EQ(spd_set_result("sp_get_port_by_name", SP_ERR_MEM), 0);
    EXPECT_EQ(io.OpenSerialDev(), -1);
    EXPECT_EQ(log.Count("\"Error:\""), 1u);
    EXPECT_EQ(log.Count("\"sp_copy_port failed\""), 1u);
    EXPECT_EQ(spd_count_calls("sp_open"), 0u);
    EXPECT_EQ(spd_count_calls("sp_free_port_list"), 1u);
    EXPECT_EQ(spd_live_ports(), 0);
}

TEST_F(SerialIOFaultTest, PortWithoutDescriptionNeverMatches) {
    spd_reset();
    ASSERT_EQ(spd_add_port("ttyNODESC0", nullptr), 0);
    ASSERT_EQ(spd_add_port("ttyBLANK0", ""), 0);
    test::TestDevice device("");
    SerialIO io(&device);

    ASSERT_EQ(io.OpenSerialDev(), 0);
    EXPECT_EQ(spd_is_open("ttyNODESC0"), 0);
    EXPECT_EQ(spd_is_open("ttyBLANK0"), 1);
    EXPECT_EQ(CallsStartingWith("sp_get_port_by_name"),
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

TEST_F(SerialIOOpenFaultTest, ReadsGettersInOrderAndKeepsParityBeforeStopBits) {
    // Every field distinct, so a value landing in the wrong field shows.
    const spd_config reported{57600,
                              7,
                              SP_PARITY_EVEN,
                              2,
                              SP_RTS_FLOW_CONTROL,
                              SP_CTS_IGNORE,
                              -1,
                              SP_DSR_FLOW_CONTROL,
                              SP_XONXOFF_IN};
    ASSERT_EQ(spd_set_port_config(kPortName, &reported), 0);

    serial_config config{};
    ASSERT_EQ(io.GetSerialConfig(&config), 0);

    static_assert(sizeof(config) == sizeof(reported), "the same nine fields in the same order");
    EXPECT_EQ(std::memcmp(&config, &reported, sizeof(config)), 0);
    const std::vector<std::string> expectedGetters{
        "sp_get_config_baudrate()", "sp_get_config_bits()", "sp_get_config_stopbits()",
        "sp_get_config_parity()",   "sp_get_config_rts()",  "sp_get_config_cts()",
        "sp_get_config_dtr()",      "sp_get_config_dsr()",  "sp_get_config_xon_xoff()"};
    EXPECT_EQ(CallsStartingWith("sp_get_config_"), expectedGetters);
    EXPECT_EQ(spd_live_configs(), 0);
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Count(R"("Baudrate: 57600, data bits: 7, parity: 2, stop bits: 2\n")"), 1u);
}

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

TEST_F(SerialIOOpenFaultTest, RefusedWordLengthStillAppliesParityAndStopBits) {
    ASSERT_EQ(spd_set_result("sp_set_bits", SP_ERR_FAIL), 0);
    const unsigned char lineControl[3] = {2, SP_PARITY_ODD, 7};  // StopBits, Parity, WordLength

    EXPECT_EQ(io.SetConfig(DRIVER_SET_LINE_CONTROL_TO_USER, sizeof(lineControl), lineControl), 0);

    EXPECT_EQ(
        CallsStartingWith("sp_set_"),
        (std::vector<std::string>{"sp_set_bits(7)", "sp_set_parity(1)", "sp_set_stopbits(2)"}));
    spd_config now{};
    ASSERT_EQ(spd_get_port_config(kPortName, &now), 0);
    EXPECT_EQ(now.bits, spd_default_config().bits);
    EXPECT_EQ(now.parity, SP_PARITY_ODD);
    EXPECT_EQ(now.stopbits, 2);
    EXPECT_EQ(log.Count("\"Error:\""), 0u);
}

// A pty keeps no RTS/CTS handshake, so only the double can show the port ending without one.
TEST_F(SerialIOOpenFaultTest, HandshakeRequestLeavesNoHardwareFlowControl) {
    spd_config handshaking = spd_default_config();
    handshaking.rts = SP_RTS_FLOW_CONTROL;
    handshaking.cts = SP_CTS_FLOW_CONTROL;
    ASSERT_EQ(spd_set_port_config(kPortName, &handshaking), 0);
    const int32_t handflow[4] = {0x08 /* SERIAL_CTS_HANDSHAKE */, 0x80 /* SERIAL_RTS_HANDSHAKE */,
                                 2048, 512};

    EXPECT_EQ(io.SetConfig(DRIVER_SET_HANDFLOW_TO_USER, sizeof(handflow), handflow), 0);

    spd_config now{};
    ASSERT_EQ(spd_get_port_config(kPortName, &now), 0);
    EXPECT_NE(now.rts, SP_RTS_FLOW_CONTROL);
    EXPECT_NE(now.cts, SP_CTS_FLOW_CONTROL);
    EXPECT_EQ(now.xon_xoff, SP_XONXOFF_DISABLED);
}

}  // namespace
}  // namespace cpd
