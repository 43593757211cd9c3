#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: well-formed command sessions for driver_fuzzer and
well-formed (and a few deliberately odd) packets for packet_fuzzer, in the input layouts that
driver_fuzzer.cpp and packet_fuzzer.cpp describe. Run from anywhere; rewrites fuzz/corpus/."""
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
