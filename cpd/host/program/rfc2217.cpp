// `serve --rfc2217`: Telnet decoding and negotiation, COM-PORT-OPTION, one client.
#include "cpd/host/program/rfc2217.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "cpd/host/program/driver_session.h"
#include "cpd/host/program/net.h"
#include "cpd/host/program/port_lookup.h"
#include "cpd/host/program/terminal.h"
#include "cpd/host/program/trace.h"
#include "cpd/host/program/virtual_ports.h"

namespace cpd::host {

using namespace telnet;

namespace {

// COM-PORT-OPTION command codes (client to server; the server answers with code + 100).
enum ComPortCommand : uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
constexpr uint8_t kFlowRequest = 0, kFlowNone = 1, kBreakRequest = 4, kBreakOff = 6,
                  kDtrRequest = 7, kDtrOn = 8, kDtrOff = 9, kRtsRequest = 10, kRtsOn = 11,
                  kRtsOff = 12, kFlowInRequest = 13, kFlowInNone = 14;

// Windows SERIAL_HANDFLOW flags, as a remote desktop's serial driver fills the record.
constexpr uint32_t kDtrControl = 0x01, kDtrHandshake = 0x02, kCtsHandshake = 0x08,
                   kDsrHandshake = 0x10, kDcdHandshake = 0x20;
constexpr uint32_t kAutoTransmit = 0x01, kAutoReceive = 0x02, kRtsControl = 0x40,
                   kRtsHandshake = 0x80;

// The plug-in's read timing for a Telnet client: a read ends after this many milliseconds with
// what has arrived, or as soon as a whole buffer is in. 5 ms keeps an echoed byte well under
// 20 ms even on a loaded machine (10 ms measured 27 ms at p99 there), for 200 empty reads a
// second while idle, about 1% of a core.
constexpr uint32_t kReadTimeoutMs = 5;
constexpr uint64_t kReadLength = 4096;
// A client that reads nothing for this long while the port sends is dropped, so neither the
// read pump nor the serving thread waits on it forever.
constexpr int kSendTimeoutSeconds = 10;

void AppendReply(uint8_t command, const uint8_t* value, size_t n, std::vector<uint8_t>* out) {
    out->insert(out->end(), {kIac, kSb, kComPort, static_cast<uint8_t>(command + kServerOffset)});
    TelnetEscape(value, n, out);
    out->insert(out->end(), {kIac, kSe});
}

void AppendReply(uint8_t command, uint8_t value, std::vector<uint8_t>* out) {
    AppendReply(command, &value, 1, out);
}

std::string Hex(uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02x", byte);
    return text;
}

}  // namespace

void TelnetEscape(const uint8_t* data, size_t n, std::vector<uint8_t>* out) {
    const uint8_t* end = data + n;
    while (data < end) {
        const auto* iac = static_cast<const uint8_t*>(std::memchr(data, kIac, end - data));
        const uint8_t* stop = iac != nullptr ? iac + 1 : end;
        out->insert(out->end(), data, stop);
        if (iac != nullptr) {
            out->push_back(kIac);
        }
        data = stop;
    }
}

bool TelnetDecoder::Feed(const uint8_t* data, size_t n, Handler& handler, std::string* error) {
    // Data runs are gathered across doubled IACs and handed on before any command and at the
    // end of the input, so a stream full of 0xFF still reaches the port in large writes.
    std::vector<uint8_t> gathered;
    auto flush = [&]() {
        const bool ok = gathered.empty() || handler.OnData(gathered.data(), gathered.size(), error);
        gathered.clear();
        return ok;
    };
    // Data that came before a malformed command still goes to the port, as with any split.
    auto fail = [&](const std::string& why) {
        if (flush()) {
            *error = why;
        }
        return false;
    };
    size_t i = 0;
    while (i < n) {
        switch (mState) {
            case State::kData: {
                const auto* iac = static_cast<const uint8_t*>(std::memchr(data + i, kIac, n - i));
                const size_t end = iac != nullptr ? static_cast<size_t>(iac - data) : n;
                if (gathered.empty() && iac == nullptr) {
                    // The common case, a read without IAC: no copy.
                    return handler.OnData(data + i, n - i, error);
                }
                gathered.insert(gathered.end(), data + i, data + end);
                i = end;
                if (iac != nullptr) {
                    mState = State::kIac;
                    ++i;
                }
                break;
            }
            case State::kIac: {
                const uint8_t byte = data[i++];
                mState = State::kData;
                if (byte == kIac) {
                    gathered.push_back(kIac);
                } else if (byte >= kWill) {
                    mVerb = byte;
                    mState = State::kVerb;
                } else if (byte == kSb) {
                    mState = State::kSbOption;
                } else if (byte == kSe) {
                    return fail("IAC SE outside a subnegotiation");
                } else if (byte < kSe) {
                    return fail("IAC followed by " + Hex(byte) + ", not a Telnet command");
                }
                // NOP, DM, BRK, IP, AO, AYT, EC, EL and GA mean nothing to a serial line.
                break;
            }
            case State::kVerb:
                mState = State::kData;
                if (!flush() || !handler.OnOption(mVerb, data[i++], error)) {
                    return false;
                }
                break;
            case State::kSbOption:
                mSbOption = data[i++];
                mSb.clear();
                mState = State::kSbData;
                break;
            case State::kSbData:
            case State::kSbIac: {
                const uint8_t byte = data[i++];
                if (mState == State::kSbData && byte == kIac) {
                    mState = State::kSbIac;
                    break;
                }
                if (mState == State::kSbIac && byte == kSe) {
                    mState = State::kData;
                    if (!flush() ||
                        !handler.OnSubnegotiation(mSbOption, mSb.data(), mSb.size(), error)) {
                        return false;
                    }
                    break;
                }
                if (mState == State::kSbIac && byte != kIac) {
                    return fail("IAC " + Hex(byte) + " inside a subnegotiation");
                }
                if (mSb.size() >= kMaxSubnegotiation) {
                    return fail("subnegotiation longer than " + std::to_string(kMaxSubnegotiation) +
                                " bytes");
                }
                mSb.push_back(byte);
                mState = State::kSbData;
                break;
            }
        }
    }
    return flush();
}

int TelnetNegotiation::Slot(uint8_t option) {
    switch (option) {
        case kBinary:
            return 0;
        case kSuppressGoAhead:
            return 1;
        case kComPort:
            return static_cast<int>(kComPortSlot);
        default:
            return -1;
    }
}

void TelnetNegotiation::Start(std::vector<uint8_t>* out) {
    // BINARY and SUPPRESS-GO-AHEAD both ways; COM-PORT-OPTION is the client's to offer, the
    // server invites it.
    for (uint8_t option : {kBinary, kSuppressGoAhead}) {
        mUs[Slot(option)] = State::kWantYes;
        out->insert(out->end(), {kIac, kWill, option});
    }
    for (uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
        mThem[Slot(option)] = State::kWantYes;
        out->insert(out->end(), {kIac, kDo, option});
    }
}

void TelnetNegotiation::Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
    const bool theirs = verb == kWill || verb == kWont;
    const bool positive = verb == kWill || verb == kDo;
    const uint8_t yes = theirs ? kDo : kWill;
    const uint8_t no = theirs ? kDont : kWont;
    const int slot = Slot(option);
    if (slot < 0) {
        // Refused; a refusal or a withdrawal of an option never in force needs no answer.
        if (positive) {
            out->insert(out->end(), {kIac, no, option});
        }
        return;
    }
    State& state = theirs ? mThem[slot] : mUs[slot];
    if (positive) {
        if (state == State::kNo) {
            out->insert(out->end(), {kIac, yes, option});
        }
        state = State::kYes;
    } else {
        if (state == State::kYes) {
            out->insert(out->end(), {kIac, no, option});
        }
        state = State::kNo;
    }
}

