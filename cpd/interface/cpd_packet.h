// The packet record exchanged between the host and its drivers: a 16-byte header followed by
// the payload, in one growable heap block. A packet has no lock: it belongs to whoever holds
// its std::unique_ptr, and handing the pointer on hands on the packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "cpd/interface/cpd_export.h"

namespace cpd {

constexpr uint8_t kCpdPacketMagic = 0x27;
constexpr uint32_t kCpdPacketHeaderSize = 16;
// Appends that do not fit grow the block by whole steps of this size.
constexpr uint64_t kCpdPacketGrowStep = 0x20000;

// Header as it lies at the start of the block; every field is in the writer's byte order.
struct CpdPacketHeader {
    uint8_t magic;
    uint8_t devId;
    uint16_t cmd;
    uint32_t seq;
    uint32_t length;  // bytes in use, header included
    uint8_t bigEndian;
    uint8_t reserved[3];
};
static_assert(sizeof(CpdPacketHeader) == kCpdPacketHeaderSize, "wire header is 16 bytes");

CPD_UTILS_API int HostIsBigEndian();
CPD_UTILS_API uint32_t ByteSwap32(uint32_t value);

// Heap block managed with malloc/realloc/free. Non-copyable: it owns the block.
class CPD_UTILS_API CpdPacketBuffer {
  public:
    explicit CpdPacketBuffer(uint64_t capacity);
    ~CpdPacketBuffer();
    CpdPacketBuffer(const CpdPacketBuffer&) = delete;
    CpdPacketBuffer& operator=(const CpdPacketBuffer&) = delete;

    // Grows by whole kCpdPacketGrowStep steps until at least `needed` bytes fit. On failure the
    // old block and capacity stay and -1 is returned.
    int GrowTo(uint64_t needed);

    uint8_t* data = nullptr;
    uint64_t capacity = 0;
};

class CPD_UTILS_API CpdPacket {
  public:
    // Capacity below the header size is raised to it. If the block cannot be allocated the
    // packet has no buffer: every operation then fails and every getter answers 0.
    explicit CpdPacket(uint64_t capacity);
    ~CpdPacket();
    CpdPacket(const CpdPacket&) = delete;
    CpdPacket& operator=(const CpdPacket&) = delete;

    int SetHeader(uint8_t devId, uint16_t cmd, uint32_t seq);
    int AppendU32(const uint32_t* value);
    int AppendBytes(const void* data, uint32_t n);
    int AppendString(const std::string& s);
    // Reads are bounded by the capacity and advance the read cursor.
    int ReadU32(uint32_t* out);
    int ReadString(std::string& out);

    uint8_t GetDevId();
    int GetCmd();
    uint32_t GetSeq();
    uint8_t* GetPayload();
    uint64_t GetPayloadLen();
    uint64_t Capacity();

    // Host side: the wire bytes (Length() of them from Data()), the header's length field
    // decoded with the writer's byte order, and a packet rebuilt from received wire bytes
    // (null when the bytes are shorter than a header or the block cannot be allocated).
    const uint8_t* Data() const { return mHeader; }
    uint32_t Length() const;
    bool WrittenBigEndian() const;
    static std::unique_ptr<CpdPacket> FromWire(const void* bytes, uint64_t n);
    // Hands the block to the caller (for zero-copy forwarding); the packet is left without one.
    std::unique_ptr<CpdPacketBuffer> TakeBuffer();

  private:
    int AppendRaw(const void* data, uint64_t n);

    uint8_t* mHeader = nullptr;  // start of mBuffer's block; re-read after every write
    uint32_t mReadPos = 0;       // read cursor, counted from the start of the payload
    bool mHeaderInited = false;
    std::unique_ptr<CpdPacketBuffer> mBuffer;
};

}  // namespace cpd
