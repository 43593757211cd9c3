// The remote side of a redirection: report, settings, reads started, paced writes.
#include "cpd/host/program/remote_session.h"

#include <algorithm>
#include <cstring>

#include "cpd/host/program/driver_session.h"
#include "cpd/host/program/serial_packets.h"

namespace cpd::host {

using Clock = std::chrono::steady_clock;

int LocalLink::Send(std::unique_ptr<CpdPacket> packet) {
    if (mSession == nullptr) {
        return -1;
    }
    mSession->Deliver(std::move(packet));
    // The plug-in serves the packet on this thread, so its log has spoken by now.
    return mWatch != nullptr && mWatch->Failed() ? -1 : 0;
}

size_t PacedWriteChunk(int64_t baud, unsigned bitsPerChar) {
    constexpr int64_t kBudgetMs = 250;  // half the plug-in's write timeout
    const int64_t rate = baud > 0 ? baud : 9600;
    const int64_t bytes = rate * kBudgetMs / 1000 / std::max(bitsPerChar, 1u);
    return static_cast<size_t>(
        std::clamp<int64_t>(bytes, 1, static_cast<int64_t>(RemoteSession::kMaxWriteChunk)));
}

namespace {

// A start bit, the data bits, a parity bit if any, the stop bits; 8N1 where the port said
// nothing valid.
int64_t BitsPerChar(const serial_config& line) {
    return 1 + (line.bits > 0 ? line.bits : 8) + (line.parity > 0 ? 1 : 0) +
           (line.stopbits > 0 ? line.stopbits : 1);
}

size_t ChunkFor(const serial_config& line) {
    return PacedWriteChunk(line.baudrate, static_cast<unsigned>(BitsPerChar(line)));
}

// How long the wire takes for one byte; an unknown speed counts as 9600, as for the chunks.
Clock::duration ByteTime(const serial_config& line) {
    const int64_t baud = line.baudrate > 0 ? line.baudrate : 9600;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(BitsPerChar(line) * 1000000000 / baud));
}

}  // namespace

int TracedLink::Send(std::unique_ptr<CpdPacket> packet) {
    if (packet != nullptr) {
        mTracer.Packet(Direction::kToPlugin, *packet);
    }
    return mInner.Send(std::move(packet));
}

RemoteSession::RemoteSession(PacketLink& link, DataHandler onData)
    : mLink(link), mOnData(std::move(onData)), mMaxBytesAhead(link.MaxBytesAhead()) {}

void RemoteSession::OnPacket(std::unique_ptr<CpdPacket> packet) {
    PacketView view;
    if (packet == nullptr || !ViewPacket(*packet, &view)) {
        return;
    }
    serial_config config{};
    const uint8_t* data = nullptr;
    size_t n = 0;
    if (DecodeReport(view, &config)) {
        std::lock_guard<std::mutex> lock(mMutex);
        mReport = config;
        mDevId = view.header.devId;
        mWriteChunk = ChunkFor(config);
        mByteTime = ByteTime(config);
        mChanged.notify_all();
    } else if (DecodeReadData(view, &data, &n)) {
        // The handler runs outside the lock: it may block on a slow stdout, and the calling
        // thread must still be able to send meanwhile.
        mOnData(data, n);
        std::lock_guard<std::mutex> lock(mMutex);
        mReceived += n;
        mLastActivity = Clock::now();
        // An echo proves the line carried as many bytes as came back: at most the rest waits.
        const auto unproven = static_cast<int64_t>(mSent > mReceived ? mSent - mReceived : 0);
        mLineFreeAt = std::min(mLineFreeAt, mLastActivity + mByteTime * unproven);
        mChanged.notify_all();
    }
}

void RemoteSession::OnClosed(const std::string& why) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mClosed) {
        mClosed = true;
        mClosedReason = why;
    }
    mChanged.notify_all();
}

bool RemoteSession::WaitForReport(std::chrono::milliseconds timeout, serial_config* config) {
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait_for(lock, timeout, [this] { return mReport.has_value() || mClosed; });
    if (!mReport) {
        return false;
    }
    *config = *mReport;
    return true;
}

uint32_t RemoteSession::nextSeq() {
    std::lock_guard<std::mutex> lock(mMutex);
    return ++mSeq;
}

int RemoteSession::send(std::unique_ptr<CpdPacket> packet) {
    if (packet == nullptr) {
        return -1;
    }
    const int result = mLink.Send(std::move(packet));
    std::lock_guard<std::mutex> lock(mMutex);
    mLastActivity = Clock::now();
    return result;
}

int RemoteSession::setConfig(uint32_t msgType, const void* data, uint32_t len) {
    uint8_t devId = 0;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        devId = mDevId;
    }
    return send(MakeSetConfig(devId, nextSeq(), msgType, data, len));
}

