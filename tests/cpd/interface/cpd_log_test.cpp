// The drivers' log statements as they reach the log: device prefix, hex dump.
#include "cpd/interface/cpd_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"

namespace cpd {
namespace {

using test::LogCapture;
using test::TestDevice;

static_assert(std::string_view(logging::BaseName("C:\\src/mixed\\x.cpp")) == "x.cpp");
static_assert(std::string_view(logging::BaseName("plain.cpp")) == "plain.cpp");

// The C library's own text for a pointer: glibc writes 0x1000 and (nil), Windows runtimes
// sixteen hex digits.
std::string Pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}

std::string Frame(const char* function, int line) {
    return std::string("cpd_log_test.cpp ") + function + "(" + std::to_string(line) + "): ";
}

// An object that knows a device, as the driver's objects do.
struct DeviceObject {
    CpdDevice* mDevice;

    int LogOpenFailure() {
        CPD_DEV_LOGE("sp_open failed");
        return __LINE__ - 1;
    }
    int LogRead(int n) {
        CPD_DEV_LOGD("Read:%d\n", n);
        return __LINE__ - 1;
    }
};

class LogStatement : public testing::Test {
  protected:
    LogCapture mLog;
};

// The prefix names the device; each value is cut to its field's width, and a null device gives
// an all-zero prefix.
TEST_F(LogStatement, DevicePrefixCarriesTheDeviceIdentityInItsFieldWidths) {
    TestDevice device("port");
    DeviceObject object{&device};
    const int errorLine = object.LogOpenFailure();
    const int debugLine = object.LogRead(12);
    TestDevice::Identity identity;
    identity.devId = 0x1FF;
    identity.devIdHigh = 0x102;
    identity.cid = 0x1FE;
    identity.vid = 0x12345;
    identity.pid = 0xABCDE;
    TestDevice wide("port", "desc", identity);
    DeviceObject{&wide}.LogOpenFailure();
    DeviceObject{nullptr}.LogOpenFailure();

    const std::vector<test::LogLine> lines = mLog.Lines();
    ASSERT_EQ(lines.size(), 4u);
    const std::string bus = "\"[bus:" + Pointer(device.GetBus());
    EXPECT_EQ(lines[0].text,
              Frame("LogOpenFailure", errorLine) + bus +
                  R"( devid:801 cid:7 0x0403:0x6001]" "Error:" "sp_open failed" "\n")");
    EXPECT_EQ(lines[1].text, Frame("LogRead", debugLine) + bus +
                                 R"( devid:801 cid:7 0x0403:0x6001]" "Debug:" "Read:12\n" "\n")");
    EXPECT_EQ(lines[1].level, 5);
    EXPECT_EQ(mLog.Count("\"[bus:" + Pointer(wide.GetBus()) + " devid:767 cid:254 0x2345:0xbcde]"),
              1u);
    EXPECT_EQ(mLog.Count("\"[bus:" + Pointer(nullptr) + " devid:0 cid:0 0x0000:0x0000]"), 1u);
}

// Lower-case hex with a trailing space, at most 32 bytes and a mark for the rest.
TEST_F(LogStatement, HexDumpShowsTheFirstThirtyTwoBytes) {
    std::vector<unsigned char> bytes(4000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 9);
    }
    memDataPrint(bytes.data(), 0);
    memDataPrint(bytes.data(), -5);
    EXPECT_TRUE(mLog.Lines().empty());
    const std::string first32 =
        "00 09 12 1b 24 2d 36 3f 48 51 5a 63 6c 75 7e 87 90 99 a2 ab b4 bd c6 cf d8 e1 ea f3 fc 05 "
        "0e 17 ";
    const std::pair<int, std::string> cases[] = {{3, "[3]:00 09 12 "},
                                                 {32, "[32]:" + first32},
                                                 {33, "[33]:" + first32 + " ..."},
                                                 {4000, "[4000]:" + first32 + " ..."}};
    for (const auto& [n, dump] : cases) {
        mLog.Clear();
        memDataPrint(bytes.data(), n);
        ASSERT_EQ(mLog.Lines().size(), 1u);
        const std::string text = mLog.Lines()[0].text;
        EXPECT_EQ(text.rfind("cpd_log.cpp memDataPrint(", 0), 0u) << text;
        EXPECT_NE(text.find(R"("Debug:" "data:)" + dump + "\""), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace cpd
