// A remote's byte stream as `serve` reads it in packet mode: the frame assembler over any split
// of the stream into reads, and the token check on the first frame when a token is required
// (later frames: only whether they are token frames, which are dropped). Checked on every run:
// - any split gives the same frames, the same failure and the same pending bytes as one read;
// - every frame handed on is whole: magic, this host's byte order, a length within bounds that
//   is its size; the bytes of all frames plus those pending are the bytes fed;
// - a frame written in the other byte order has its header fields swapped and the data of a
//   WRITE or READ_DATA left as they were; one in this host's order comes out unchanged;
// - the token verdict matches the frame's bytes read directly, and a token frame built by
//   MakeTokenFrame passes for its own token only.
//
// Input layout: token length u8 (& 63; 0: no token required), the token, split count u8 (& 7)
// and that many read sizes u8 (0 reads as 1, used in turn; no sizes: one read), then the stream.
// The custom mutator keeps the stream mostly framed: after libFuzzer's own mutation it rewrites,
// one time in two, each header's magic, byte-order flag and a length that does not fit, so
// mutated payloads still arrive as frames.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cpd/host/program/serial_packets.h"
#include "cpd/host/program/serve_token.h"
#include "cpd/host/program/tcp_channel.h"
#include "fuzz/fuzz_input.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

using namespace cpd;
using namespace cpd::host;

constexpr size_t kLengthOffset = 8;
constexpr size_t kOrderOffset = 12;

struct Layout {
    std::string token;
    std::vector<size_t> splits;
    size_t streamOffset = 0;
};

Layout ReadLayout(const uint8_t* data, size_t size) {
    cpd::fuzz::FuzzInput in(data, size);
    Layout layout;
    size_t got = 0;
    const uint8_t* token = in.Bytes(in.U8() & 63, &got);
    layout.token.assign(reinterpret_cast<const char*>(token), got);
    const size_t splitCount = in.U8() & 7;
    for (size_t i = 0; i < splitCount; ++i) {
        const uint8_t step = in.U8();
        layout.splits.push_back(step == 0 ? 1 : step);
    }
    layout.streamOffset = size - in.Remaining();
    return layout;
}

uint32_t U32In(const uint8_t* p, bool swap) {
    uint32_t value = 0;
    std::memcpy(&value, p, sizeof(value));
    return swap ? ByteSwap32(value) : value;
}

uint16_t U16In(const uint8_t* p, bool swap) {
    uint16_t value = 0;
    std::memcpy(&value, p, sizeof(value));
    return swap ? static_cast<uint16_t>(value >> 8 | value << 8) : value;
}

struct Outcome {
    std::vector<std::vector<uint8_t>> frames;
    std::string error;  // empty unless the stream turned malformed
    size_t pending = 0;
};

Outcome Assemble(const uint8_t* stream, size_t n, const std::vector<size_t>& splits) {
    FrameAssembler assembler;
    Outcome out;
    for (size_t at = 0, turn = 0; at < n && out.error.empty(); ++turn) {
        const size_t step = splits.empty() ? n : std::min(splits[turn % splits.size()], n - at);
        assembler.Feed(stream + at, step);
        at += step;
        std::unique_ptr<CpdPacket> packet;
        FrameAssembler::Result result;
        while ((result = assembler.Next(&packet, &out.error)) == FrameAssembler::Result::kPacket) {
            FUZZ_CHECK(packet != nullptr);
            out.frames.emplace_back(packet->Data(), packet->Data() + packet->Capacity());
        }
        FUZZ_CHECK((result == FrameAssembler::Result::kMalformed) == !out.error.empty());
    }
    out.pending = assembler.Pending();
    return out;
}

// A frame as it came off the wire, the one handed on in this host's order.
void CheckFrame(const uint8_t* wire, const std::vector<uint8_t>& frame) {
    const bool swap = wire[kOrderOffset] != HostIsBigEndian();
    FUZZ_CHECK(frame.size() >= kCpdPacketHeaderSize && frame.size() <= kMaxFrameSize);
    FUZZ_CHECK(frame[0] == kCpdPacketMagic && frame[kOrderOffset] == HostIsBigEndian());
    FUZZ_CHECK(U32In(frame.data() + kLengthOffset, false) == frame.size());
    if (!swap) {
        FUZZ_CHECK(std::memcmp(frame.data(), wire, frame.size()) == 0);
        return;
    }
    const uint16_t cmd = U16In(wire + 2, true);
    FUZZ_CHECK(U16In(frame.data() + 2, false) == cmd);
    FUZZ_CHECK(U32In(frame.data() + 4, false) == U32In(wire + 4, true));
    FUZZ_CHECK(frame[1] == wire[1] && std::memcmp(frame.data() + 13, wire + 13, 3) == 0);
    // Byte runs are never turned: a write's or a read's data past its count field.
    if (cmd == SERIAL_CMD_WRITE || cmd == SERIAL_CMD_READ_DATA) {
        const size_t from = std::min<size_t>(frame.size(), kCpdPacketHeaderSize + 4);
        FUZZ_CHECK(std::memcmp(frame.data() + from, wire + from, frame.size() - from) == 0);
    }
}

