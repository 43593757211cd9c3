// The packet channel over TCP: each frame is one packet in its wire layout, its size given by
// the header's `length` (read in the byte order the header's flag names). FrameAssembler turns
// a byte stream into packets in this host's byte order; TcpClientLink is the remote side's end
// of a connection. Socket helpers return -1 with a one-line reason.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cpd/host/program/remote_session.h"
#include "cpd/interface/cpd_packet.h"

namespace cpd::host {

// Frames above this are refused: the largest real packet (a write of one terminal read, a read
// of 4095 bytes) is a few KiB, and a corrupt length must not make us buffer gigabytes.
constexpr uint32_t kMaxFrameSize = 1u << 20;

// Converts a packet written on a host of the other byte order to this host's: the header and the
// integers of the payloads the serial protocol defines (byte runs stay as they are).
void ToHostOrder(uint8_t* bytes, size_t n);

// Single-threaded: owned by the thread reading the socket.
class FrameAssembler {
  public:
    enum class Result { kNeedMore, kPacket, kMalformed };

    void Feed(const uint8_t* data, size_t n);
    // kMalformed (bad magic, byte-order flag, or length) is final: the stream cannot be resynced.
    Result Next(std::unique_ptr<CpdPacket>* out, std::string* error);
    // Bytes of a frame that has begun but not completed.
    size_t Pending() const { return mBuffer.size() - mStart; }

  private:
    std::vector<uint8_t> mBuffer;
    size_t mStart = 0;  // first unconsumed byte of mBuffer
};

struct Endpoint {
    std::string host;
    uint16_t port = 0;
    std::string Text() const;
};

// HOST:PORT, HOST an address or name ([v6-address] in brackets), PORT 0 to 65535. A bare PORT
// means loopback: nothing is exposed beyond this machine unless asked for.
bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error);
// A listening socket; *inUse tells an address already taken apart from other failures.
int ListenTcp(const Endpoint& endpoint, bool* inUse, std::string* error);
uint16_t LocalPort(int fd);
int ConnectTcp(const Endpoint& endpoint, std::string* error);
int WriteFrame(int fd, CpdPacket& packet);

// The remote side's end of a connection. Send may be called from any thread (frames never
// interleave); the reader thread started by Start calls onPacket for each frame and onClosed
// once when the stream ends. Close (or the destructor) shuts the socket down and joins the reader.
// Non-copyable: owns a socket and a thread.
class TcpClientLink final : public PacketLink {
  public:
    using PacketHandler = std::function<void(std::unique_ptr<CpdPacket> packet)>;
    using ClosedHandler = std::function<void(const std::string& why)>;

    static std::unique_ptr<TcpClientLink> Connect(const Endpoint& endpoint, std::string* error);
    ~TcpClientLink() override;
    TcpClientLink(const TcpClientLink&) = delete;
    TcpClientLink& operator=(const TcpClientLink&) = delete;

    void Start(PacketHandler onPacket, ClosedHandler onClosed);
    int Send(std::unique_ptr<CpdPacket> packet) override;
    void Close();

  private:
    explicit TcpClientLink(int fd) : mFd(fd) {}
    void readLoop();

    int mFd;
    std::mutex mSendMutex;
    std::atomic<bool> mClosing{false};
    PacketHandler mOnPacket;
    ClosedHandler mOnClosed;
    std::thread mReader;
};

}  // namespace cpd::host
