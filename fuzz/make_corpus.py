#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: well-formed command sessions for driver_fuzzer,
well-formed (and a few deliberately odd) packets for packet_fuzzer, RFC 2217 client sessions for
telnet_fuzzer and frame streams for frame_fuzzer, in the input layouts their sources describe.
Run from anywhere; rewrites fuzz/corpus/."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

SET_CONFIG, START_READ, WRITE = 2006, 2008, 2010
BAUD, TIMEOUTS, LINE_CONTROL, CLR_DTR, HANDFLOW, PURGE, READ_LENGTH = (
    1025, 1026, 1028, 1030, 1036, 1038, 1039)

u8 = lambda v: struct.pack("<B", v)
u16 = lambda v: struct.pack("<H", v)
u32 = lambda v: struct.pack("<I", v & 0xFFFFFFFF)
u64 = lambda v: struct.pack("<Q", v)


# ---- driver_fuzzer records ----
def packet(cmd, payload=b"", seq=1, flags=0, extra=b""):
    return u8(0) + u8(flags) + u16(cmd) + u8(seq) + extra + u16(len(payload)) + payload


def raw_packet(header, payload=b""):
    return u8(0) + u8(1) + header + u16(len(payload)) + payload


def setting(msg_type, data=b""):
    return packet(SET_CONFIG, u32(msg_type) + u32(len(data)) + data)


def write(data):
    return packet(WRITE, u32(len(data)) + data)


def queue_read(data):
    return u8(4) + u8(len(data) - 1) + data


def queue_error(code_index):
    return u8(5) + u8(code_index)


NULL_PACKET = u8(6)
CLOSE = u8(7)

ALL_SETTINGS = b"".join([
    setting(BAUD, u32(115200)),
    setting(TIMEOUTS, u32(0) + u32(0) + u32(50) + u32(0) + u32(0)),
    setting(LINE_CONTROL, bytes([0, 0, 8])),
    setting(CLR_DTR),
    setting(HANDFLOW, u32(1) + u32(0x40) + u32(0x11) + u32(0x13)),
    setting(PURGE),
    setting(READ_LENGTH, u64(16)),
])

DRIVER_SEEDS = {
    "open_only": u8(0),
    "settings": u8(0) + ALL_SETTINGS,
    "write": u8(0) + write(b"hello, port\r\n"),
    "start_read": u8(0) + packet(START_READ) + queue_read(b"abcdef") + queue_error(1)
    + queue_read(bytes(range(64))),
    "session": u8(0) + ALL_SETTINGS + packet(START_READ) + write(b"AT\r")
    + queue_read(b"OK\r\n") + setting(READ_LENGTH, u64(3)) + queue_read(b"0123456789")
    + CLOSE + write(b"late"),
    "double_start": u8(0) + packet(START_READ) + packet(START_READ) + queue_read(b"x" * 200),
    "read_length_zero": u8(0) + setting(READ_LENGTH, u64(0)) + packet(START_READ)
    + queue_read(b"y" * 255),
    "huge_read_length": u8(0) + setting(READ_LENGTH, u64(1 << 40)) + packet(START_READ)
    + queue_read(b"z" * 100),
    "foreign_device": u8(0) + packet(WRITE, u32(2) + b"no", flags=4, extra=b"\x22"),
    "null_packet": u8(0x40) + NULL_PACKET + write(b"id zero"),
    "short_writes": u8(0x08) + u8(3) + write(b"longer than three"),
    "no_port": u8(0x01) + ALL_SETTINGS + packet(START_READ) + write(b"nowhere"),
    "open_refused": u8(0x02) + packet(START_READ) + write(b"closed"),
    "getter_fails": u8(0x04) + u8(4) + ALL_SETTINGS,
    "settings_refused": u8(0x10) + ALL_SETTINGS,
    "reads_fail": u8(0x20) + u8(1) + packet(START_READ),
    "destroy_running": u8(0x80) + packet(START_READ) + queue_read(b"last words"),
    "forged_length": u8(0) + packet(WRITE, u32(8) + b"12345678", flags=2, extra=u32(0xFFFFFFF0)),
    "short_set_config": u8(0) + packet(SET_CONFIG, u32(TIMEOUTS) + u32(20) + u32(1)),
    "raw_header": u8(0) + raw_packet(
        u8(0x27) + u8(0x21) + u16(WRITE) + u32(9) + u32(16 + 7) + u8(0) + b"\0\0\0",
        u32(3) + b"raw"),
    "unknown_cmd": u8(0) + packet(2000) + packet(2009, u32(1) + b"!") + packet(7937),
}


