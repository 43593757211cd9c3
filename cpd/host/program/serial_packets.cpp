// Building the remote side's packets and reading the plug-in's.
#include "cpd/host/program/serial_packets.h"

#include <algorithm>
#include <cstring>

namespace cpd::host {

namespace {

std::unique_ptr<CpdPacket> NewPacket(uint8_t devId, uint16_t cmd, uint32_t seq,
                                     uint64_t payloadSize) {
    std::unique_ptr<CpdPacket> packet(new CpdPacket(kCpdPacketHeaderSize + payloadSize));
    if (packet->Capacity() == 0 || packet->SetHeader(devId, cmd, seq) != 0) {
        return nullptr;
    }
    return packet;
}

const char* Pick(int32_t value, std::initializer_list<const char*> names) {
    if (value == -1) {
        return "invalid";
    }
    if (value < 0 || static_cast<size_t>(value) >= names.size()) {
        return "?";
    }
    return names.begin()[value];
}

}  // namespace

bool ViewPacket(const uint8_t* bytes, size_t n, PacketView* out) {
    if (bytes == nullptr || n < kCpdPacketHeaderSize) {
        return false;
    }
    std::memcpy(&out->header, bytes, sizeof(out->header));
    const size_t length = std::clamp<size_t>(out->header.length, kCpdPacketHeaderSize, n);
    out->payload = bytes + kCpdPacketHeaderSize;
    out->payloadSize = length - kCpdPacketHeaderSize;
    return true;
}

std::unique_ptr<CpdPacket> MakeTokenFrame(const std::string& token) {
    const auto len = static_cast<uint32_t>(token.size());
    auto packet = NewPacket(0, kTokenFrameCmd, 0, 4ull + len);
    if (packet == nullptr || packet->AppendU32(&len) != 0 ||
        (len > 0 && packet->AppendBytes(token.data(), len) != 0)) {
        return nullptr;
    }
    return packet;
}

bool DecodeTokenFrame(const PacketView& view, std::string* token) {
    if (view.header.cmd != kTokenFrameCmd || view.payloadSize < 4) {
        return false;
    }
    const size_t len = std::min<size_t>(LoadU32(view.payload), view.payloadSize - 4);
    token->assign(reinterpret_cast<const char*>(view.payload + 4), len);
    return true;
}

bool ViewPacket(CpdPacket& packet, PacketView* out) {
    const uint64_t capacity = packet.Capacity();
    return ViewPacket(packet.Data(), static_cast<size_t>(capacity), out);
}

std::unique_ptr<CpdPacket> MakeSetConfig(uint8_t devId, uint32_t seq, uint32_t msgType,
                                         const void* data, uint32_t len) {
    auto packet = NewPacket(devId, SERIAL_CMD_SET_CONFIG, seq, 8ull + len);
    if (packet == nullptr || packet->AppendU32(&msgType) != 0 || packet->AppendU32(&len) != 0 ||
        (len > 0 && packet->AppendBytes(data, len) != 0)) {
        return nullptr;
    }
    return packet;
}

std::unique_ptr<CpdPacket> MakeStartRead(uint8_t devId, uint32_t seq) {
    return NewPacket(devId, SERIAL_CMD_START_READ, seq, 0);
}

std::unique_ptr<CpdPacket> MakeWrite(uint8_t devId, uint32_t seq, const void* data, uint32_t len) {
    auto packet = NewPacket(devId, SERIAL_CMD_WRITE, seq, 4ull + len);
    if (packet == nullptr || packet->AppendU32(&len) != 0 ||
        (len > 0 && packet->AppendBytes(data, len) != 0)) {
        return nullptr;
    }
    return packet;
}

bool DecodeReport(const PacketView& view, serial_config* out) {
    if (view.header.cmd != SERIAL_CMD_REDIR_CONFIG || view.payloadSize < sizeof(serial_config)) {
        return false;
    }
    int32_t* fields[] = {&out->baudrate, &out->bits, &out->parity, &out->stopbits, &out->rts,
                         &out->cts,      &out->dtr,  &out->dsr,    &out->xon_xoff};
    for (size_t i = 0; i < 9; ++i) {
        *fields[i] = static_cast<int32_t>(LoadU32(view.payload + 4 * i));
    }
    return true;
}

bool DecodeReadData(const PacketView& view, const uint8_t** data, size_t* n) {
    if (view.header.cmd != SERIAL_CMD_READ_DATA || view.payloadSize < 4) {
        return false;
    }
    const int32_t count = static_cast<int32_t>(LoadU32(view.payload));
    if (count < 0) {
        return false;
    }
    *data = view.payload + 4;
    *n = std::min<size_t>(static_cast<size_t>(count), view.payloadSize - 4);
    return true;
}

std::string CommandName(uint16_t cmd) {
    switch (cmd) {
        case SERIAL_CMD_REDIR_CONFIG:
            return "REDIR_CONFIG";
        case SERIAL_CMD_SET_CONFIG:
            return "SET_CONFIG";
        case SERIAL_CMD_START_READ:
            return "START_READ";
        case SERIAL_CMD_READ_DATA:
            return "READ_DATA";
        case SERIAL_CMD_WRITE:
            return "WRITE";
        default:
            return "cmd " + std::to_string(cmd);
    }
}

std::string RequestName(uint32_t msgType) {
    switch (msgType) {
        case DRIVER_SET_BAUD_RATE_TO_USER:
            return "DRIVER_SET_BAUD_RATE_TO_USER";
        case DRIVER_SET_TIMEOUTS_TO_USER:
            return "DRIVER_SET_TIMEOUTS_TO_USER";
        case DRIVER_SET_LINE_CONTROL_TO_USER:
            return "DRIVER_SET_LINE_CONTROL_TO_USER";
        case DRIVER_CLR_DTR_TO_USER:
            return "DRIVER_CLR_DTR_TO_USER";
        case DRIVER_SET_HANDFLOW_TO_USER:
            return "DRIVER_SET_HANDFLOW_TO_USER";
        case DRIVER_SERIAL_PURGE_TO_USER:
            return "DRIVER_SERIAL_PURGE_TO_USER";
        case SET_READ_LENGTH:
            return "SET_READ_LENGTH";
        default:
            return "request " + std::to_string(msgType);
    }
}

const char* ParityName(int32_t parity) {
    return Pick(parity, {"none", "odd", "even", "mark", "space"});
}
const char* RtsName(int32_t rts) {
    return Pick(rts, {"off", "on", "flowcontrol"});
}
const char* CtsName(int32_t cts) {
    return Pick(cts, {"ignore", "flowcontrol"});
}
const char* DtrName(int32_t dtr) {
    return Pick(dtr, {"off", "on", "flowcontrol"});
}
const char* DsrName(int32_t dsr) {
    return Pick(dsr, {"ignore", "flowcontrol"});
}
const char* XonXoffName(int32_t xonXoff) {
    return Pick(xonXoff, {"disabled", "in", "out", "inout"});
}

std::string DescribeConfig(const serial_config& c) {
    return std::to_string(c.baudrate) + " baud, " + std::to_string(c.bits) + " data bits, parity " +
           ParityName(c.parity) + ", " + std::to_string(c.stopbits) +
           (c.stopbits == 1 ? " stop bit" : " stop bits") + ", rts " + RtsName(c.rts) + ", cts " +
           CtsName(c.cts) + ", dtr " + DtrName(c.dtr) + ", dsr " + DsrName(c.dsr) + ", xon/xoff " +
           XonXoffName(c.xon_xoff);
}

}  // namespace cpd::host
