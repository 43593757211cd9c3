// Wire protocol between the serial redirection driver and the remote side's virtual serial
// driver: command codes of the packet header, request codes inside SERIAL_CMD_SET_CONFIG, and
// the payload layouts. Integers in payloads are in the writer's byte order.
#pragma once

#include <cstdint>

namespace cpd {

// Packet header `cmd` values.
enum SerialCmd : uint16_t {
    SERIAL_CMD_REDIR_CONFIG = 2000,  // driver -> remote: the port's configuration, once per start
    SERIAL_CMD_SET_CONFIG = 2006,    // remote -> driver: u32 msgType, u32 len, len data bytes
    SERIAL_CMD_START_READ = 2008,    // remote -> driver: start the read pump; payload ignored
    SERIAL_CMD_READ_DATA = 2009,     // driver -> remote: i32 count, count bytes
    SERIAL_CMD_WRITE = 2010,         // remote -> driver: u32 len, len bytes
};

// SERIAL_CMD_SET_CONFIG `msgType` values; the data are the Windows serial driver records
// (SERIAL_BAUD_RATE, SERIAL_TIMEOUTS, SERIAL_LINE_CONTROL, SERIAL_HANDFLOW).
enum SerialRequest : uint32_t {
    DRIVER_SET_BAUD_RATE_TO_USER = 1025,     // u32 BaudRate
    DRIVER_SET_TIMEOUTS_TO_USER = 1026,      // five u32 timeouts, milliseconds
    DRIVER_SET_LINE_CONTROL_TO_USER = 1028,  // u8 StopBits, u8 Parity, u8 WordLength
    DRIVER_CLR_DTR_TO_USER = 1030,           // no data
    DRIVER_SET_HANDFLOW_TO_USER = 1036,  // u32 ControlHandShake, u32 FlowReplace, i32 Xon, i32 Xoff
    DRIVER_SERIAL_PURGE_TO_USER = 1038,  // no data
    SET_READ_LENGTH = 1039,              // u64 bytes per read
};

// Sizes of the request records, the shortest data each request is served with.
constexpr uint32_t kBaudRateRecordSize = 4;
constexpr uint32_t kTimeoutsRecordSize = 20;
constexpr uint32_t kLineControlRecordSize = 3;
constexpr uint32_t kHandflowRecordSize = 16;
constexpr uint32_t kReadLengthRecordSize = 8;

// The local port's configuration in libserialport's encodings (-1 is the library's "invalid");
// the SERIAL_CMD_REDIR_CONFIG payload carries the nine fields in this order.
struct serial_config {
    int32_t baudrate;
    int32_t bits;
    int32_t parity;
    int32_t stopbits;
    int32_t rts;
    int32_t cts;
    int32_t dtr;
    int32_t dsr;
    int32_t xon_xoff;
};
static_assert(sizeof(serial_config) == 36, "nine 32-bit fields");

}  // namespace cpd