ComPortControl::ComPortControl(const serial_config& report, std::string signature)
    : mCurrent(report), mSignature(std::move(signature)) {
    // Values the report calls invalid read as the common 8N1, as `term` completes them.
    if (mCurrent.bits < 5 || mCurrent.bits > 8) {
        mCurrent.bits = 8;
    }
    if (mCurrent.parity < 0 || mCurrent.parity > 4) {
        mCurrent.parity = 0;
    }
    if (mCurrent.stopbits != 1 && mCurrent.stopbits != 2) {
        mCurrent.stopbits = 1;
    }
    mCurrent.baudrate = std::max(mCurrent.baudrate, 0);
    // libserialport's encodings: rts/dtr 2 and cts/dsr 1 are flow control; xon_xoff 1 in,
    // 2 out, 3 both.
    const bool hardware = report.rts == 2 && report.cts == 1;
    mFlowOut = hardware ? 3 : (report.xon_xoff == 2 || report.xon_xoff == 3) ? 2 : kFlowNone;
    mFlowIn = report.rts == 2                                  ? 16
              : (report.xon_xoff == 1 || report.xon_xoff == 3) ? 15
              : report.dtr == 2                                ? 18
                                                               : kFlowInNone;
}

void ComPortControl::ConnectDefaults(PortSettings* settings) {
    std::vector<uint8_t> unanswered;  // nobody asked
    control(kFlowNone, settings, &unanswered);
}

