// A client's byte stream as `serve --rfc2217` reads it: the Telnet decoder, the option
// negotiation and the COM-PORT-OPTION commands, with the settings requests built from them.
// Checked on every run:
// - any split of the stream into reads gives the same events, answers, requests and failure
//   as one read (two servers, one fed each way);
// - every data run survives escaping and decoding;
// - every answer is well formed: a negotiation as one IAC verb option answering the one
//   received, a COM-PORT-OPTION reply as one subnegotiation (through the decoder) with the
//   server's code for the command, carrying the value now in effect for the line settings;
// - a supported option asked for twice is answered once (no negotiation loops);
// - settings stay in the ranges the plug-in takes, and every request packet is well formed.
// (The data runs would become WRITE packets; building those is no parser and costs most of a
// run, so the data is only logged.)
// Events and requests are kept as flat logs: under ASan an allocation costs more than the
// decoding, and fewer of them keep the rate up.
//
// Input layout: report selector u8 (which port the client meets), split count u8 (& 7) and that
// many read sizes u8 (0 reads as 1, used in turn; no sizes: one read), then the client's stream.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cpd/host/program/remote_session.h"
#include "cpd/host/program/rfc2217.h"
#include "cpd/host/program/serial_packets.h"
#include "fuzz/fuzz_input.h"

namespace {

using namespace cpd;
using namespace cpd::host;
using namespace cpd::host::telnet;

constexpr uint8_t kComPortReply = 100;  // a server's reply code is the command's plus this

// What ports report at open (libserialport's encodings), invalid values included.
const serial_config kReports[] = {
    {9600, 8, -1, 1, 1, 0, 1, 0, 2},       // a fresh tty: XON/XOFF out, parity unknown
    {115200, 7, 2, 2, 2, 1, 2, 1, 0},      // hardware flow control, 7E2
    {-1, -1, -1, -1, -1, -1, -1, -1, -1},  // nothing readable
    {0x7fffffff, 5, 4, 1, 0, 0, 0, 0, 3},  // extremes
};

// Records as kind byte, u32 size, bytes; consecutive 'd' records merge, so any split of a data
// run logs the same.
class Log {
  public:
    void Add(char kind, const uint8_t* data, size_t n) {
        if (kind != 'd' || mOpenData == std::string::npos) {
            mText.push_back(kind);
            mOpenData = kind == 'd' ? mText.size() : std::string::npos;
            mText.append(4, '\0');
        }
        uint32_t size = 0;
        const size_t at = kind == 'd' ? mOpenData : mText.size() - 4;
        std::memcpy(&size, &mText[at], 4);
        size += static_cast<uint32_t>(n);
        std::memcpy(&mText[at], &size, 4);
        mText.append(reinterpret_cast<const char*>(data), n);
    }
    bool operator==(const Log& other) const { return mText == other.mText; }

