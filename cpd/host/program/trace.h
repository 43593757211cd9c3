// The packet trace (--trace): one decoded line per packet and direction. Tracer may be called
// from any thread (the delivering thread, the plug-in's read pump, a socket reader); each call
// writes one whole line. A Tracer without an output stream is off and costs one branch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "cpd/interface/cpd_packet.h"

namespace cpd::host {

enum class Direction { kToPlugin, kToRemote };

// "remote>plugin SET_CONFIG seq=2 len=28 DRIVER_SET_BAUD_RATE_TO_USER baud=115200"
std::string DescribePacket(Direction direction, const uint8_t* bytes, size_t n);
// Up to `limit` bytes as escaped ASCII and hex: bytes=5 "hi\r\n\x00" [68 69 0d 0a 00]
std::string PreviewBytes(const uint8_t* data, size_t n, size_t limit = 16);

class Tracer {
  public:
    explicit Tracer(std::FILE* out) : mOut(out) {}
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    bool On() const { return mOut != nullptr; }
    void Packet(Direction direction, CpdPacket& packet);
    // A line about something other than a packet (the virtual line's settings, a connection).
    void Note(const std::string& text);

  private:
    std::mutex mMutex;  // keeps lines whole when several threads trace
    std::FILE* mOut;
};

}  // namespace cpd::host