void ComPortControl::InitialNotifications(std::vector<uint8_t>* out) const {
    AppendReply(kNotifyModemState, kModemState, out);
}

bool ComPortControl::Handle(const uint8_t* data, size_t n, PortSettings* settings,
                            std::vector<uint8_t>* reply, std::string* error) {
    if (n == 0) {
        *error = "empty COM-PORT-OPTION command";
        return false;
    }
    const uint8_t command = data[0];
    const uint8_t* value = data + 1;
    const size_t size = n - 1;
    // Settings carry a value of fixed size; the signature is free text and the polls and
    // flow-control notices carry nothing we read.
    size_t wanted = size;
    if (command == kSetBaudRate) {
        wanted = 4;
    } else if ((command >= kSetDataSize && command <= kSetControl) ||
               (command >= kSetLineStateMask && command <= kPurgeData)) {
        wanted = 1;
    }
    if (size != wanted) {
        *error = "COM-PORT-OPTION command " + std::to_string(command) + " with " +
                 std::to_string(size) + " value bytes, expected " + std::to_string(wanted);
        return false;
    }
    // Each line-control change sends one request carrying all three current values.
    auto lineControl = [&] {
        settings->dataBits = static_cast<uint8_t>(mCurrent.bits);
        settings->parity = static_cast<ParitySetting>(mCurrent.parity);
        settings->stopBits = static_cast<uint8_t>(mCurrent.stopbits);
    };
    switch (command) {
        case kSignature:
            // A client's own signature needs no answer; an empty one asks for ours.
            if (size == 0) {
                AppendReply(kSignature, reinterpret_cast<const uint8_t*>(mSignature.data()),
                            mSignature.size(), reply);
            }
            break;
        case kSetBaudRate: {
            const uint32_t baud =
                static_cast<uint32_t>(value[0]) << 24 | value[1] << 16 | value[2] << 8 | value[3];
            // 0 asks for the current rate; the plug-in takes rates up to INT32_MAX.
            if (baud != 0 && baud <= 0x7fffffffu) {
                settings->baud = baud;
                mCurrent.baudrate = static_cast<int32_t>(baud);
            }
            const auto now = static_cast<uint32_t>(mCurrent.baudrate);
            const uint8_t bytes[4] = {static_cast<uint8_t>(now >> 24),
                                      static_cast<uint8_t>(now >> 16),
                                      static_cast<uint8_t>(now >> 8), static_cast<uint8_t>(now)};
            AppendReply(command, bytes, sizeof(bytes), reply);
            break;
        }
        case kSetDataSize:
            if (value[0] >= 5 && value[0] <= 8) {
                mCurrent.bits = value[0];
                lineControl();
            }
            AppendReply(command, static_cast<uint8_t>(mCurrent.bits), reply);
            break;
        case kSetParity:
            // 1 none, 2 odd, 3 even, 4 mark, 5 space: libserialport's numbering plus one.
            if (value[0] >= 1 && value[0] <= 5) {
                mCurrent.parity = value[0] - 1;
                lineControl();
            }
            AppendReply(command, static_cast<uint8_t>(mCurrent.parity + 1), reply);
            break;
        case kSetStopSize:
            // 1 and 2 are counts as the plug-in passes them on; 3 (one and a half) it cannot set.
            if (value[0] == 1 || value[0] == 2) {
                mCurrent.stopbits = value[0];
                lineControl();
            }
            AppendReply(command, static_cast<uint8_t>(mCurrent.stopbits), reply);
            break;
        case kSetControl:
            control(value[0], settings, reply);
            break;
        case kNotifyLineState:
            AppendReply(command, kLineState, reply);
            break;
        case kNotifyModemState:
            AppendReply(command, kModemState, reply);
            break;
        case kSetLineStateMask:
        case kSetModemStateMask:
            // Accepted as asked; with states that never change no notification follows.
            AppendReply(command, value[0], reply);
            break;
        case kPurgeData:
            if (value[0] >= 1 && value[0] <= 3) {
                settings->purge = true;
                AppendReply(command, value[0], reply);
            }
            break;
        default:
            // FLOWCONTROL-SUSPEND/RESUME: TCP's own flow control already holds the port's bytes
            // back while the client reads nothing. Unknown commands are skipped.
            break;
    }
    return true;
}

