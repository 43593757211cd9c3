// In-process checks of the pieces whose faults the end-to-end runs would only show as a hang or
// a garbled byte: frame reassembly and byte order, the report decoder, the endpoint and
// --virtual syntax.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "cpd/host/program/serial_packets.h"
#include "cpd/host/program/tcp_channel.h"
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

TEST(VirtualSpecSyntax, ParsesKeysAndRejectsWhatItCannotBuild) {
    VirtualSpec spec;
    std::string error;
    ASSERT_TRUE(ParseVirtualSpec("product=My UART,serial=S9,vid=1a86,pid=7523,peer=unix:/tmp/s",
                                 &spec, &error))
        << error;
    EXPECT_EQ(std::tie(spec.identity.product, spec.identity.serial, spec.socketPath),
              std::make_tuple("My UART", "S9", "/tmp/s"));
    EXPECT_EQ(std::make_tuple(spec.identity.vid, spec.identity.pid, spec.peer),
              std::make_tuple(0x1a86, 0x7523, VirtualSpec::Peer::kUnix));

    ASSERT_TRUE(ParseVirtualSpec("", &spec, &error));
    EXPECT_EQ(spec.identity.product, "Virtual UART");
    EXPECT_EQ(spec.peer, VirtualSpec::Peer::kEcho);

    for (const char* bad :
         {"colour=red", "vid=12345", "vid=xyz", "peer=tcp:1", "peer=unix:", "product"}) {
        EXPECT_FALSE(ParseVirtualSpec(bad, &spec, &error)) << bad;
    }
}

}  // namespace
}  // namespace cpd::host
