#include "cpd/interface/cpd_log.h"

#include <cstdio>
#include <cstdlib>
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
    int pos = std::snprintf(text, size, "[%d]:", len);
    int i = 0;
    for (; i < len && i < 32; ++i) {
        pos += std::snprintf(text + pos, size - static_cast<size_t>(pos), "%.2x ", data[i]);
    }
    if (i < len) {
        std::snprintf(text + pos, size - static_cast<size_t>(pos), " ...");
    }
    CPD_LOGD("data:%s", text);
    std::free(text);
}

}  // namespace cpd
