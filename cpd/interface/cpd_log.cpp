// The drivers' log statements: the device prefix and the hex dump.
#include "cpd/interface/cpd_log.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "cpd/interface/cpd_device.h"

namespace cpd {
namespace logging {

DevicePrefix MakeDevicePrefix(CpdDevice* device) {
    DevicePrefix prefix{nullptr, 0, 0, 0, 0};
    if (device == nullptr) {
        return prefix;
    }
    prefix.bus = device->GetBus();
    prefix.devid = ((static_cast<unsigned>(device->GetDevIdHigh()) & 0xFFu) << 8) |
                   (static_cast<unsigned>(device->GetDevId()) & 0xFFu);
    prefix.cid = static_cast<unsigned>(device->GetDeviceDesc()->GetCid()) & 0xFFu;
    prefix.vid = static_cast<unsigned>(device->GetDeviceDesc()->GetVid()) & 0xFFFFu;
    prefix.pid = static_cast<unsigned>(device->GetDeviceDesc()->GetPid()) & 0xFFFFu;
    return prefix;
}

}  // namespace logging

namespace {

// "00" to "ff", in lower case.
struct HexPairs {
    char pairs[256][2];
    constexpr HexPairs() : pairs() {
        constexpr char kDigits[] = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            pairs[i][0] = kDigits[i >> 4];
            pairs[i][1] = kDigits[i & 15];
        }
    }
};

}  // namespace

void memDataPrint(const unsigned char* data, int len) {
    if (len <= 0) {
        return;
    }
    // Three characters per byte plus room for the count, the " ..." marker and the terminator.
    const size_t size = static_cast<size_t>(len) * 3 + 20;
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) {
        CPD_LOGE("malloc mem error");
        return;
    }
    // Built from a table of the 256 digit pairs rather than a formatted print per byte: the dump
    // runs for every transfer in both directions, and 33 snprintf calls cost more than the rest
    // of a read.
    static constexpr HexPairs kPairs{};
    char count[16];
    int digits = 0;
    for (unsigned rest = static_cast<unsigned>(len); rest != 0; rest /= 10) {
        count[digits++] = static_cast<char>('0' + rest % 10);
    }
    size_t pos = 0;
    text[pos++] = '[';
    while (digits > 0) {
        text[pos++] = count[--digits];
    }
    text[pos++] = ']';
    text[pos++] = ':';
    const int shown = len < 32 ? len : 32;
    for (int i = 0; i < shown; ++i) {
        std::memcpy(text + pos, kPairs.pairs[data[i]], 2);
        text[pos + 2] = ' ';
        pos += 3;
    }
    if (shown < len) {
        std::memcpy(text + pos, " ...", 4);
        pos += 4;
    }
    text[pos] = '\0';
    CPD_LOGD("data:%s", text);
    std::free(text);
}

}  // namespace cpd
