// Packets as frames over TCP: the assembler, endpoints, listening, the client link.
#include "cpd/host/program/tcp_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/host/program/net.h"
#include "cpd/host/program/serial_packets.h"

namespace cpd::host {

namespace {

constexpr size_t kMagicOffset = 0;
constexpr size_t kCmdOffset = 2;
constexpr size_t kSeqOffset = 4;
constexpr size_t kLengthOffset = 8;
constexpr size_t kOrderOffset = 12;

void Swap16At(uint8_t* p) {
    std::swap(p[0], p[1]);
}

void Swap32At(uint8_t* p) {
    std::swap(p[0], p[3]);
    std::swap(p[1], p[2]);
}

void Swap64At(uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        std::swap(p[i], p[7 - i]);
    }
}

// Swaps `count` 32-bit words starting at `offset` of the payload, as far as the payload reaches.
void Swap32Run(uint8_t* payload, size_t size, size_t offset, size_t count) {
    for (size_t i = 0; i < count && offset + 4 * (i + 1) <= size; ++i) {
        Swap32At(payload + offset + 4 * i);
    }
}

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

std::unique_ptr<addrinfo, AddrInfoDeleter> Resolve(const Endpoint& endpoint, bool passive,
                                                   std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* info = nullptr;
    const std::string port = std::to_string(endpoint.port);
    const int rc = ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &info);
    if (rc != 0) {
        *error = "cannot resolve " + endpoint.host + ": " + ResolveError(rc);
        return nullptr;
    }
    return std::unique_ptr<addrinfo, AddrInfoDeleter>(info);
}

}  // namespace

void ToHostOrder(uint8_t* bytes, size_t n) {
    if (n < kCpdPacketHeaderSize || bytes[kOrderOffset] == HostIsBigEndian()) {
        return;
    }
    Swap16At(bytes + kCmdOffset);
    Swap32At(bytes + kSeqOffset);
    Swap32At(bytes + kLengthOffset);
    bytes[kOrderOffset] = static_cast<uint8_t>(HostIsBigEndian());
    uint16_t cmd = 0;
    std::memcpy(&cmd, bytes + kCmdOffset, sizeof(cmd));
    uint8_t* payload = bytes + kCpdPacketHeaderSize;
    const size_t size = n - kCpdPacketHeaderSize;
    switch (cmd) {
        case SERIAL_CMD_REDIR_CONFIG:
            Swap32Run(payload, size, 0, 9);
            break;
        case SERIAL_CMD_WRITE:
        case SERIAL_CMD_READ_DATA:
            Swap32Run(payload, size, 0, 1);
            break;
        case SERIAL_CMD_SET_CONFIG: {
            Swap32Run(payload, size, 0, 2);
            if (size < 8) {
                break;
            }
            const uint32_t msgType = LoadU32(payload);
            const uint32_t len = LoadU32(payload + 4);
            const size_t data = std::min<size_t>(len, size - 8);
            if (msgType == DRIVER_SET_BAUD_RATE_TO_USER) {
                Swap32Run(payload, 8 + data, 8, 1);
            } else if (msgType == DRIVER_SET_TIMEOUTS_TO_USER) {
                Swap32Run(payload, 8 + data, 8, 5);
            } else if (msgType == DRIVER_SET_HANDFLOW_TO_USER) {
                Swap32Run(payload, 8 + data, 8, 4);
            } else if (msgType == SET_READ_LENGTH && data >= 8) {
                Swap64At(payload + 8);
            }
            break;
        }
        default:
            break;
    }
}

void FrameAssembler::Feed(const uint8_t* data, size_t n) {
    // Consumed bytes are dropped only once they are the larger part, so a long stream of small
    // frames costs amortised constant time per byte.
    if (mStart > 0 && mStart >= mBuffer.size() / 2) {
        mBuffer.erase(mBuffer.begin(), mBuffer.begin() + static_cast<std::ptrdiff_t>(mStart));
        mStart = 0;
    }
    mBuffer.insert(mBuffer.end(), data, data + n);
}

FrameAssembler::Result FrameAssembler::Next(std::unique_ptr<CpdPacket>* out, std::string* error) {
    if (Pending() < kCpdPacketHeaderSize) {
        return Result::kNeedMore;
    }
    uint8_t* frame = mBuffer.data() + mStart;
    if (frame[kMagicOffset] != kCpdPacketMagic) {
        *error = "bad magic 0x" + std::string(1, "0123456789abcdef"[frame[0] >> 4]) +
                 "0123456789abcdef"[frame[0] & 15] + " (expected 0x27)";
        return Result::kMalformed;
    }
    if (frame[kOrderOffset] > 1) {
        *error = "bad byte-order flag " + std::to_string(frame[kOrderOffset]);
        return Result::kMalformed;
    }
    uint32_t length = LoadU32(frame + kLengthOffset);
    if (frame[kOrderOffset] != HostIsBigEndian()) {
        length = ByteSwap32(length);
    }
    if (length < kCpdPacketHeaderSize || length > kMaxFrameSize) {
        *error = "frame length " + std::to_string(length) + " outside 16.." +
                 std::to_string(kMaxFrameSize);
        return Result::kMalformed;
    }
    if (Pending() < length) {
        return Result::kNeedMore;
    }
    ToHostOrder(frame, length);
    *out = CpdPacket::FromWire(frame, length);
    mStart += length;
    if (*out == nullptr) {
        *error = "out of memory for a frame of " + std::to_string(length) + " bytes";
        return Result::kMalformed;
    }
    return Result::kPacket;
}

