// In-process checks of the pieces whose faults the end-to-end runs would only show as a hang or
// a garbled byte: frame reassembly and byte order, the Telnet decoder and COM-PORT-OPTION
// answers, term's wait for the line, the endpoint and --virtual syntax.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "cpd/host/program/remote_session.h"
#include "cpd/host/program/rfc2217.h"
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

// Records decoder events as text; consecutive data runs merge, so any split reads the same.
struct TelnetEvents : TelnetDecoder::Handler {
    std::string text;
    bool OnData(const uint8_t* data, size_t n, std::string*) override {
        if (text.empty() || text.back() != ']') {
            text += "data[]";
        }
        text.insert(text.size() - 1, Hex(data, n));
        return true;
    }
    bool OnOption(uint8_t verb, uint8_t option, std::string*) override {
        text += " opt" + std::to_string(verb) + "/" + std::to_string(option) + " ";
        return true;
    }
    bool OnSubnegotiation(uint8_t option, const uint8_t* data, size_t n, std::string*) override {
        text += " sb" + std::to_string(option) + ":" + Hex(data, n) + " ";
        return true;
    }
    static std::string Hex(const uint8_t* data, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            out += "0123456789abcdef"[data[i] >> 4];
            out += "0123456789abcdef"[data[i] & 15];
        }
        return out;
    }
};

// A stream gives the same events, or the same refusal of a malformed command, however it is
// split into reads.
TEST(TelnetDecoder, AnySplitOfAStreamGivesItsEventsOrItsRefusal) {
    const struct {
        std::string input;
        std::string events;  // or, when `error` is set, the events before the failure
        const char* error;
    } cases[] = {
        {"a\xff\xff"
         "b",
         "data[61ff62]", nullptr},
        {"x\xff\xfb\x2c"
         "y",
         "data[78] opt251/44 data[79]", nullptr},
        {std::string("\xff\xfa\x2c\x01\x00\xff\xff\x00\x01\xff\xf0", 11), " sb44:0100ff0001 ",
         nullptr},
        {"\xff\xf1"
         "a\xff\xf9",
         "data[61]", nullptr},  // NOP and GA are dropped
        {"a\xff\x07", "data[61]", "IAC followed by 0x07"},
        {"\xff\xf0", "", "outside a subnegotiation"},
        {"\xff\xfa\x2c\x01\xff\xfb", "", "inside a subnegotiation"},
        {"\xff\xfa\x2c" + std::string(300, 'a'), "", "longer than 256"},
    };
    for (const auto& c : cases) {
        for (size_t step : {c.input.size(), size_t{1}}) {
            SCOPED_TRACE(c.input + (step == 1 ? " one byte per read" : " in one read"));
            TelnetDecoder decoder;
            TelnetEvents events;
            std::string error;
            bool ok = true;
            const auto* bytes = reinterpret_cast<const uint8_t*>(c.input.data());
            for (size_t i = 0; ok && i < c.input.size(); i += step) {
                ok = decoder.Feed(bytes + i, std::min(step, c.input.size() - i), events, &error);
            }
            EXPECT_EQ(events.text, c.events);
            EXPECT_EQ(ok, c.error == nullptr) << error;
            if (c.error != nullptr) {
                EXPECT_NE(error.find(c.error), std::string::npos) << error;
            }
        }
    }
    // A truncated subnegotiation yields nothing yet and says so.
    TelnetDecoder decoder;
    TelnetEvents events;
    std::string error;
    const uint8_t partial[] = {255, 250, 44, 1};
    EXPECT_TRUE(decoder.Feed(partial, sizeof(partial), events, &error));
    EXPECT_TRUE(decoder.InSequence());
    EXPECT_EQ(events.text, "");
    // Every byte value survives escaping and decoding.
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    std::vector<uint8_t> escaped;
    TelnetEscape(all.data(), all.size(), &escaped);
    EXPECT_EQ(escaped.size(), 257u);
    TelnetEvents decoded;
    TelnetDecoder fresh;
    EXPECT_TRUE(fresh.Feed(escaped.data(), escaped.size(), decoded, &error));
    EXPECT_EQ(decoded.text, "data[" + TelnetEvents::Hex(all.data(), all.size()) + "]");
}

