// In-process checks of the pieces whose faults the end-to-end runs would only show as a hang or
// a garbled byte: frame reassembly and byte order, the packet decoder, the --virtual syntax and
// the near-miss search.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cpd/host/program/port_lookup.h"
#include "cpd/host/program/serial_packets.h"
#include "cpd/host/program/tcp_channel.h"
#include "cpd/host/program/trace.h"
#include "cpd/host/program/virtual_ports.h"

namespace cpd::host {
namespace {

std::vector<uint8_t> Wire(const CpdPacket& packet) {
    return {packet.Data(), packet.Data() + packet.Length()};
}

// Rewrites a host-order frame as a big-endian writer would have sent it.
std::vector<uint8_t> AsBigEndian(std::vector<uint8_t> frame, size_t payloadWords) {
    auto swap32 = [&](size_t at) {
        std::swap(frame[at], frame[at + 3]);
        std::swap(frame[at + 1], frame[at + 2]);
    };
    std::swap(frame[2], frame[3]);
    swap32(4);
    swap32(8);
    frame[12] = 1;
    for (size_t i = 0; i < payloadWords; ++i) {
        swap32(16 + 4 * i);
    }
    return frame;
}

TEST(FrameAssembler, ReassemblesFramesSplitAcrossReadsInOrder) {
    const std::string text = "split across reads";
    auto first = MakeWrite(1, 7, text.data(), static_cast<uint32_t>(text.size()));
    auto second = MakeStartRead(1, 8);
    std::vector<uint8_t> stream = Wire(*first);
    const std::vector<uint8_t> tail = Wire(*second);
    stream.insert(stream.end(), tail.begin(), tail.end());

    FrameAssembler assembler;
    std::vector<std::unique_ptr<CpdPacket>> got;
    std::string error;
    for (uint8_t byte : stream) {  // the worst case: one byte per read
        assembler.Feed(&byte, 1);
        std::unique_ptr<CpdPacket> packet;
        while (assembler.Next(&packet, &error) == FrameAssembler::Result::kPacket) {
            got.push_back(std::move(packet));
        }
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(Wire(*got[0]), Wire(*first));
    EXPECT_EQ(got[1]->GetCmd(), SERIAL_CMD_START_READ);
    EXPECT_EQ(assembler.Pending(), 0u);
}

TEST(FrameAssembler, RefusesBadMagicAndImpossibleLengths) {
    struct Case {
        uint8_t magic;
        uint32_t length;
        const char* message;
    };
    for (const Case& c : {Case{0x13, 16, "bad magic 0x13"}, Case{0x27, 15, "frame length 15"},
                          Case{0x27, kMaxFrameSize + 1, "frame length 1048577"}}) {
        CpdPacketHeader header{};
        header.magic = c.magic;
        header.length = c.length;
        header.bigEndian = static_cast<uint8_t>(HostIsBigEndian());
        FrameAssembler assembler;
        assembler.Feed(reinterpret_cast<const uint8_t*>(&header), sizeof(header));
        std::unique_ptr<CpdPacket> packet;
        std::string error;
        EXPECT_EQ(assembler.Next(&packet, &error), FrameAssembler::Result::kMalformed) << c.message;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(FrameAssembler, ConvertsBigEndianFramesToHostOrder) {
    if (HostIsBigEndian() != 0) {
        GTEST_SKIP() << "needs a little-endian host";
    }
    const uint32_t baud = 115200;
    auto request = MakeSetConfig(3, 0x01020304, DRIVER_SET_BAUD_RATE_TO_USER, &baud, 4);
    // msgType, len and the baud rate are the payload's three words.
    const std::vector<uint8_t> foreign = AsBigEndian(Wire(*request), 3);
    FrameAssembler assembler;
    assembler.Feed(foreign.data(), foreign.size());
    std::unique_ptr<CpdPacket> packet;
    std::string error;
    ASSERT_EQ(assembler.Next(&packet, &error), FrameAssembler::Result::kPacket) << error;
    EXPECT_EQ(Wire(*packet), Wire(*request));

    // A big-endian report decodes to the same nine values.
    const serial_config sent{9600, 8, 2, 1, 1, 0, 1, 0, 3};
    CpdPacket report(1024);
    report.SetHeader(1, SERIAL_CMD_REDIR_CONFIG, 1);
    report.AppendBytes(&sent, sizeof(sent));
    const std::vector<uint8_t> big = AsBigEndian(Wire(report), 9);
    assembler.Feed(big.data(), big.size());
    ASSERT_EQ(assembler.Next(&packet, &error), FrameAssembler::Result::kPacket) << error;
    PacketView view;
    serial_config got{};
    ASSERT_TRUE(ViewPacket(*packet, &view));
    ASSERT_TRUE(DecodeReport(view, &got));
    EXPECT_EQ(std::memcmp(&got, &sent, sizeof(got)), 0);
}

TEST(PacketTrace, DecodesEveryReportFieldAndRequestValues) {
    const serial_config config{57600, 7, 2, 2, 0, 1, 2, 0, 3};
    CpdPacket report(1024);
    report.SetHeader(4, SERIAL_CMD_REDIR_CONFIG, 1);
    report.AppendBytes(&config, sizeof(config));
    EXPECT_EQ(DescribePacket(Direction::kToRemote, report.Data(), report.Length()),
              "plugin>remote REDIR_CONFIG devId=4 seq=1 len=52 baudrate=57600 bits=7 "
              "parity=even stopbits=2 rts=off cts=flowcontrol dtr=flowcontrol dsr=ignore "
              "xon_xoff=inout");

    const uint8_t lineControl[3] = {2, 1, 7};
    auto request = MakeSetConfig(4, 9, DRIVER_SET_LINE_CONTROL_TO_USER, lineControl, 3);
    EXPECT_EQ(DescribePacket(Direction::kToPlugin, request->Data(), request->Length()),
              "remote>plugin SET_CONFIG devId=4 seq=9 len=27 DRIVER_SET_LINE_CONTROL_TO_USER "
              "stop_bits=2 parity=odd word_length=7");

    // A data preview is bounded and escapes what a terminal must not interpret.
    const std::string data = std::string("\x1b[2J\"quoted\"\n", 13) + std::string(40, 'x');
    auto write = MakeWrite(4, 10, data.data(), static_cast<uint32_t>(data.size()));
    const std::string line = DescribePacket(Direction::kToPlugin, write->Data(), write->Length());
    EXPECT_NE(line.find("bytes=53 \"\\x1b[2J\\\"quoted\\\"\\nxxx\"... [1b 5b 32 4a"),
              std::string::npos)
        << line;
}

TEST(EndpointSyntax, BarePortMeansLoopbackAndBadPortsAreRefused) {
    Endpoint endpoint;
    std::string error;
    ASSERT_TRUE(ParseEndpoint("5555", &endpoint, &error)) << error;
    EXPECT_EQ(endpoint.Text(), "127.0.0.1:5555");
    ASSERT_TRUE(ParseEndpoint("[::1]:0", &endpoint, &error)) << error;
    EXPECT_EQ(endpoint.Text(), "[::1]:0");
    for (const char* bad : {"localhost", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", ":80"}) {
        EXPECT_FALSE(ParseEndpoint(bad, &endpoint, &error)) << bad;
    }
}

// What the keys mean shows in the end-to-end runs; here, what must be refused.
TEST(VirtualSpecSyntax, DefaultsToAnEchoAdapterAndRejectsWhatItCannotBuild) {
    VirtualSpec spec;
    std::string error;
    ASSERT_TRUE(ParseVirtualSpec("", &spec, &error));
    EXPECT_EQ(spec.identity.product, "Virtual UART");
    EXPECT_EQ(spec.peer, VirtualSpec::Peer::kEcho);
    for (const char* bad :
         {"colour=red", "vid=12345", "vid=xyz", "peer=tcp:1", "peer=unix:", "product"}) {
        EXPECT_FALSE(ParseVirtualSpec(bad, &spec, &error)) << bad;
    }
}

TEST(PortSelection, PointsOutNearMissesButOnlyExactTextSelects) {
    std::vector<PortInfo> ports(2);
    ports[0].description = "FT232R USB UART - A1";
    ports[0].name = "/dev/ttyUSB0";
    ports[1].name = "/dev/ttyS0";  // no description: never offered

    EXPECT_EQ(ExplainMissingPort("FT232R USB UART - A1", ports), "");
    const std::string nearMiss = ExplainMissingPort("ft232r  usb uart - a1 ", ports);
    EXPECT_NE(nearMiss.find("did you mean \"FT232R USB UART - A1\""), std::string::npos)
        << nearMiss;
    const std::string miss = ExplainMissingPort("CP2102", ports);
    EXPECT_EQ(miss.find("did you mean"), std::string::npos) << miss;
    EXPECT_NE(miss.find("\"FT232R USB UART - A1\"  (/dev/ttyUSB0)"), std::string::npos) << miss;
    EXPECT_EQ(miss.find("ttyS0"), std::string::npos) << miss;
}

}  // namespace
}  // namespace cpd::host
