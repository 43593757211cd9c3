// Plays the remote side of a redirection: waits for the plug-in's configuration report, sends
// settings, the start of reading and the user's bytes, and hands the bytes read from the port to
// a data handler. The calling thread sends; OnPacket/OnClosed come from whatever thread carries
// packets back (the plug-in's read pump in-process, a socket reader over TCP) and run the data
// handler there. Non-copyable: shares state with those threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/host/program/port_settings.h"
#include "cpd/host/program/trace.h"
#include "cpd/interface/cpd_packet.h"

namespace cpd::host {

// Carries the remote side's packets to the driver. 0 or -1.
class PacketLink {
  public:
    virtual ~PacketLink() = default;
    virtual int Send(std::unique_ptr<CpdPacket> packet) = 0;
    // The most written bytes that can still wait for the wire once Send returned; none known
    // (nullopt) when buffers of unknown size lie between, as across a network.
    virtual std::optional<uint64_t> MaxBytesAhead() const { return std::nullopt; }
};

class DriverSession;

class WriteWatch;

// In-process link: hands each packet straight to the driver on the sending thread. With a
// watch, a WRITE the plug-in failed to write makes Send fail.
class LocalLink final : public PacketLink {
  public:
    void Attach(DriverSession* session, const WriteWatch* watch = nullptr) {
        mSession = session;
        mWatch = watch;
    }
    int Send(std::unique_ptr<CpdPacket> packet) override;
    // The plug-in has written a WRITE into the port when Send returns.
    std::optional<uint64_t> MaxBytesAhead() const override { return kPortBufferBytes; }

    // What a port holds between a completed write and its wire: Linux gives each tty a page
    // (4 KiB) of output buffer, a USB adapter adds its bulk transfers in flight and its chip's
    // FIFO (256 bytes on an FT232R, 4 KiB on an FT2232H), and the virtual adapter's pty takes
    // about 14 KiB. 16 KiB covers them all, and costs at most 1.4 s of extra wait at 115200 baud.
    static constexpr uint64_t kPortBufferBytes = 16 * 1024;

  private:
    DriverSession* mSession = nullptr;
    const WriteWatch* mWatch = nullptr;
};

// Traces each packet, then hands it on (for a remote side whose driver is in another process).
class TracedLink final : public PacketLink {
  public:
    TracedLink(PacketLink& inner, Tracer& tracer) : mInner(inner), mTracer(tracer) {}
    int Send(std::unique_ptr<CpdPacket> packet) override;
    std::optional<uint64_t> MaxBytesAhead() const override { return mInner.MaxBytesAhead(); }

  private:
    PacketLink& mInner;
    Tracer& mTracer;
};

// Bytes per WRITE packet at `baud` with `bitsPerChar` on the line (start, data, parity and stop
// bits): the plug-in gives each write 500 ms and drops what has not left by then, so a packet
// takes at most half of that at the line's rate (240 bytes at 9600 8N1), and at most
// kMaxWriteChunk. An unknown speed counts as 9600.
size_t PacedWriteChunk(int64_t baud, unsigned bitsPerChar);

class RemoteSession {
  public:
    using DataHandler = std::function<void(const uint8_t* data, size_t n)>;
    static constexpr size_t kMaxWriteChunk = 4096;

    RemoteSession(PacketLink& link, DataHandler onData);
    RemoteSession(const RemoteSession&) = delete;
    RemoteSession& operator=(const RemoteSession&) = delete;

    // Receive side.
    void OnPacket(std::unique_ptr<CpdPacket> packet);
    void OnClosed(const std::string& why);

    // True once the report is in (its devId becomes the id of every packet sent from then on);
    // false after `timeout` or when the link closed first.
    bool WaitForReport(std::chrono::milliseconds timeout, serial_config* config);
    // Sends the requests for every field set, line control completed from `current`. 0 or -1.
    int ApplySettings(const PortSettings& settings, const serial_config& current);
    int StartRead();
    // Sends the bytes in packets paced for the line's speed (the report's, then the settings
    // sent), one after the other; stops at the first packet that fails. 0 or -1.
    int Write(const uint8_t* data, size_t n);
    // How much longer until nothing has moved for `quiet`; zero once that is the case. The
    // bytes written count as moving until the line, at its rate, can have carried them: a port
    // takes kilobytes into its buffers at once, and the device answers only once they arrive.
    // Many ports carry bytes faster than their rate (USB CDC-ACM ignores it), so the estimate
    // never runs more than the link's MaxBytesAhead of line time ahead, and each byte that came
    // back counts as one the line carried.
    std::chrono::milliseconds QuietRemaining(std::chrono::milliseconds quiet) const;
    // Waits until at least `count` bytes came back in all; false after `timeout`.
    bool WaitForBytes(uint64_t count, std::chrono::milliseconds timeout);

    bool Closed() const;
    std::string ClosedReason() const;
    uint64_t BytesSent() const;
    uint64_t BytesReceived() const;

  private:
    int send(std::unique_ptr<CpdPacket> packet);
    int setConfig(uint32_t msgType, const void* data, uint32_t len);
    uint32_t nextSeq();

    PacketLink& mLink;
    DataHandler mOnData;
    mutable std::mutex mMutex;  // guards everything below
    std::condition_variable mChanged;
    uint8_t mDevId = 0;
    uint32_t mSeq = 0;
    std::optional<serial_config> mReport;
    bool mClosed = false;
    std::string mClosedReason;
    uint64_t mSent = 0;
    uint64_t mReceived = 0;
    size_t mWriteChunk = PacedWriteChunk(0, 10);
    std::chrono::steady_clock::duration mByteTime = std::chrono::microseconds(1042);  // 9600 8N1
    std::chrono::steady_clock::time_point mLineFreeAt;  // when the line has sent every write
    const std::optional<uint64_t> mMaxBytesAhead;  // the link's; constant, read without the lock
    std::chrono::steady_clock::time_point mLastActivity = std::chrono::steady_clock::now();
};

}  // namespace cpd::host
