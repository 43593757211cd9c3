// Builds the packets the remote side sends to the driver. Payload integers are little-endian,
// which is what the driver reads on every host it ships for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/interface/cpd_packet.h"

namespace cpd::test {

class PacketBuilder {
  public:
    PacketBuilder(uint8_t devId, uint16_t cmd) : mDevId(devId), mCmd(cmd) {}

    PacketBuilder& U32(uint32_t value) { return Bytes(&value, sizeof(value)); }
    PacketBuilder& Bytes(const void* data, size_t n) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        mPayload.insert(mPayload.end(), bytes, bytes + n);
        return *this;
    }
    PacketBuilder& Bytes(const std::string& text) { return Bytes(text.data(), text.size()); }

    // A packet whose block holds exactly the header and the payload, as a received one does.
    std::unique_ptr<CpdPacket> Build() const {
        std::unique_ptr<CpdPacket> packet(new CpdPacket(kCpdPacketHeaderSize + mPayload.size()));
        packet->SetHeader(mDevId, mCmd, 0);
        if (!mPayload.empty()) {
            packet->AppendBytes(mPayload.data(), static_cast<uint32_t>(mPayload.size()));
        }
        return packet;
    }
    // The wire bytes of Build(), the header's length field replaced by `length` if given.
    std::vector<uint8_t> Wire(std::optional<uint32_t> length = std::nullopt) const {
        std::unique_ptr<CpdPacket> packet = Build();
        std::vector<uint8_t> wire(packet->Data(), packet->Data() + packet->Length());
        if (length) {
            std::memcpy(wire.data() + offsetof(CpdPacketHeader, length), &*length, sizeof(*length));
        }
        return wire;
    }

  private:
    uint8_t mDevId;
    uint16_t mCmd;
    std::vector<uint8_t> mPayload;
};

inline PacketBuilder SetConfig(uint8_t devId, uint32_t msgType, const void* data, uint32_t len) {
    PacketBuilder builder(devId, SERIAL_CMD_SET_CONFIG);
    builder.U32(msgType).U32(len).Bytes(data, len);
    return builder;
}

inline std::unique_ptr<CpdPacket> BaudRate(uint8_t devId, uint32_t baud) {
    return SetConfig(devId, DRIVER_SET_BAUD_RATE_TO_USER, &baud, sizeof(baud)).Build();
}

inline std::unique_ptr<CpdPacket> LineControl(uint8_t devId, uint8_t stopBits, uint8_t parity,
                                              uint8_t wordLength) {
    const uint8_t record[3] = {stopBits, parity, wordLength};
    return SetConfig(devId, DRIVER_SET_LINE_CONTROL_TO_USER, record, sizeof(record)).Build();
}

// Only ReadTotalTimeoutConstant matters to the driver; the others are set to recognisable values.
inline std::unique_ptr<CpdPacket> Timeouts(uint8_t devId, uint32_t readTotalConstant) {
    const uint32_t record[5] = {1, 2, readTotalConstant, 4, 5};
    return SetConfig(devId, DRIVER_SET_TIMEOUTS_TO_USER, record, sizeof(record)).Build();
}

inline std::unique_ptr<CpdPacket> ReadLength(uint8_t devId, uint64_t length) {
    return SetConfig(devId, SET_READ_LENGTH, &length, sizeof(length)).Build();
}

inline std::unique_ptr<CpdPacket> StartRead(uint8_t devId) {
    return PacketBuilder(devId, SERIAL_CMD_START_READ).Build();
}

inline std::unique_ptr<CpdPacket> Write(uint8_t devId, const std::string& bytes) {
    PacketBuilder builder(devId, SERIAL_CMD_WRITE);
    builder.U32(static_cast<uint32_t>(bytes.size())).Bytes(bytes);
    return builder.Build();
}

}  // namespace cpd::test
