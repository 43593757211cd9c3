// The --trace lines: one decoded line per packet and direction.
#include "cpd/host/program/trace.h"

#include <cstring>

#include "cpd/host/program/serial_packets.h"

namespace cpd::host {

namespace {

std::string DescribeRequest(uint32_t msgType, const uint8_t* data, size_t n) {
    std::string out = RequestName(msgType);
    switch (msgType) {
        case DRIVER_SET_BAUD_RATE_TO_USER:
            if (n >= kBaudRateRecordSize) {
                out += " baud=" + std::to_string(LoadU32(data));
            }
            break;
        case DRIVER_SET_TIMEOUTS_TO_USER:
            if (n >= kTimeoutsRecordSize) {
                const char* names[] = {"interval", "read_multiplier", "read_constant",
                                       "write_multiplier", "write_constant"};
                for (size_t i = 0; i < 5; ++i) {
                    out +=
                        std::string(" ") + names[i] + "=" + std::to_string(LoadU32(data + 4 * i));
                }
            }
            break;
        case DRIVER_SET_LINE_CONTROL_TO_USER:
            if (n >= kLineControlRecordSize) {
                out += " stop_bits=" + std::to_string(data[0]) + " parity=" + ParityName(data[1]) +
                       " word_length=" + std::to_string(data[2]);
            }
            break;
        case DRIVER_SET_HANDFLOW_TO_USER:
            if (n >= kHandflowRecordSize) {
                out += " handshake=" + std::to_string(LoadU32(data)) +
                       " flow_replace=" + std::to_string(LoadU32(data + 4)) +
                       " xon_limit=" + std::to_string(static_cast<int32_t>(LoadU32(data + 8))) +
                       " xoff_limit=" + std::to_string(static_cast<int32_t>(LoadU32(data + 12)));
            }
            break;
        case SET_READ_LENGTH:
            if (n >= kReadLengthRecordSize) {
                uint64_t length = 0;
                std::memcpy(&length, data, sizeof(length));
                out += " length=" + std::to_string(length);
            }
            break;
        default:
            break;
    }
    return out;
}

}  // namespace

std::string PreviewBytes(const uint8_t* data, size_t n, size_t limit) {
    const size_t shown = n < limit ? n : limit;
    std::string ascii;
    std::string hex;
    char buf[8];
    for (size_t i = 0; i < shown; ++i) {
        const uint8_t c = data[i];
        if (c == '\r') {
            ascii += "\\r";
        } else if (c == '\n') {
            ascii += "\\n";
        } else if (c == '"' || c == '\\') {
            ascii += '\\';
            ascii += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            ascii += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            ascii += buf;
        }
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", c);
        hex += buf;
    }
    const char* more = shown < n ? "..." : "";
    return "bytes=" + std::to_string(n) + " \"" + ascii + "\"" + more + " [" + hex + more + "]";
}

std::string DescribePacket(Direction direction, const uint8_t* bytes, size_t n) {
    std::string line = direction == Direction::kToPlugin ? "remote>plugin " : "plugin>remote ";
    PacketView view;
    if (!ViewPacket(bytes, n, &view)) {
        return line + "short packet (" + std::to_string(n) + " bytes)";
    }
    line += CommandName(view.header.cmd) + " devId=" + std::to_string(view.header.devId) +
            " seq=" + std::to_string(view.header.seq) +
            " len=" + std::to_string(view.header.length);
    switch (view.header.cmd) {
        case SERIAL_CMD_SET_CONFIG:
            if (view.payloadSize >= 8) {
                const uint32_t len = LoadU32(view.payload + 4);
                const size_t carried = view.payloadSize - 8;
                line += " " + DescribeRequest(LoadU32(view.payload), view.payload + 8,
                                              len < carried ? len : carried);
            }
            break;
        case SERIAL_CMD_WRITE:
            if (view.payloadSize >= 4) {
                const uint32_t len = LoadU32(view.payload);
                const size_t carried = view.payloadSize - 4;
                line += " " + PreviewBytes(view.payload + 4, len < carried ? len : carried);
            }
            break;
        case SERIAL_CMD_READ_DATA: {
            const uint8_t* data = nullptr;
            size_t count = 0;
            if (DecodeReadData(view, &data, &count)) {
                line += " " + PreviewBytes(data, count);
            }
            break;
        }
        case SERIAL_CMD_REDIR_CONFIG: {
            serial_config config{};
            if (DecodeReport(view, &config)) {
                line += " baudrate=" + std::to_string(config.baudrate) +
                        " bits=" + std::to_string(config.bits) +
                        " parity=" + ParityName(config.parity) +
                        " stopbits=" + std::to_string(config.stopbits) +
                        " rts=" + RtsName(config.rts) + " cts=" + CtsName(config.cts) +
                        " dtr=" + DtrName(config.dtr) + " dsr=" + DsrName(config.dsr) +
                        " xon_xoff=" + XonXoffName(config.xon_xoff);
            }
            break;
        }
        default:
            break;
    }
    return line;
}

void Tracer::Packet(Direction direction, CpdPacket& packet) {
    if (mOut == nullptr) {
        return;
    }
    PacketView view;
    const size_t n = ViewPacket(packet, &view) ? kCpdPacketHeaderSize + view.payloadSize : 0;
    Note(DescribePacket(direction, packet.Data(), n));
}

void Tracer::Note(const std::string& text) {
    if (mOut == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mMutex);
    std::fprintf(mOut, "trace %s\n", text.c_str());
    std::fflush(mOut);
}

}  // namespace cpd::host
