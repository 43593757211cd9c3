// Rebuilds a received packet from wire bytes and runs a scripted series of its read operations
// on it, checking each result against the bytes themselves: a received packet's length field
// and string counts come from the remote side and must never move a read past the block.
//
// Input layout: op count u8 (mod 64), that many op bytes (& 3: 0 ReadU32, 1 ReadString,
// 2 GetPayload plus a touch of every byte it claims, 3 GetPayloadLen), then the wire bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cpd/interface/cpd_packet.h"
#include "fuzz/fuzz_input.h"

namespace {

using cpd::CpdPacket;
using cpd::kCpdPacketHeaderSize;

uint32_t WireU32(const uint8_t* wire, uint64_t offset, bool swap) {
    uint32_t value = 0;
    std::memcpy(&value, wire + offset, sizeof(value));
    return swap ? cpd::ByteSwap32(value) : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cpd::fuzz::FuzzInput in(data, size);
    const size_t opCount = in.U8() % 64;
    size_t got = 0;
    const uint8_t* ops = in.Bytes(opCount, &got);
    const std::vector<uint8_t> opList(ops, ops + got);
    size_t wireSize = 0;
    const uint8_t* wire = in.Bytes(in.Remaining(), &wireSize);

    std::unique_ptr<CpdPacket> packet = CpdPacket::FromWire(wire, wireSize);
    if (wireSize < kCpdPacketHeaderSize) {
        FUZZ_CHECK(packet == nullptr);
        return 0;
    }
    FUZZ_CHECK(packet != nullptr);
    FUZZ_CHECK(packet->Capacity() == wireSize);
    FUZZ_CHECK(std::memcmp(packet->Data(), wire, wireSize) == 0);
    const uint64_t payloadCapacity = wireSize - kCpdPacketHeaderSize;
    const bool swap = wire[12] != cpd::HostIsBigEndian();
    uint32_t rawLength = 0;
    std::memcpy(&rawLength, wire + 8, sizeof(rawLength));

    uint64_t cursor = 0;  // where the packet's read cursor must be
    for (uint8_t op : opList) {
        switch (op & 3) {
            case 0: {
                uint32_t value = 0xDEADBEEF;
                const int result = packet->ReadU32(&value);
                if (cursor + 4 > payloadCapacity) {
                    FUZZ_CHECK(result == -1 && value == 0xDEADBEEF);
                } else {
                    FUZZ_CHECK(result == 0);
                    FUZZ_CHECK(value == WireU32(wire, kCpdPacketHeaderSize + cursor, swap));
                    cursor += 4;
                }
                break;
            }
            case 1: {
                std::string text = "untouched";
                const int result = packet->ReadString(text);
                if (cursor + 4 > payloadCapacity) {
                    FUZZ_CHECK(result == -1 && text == "untouched");
                    break;
                }
                const uint32_t n = WireU32(wire, kCpdPacketHeaderSize + cursor, swap);
                cursor += 4;
                if (cursor + n > payloadCapacity) {
                    FUZZ_CHECK(result == -1 && text == "untouched");
                    break;
                }
                const char* start = reinterpret_cast<const char*>(wire) + kCpdPacketHeaderSize;
                FUZZ_CHECK(result == 0);
                FUZZ_CHECK(text == std::string(start + cursor, strnlen(start + cursor, n)));
                cursor += n;
                break;
            }
            case 2: {
                uint8_t* payload = packet->GetPayload();
                if (cursor > payloadCapacity) {
                    FUZZ_CHECK(payload == nullptr);
                    break;
                }
                FUZZ_CHECK(payload == packet->Data() + kCpdPacketHeaderSize + cursor);
                // What a caller may read: the claimed length, bounded by the block.
                const uint64_t claimed = packet->GetPayloadLen();
                const uint64_t usable = std::min(claimed, payloadCapacity - cursor);
                volatile uint8_t sink = 0;
                for (uint64_t i = 0; i < usable; ++i) {
                    sink = static_cast<uint8_t>(sink ^ payload[i]);
                }
                break;
            }
            default:
                FUZZ_CHECK(packet->GetPayloadLen() ==
                           static_cast<uint64_t>(rawLength) - kCpdPacketHeaderSize - cursor);
                break;
        }
    }
    return 0;
}