void ComPortControl::control(uint8_t value, PortSettings* settings, std::vector<uint8_t>* reply) {
    struct Flow {
        uint8_t code;
        bool inbound;
        uint32_t handShake;
        uint32_t flowReplace;
    };
    static const Flow kFlows[] = {
        {kFlowNone, false, kDtrControl, kRtsControl},
        {2, false, kDtrControl, kAutoTransmit | kAutoReceive | kRtsControl},
        {3, false, kDtrControl | kCtsHandshake, kRtsHandshake},
        {kFlowInNone, true, kDtrControl, kRtsControl},
        {15, true, kDtrControl, kAutoReceive | kRtsControl},
        {16, true, kDtrControl, kRtsHandshake},
        {17, false, kDtrControl | kDcdHandshake, kRtsControl},
        {18, true, kDtrHandshake, kRtsControl},
        {19, false, kDtrControl | kDsrHandshake, kRtsControl},
    };
    for (const Flow& flow : kFlows) {
        if (flow.code != value) {
            continue;
        }
        // Whatever was asked, the plug-in's handshake request ends all flow control: the reply
        // says so, and libserialport leaves lines that were under flow control raised.
        settings->flowOff = true;
        settings->handShake = flow.handShake;
        settings->flowReplace = flow.flowReplace;
        mFlowOut = kFlowNone;
        mFlowIn = kFlowInNone;
        mCurrent.rts = mCurrent.rts == 2 ? 1 : mCurrent.rts;
        mCurrent.dtr = mCurrent.dtr == 2 ? 1 : mCurrent.dtr;
        mCurrent.cts = 0;
        mCurrent.dsr = 0;
        mCurrent.xon_xoff = 0;
        AppendReply(kSetControl, flow.inbound ? kFlowInNone : kFlowNone, reply);
        return;
    }
    const uint8_t dtr = mCurrent.dtr == 0 ? kDtrOff : kDtrOn;
    const uint8_t rts = mCurrent.rts == 0 ? kRtsOff : kRtsOn;
    switch (value) {
        case kFlowRequest:
            AppendReply(kSetControl, mFlowOut, reply);
            break;
        case kFlowInRequest:
            AppendReply(kSetControl, mFlowIn, reply);
            break;
        case kBreakRequest:
        case 5:
        case kBreakOff:
            // The plug-in has no break request: break is never on.
            AppendReply(kSetControl, kBreakOff, reply);
            break;
        case kDtrOff:
            // The only DTR request drops DTR briefly and raises it again.
            settings->dtrPulse = true;
            mCurrent.dtr = 1;
            AppendReply(kSetControl, kDtrOn, reply);
            break;
        case kDtrRequest:
        case kDtrOn:
            AppendReply(kSetControl, dtr, reply);
            break;
        case kRtsRequest:
        case kRtsOn:
        case kRtsOff:
            // No request sets RTS: the reply is the state the port keeps.
            AppendReply(kSetControl, rts, reply);
            break;
        default:
            break;
    }
}