int RemoteSession::ApplySettings(const PortSettings& s, const serial_config& current) {
    int result = 0;
    if (s.baud) {
        const uint32_t baud = *s.baud;
        result |= setConfig(DRIVER_SET_BAUD_RATE_TO_USER, &baud, sizeof(baud));
    }
    if (s.dataBits || s.parity || s.stopBits) {
        // One request carries all three, so the ones not asked for keep the port's values; a
        // value the port reports as invalid (-1) falls back to the common 8N1.
        const auto parity =
            static_cast<uint8_t>(current.parity >= 0 && current.parity <= 4 ? current.parity : 0);
        const uint8_t lineControl[kLineControlRecordSize] = {
            s.stopBits.value_or(current.stopbits > 0 ? static_cast<uint8_t>(current.stopbits) : 1),
            s.parity ? static_cast<uint8_t>(*s.parity) : parity,
            s.dataBits.value_or(current.bits > 0 ? static_cast<uint8_t>(current.bits) : 8)};
        result |= setConfig(DRIVER_SET_LINE_CONTROL_TO_USER, lineControl, sizeof(lineControl));
    }
    serial_config line = current;
    line.baudrate = s.baud ? static_cast<int32_t>(*s.baud) : line.baudrate;
    line.bits = s.dataBits ? *s.dataBits : line.bits;
    line.parity = s.parity ? static_cast<int32_t>(*s.parity) : line.parity;
    line.stopbits = s.stopBits ? *s.stopBits : line.stopbits;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mWriteChunk = ChunkFor(line);
        mByteTime = ByteTime(line);
    }
    if (s.readTimeoutMs) {
        const uint32_t timeouts[5] = {0, 0, *s.readTimeoutMs, 0, 0};
        result |= setConfig(DRIVER_SET_TIMEOUTS_TO_USER, timeouts, sizeof(timeouts));
    }
    if (s.readLength) {
        const uint64_t length = *s.readLength;
        result |= setConfig(SET_READ_LENGTH, &length, sizeof(length));
    }
    if (s.flowOff) {
        const uint32_t handflow[4] = {s.handShake, s.flowReplace, 0, 0};
        result |= setConfig(DRIVER_SET_HANDFLOW_TO_USER, handflow, sizeof(handflow));
    }
    if (s.dtrPulse) {
        result |= setConfig(DRIVER_CLR_DTR_TO_USER, nullptr, 0);
    }
    if (s.purge) {
        result |= setConfig(DRIVER_SERIAL_PURGE_TO_USER, nullptr, 0);
    }
    return result != 0 ? -1 : 0;
}

int RemoteSession::StartRead() {
    uint8_t devId = 0;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        devId = mDevId;
    }
    return send(MakeStartRead(devId, nextSeq()));
}

int RemoteSession::Write(const uint8_t* data, size_t n) {
    uint8_t devId = 0;
    size_t paced = 0;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        devId = mDevId;
        paced = mWriteChunk;
    }
    for (size_t done = 0; done < n;) {
        const size_t chunk = std::min(n - done, paced);
        if (send(MakeWrite(devId, nextSeq(), data + done, static_cast<uint32_t>(chunk))) != 0) {
            return -1;
        }
        done += chunk;
        std::lock_guard<std::mutex> lock(mMutex);
        mSent += chunk;
        // The port took the packet into its buffers; the wire carries it after what is queued,
        // of which there is no more than the port can hold.
        const auto now = Clock::now();
        mLineFreeAt = std::max(mLineFreeAt, now) + mByteTime * chunk;
        if (mMaxBytesAhead) {
            mLineFreeAt =
                std::min(mLineFreeAt, now + mByteTime * static_cast<int64_t>(*mMaxBytesAhead));
        }
    }
    return 0;
}

std::chrono::milliseconds RemoteSession::QuietRemaining(std::chrono::milliseconds quiet) const {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto left = std::max(mLastActivity, mLineFreeAt) + quiet - Clock::now();
    // Rounded up, so a caller that sleeps for the answer does not wake a hair early and spin.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left);
    return ms.count() > 0 ? ms : std::chrono::milliseconds(0);
}

bool RemoteSession::WaitForBytes(uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, timeout, [&] { return mReceived >= count || mClosed; }) &&
           mReceived >= count;
}

bool RemoteSession::Closed() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mClosed;
}

std::string RemoteSession::ClosedReason() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mClosedReason;
}

uint64_t RemoteSession::BytesSent() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSent;
}

uint64_t RemoteSession::BytesReceived() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mReceived;
}

}  // namespace cpd::host
