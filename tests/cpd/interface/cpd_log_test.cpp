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

static_assert(std::string_view(logging::BaseName("a/b/serial_io.cpp")) == "serial_io.cpp");
static_assert(std::string_view(logging::BaseName("C:\\src\\serial_io.cpp")) == "serial_io.cpp");
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
        const int line = __LINE__ + 1;
        CPD_DEV_LOGE("sp_open failed");
        return line;
    }
    int LogRead(int n) {
        const int line = __LINE__ + 1;
        CPD_DEV_LOGD("Read:%d\n", n);
        return line;
    }
};

// Log statement frame ---------------------------------------------------------------------------

class LogStatement : public testing::Test {
  protected:
    LogCapture mLog;
};

TEST_F(LogStatement, PlainDebugKeepsQuotesAndEscapesAsWritten) {
    const int line = __LINE__ + 1;
    CPD_LOGD("close\n");
    CPD_LOGD("say \"hi\"\t\n");
    const std::vector<test::LogLine> lines = mLog.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, Frame("TestBody", line) + R"("Debug:" "close\n")");
    EXPECT_EQ(lines[1].text, Frame("TestBody", line + 1) + R"("Debug:" "say \"hi\"\t\n")");
    EXPECT_EQ(lines[0].level, 5);
    EXPECT_EQ(lines[0].tag, "CPD_LOG");
}

TEST_F(LogStatement, PlainErrorFillsTheMessageConversions) {
    const int line = __LINE__ + 1;
    CPD_LOGE("sp_open fail ret=%d name=%s", -3, "COM3");
    const std::vector<test::LogLine> lines = mLog.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text,
              Frame("TestBody", line) + R"("Error:" "sp_open fail ret=-3 name=COM3")");
    EXPECT_EQ(lines[0].level, 7);
    EXPECT_EQ(lines[0].tag, "CPD_LOG");
}

TEST_F(LogStatement, DevicePrefixCarriesTheDeviceIdentity) {
    TestDevice device("port");
    DeviceObject object{&device};
    const int errorLine = object.LogOpenFailure();
    const int debugLine = object.LogRead(12);
    const std::vector<test::LogLine> lines = mLog.Lines();
    ASSERT_EQ(lines.size(), 2u);
    const std::string bus = "\"[bus:" + Pointer(device.GetBus());
    EXPECT_EQ(lines[0].text, Frame("LogOpenFailure", errorLine) + bus +
                                 R"( devid:801 cid:7 0x0403:0x6001]" "Error:" )"
                                 R"("sp_open failed" "\n")");
    EXPECT_EQ(lines[0].level, 7);
    EXPECT_EQ(lines[1].text, Frame("LogRead", debugLine) + bus +
                                 R"( devid:801 cid:7 0x0403:0x6001]" "Debug:" )"
                                 R"("Read:12\n" "\n")");
    EXPECT_EQ(lines[1].level, 5);
}

TEST_F(LogStatement, DevicePrefixKeepsOnlyTheLowBitsOfEachValue) {
    TestDevice::Identity identity;
    identity.devId = 0x1FF;
    identity.devIdHigh = 0x102;
    identity.cid = 0x1FE;
    identity.vid = 0x12345;
    identity.pid = 0xABCDE;
    TestDevice device("port", "desc", identity);
    DeviceObject object{&device};
    object.LogOpenFailure();
    ASSERT_EQ(mLog.Lines().size(), 1u);
    EXPECT_TRUE(mLog.Contains("\"[bus:" + Pointer(device.GetBus()) +
                              R"( devid:767 cid:254 0x2345:0xbcde]")"))
        << mLog.Lines()[0].text;
}

TEST_F(LogStatement, NullDeviceGivesAnAllZeroPrefix) {
    DeviceObject object{nullptr};
    const int line = object.LogOpenFailure();
    const std::vector<test::LogLine> lines = mLog.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, Frame("LogOpenFailure", line) + "\"[bus:" + Pointer(nullptr) +
                                 R"( devid:0 cid:0 0x0000:0x0000]" "Error:" )"
                                 R"("sp_open failed" "\n")");
}

// Hex dump --------------------------------------------------------------------------------------

class HexDump : public testing::Test {
  protected:
    // The message argument of the single dump line, without the frame and quotes.
    std::string DumpOf(const std::vector<unsigned char>& bytes) {
        mLog.Clear();
        memDataPrint(bytes.data(), static_cast<int>(bytes.size()));
        const std::vector<test::LogLine> lines = mLog.Lines();
        if (lines.size() != 1) {
            ADD_FAILURE() << "expected one line, got " << lines.size();
            return "";
        }
        const std::string& text = lines[0].text;
        const std::string lead = R"("Debug:" "data:)";
        EXPECT_EQ(text.rfind("cpd_log.cpp memDataPrint(", 0), 0u) << text;
        EXPECT_EQ(lines[0].level, 5);
        const size_t start = text.find(lead);
        if (start == std::string::npos || text.back() != '"') {
            ADD_FAILURE() << text;
            return "";
        }
        return text.substr(start + lead.size(), text.size() - start - lead.size() - 1);
    }

    static std::string Groups(size_t n) {
        std::string groups;
        for (size_t i = 0; i < n; ++i) {
            char group[4];
            std::snprintf(group, sizeof(group), "%.2x ", static_cast<unsigned>((i * 9) & 0xFF));
            groups += group;
        }
        return groups;
    }
    static std::vector<unsigned char> Bytes(size_t n) {
        std::vector<unsigned char> bytes(n);
        for (size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<unsigned char>(i * 9);
        }
        return bytes;
    }

    LogCapture mLog;
};

TEST_F(HexDump, EmptyOrNegativeLengthLogsNothing) {
    const unsigned char byte = 0x41;
    memDataPrint(&byte, 0);
    memDataPrint(&byte, -5);
    EXPECT_TRUE(mLog.Lines().empty());
}

TEST_F(HexDump, ShowsLowerCaseBytesWithTrailingSpace) {
    EXPECT_EQ(DumpOf({0x41, 0x0D, 0xFF}), "[3]:41 0d ff ");
}

TEST_F(HexDump, ShowsAtMostThirtyTwoBytesAndMarksTheRest) {
    EXPECT_EQ(DumpOf(Bytes(32)), "[32]:" + Groups(32));
    EXPECT_EQ(DumpOf(Bytes(33)), "[33]:" + Groups(32) + " ...");
    EXPECT_EQ(DumpOf(Bytes(4000)), "[4000]:" + Groups(32) + " ...");
}

}  // namespace
}  // namespace cpd