namespace {

// One client from connect to leave. The serving thread reads the socket and feeds the plug-in;
// the plug-in's read pump sends the port's bytes. mSendMutex keeps a reply from splitting a
// data run (the only state both threads touch, with the lost flag and the sent clock).
class Rfc2217Client final : public RemoteProtocol, TelnetDecoder::Handler {
  public:
    Rfc2217Client(const Rfc2217Setup& setup, int fd, const std::string& peer)
        : mSetup(setup),
          mFd(fd),
          mPeer(peer),
          mSession(mLink, [this](const uint8_t* data, size_t n) { toClient(data, n); }) {}
    ~Rfc2217Client() override {
        // A read pump blocked sending to a client that stopped reading is released before the
        // driver's Close joins it.
        ShutdownSocket(mFd);
        mDriver.reset();
    }
    Rfc2217Client(const Rfc2217Client&) = delete;
    Rfc2217Client& operator=(const Rfc2217Client&) = delete;

    bool Open(std::string* error);

    bool Received(const uint8_t* data, size_t n, bool* complete, std::string* why) override {
        std::string error;
        mActed = false;
        const bool ok = mDecoder.Feed(data, n, *this, &error);
        *complete = mActed;
        if (!ok) {
            *why = "client " + mPeer + ": " + error + "; closing the connection";
        }
        return ok;
    }
    bool SendingEnded(std::string* why) override {
        if (mDecoder.InSequence()) {
            *why = "client " + mPeer + " left in the middle of a Telnet command";
            return false;
        }
        return true;
    }
    bool Admitted() const override { return true; }
    SentClock& Sent() override { return mSent; }
    int LostFd() const override { return mLostFlag.Fd(); }

  private:
    bool OnData(const uint8_t* data, size_t n, std::string* error) override;
    bool OnOption(uint8_t verb, uint8_t option, std::string* error) override;
    bool OnSubnegotiation(uint8_t option, const uint8_t* data, size_t n,
                          std::string* error) override;
    bool send(const std::vector<uint8_t>& bytes, std::string* error);
    void toClient(const uint8_t* data, size_t n);

