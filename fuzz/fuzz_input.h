// Reads a fuzz input front to back as little-endian fields. Past the end every field reads as
// zero and every byte run as empty, so a truncated input is still a well-formed script: the
// harnesses never branch on "not enough bytes" and every prefix of a seed means something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// An invariant every run must keep; aborting makes libFuzzer keep the input as a crash.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace cpd::fuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : mData(data), mSize(size) {}

    bool Empty() const { return mPos >= mSize; }
    size_t Remaining() const { return mPos < mSize ? mSize - mPos : 0; }

    uint8_t U8() { return mPos < mSize ? mData[mPos++] : 0; }
    uint16_t U16() {
        const uint16_t low = U8();
        return static_cast<uint16_t>(low | (U8() << 8));
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    // Up to `wanted` bytes; `*got` tells how many there were.
    const uint8_t* Bytes(size_t wanted, size_t* got) {
        const size_t n = wanted < Remaining() ? wanted : Remaining();
        const uint8_t* start = mData + mPos;
        mPos += n;
        *got = n;
        return start;
    }

  private:
    const uint8_t* mData;
    size_t mSize;
    size_t mPos = 0;
};

}  // namespace cpd::fuzz
