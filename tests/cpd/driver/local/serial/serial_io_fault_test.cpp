// SerialIO on the libserialport test double: library failures a real port cannot be made to
// show, and the exact calls the port object makes.
#include <gtest/gtest.h>
#include <libserialport.h>
#include <sp_double.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "cpd/driver/local/serial/serial_io.h"
#include "cpd/interface/cpd_log.h"
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

    std::vector<test::LogLine> Errors() {
        std::vector<test::LogLine> errors;
        for (const test::LogLine& line : log.Lines()) {
            if (line.level == logging::kLevelError) {
                errors.push_back(line);
            }
        }
        return errors;
    }

    // Library calls whose log entry begins with `prefix`, in call order.
    static std::vector<std::string> CallsStartingWith(const std::string& prefix) {
        std::vector<std::string> matching;
        for (const std::string& call : spd::Calls()) {
            if (call.rfind(prefix, 0) == 0) {
                matching.push_back(call);
            }
        }
        return matching;
    }

    test::LogCapture log;
};

// ---- selection -------------------------------------------------------------------------------

using SerialIOSelectionFaultTest = SerialIOFaultTest;

TEST_F(SerialIOSelectionFaultTest, FailedEnumerationGivesUpWithoutMessage) {
    ASSERT_EQ(spd_set_result("sp_list_ports", SP_ERR_MEM), 0);
    test::TestDevice device(kDescription);
    SerialIO io(&device);
    log.Clear();

    EXPECT_EQ(io.OpenSerialDev(), -1);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(spd_count_calls("sp_open"), 0u);
}

TEST_F(SerialIOSelectionFaultTest, FailedLookupByNameFreesTheListAndLogsCopyFailure) {
    ASSERT_EQ(spd_set_result("sp_get_port_by_name", SP_ERR_MEM), 0);
    test::TestDevice device(kDescription);
    {
        SerialIO io(&device);
        log.Clear();

        EXPECT_EQ(io.OpenSerialDev(), -1);
        const auto errors = Errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].text.find("\"sp_copy_port failed\""), std::string::npos);
        EXPECT_EQ(spd_count_calls("sp_open"), 0u);
        EXPECT_EQ(spd_count_calls("sp_free_port_list"), 1u);
        EXPECT_EQ(spd_live_ports(), 0);
    }
    EXPECT_EQ(spd_live_ports(), 0);
}