    const Rfc2217Setup mSetup;
    const int mFd;
    const std::string mPeer;
    std::mutex mSendMutex;           // one writer on mFd at a time
    std::atomic<bool> mLost{false};  // a send to the client failed
    EventFlag mLostFlag;             // raised with mLost, wakes the serving thread
    SentClock mSent;
    std::vector<uint8_t> mEscaped;  // read pump only
    LocalLink mLink;
    RemoteSession mSession;
    std::unique_ptr<DriverSession> mDriver;  // after mSession: its pump calls into the session
    TelnetDecoder mDecoder;
    TelnetNegotiation mNegotiation;
    std::optional<ComPortControl> mComPort;
    bool mNotified = false;
    bool mActed = false;  // the decoder handed on an event during this Received
};

bool Rfc2217Client::Open(std::string* error) {
    SetSendTimeout(mFd, kSendTimeoutSeconds * 1000);
    DeviceIdentity identity;
    identity.devId = mSetup.devId;
    mDriver = DriverSession::Open(
        mSetup.plugin, mSetup.description, identity, mSetup.tracer,
        [this](std::unique_ptr<CpdPacket> packet) { mSession.OnPacket(std::move(packet)); }, error);
    if (mDriver == nullptr) {
        *error += "; closing the connection";
        return false;
    }
    serial_config report{};
    if (!mDriver->ReportSent() || !mSession.WaitForReport(std::chrono::milliseconds(0), &report)) {
        *error = "the plug-in could not open " + Quote(mSetup.description) + " for " + mPeer +
                 "; closing the connection (the log shows the plug-in's reason)";
        return false;
    }
    mDriver->SetAfterDeliver([this](uint16_t cmd) {
        if (cmd == SERIAL_CMD_SET_CONFIG && mSetup.tracer.On()) {
            const std::string line = mSetup.virtualPorts.DescribeLine(mSetup.description);
            if (!line.empty()) {
                mSetup.tracer.Note(line);
            }
        }
    });
    mLink.Attach(mDriver.get());
    mComPort.emplace(report, "cpd-host " + mSetup.description);
    PortSettings timing;  // the read timing, and the line as every client assumes it
    timing.readTimeoutMs = kReadTimeoutMs;
    timing.readLength = kReadLength;
    mComPort->ConnectDefaults(&timing);
    std::vector<uint8_t> hello;
    mNegotiation.Start(&hello);
    std::string unsent;
    if (mSession.ApplySettings(timing, report) != 0 || mSession.StartRead() != 0 ||
        !send(hello, &unsent)) {
        *error = "cannot start serving " + mPeer + "; closing the connection";
        return false;
    }
    return true;
}

bool Rfc2217Client::OnData(const uint8_t* data, size_t n, std::string* error) {
    mActed = true;
    if (mSession.Write(data, n) != 0) {
        *error = "the plug-in did not take " + std::to_string(n) + " bytes";
        return false;
    }
    return true;
}

bool Rfc2217Client::OnOption(uint8_t verb, uint8_t option, std::string* error) {
    mActed = true;
    std::vector<uint8_t> out;
    mNegotiation.Receive(verb, option, &out);
    if (!mNotified && mNegotiation.ComPortActive()) {
        mNotified = true;
        mComPort->InitialNotifications(&out);
    }
    return out.empty() || send(out, error);
}

bool Rfc2217Client::OnSubnegotiation(uint8_t option, const uint8_t* data, size_t n,
                                     std::string* error) {
    mActed = true;
    if (option != kComPort) {
        return true;  // an option we refused; its contents mean nothing here
    }
    PortSettings settings;
    std::vector<uint8_t> reply;
    if (!mComPort->Handle(data, n, &settings, &reply, error)) {
        return false;
    }
    if (mSetup.tracer.On()) {
        mSetup.tracer.Note("client>server COM-PORT-OPTION " + PreviewBytes(data, n) + " reply " +
                           PreviewBytes(reply.data(), reply.size()));
    }
    // The request is served before the reply leaves: the value answered is in effect.
    if (mSession.ApplySettings(settings, mComPort->Current()) != 0) {
        *error = "the plug-in did not take a settings request";
        return false;
    }
    return reply.empty() || send(reply, error);
}

bool Rfc2217Client::send(const std::vector<uint8_t>& bytes, std::string* error) {
    std::lock_guard<std::mutex> lock(mSendMutex);
    if (SendAll(mFd, bytes.data(), bytes.size()) != 0) {
        *error = "cannot send to the client";
        return false;
    }
    return true;
}

void Rfc2217Client::toClient(const uint8_t* data, size_t n) {
    if (mLost) {
        return;  // the serving thread is closing this client
    }
    const uint8_t* out = data;
    size_t size = n;
    if (std::memchr(data, kIac, n) != nullptr) {
        mEscaped.clear();
        TelnetEscape(data, n, &mEscaped);
        out = mEscaped.data();
        size = mEscaped.size();
    }
    std::lock_guard<std::mutex> lock(mSendMutex);
    if (SendAll(mFd, out, size) != 0) {
        mLost = true;
        mLostFlag.Raise();
        return;
    }
    mSent.Mark();
}

}  // namespace

std::unique_ptr<RemoteProtocol> OpenRfc2217Client(const Rfc2217Setup& setup, int fd,
                                                  const std::string& peer, std::string* error) {
    auto client = std::make_unique<Rfc2217Client>(setup, fd, peer);
    if (!client->Open(error)) {
        return nullptr;
    }
    return client;
}

}  // namespace cpd::host