// Each command sends the plug-in only the requests it serves, and the reply carries the value
// in effect afterwards.
TEST(ComPortControl, RepliesWithTheValueThePluginPutInEffect) {
    // The port as reported: 9600 baud, 8 bits, parity invalid (read as none), 1 stop bit, RTS
    // and DTR on, XON/XOFF out.
    const serial_config report{9600, 8, -1, 1, 1, 0, 1, 0, 2};
    ComPortControl control(report, "sig");
    const struct {
        std::vector<uint8_t> command;
        std::vector<uint8_t> replyValue;  // after the server's code; empty: no reply
        const char* sent;                 // the PortSettings fields set, in brief
    } cases[] = {
        {{1, 0, 0, 0, 0}, {0, 0, 0x25, 0x80}, ""},     // baud query
        {{5, 0}, {2}, ""},                             // flow query: XON/XOFF out
        {{3, 3}, {3}, "line 8/2/1"},                   // even parity
        {{4, 3}, {1}, ""},                             // 1.5 stop bits: kept at 1
        {{2, 9}, {8}, ""},                             // 9 data bits: kept at 8
        {{5, 2}, {1}, "flow 1/67"},                    // XON/XOFF asked: none applied
        {{5, 0}, {1}, ""},                             // and queried afterwards
        {{5, 9}, {8}, "dtr"},                          // DTR off: dropped, ends on
        {{5, 12}, {11}, ""},                           // RTS off: unsupported
        {{5, 5}, {6}, ""},                             // break on: unsupported
        {{12, 1}, {1}, "purge"},                       // purge receive buffer
        {{7}, {ComPortControl::kModemState}, ""},      // modem state poll
        {{0}, {'s', 'i', 'g'}, ""},                    // signature
        {{1, 0xff, 0, 0, 0}, {0, 0, 0x25, 0x80}, ""},  // beyond INT32_MAX: refused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(TelnetEvents::Hex(c.command.data(), c.command.size()));
        PortSettings settings;
        std::vector<uint8_t> reply;
        std::string error;
        ASSERT_TRUE(control.Handle(c.command.data(), c.command.size(), &settings, &reply, &error));
        std::vector<uint8_t> expected;
        if (!c.replyValue.empty()) {
            expected = {255, 250, 44, static_cast<uint8_t>(c.command[0] + 100)};
            TelnetEscape(c.replyValue.data(), c.replyValue.size(), &expected);
            expected.insert(expected.end(), {255, 240});
        }
        EXPECT_EQ(reply, expected);
        std::string sent;
        if (settings.dataBits) {
            sent = "line " + std::to_string(*settings.dataBits) + "/" +
                   std::to_string(static_cast<int>(*settings.parity)) + "/" +
                   std::to_string(*settings.stopBits);
        }
        if (settings.flowOff) {
            sent = "flow " + std::to_string(settings.handShake) + "/" +
                   std::to_string(settings.flowReplace);
        }
        sent += settings.dtrPulse ? "dtr" : settings.purge ? "purge" : "";
        EXPECT_EQ(sent, c.sent);
        EXPECT_FALSE(settings.baud.has_value());
    }
    // A value of the wrong size is malformed.
    const uint8_t shortBaud[] = {1, 0, 0};
    PortSettings settings;
    std::vector<uint8_t> reply;
    std::string error;
    EXPECT_FALSE(control.Handle(shortBaud, sizeof(shortBaud), &settings, &reply, &error));
}

// A port that takes every write at once, as a USB CDC-ACM device does at any baud rate.
struct InstantLink final : PacketLink {
    std::optional<uint64_t> ahead;
    int Send(std::unique_ptr<CpdPacket>) override { return 0; }
    std::optional<uint64_t> MaxBytesAhead() const override { return ahead; }
};

// Regression: term's end-of-input wait modelled the line time of everything ever written (about
// 24 minutes after 16 MiB echoed at 115200 baud on a port faster than that).
TEST(RemoteSessionQuiet, EndOfInputWaitCoversOnlyWhatThePortCanStillHold) {
    const std::vector<uint8_t> data(1 << 20, 'x');
    const auto lineTime = [](uint64_t bytes) {  // 9600 8N1, as before any report
        return std::chrono::ceil<std::chrono::milliseconds>(std::chrono::microseconds(1042) *
                                                            static_cast<int64_t>(bytes));
    };
    const std::chrono::milliseconds none(0);
    for (const bool local : {true, false}) {
        SCOPED_TRACE(local ? "in-process port" : "across a network");
        InstantLink link;
        link.ahead = local ? std::optional<uint64_t>(LocalLink::kPortBufferBytes) : std::nullopt;
        RemoteSession session(link, [](const uint8_t*, size_t) {});
        ASSERT_EQ(session.Write(data.data(), data.size()), 0);
        if (local) {
            EXPECT_LE(session.QuietRemaining(none), lineTime(LocalLink::kPortBufferBytes));
        } else {  // buffers of unknown size: everything written may still be on its way
            EXPECT_GT(session.QuietRemaining(none), lineTime(data.size() / 2));
        }
        auto echo = std::make_unique<CpdPacket>(kCpdPacketHeaderSize + 4 + data.size());
        const auto n = static_cast<uint32_t>(data.size());
        ASSERT_EQ(echo->SetHeader(0, SERIAL_CMD_READ_DATA, 1), 0);
        ASSERT_EQ(echo->AppendU32(&n), 0);
        ASSERT_EQ(echo->AppendBytes(data.data(), n), 0);
        session.OnPacket(std::move(echo));
        EXPECT_EQ(session.QuietRemaining(none), none);
    }
}

// Nothing is exposed beyond this machine unless asked for.
TEST(EndpointSyntax, BarePortMeansLoopback) {
    Endpoint endpoint;
    std::string error;
    ASSERT_TRUE(ParseEndpoint("5555", &endpoint, &error)) << error;
    EXPECT_EQ(endpoint.Text(), "127.0.0.1:5555");
    ASSERT_TRUE(ParseEndpoint("[::1]:0", &endpoint, &error)) << error;
    EXPECT_EQ(endpoint.Text(), "[::1]:0");
}

TEST(EndpointSyntax, RefusesWhatIsNotHostAndPort) {
    Endpoint endpoint;
    std::string error;
    for (const char* bad : {"localhost", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", ":80"}) {
        EXPECT_FALSE(ParseEndpoint(bad, &endpoint, &error)) << bad;
    }
}

TEST(VirtualSpecSyntax, EmptySpecIsAnEchoAdapter) {
    VirtualSpec spec;
    std::string error;
    ASSERT_TRUE(ParseVirtualSpec("", &spec, &error));
    EXPECT_EQ(spec.identity.product, "Virtual UART");
    EXPECT_EQ(spec.peer, VirtualSpec::Peer::kEcho);
}

// What the keys mean shows in the end-to-end runs; here, what must be refused.
TEST(VirtualSpecSyntax, RefusesWhatItCannotBuild) {
    VirtualSpec spec;
    std::string error;
    for (const char* bad :
         {"colour=red", "vid=12345", "vid=xyz", "peer=tcp:1", "peer=unix:", "product", "pace=x"}) {
        EXPECT_FALSE(ParseVirtualSpec(bad, &spec, &error)) << bad;
    }
}

}  // namespace
}  // namespace cpd::host