// The verdict a frame must get, read from its bytes directly.
TokenVerdict Expected(const std::vector<uint8_t>& frame, const std::string& token) {
    const size_t payload = frame.size() - kCpdPacketHeaderSize;
    if (U16In(frame.data() + 2, false) != kTokenFrameCmd || payload < 4) {
        return TokenVerdict::kNotAToken;
    }
    const uint8_t* body = frame.data() + kCpdPacketHeaderSize;
    const size_t length = std::min<size_t>(U32In(body, false), payload - 4);
    return std::string(reinterpret_cast<const char*>(body + 4), length) == token
               ? TokenVerdict::kRight
               : TokenVerdict::kWrong;
}

TokenVerdict Verdict(const std::vector<uint8_t>& frame, const std::string& token) {
    std::unique_ptr<CpdPacket> packet = CpdPacket::FromWire(frame.data(), frame.size());
    FUZZ_CHECK(packet != nullptr);
    return CheckTokenFrame(*packet, token);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Layout layout = ReadLayout(data, size);
    const uint8_t* stream = data + layout.streamOffset;
    const size_t n = size - layout.streamOffset;

    const Outcome whole = Assemble(stream, n, {});
    const Outcome split = Assemble(stream, n, layout.splits);
    FUZZ_CHECK(split.frames == whole.frames && split.error == whole.error);
    FUZZ_CHECK(!whole.error.empty() || split.pending == whole.pending);

    size_t consumed = 0;
    for (const std::vector<uint8_t>& frame : whole.frames) {
        CheckFrame(stream + consumed, frame);
        consumed += frame.size();
    }
    FUZZ_CHECK(!whole.error.empty() || consumed + whole.pending == n);

    for (size_t i = 0; i < whole.frames.size(); ++i) {
        const std::vector<uint8_t>& frame = whole.frames[i];
        // Until the token arrives a remote is not admitted: its first frame decides.
        if (i == 0 && !layout.token.empty()) {
            const TokenVerdict verdict = Verdict(frame, layout.token);
            FUZZ_CHECK(verdict == Expected(frame, layout.token));
            if (verdict != TokenVerdict::kRight) {
                break;
            }
        } else {
            FUZZ_CHECK((Verdict(frame, {}) == TokenVerdict::kNotAToken) ==
                       (Expected(frame, {}) == TokenVerdict::kNotAToken));
        }
    }

    if (!layout.token.empty()) {
        std::unique_ptr<CpdPacket> made = MakeTokenFrame(layout.token);
        FUZZ_CHECK(made != nullptr);
        const Outcome own = Assemble(made->Data(), made->Length(), {});
        FUZZ_CHECK(own.frames.size() == 1 && own.pending == 0);
        FUZZ_CHECK(Verdict(own.frames[0], layout.token) == TokenVerdict::kRight);
        FUZZ_CHECK(Verdict(own.frames[0], layout.token + "x") == TokenVerdict::kWrong);
        FUZZ_CHECK(Verdict(own.frames[0], layout.token.substr(1)) == TokenVerdict::kWrong);
    }
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    if ((seed & 1) == 0) {
        return size;
    }
    for (size_t at = ReadLayout(data, size).streamOffset; size - at >= kCpdPacketHeaderSize;) {
        uint8_t* frame = data + at;
        frame[0] = kCpdPacketMagic;
        frame[kOrderOffset] &= 1;
        const bool swap = frame[kOrderOffset] != HostIsBigEndian();
        uint32_t length = U32In(frame + kLengthOffset, swap);
        const size_t left = size - at;
        if (length < kCpdPacketHeaderSize || length > left) {
            seed = seed * 1103515245u + 12345u;
            length = static_cast<uint32_t>(kCpdPacketHeaderSize +
                                           (seed >> 8) % (left - kCpdPacketHeaderSize + 1));
            const uint32_t stored = swap ? ByteSwap32(length) : length;
            std::memcpy(frame + kLengthOffset, &stored, sizeof(stored));
        }
        at += length;
    }
    return size;
}