std::string Endpoint::Text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        return ParseEndpoint("127.0.0.1:" + text, out, error);
    }
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        *error = "expected HOST:PORT, got \"" + text + "\"";
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::string port = text.substr(colon + 1);
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(port.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || port[0] == '-' || port[0] == '+' || value > 65535) {
        *error = "bad port \"" + port + "\" in \"" + text + "\" (0 to 65535)";
        return false;
    }
    out->host = host;
    out->port = static_cast<uint16_t>(value);
    return true;
}

int ListenTcp(const Endpoint& endpoint, bool* inUse, std::string* error) {
    *inUse = false;
    auto info = Resolve(endpoint, true, error);
    if (info == nullptr) {
        return -1;
    }
    const addrinfo* ai = info.get();
    const int fd = OpenSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) {
        *error = NetError("socket");
        return -1;
    }
    PrepareListener(fd);
    const std::string where = "cannot listen on " + endpoint.Text();
    if (::bind(fd, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
        *inUse = LastErrorAddressInUse();
        *error = NetError(where.c_str());
        CloseSocket(fd);
        return -1;
    }
    if (::listen(fd, 4) != 0) {
        *error = NetError(where.c_str());
        CloseSocket(fd);
        return -1;
    }
    return fd;
}

uint16_t LocalPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

int ConnectTcp(const Endpoint& endpoint, std::string* error) {
    auto info = Resolve(endpoint, false, error);
    if (info == nullptr) {
        return -1;
    }
    *error = "cannot connect to " + endpoint.Text();
    for (const addrinfo* ai = info.get(); ai != nullptr; ai = ai->ai_next) {
        const int fd = OpenSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            continue;
        }
        if (::connect(fd, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) {
            // Packets are small and interactive: a keystroke must not wait for Nagle.
            SetNoDelay(fd);
            return fd;
        }
        *error = NetError(("cannot connect to " + endpoint.Text()).c_str());
        CloseSocket(fd);
    }
    return -1;
}

int WriteFrame(int fd, CpdPacket& packet) {
    const uint32_t length = packet.Length();
    if (length < kCpdPacketHeaderSize || length > packet.Capacity()) {
        return -1;
    }
    return SendAll(fd, packet.Data(), length);
}

std::unique_ptr<TcpClientLink> TcpClientLink::Connect(const Endpoint& endpoint,
                                                      std::string* error) {
    const int fd = ConnectTcp(endpoint, error);
    if (fd < 0) {
        return nullptr;
    }
    return std::unique_ptr<TcpClientLink>(new TcpClientLink(fd));
}

TcpClientLink::~TcpClientLink() {
    Close();
    CloseSocket(mFd);
}

void TcpClientLink::Start(PacketHandler onPacket, ClosedHandler onClosed) {
    mOnPacket = std::move(onPacket);
    mOnClosed = std::move(onClosed);
    mReader = std::thread(&TcpClientLink::readLoop, this);
}

int TcpClientLink::Send(std::unique_ptr<CpdPacket> packet) {
    if (packet == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mSendMutex);
    return WriteFrame(mFd, *packet);
}

void TcpClientLink::Close() {
    mClosing = true;
    // Wakes the reader out of recv and any sender out of send.
    ShutdownSocket(mFd);
    if (mReader.joinable()) {
        mReader.join();
    }
}

void TcpClientLink::readLoop() {
    FrameAssembler assembler;
    uint8_t buffer[16384];
    std::string why;
    for (;;) {
        const long n = ReceiveSome(mFd, buffer, sizeof(buffer));
        if (n == 0) {
            why = assembler.Pending() > 0 ? "the server closed the connection in mid-frame"
                                          : "the server closed the connection";
            break;
        }
        if (n < 0) {
            why = NetError("connection lost");
            break;
        }
        assembler.Feed(buffer, static_cast<size_t>(n));
        std::unique_ptr<CpdPacket> packet;
        std::string error;
        FrameAssembler::Result result;
        while ((result = assembler.Next(&packet, &error)) == FrameAssembler::Result::kPacket) {
            mOnPacket(std::move(packet));
        }
        if (result == FrameAssembler::Result::kMalformed) {
            why = "malformed frame from the server: " + error;
            break;
        }
    }
    if (mClosing) {
        why = "closed";
    }
    mOnClosed(why);
}

}  // namespace cpd::host
