// The line settings a user or a client asks for, as the remote side's requests carry them: what
// options parse into and what RemoteSession sends. Plain values; no behaviour.
#pragma once

#include <cstdint>
#include <optional>

namespace cpd::host {

// libserialport's parity numbers, which the line-control request carries unchanged.
enum class ParitySetting : uint8_t { kNone = 0, kOdd = 1, kEven = 2, kMark = 3, kSpace = 4 };

// What the user asked to change; unset fields are left as the port reported them.
struct PortSettings {
    std::optional<uint32_t> baud;
    std::optional<uint8_t> dataBits;
    std::optional<ParitySetting> parity;
    std::optional<uint8_t> stopBits;  // a count, 1 or 2: the plug-in passes it to libserialport
    std::optional<uint32_t> readTimeoutMs;
    std::optional<uint64_t> readLength;
    bool dtrPulse = false;
    bool flowOff = false;  // the plug-in's handshake request always ends all flow control
    // Windows SERIAL_HANDFLOW flags the handshake request carries; the plug-in only logs them.
    uint32_t handShake = 0;
    uint32_t flowReplace = 0;
    bool purge = false;
};

}  // namespace cpd::host