# ---- packet_fuzzer inputs: op count, ops, wire ----
def wire(payload, length=None, big_endian=0, seq=5, cmd=7937):
    if length is None:
        length = 16 + len(payload)
    fmt = ">" if big_endian else "<"
    header = (u8(0x27) + u8(1) + struct.pack(fmt + "H", cmd) + struct.pack(fmt + "I", seq)
              + struct.pack(fmt + "I", length) + u8(big_endian) + b"\0\0\0")
    return header + payload


def string_item(text, fmt="<"):
    data = text.encode() + b"\0"
    return struct.pack(fmt + "I", len(data)) + data


def reads(ops, wire_bytes):
    return u8(len(ops)) + bytes(ops) + wire_bytes


READ_U32, READ_STRING, PAYLOAD, PAYLOAD_LEN = 0, 1, 2, 3
PACKET_SEEDS = {
    "call": reads([READ_STRING, READ_STRING, PAYLOAD_LEN, PAYLOAD],
                  wire(string_item("getBaud") + string_item("com3"))),
    "u32s": reads([READ_U32] * 4 + [PAYLOAD_LEN, PAYLOAD], wire(u32(1) + u32(2) + u32(3))),
    "big_endian": reads([READ_U32, READ_STRING, PAYLOAD_LEN],
                        wire(struct.pack(">I", 7) + string_item("be", ">"), big_endian=1)),
    "embedded_zero": reads([READ_STRING, PAYLOAD_LEN], wire(u32(6) + b"ab\0cd\0")),
    "string_too_long": reads([READ_STRING, PAYLOAD, PAYLOAD_LEN], wire(u32(1000) + b"short")),
    "forged_length": reads([PAYLOAD, PAYLOAD_LEN, READ_U32, PAYLOAD],
                           wire(u32(4) + b"abcd", length=0xFFFFFF00)),
    "length_below_header": reads([PAYLOAD_LEN, READ_U32, PAYLOAD_LEN, PAYLOAD],
                                 wire(u32(9), length=3)),
    "header_only": reads([READ_U32, READ_STRING, PAYLOAD, PAYLOAD_LEN], wire(b"")),
    "read_data": reads([READ_U32, PAYLOAD, PAYLOAD_LEN], wire(u32(5) + b"hello", cmd=2009)),
}


# ---- telnet_fuzzer inputs: report selector, split count and sizes, the client's stream ----
IAC, DONT, DO, WONT, WILL, SB, SE, NOP, GA = 255, 254, 253, 252, 251, 250, 240, 241, 249
BINARY, SGA, COM_PORT = 0, 3, 44


def opt(verb, option):
    return bytes([IAC, verb, option])


def com_port(command, value=b""):
    return bytes([IAC, SB, COM_PORT, command]) + value.replace(b"\xff", b"\xff\xff") + bytes(
        [IAC, SE])


def telnet(stream, report=0, splits=()):
    return u8(report) + u8(len(splits)) + bytes(splits) + stream


AGREE_ALL = (opt(DO, BINARY) + opt(WILL, BINARY) + opt(DO, SGA) + opt(WILL, SGA)
             + opt(WILL, COM_PORT))
BE32 = lambda v: struct.pack(">I", v)
TELNET_SEEDS = {
    # What pyserial sends when it opens a port, then a line of data and a purge.
    "pyserial_open": telnet(AGREE_ALL + com_port(0) + com_port(1, BE32(115200))
                            + com_port(2, b"\x08") + com_port(3, b"\x01") + com_port(4, b"\x01")
                            + com_port(5, b"\x01") + com_port(5, b"\x08") + com_port(5, b"\x0b")
                            + b"AT\r" + com_port(12, b"\x01")),
    "binary_only": telnet(opt(DO, BINARY) + opt(WILL, BINARY) + opt(DONT, SGA) + opt(WONT, SGA)
                          + opt(WONT, COM_PORT) + bytes(range(256)).replace(b"\xff", b"\xff\xff"),
                          splits=(1, 7, 3)),
    "every_command": telnet(opt(WILL, COM_PORT) + b"".join(
        com_port(c, v) for c, v in [
            (0, b"client 1.0"), (1, BE32(0)), (1, BE32(0xFFFFFFFF)), (1, BE32(0x0000FFFF)),
            (2, b"\x07"), (2, b"\x00"), (3, b"\x05"), (3, b"\x00"), (4, b"\x02"), (4, b"\x03"),
            (6, b""), (7, b""), (8, b""), (9, b""), (10, b"\xff"), (11, b"\x0f"), (12, b"\x03"),
            (12, b"\x09"), (99, b"?")] + [(5, bytes([v])) for v in range(21)]), report=1,
        splits=(5, 1)),
    "iac_data": telnet(b"\xff\xffdata\xff\xff\xff\xff" + bytes([IAC, NOP, IAC, GA, IAC, 246])
                       + b"end\xff\xff", report=2, splits=(1,)),
    "negotiation_changes": telnet(AGREE_ALL + opt(WONT, BINARY) + opt(DONT, COM_PORT)
                                  + opt(WILL, 24) + opt(DO, 1) + opt(WONT, 5) + opt(WILL, COM_PORT)
                                  + bytes([IAC, SB, 24, 1, IAC, SE]), report=3),
    "malformed_command": telnet(b"ab" + bytes([IAC, 7]) + b"never"),
    "se_outside": telnet(b"x" + bytes([IAC, SE])),
    "sb_interrupted": telnet(bytes([IAC, SB, COM_PORT, 1, IAC, WILL, 0])),
    "sb_too_long": telnet(bytes([IAC, SB, COM_PORT, 0]) + b"s" * 300 + bytes([IAC, SE])),
    "short_value": telnet(com_port(1, b"\x00\x00")),
    "empty_command": telnet(bytes([IAC, SB, COM_PORT, IAC, SE])),
    "unfinished": telnet(b"data" + bytes([IAC, SB, COM_PORT, 1, 0])),
}