  private:
    std::string mText;
    size_t mOpenData = std::string::npos;
};

// The one subnegotiation a server's reply must decode to.
struct ReplyReader final : TelnetDecoder::Handler {
    int events = 0;
    uint8_t option = 0;
    std::string body;
    bool OnData(const uint8_t*, size_t, std::string*) override { return ++events, true; }
    bool OnOption(uint8_t, uint8_t, std::string*) override { return ++events, true; }
    bool OnSubnegotiation(uint8_t opt, const uint8_t* data, size_t n, std::string*) override {
        ++events;
        option = opt;
        body.assign(reinterpret_cast<const char*>(data), n);
        return true;
    }
};

// Decodes escaped data and compares it with what was escaped, as it comes.
struct DataMatcher final : TelnetDecoder::Handler {
    const uint8_t* expected;
    size_t size;
    size_t matched = 0;
    bool ok = true;
    DataMatcher(const uint8_t* data, size_t n) : expected(data), size(n) {}
    bool OnData(const uint8_t* data, size_t n, std::string*) override {
        ok = ok && matched + n <= size && std::memcmp(expected + matched, data, n) == 0;
        matched += n;
        return true;
    }
    bool OnOption(uint8_t, uint8_t, std::string*) override { return ok = false, true; }
    bool OnSubnegotiation(uint8_t, const uint8_t*, size_t, std::string*) override {
        return ok = false, true;
    }
};

// Checks every request the session sends and logs its payload.
struct RequestLink final : PacketLink {
    Log requests;
    int Send(std::unique_ptr<CpdPacket> packet) override {
        FUZZ_CHECK(packet != nullptr);
        PacketView view;
        FUZZ_CHECK(ViewPacket(*packet, &view));
        FUZZ_CHECK(view.header.length == packet->Capacity());
        FUZZ_CHECK(view.header.cmd == SERIAL_CMD_SET_CONFIG);
        FUZZ_CHECK(view.payloadSize >= 8 && LoadU32(view.payload + 4) == view.payloadSize - 8);
        requests.Add('s', view.payload, view.payloadSize);
        return 0;
    }
};

// One server's side of a client: the real negotiation and COM-PORT-OPTION control, answering
// as Rfc2217Client does, with everything it sends logged.
class Server final : public TelnetDecoder::Handler {
  public:
    explicit Server(const serial_config& report)
        : mControl(report, "fz"), mSession(mLink, [](const uint8_t*, size_t) {}) {
        mNegotiation.Start(&mScratch);
        PortSettings defaults;
        mControl.ConnectDefaults(&defaults);
        FUZZ_CHECK(defaults.flowOff);
        FUZZ_CHECK(mSession.ApplySettings(defaults, mControl.Current()) == 0);
    }

    bool OnData(const uint8_t* data, size_t n, std::string*) override {
        mEvents.Add('d', data, n);
        mScratch.clear();
        TelnetEscape(data, n, &mScratch);
        DataMatcher matcher(data, n);
        TelnetDecoder decoder;
        std::string error;
        FUZZ_CHECK(decoder.Feed(mScratch.data(), mScratch.size(), matcher, &error));
        FUZZ_CHECK(matcher.ok && matcher.matched == n && !decoder.InSequence());
        return true;
    }

    bool OnOption(uint8_t verb, uint8_t option, std::string*) override {
        const uint8_t event[2] = {verb, option};
        mEvents.Add('o', event, 2);
        mScratch.clear();
        mNegotiation.Receive(verb, option, &mScratch);
        if (!mScratch.empty()) {
            // WILL/WONT are answered with DO/DONT and the other way round; a refusal is never
            // answered with an agreement.
            const bool theirs = verb == kWill || verb == kWont;
            const bool positive = verb == kWill || verb == kDo;
            const uint8_t answer = mScratch.size() == 3 ? mScratch[1] : 0;
            FUZZ_CHECK(mScratch.size() == 3 && mScratch[0] == kIac && mScratch[2] == option);
            FUZZ_CHECK((answer == kDo || answer == kDont) == theirs && answer >= kWill);
            FUZZ_CHECK(positive || answer == kDont || answer == kWont);
        }
        if (option == kBinary || option == kSuppressGoAhead || option == kComPort) {
            TelnetNegotiation again = mNegotiation;
            std::vector<uint8_t> repeat;
            again.Receive(verb, option, &repeat);
            FUZZ_CHECK(repeat.empty());
        }
        mAnswers.Add('a', mScratch.data(), mScratch.size());
        return true;
    }

    bool OnSubnegotiation(uint8_t option, const uint8_t* data, size_t n,
                          std::string* error) override {
        mEvents.Add('s', &option, 1);
        mEvents.Add('b', data, n);
        if (option != kComPort) {
            return true;
        }
        PortSettings settings;
        mScratch.clear();
        if (!mControl.Handle(data, n, &settings, &mScratch, error)) {
            FUZZ_CHECK(!error->empty() && mScratch.empty());
            return false;
        }
        checkReply(data[0]);
        checkSettings(settings);
        FUZZ_CHECK(mSession.ApplySettings(settings, mControl.Current()) == 0);
        mAnswers.Add('a', mScratch.data(), mScratch.size());
        return true;
    }

    bool SameAs(const Server& other) const {
        return mEvents == other.mEvents && mAnswers == other.mAnswers &&
               mLink.requests == other.mLink.requests;
    }

