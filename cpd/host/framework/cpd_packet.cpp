// The host framework's packet record: header, payload growth, byte order.
#include "cpd/interface/cpd_packet.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cpd {

int HostIsBigEndian() {
    const uint32_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1 ? 0 : 1;
}

uint32_t ByteSwap32(uint32_t value) {
    return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
           ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

CpdPacketBuffer::CpdPacketBuffer(uint64_t size) {
    data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    capacity = data != nullptr ? size : 0;
}

CpdPacketBuffer::~CpdPacketBuffer() {
    std::free(data);
}

int CpdPacketBuffer::GrowTo(uint64_t needed) {
    uint64_t grown = capacity;
    while (grown < needed) {
        grown += kCpdPacketGrowStep;
    }
    if (grown == capacity) {
        return 0;
    }
    void* moved = std::realloc(data, static_cast<size_t>(grown));
    if (moved == nullptr) {
        return -1;
    }
    data = static_cast<uint8_t*>(moved);
    capacity = grown;
    return 0;
}

CpdPacket::CpdPacket(uint64_t capacity) {
    if (capacity < kCpdPacketHeaderSize) {
        capacity = kCpdPacketHeaderSize;
    }
    std::unique_ptr<CpdPacketBuffer> buffer(new CpdPacketBuffer(capacity));
    if (buffer->data == nullptr) {
        return;  // no buffer: the packet refuses every operation
    }
    mBuffer = std::move(buffer);
    mHeader = mBuffer->data;
    CpdPacketHeader header{};
    header.magic = kCpdPacketMagic;
    header.bigEndian = static_cast<uint8_t>(HostIsBigEndian());
    header.length = kCpdPacketHeaderSize;
    std::memcpy(mHeader, &header, sizeof(header));
    mHeaderInited = true;
    mReadPos = 0;
}

CpdPacket::~CpdPacket() = default;

int CpdPacket::SetHeader(uint8_t devId, uint16_t cmd, uint32_t seq) {
    if (mBuffer == nullptr) {
        return -1;
    }
    auto* header = reinterpret_cast<CpdPacketHeader*>(mHeader);
    header->magic = kCpdPacketMagic;
    header->bigEndian = static_cast<uint8_t>(HostIsBigEndian());
    header->devId = devId;
    header->seq = seq;
    header->cmd = cmd;
    mHeaderInited = true;
    return 0;
}

int CpdPacket::AppendRaw(const void* data, uint64_t n) {
    if (mBuffer == nullptr) {
        return -1;
    }
    if (!mHeaderInited) {
        std::printf("please init header first\n");
        return -1;
    }
    if (n > mBuffer->capacity - kCpdPacketHeaderSize) {
        std::printf("payload size larger than packet size\n");
        return -1;
    }
    auto* header = reinterpret_cast<CpdPacketHeader*>(mHeader);
    const uint64_t end = static_cast<uint64_t>(header->length) + n;
    if (end > mBuffer->capacity) {
        if (mBuffer->GrowTo(end) != 0) {
            return -1;
        }
        mHeader = mBuffer->data;
        header = reinterpret_cast<CpdPacketHeader*>(mHeader);
    }
    if (n > 0) {
        std::memcpy(mHeader + header->length, data, static_cast<size_t>(n));
    }
    header->length = static_cast<uint32_t>(end);
    return 0;
}

int CpdPacket::AppendU32(const uint32_t* value) {
    return AppendRaw(value, sizeof(*value));
}

int CpdPacket::AppendBytes(const void* data, uint32_t n) {
    return AppendRaw(data, n);
}

int CpdPacket::AppendString(const std::string& s) {
    if (mBuffer == nullptr) {
        return -1;
    }
    if (!mHeaderInited) {
        std::printf("please init header first\n");
        return -1;
    }
    const uint64_t n = static_cast<uint64_t>(s.size()) + 1;
    if (n + 4 > mBuffer->capacity - kCpdPacketHeaderSize) {
        std::printf("payload size larger than packet size\n");
        return -1;
    }
    const uint32_t count = static_cast<uint32_t>(n);
    if (AppendU32(&count) != 0) {
        return -1;
    }
    return AppendRaw(s.c_str(), n);
}

int CpdPacket::ReadU32(uint32_t* out) {
    if (mBuffer == nullptr) {
        return -1;
    }
    const uint64_t payloadCapacity = mBuffer->capacity - kCpdPacketHeaderSize;
    if (static_cast<uint64_t>(mReadPos) + 4 > payloadCapacity) {
        return -1;
    }
    uint32_t value = 0;
    std::memcpy(&value, mHeader + kCpdPacketHeaderSize + mReadPos, sizeof(value));
    mReadPos += 4;
    if (reinterpret_cast<const CpdPacketHeader*>(mHeader)->bigEndian != HostIsBigEndian()) {
        value = ByteSwap32(value);
    }
    *out = value;
    return 0;
}

int CpdPacket::ReadString(std::string& out) {
    uint32_t n = 0;
    if (ReadU32(&n) != 0) {
        return -1;
    }
    const uint64_t payloadCapacity = mBuffer->capacity - kCpdPacketHeaderSize;
    if (static_cast<uint64_t>(mReadPos) + n > payloadCapacity) {
        std::printf("payload size larger than packet size\n");
        return -1;
    }
    // The item normally ends with its own 0; the copy adds one so that a malformed item
    // cannot run the text past its bytes.
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (text != nullptr) {
        std::memcpy(text, mHeader + kCpdPacketHeaderSize + mReadPos, n);
        text[n] = '\0';
        out.assign(text);
        std::free(text);
    }
    mReadPos += n;
    return 0;
}

uint8_t CpdPacket::GetDevId() {
    return mBuffer != nullptr ? reinterpret_cast<const CpdPacketHeader*>(mHeader)->devId : 0;
}

int CpdPacket::GetCmd() {
    return mBuffer != nullptr ? reinterpret_cast<const CpdPacketHeader*>(mHeader)->cmd : 0;
}

uint32_t CpdPacket::GetSeq() {
    return mBuffer != nullptr ? reinterpret_cast<const CpdPacketHeader*>(mHeader)->seq : 0;
}

uint8_t* CpdPacket::GetPayload() {
    if (mBuffer == nullptr) {
        return nullptr;
    }
    if (kCpdPacketHeaderSize + static_cast<uint64_t>(mReadPos) > mBuffer->capacity) {
        return nullptr;
    }
    return mHeader + kCpdPacketHeaderSize + mReadPos;
}

uint64_t CpdPacket::GetPayloadLen() {
    if (mBuffer == nullptr) {
        return 0;
    }
    const uint64_t length = reinterpret_cast<const CpdPacketHeader*>(mHeader)->length;
    // Unsigned arithmetic as the wire defines it; the redirection bounds every copy by the
    // smaller of this and the capacity, so a wrapped value never becomes a read past the block.
    return length - kCpdPacketHeaderSize - mReadPos;
}

uint64_t CpdPacket::Capacity() {
    return mBuffer != nullptr ? mBuffer->capacity : 0;
}

uint32_t CpdPacket::Length() const {
    if (mBuffer == nullptr) {
        return 0;
    }
    const auto* header = reinterpret_cast<const CpdPacketHeader*>(mHeader);
    return header->bigEndian != HostIsBigEndian() ? ByteSwap32(header->length) : header->length;
}

bool CpdPacket::WrittenBigEndian() const {
    return mBuffer != nullptr && reinterpret_cast<const CpdPacketHeader*>(mHeader)->bigEndian != 0;
}

std::unique_ptr<CpdPacket> CpdPacket::FromWire(const void* bytes, uint64_t n) {
    if (bytes == nullptr || n < kCpdPacketHeaderSize) {
        return nullptr;
    }
    std::unique_ptr<CpdPacket> packet(new CpdPacket(n));
    if (packet->mBuffer == nullptr) {
        return nullptr;
    }
    std::memcpy(packet->mHeader, bytes, static_cast<size_t>(n));
    return packet;
}

std::unique_ptr<CpdPacketBuffer> CpdPacket::TakeBuffer() {
    mHeader = nullptr;
    mHeaderInited = false;
    return std::move(mBuffer);
}

}  // namespace cpd