# ---- frame_fuzzer inputs: token length and token, split count and sizes, the stream ----
TOKEN_FRAME = 7990


def frame(cmd, payload=b"", big_endian=False, length=None, magic=0x27, order=None, seq=1):
    fmt = ">" if big_endian else "<"
    size = 16 + len(payload) if length is None else length
    flag = int(big_endian) if order is None else order
    return (u8(magic) + u8(7) + struct.pack(fmt + "H", cmd) + struct.pack(fmt + "I", seq)
            + struct.pack(fmt + "I", size) + u8(flag) + b"\0\0\0" + payload)


def config(msg_type, data=b"", big_endian=False):
    fmt = ">" if big_endian else "<"
    return frame(SET_CONFIG, struct.pack(fmt + "II", msg_type, len(data)) + data, big_endian)


def framed(stream, token=b"", splits=()):
    return u8(len(token)) + token + u8(len(splits)) + bytes(splits) + stream


TOKEN = b"0123456789abcdef"
TOKEN_OK = frame(TOKEN_FRAME, u32(len(TOKEN)) + TOKEN)
SESSION = (config(BAUD, u32(9600)) + frame(START_READ) + frame(WRITE, u32(5) + b"hello")
           + config(PURGE))
BE = struct.Struct(">I").pack
FRAME_SEEDS = {
    "token_then_session": framed(TOKEN_OK + SESSION, TOKEN, splits=(16, 3)),
    "wrong_token": framed(frame(TOKEN_FRAME, u32(16) + b"0123456789abcdeX") + SESSION, TOKEN),
    "token_prefix": framed(frame(TOKEN_FRAME, u32(8) + TOKEN[:8]), TOKEN),
    "no_token_first": framed(SESSION + TOKEN_OK, TOKEN),
    "token_claims_more": framed(frame(TOKEN_FRAME, u32(1000) + TOKEN), TOKEN),
    "token_short_payload": framed(frame(TOKEN_FRAME, b"\x10\0"), TOKEN),
    "stray_token": framed(SESSION + TOKEN_OK + frame(WRITE, u32(1) + b"!"), splits=(1,)),
    "big_endian": framed(
        config(BAUD, BE(115200), True) + config(TIMEOUTS, BE(0) * 2 + BE(50) + BE(0) * 2, True)
        + config(HANDFLOW, BE(1) + BE(0x40) + BE(0x11) + BE(0x13), True)
        + config(READ_LENGTH, struct.pack(">Q", 4096), True) + config(LINE_CONTROL, b"\1\0\x08", True)
        + frame(WRITE, BE(4) + b"\x00\x01\x02\x03", True)
        + frame(2009, BE(3) + b"abc", True) + frame(2000, b"".join(BE(v) for v in range(9)), True)
        + frame(TOKEN_FRAME, BE(len(TOKEN)) + TOKEN, True), splits=(7, 16, 1)),
    "big_endian_short": framed(frame(SET_CONFIG, BE(BAUD) + BE(4) + b"\1", True)
                               + frame(WRITE, b"\0\0", True) + frame(2000, BE(1), True)),
    "bad_magic": framed(frame(WRITE, u32(1) + b"x", magic=0x28)),
    "bad_order_flag": framed(frame(WRITE, u32(1) + b"x", order=2)),
    "length_too_small": framed(frame(WRITE, length=8)),
    "length_too_large": framed(frame(WRITE, length=(1 << 20) + 1)),
    "partial_frame": framed(SESSION + frame(WRITE, u32(100) + b"y" * 20, length=120)),
}


def write_set(name, seeds):
    directory = os.path.join(CORPUS, name)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for seed, data in seeds.items():
        with open(os.path.join(directory, seed), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write_set("driver", DRIVER_SEEDS)
    write_set("packet", PACKET_SEEDS)
    write_set("telnet", TELNET_SEEDS)
    write_set("frame", FRAME_SEEDS)