  private:
    // The reply in mScratch to `command`, if any.
    void checkReply(uint8_t command) {
        if (mScratch.empty()) {
            return;
        }
        ReplyReader reader;
        TelnetDecoder decoder;
        std::string error;
        FUZZ_CHECK(decoder.Feed(mScratch.data(), mScratch.size(), reader, &error));
        FUZZ_CHECK(reader.events == 1 && reader.option == kComPort && !decoder.InSequence());
        const std::string& body = reader.body;
        FUZZ_CHECK(!body.empty() && static_cast<uint8_t>(body[0]) == command + kComPortReply);
        const serial_config& now = mControl.Current();
        const auto baud = static_cast<uint32_t>(now.baudrate);
        const char rate[4] = {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                              static_cast<char>(baud >> 8), static_cast<char>(baud)};
        const std::string value = body.substr(1);
        switch (command) {
            case 1:
                FUZZ_CHECK(value == std::string(rate, 4));
                break;
            case 2:
                FUZZ_CHECK(value == std::string(1, static_cast<char>(now.bits)));
                break;
            case 3:
                FUZZ_CHECK(value == std::string(1, static_cast<char>(now.parity + 1)));
                break;
            case 4:
                FUZZ_CHECK(value == std::string(1, static_cast<char>(now.stopbits)));
                break;
            default:
                break;
        }
    }

    void checkSettings(const PortSettings& settings) {
        const serial_config& now = mControl.Current();
        FUZZ_CHECK(now.bits >= 5 && now.bits <= 8 && now.parity >= 0 && now.parity <= 4);
        FUZZ_CHECK((now.stopbits == 1 || now.stopbits == 2) && now.baudrate >= 0);
        if (settings.baud) {
            FUZZ_CHECK(*settings.baud >= 1 && *settings.baud <= 0x7fffffffu);
            FUZZ_CHECK(static_cast<int32_t>(*settings.baud) == now.baudrate);
        }
        // One line-control request carries all three values in effect.
        FUZZ_CHECK(settings.dataBits.has_value() == settings.parity.has_value() &&
                   settings.parity.has_value() == settings.stopBits.has_value());
        if (settings.dataBits) {
            FUZZ_CHECK(*settings.dataBits == now.bits && *settings.stopBits == now.stopbits &&
                       static_cast<int32_t>(*settings.parity) == now.parity);
        }
        FUZZ_CHECK(!settings.readTimeoutMs && !settings.readLength);
    }

    TelnetNegotiation mNegotiation;
    ComPortControl mControl;
    RequestLink mLink;
    RemoteSession mSession;
    Log mEvents;
    Log mAnswers;                   // what the server sent the client
    std::vector<uint8_t> mScratch;  // the answer being built, or escaped data
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cpd::fuzz::FuzzInput in(data, size);
    const serial_config& report = kReports[in.U8() % (sizeof(kReports) / sizeof(kReports[0]))];
    size_t splits[8];
    const size_t splitCount = in.U8() & 7;
    for (size_t i = 0; i < splitCount; ++i) {
        splits[i] = std::max<size_t>(in.U8(), 1);
    }
    size_t n = 0;
    const uint8_t* stream = in.Bytes(in.Remaining(), &n);

    Server whole(report);
    TelnetDecoder wholeDecoder;
    std::string wholeError;
    const bool wholeOk = wholeDecoder.Feed(stream, n, whole, &wholeError);
    FUZZ_CHECK(wholeOk == wholeError.empty());

    Server split(report);
    TelnetDecoder splitDecoder;
    std::string splitError;
    bool splitOk = true;
    for (size_t at = 0, turn = 0; splitOk && at < n; ++turn) {
        const size_t step = splitCount == 0 ? n : std::min(splits[turn % splitCount], n - at);
        splitOk = splitDecoder.Feed(stream + at, step, split, &splitError);
        at += step;
    }
    FUZZ_CHECK(splitOk == wholeOk && splitError == wholeError);
    FUZZ_CHECK(split.SameAs(whole));
    FUZZ_CHECK(!wholeOk || splitDecoder.InSequence() == wholeDecoder.InSequence());
    return 0;
}