TEST_F(SerialIOSelectionFaultTest, PortWithoutDescriptionNeverMatches) {
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

// ---- configuration read ------------------------------------------------------------------------

// Fields filled with a pattern no getter produces, to see whether a failed read touched them.
serial_config Untouched() {
    serial_config config;
    std::memset(&config, 0x5a, sizeof(config));
    return config;
}

bool SameRecord(const serial_config& a, const serial_config& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

class SerialIOConfigReadFaultTest : public SerialIOFaultTest {
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

TEST_F(SerialIOConfigReadFaultTest, ReadsGettersInOrderAndKeepsParityBeforeStopBits) {
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

    serial_config config = Untouched();
    ASSERT_EQ(io.GetSerialConfig(&config), 0);

    EXPECT_EQ(config.baudrate, 57600);
    EXPECT_EQ(config.bits, 7);
    EXPECT_EQ(config.parity, SP_PARITY_EVEN);
    EXPECT_EQ(config.stopbits, 2);
    EXPECT_EQ(config.rts, SP_RTS_FLOW_CONTROL);
    EXPECT_EQ(config.cts, SP_CTS_IGNORE);
    EXPECT_EQ(config.dtr, -1);
    EXPECT_EQ(config.dsr, SP_DSR_FLOW_CONTROL);
    EXPECT_EQ(config.xon_xoff, SP_XONXOFF_IN);

    const std::vector<std::string> expectedGetters{
        "sp_get_config_baudrate()", "sp_get_config_bits()", "sp_get_config_stopbits()",
        "sp_get_config_parity()",   "sp_get_config_rts()",  "sp_get_config_cts()",
        "sp_get_config_dtr()",      "sp_get_config_dsr()",  "sp_get_config_xon_xoff()"};
    EXPECT_EQ(CallsStartingWith("sp_get_config_"), expectedGetters);
    EXPECT_EQ(spd_live_configs(), 0);

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, logging::kLevelDebug);
    EXPECT_NE(lines[0].text.find(R"("Baudrate: 57600, data bits: 7, parity: 2, stop bits: 2\n")"),
              std::string::npos)
        << lines[0].text;
}

TEST_F(SerialIOConfigReadFaultTest, FailedConfigObjectLeavesRecordUntouched) {
    for (const char* failing : {"sp_new_config", "sp_get_config"}) {
        SCOPED_TRACE(failing);
        log.Clear();
        ASSERT_EQ(spd_set_result(failing, SP_ERR_FAIL), 0);
        serial_config config = Untouched();

        EXPECT_EQ(io.GetSerialConfig(&config), -1);

        EXPECT_TRUE(SameRecord(config, Untouched()));
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, logging::kLevelError);
        EXPECT_NE(lines[0].text.find("\"" + std::string(failing) + " failed\""), std::string::npos)
            << lines[0].text;
        EXPECT_EQ(spd_live_configs(), 0);
        ASSERT_EQ(spd_set_result(failing, SP_OK), 0);
    }
}

struct GetterFailure {
    unsigned position;  // 1-based position in the read order
    const char* message;
};

void PrintTo(const GetterFailure& failure, std::ostream* os) {
    *os << failure.message;
}

class SerialIOGetterFaultTest : public SerialIOConfigReadFaultTest,
                                public ::testing::WithParamInterface<GetterFailure> {};

TEST_P(SerialIOGetterFaultTest, FailingGetterStopsTheReadWithItsOwnMessage) {
    spd_fail_getter_call(GetParam().position, SP_ERR_FAIL);
    serial_config config = Untouched();

    EXPECT_EQ(io.GetSerialConfig(&config), -1);

    EXPECT_TRUE(SameRecord(config, Untouched()));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, logging::kLevelError);
    EXPECT_NE(lines[0].text.find(std::string("\"") + GetParam().message + "\""), std::string::npos)
        << lines[0].text;
    EXPECT_EQ(spd_count_calls("sp_get_config_"), GetParam().position);
    EXPECT_EQ(spd_live_configs(), 0);
}

// The xon_xoff message keeps its historical spelling: log scanners match on it.
INSTANTIATE_TEST_SUITE_P(AllGetters, SerialIOGetterFaultTest,
                         ::testing::Values(GetterFailure{1, "sp_get_config_baudrate failed"},
                                           GetterFailure{2, "sp_get_config_bits failed"},
                                           GetterFailure{3, "sp_get_config_stopbits failed"},
                                           GetterFailure{4, "sp_get_config_parity failed"},
                                           GetterFailure{5, "sp_get_config_rts failed"},
                                           GetterFailure{6, "sp_get_config_cts failed"},
                                           GetterFailure{7, "sp_get_config_dtr failed"},
                                           GetterFailure{8, "sp_get_config_dsr failed"},
                                           GetterFailure{9, "sp_get_config_xon_xoffs failed"}),
                         [](const ::testing::TestParamInfo<GetterFailure>& info) {
                             return "Getter" + std::to_string(info.param.position);
                         });

// ---- configuration requests --------------------------------------------------------------------

using SerialIOSetConfigFaultTest = SerialIOConfigReadFaultTest;

TEST_F(SerialIOSetConfigFaultTest, RefusedWordLengthStillAppliesParityAndStopBits) {
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
    EXPECT_TRUE(Errors().empty());
}

// A pty keeps no RTS/CTS handshake, so only the double can show the port ending without one.
TEST_F(SerialIOSetConfigFaultTest, HandshakeRequestLeavesNoHardwareFlowControl) {
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
