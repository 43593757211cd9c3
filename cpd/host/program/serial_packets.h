// The remote side's view of the serial protocol: building the packets a remote sends
// (SET_CONFIG, START_READ, WRITE) and reading the ones the plug-in sends back (the configuration
// report, read data). Plain functions, no state; any thread. Packets handed in are in the
// host's byte order (the TCP channel converts foreign-order frames before they get here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/interface/cpd_packet.h"

namespace cpd::host {

// A 32-bit payload integer in the host's byte order, from bytes of any alignment.
inline uint32_t LoadU32(const uint8_t* bytes) {
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

// A packet's wire bytes split into header and payload; points into bytes it does not own.
struct PacketView {
    CpdPacketHeader header{};
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
};

// False when the bytes are shorter than a header. The payload ends at the header's length or
// at the end of the bytes, whichever comes first.
bool ViewPacket(const uint8_t* bytes, size_t n, PacketView* out);
bool ViewPacket(CpdPacket& packet, PacketView* out);

std::unique_ptr<CpdPacket> MakeSetConfig(uint8_t devId, uint32_t seq, uint32_t msgType,
                                         const void* data, uint32_t len);
std::unique_ptr<CpdPacket> MakeStartRead(uint8_t devId, uint32_t seq);
std::unique_ptr<CpdPacket> MakeWrite(uint8_t devId, uint32_t seq, const void* data, uint32_t len);

// A remote's first frame when `serve` asks for a shared token: a packet with this command (none
// of the plug-in's) whose payload is laid out like a WRITE's, the token as its bytes. The server
// consumes it; the plug-in never sees it.
constexpr uint16_t kTokenFrameCmd = 7990;
std::unique_ptr<CpdPacket> MakeTokenFrame(const std::string& token);
// The token a token frame carries; false for any other packet.
bool DecodeTokenFrame(const PacketView& view, std::string* token);

// The nine fields of a SERIAL_CMD_REDIR_CONFIG payload; false for another command or a short one.
bool DecodeReport(const PacketView& view, serial_config* out);
// The bytes of a SERIAL_CMD_READ_DATA payload (bounded by what the packet carries).
bool DecodeReadData(const PacketView& view, const uint8_t** data, size_t* n);

// "SET_CONFIG", "READ_DATA", ... or "cmd 1234" for codes the protocol does not name.
std::string CommandName(uint16_t cmd);
std::string RequestName(uint32_t msgType);
// libserialport's encodings as words: "none", "even", "flowcontrol", "invalid", ...
const char* ParityName(int32_t parity);
const char* RtsName(int32_t rts);
const char* CtsName(int32_t cts);
const char* DtrName(int32_t dtr);
const char* DsrName(int32_t dsr);
const char* XonXoffName(int32_t xonXoff);
// "9600 baud, 8 data bits, parity none, 1 stop bit, rts on, cts ignore, ..."
std::string DescribeConfig(const serial_config& config);

}  // namespace cpd::host
