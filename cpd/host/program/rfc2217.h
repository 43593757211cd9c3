// `serve --rfc2217`: the plug-in behind a Telnet COM-PORT-OPTION front end (RFC 2217), so any
// standard serial client (pyserial's rfc2217:// URLs, serial-port redirectors, terminals) drives
// the local port through the real plug-in. The client's settings become the SET_CONFIG requests
// a remote desktop's side would send; its bytes become WRITE packets; READ_DATA goes back to it.
//
// TelnetDecoder, TelnetNegotiation and ComPortControl are plain single-threaded state machines
// (no I/O), owned by the thread that reads the client's socket. OpenRfc2217Client gives one
// client to serve's loop (the same rules as every remote of `serve`) on the serving thread; the
// plug-in's read pump sends the port's bytes from its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/host/program/remote_session.h"
#include "cpd/host/program/serve_remote.h"

namespace cpd::host {

class Plugin;
class Tracer;
class VirtualPorts;

namespace telnet {
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
}  // namespace telnet

// Appends `data` to `out` with every 0xFF doubled, as Telnet carries data bytes.
void TelnetEscape(const uint8_t* data, size_t n, std::vector<uint8_t>* out);

// Splits a client's byte stream into data runs, option negotiations and subnegotiations; any
// split of the stream into reads gives the same events. Malformed input is final.
class TelnetDecoder {
  public:
    // Each returns false to stop decoding (with *error set); Feed then returns false too.
    struct Handler {
        virtual ~Handler() = default;
        virtual bool OnData(const uint8_t* data, size_t n, std::string* error) = 0;
        virtual bool OnOption(uint8_t verb, uint8_t option, std::string* error) = 0;
        virtual bool OnSubnegotiation(uint8_t option, const uint8_t* data, size_t n,
                                      std::string* error) = 0;
    };
    // Longer subnegotiations are refused: ours carry a few bytes, a signature a line of text.
    static constexpr size_t kMaxSubnegotiation = 256;

    bool Feed(const uint8_t* data, size_t n, Handler& handler, std::string* error);
    // True while a command or subnegotiation has begun and not ended.
    bool InSequence() const { return mState != State::kData; }

  private:
    enum class State { kData, kIac, kVerb, kSbOption, kSbData, kSbIac };
    State mState = State::kData;
    uint8_t mVerb = 0;
    uint8_t mSbOption = 0;
    std::vector<uint8_t> mSb;
};

// Option negotiation without loops (each side answers a request once): BINARY and
// SUPPRESS-GO-AHEAD both ways and COM-PORT-OPTION are accepted, everything else refused.
class TelnetNegotiation {
  public:
    // What the server asks for when a client connects.
    void Start(std::vector<uint8_t>* out);
    // The answer to one WILL/WONT/DO/DONT, appended to `out` (often nothing).
    void Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>* out);
    // True once the client agreed to send COM-PORT-OPTION commands.
    bool ComPortActive() const { return mThem[kComPortSlot] == State::kYes; }

  private:
    enum class State : uint8_t { kNo, kYes, kWantYes };
    static constexpr size_t kComPortSlot = 2;
    static int Slot(uint8_t option);
    State mUs[3] = {State::kNo, State::kNo, State::kNo};
    State mThem[3] = {State::kNo, State::kNo, State::kNo};
};

// The COM-PORT-OPTION commands of one client against the port's state as the server knows it:
// the plug-in's configuration report plus every change sent since (the plug-in answers nothing,
// so a change sent counts as applied). Modem and line states are fixed: see kModemState.
class ComPortControl {
  public:
    // No modem or line-status input reaches the plug-in's remote side, so none is reported:
    // CTS, DSR, RI and CD read low and never change; no line error is ever signalled.
    static constexpr uint8_t kModemState = 0;
    static constexpr uint8_t kLineState = 0;

    ComPortControl(const serial_config& report, std::string signature);

    // One command (the bytes after COM-PORT-OPTION in a subnegotiation). Requests for the
    // plug-in go to *settings (fields left unset send nothing); the reply subnegotiation, if
    // any, is appended to *reply. False (with *error) for a command whose value is malformed.
    bool Handle(const uint8_t* data, size_t n, PortSettings* settings, std::vector<uint8_t>* reply,
                std::string* error);
    // What clients take for granted at connect, for the first settings request: no flow
    // control (a tty starts with XON/XOFF, which would swallow 0x11 and 0x13 from the device).
    // A client's own SET-CONTROL later applies as any other.
    void ConnectDefaults(PortSettings* settings);
    // Sent once the client enabled the option, so a client reading CTS and the like has a
    // state from the start instead of none.
    void InitialNotifications(std::vector<uint8_t>* out) const;
    // What the line control request must carry; the report's values with every change since.
    const serial_config& Current() const { return mCurrent; }

  private:
    void control(uint8_t value, PortSettings* settings, std::vector<uint8_t>* reply);

    serial_config mCurrent;
    std::string mSignature;
    uint8_t mFlowOut;  // SET-CONTROL codes in effect: 1 none, 2 XON/XOFF, 3 hardware
    uint8_t mFlowIn;   // 14 none, 15 XON/XOFF, 16 hardware, 18 DTR
};

struct Rfc2217Setup {
    Plugin& plugin;
    const VirtualPorts& virtualPorts;
    Tracer& tracer;
    std::string description;
    int devId;
};

// The client connected on `fd` (TCP_NODELAY already set), with the plug-in's device opened for
// it, the read timing set and reading started; nullptr (with a reason) if that failed.
// ServeRemote then translates both ways on the serving thread. Destroying it shuts `fd` down
// and closes the device; it does not close `fd`.
std::unique_ptr<RemoteProtocol> OpenRfc2217Client(const Rfc2217Setup& setup, int fd,
                                                  const std::string& peer, std::string* error);

}  // namespace cpd::host
