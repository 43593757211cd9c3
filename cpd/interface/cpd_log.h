// Log statements of the drivers. Every message is one velmarLogPrint call with the tag
// "CPD_LOG" and the frame `file function(line): ["prefix"] "Severity:" "message" ["\n"]`.
// The message literal is stringised at build time, so its quotes and escape sequences reach
// the format text as written in the source ("close\n" becomes the nine characters "close\n").
//
//   CPD_LOGD("enter\n");                 plain Debug (level 5)
//   CPD_LOGE("sp_open failed");          plain Error (level 7)
//   CPD_DEV_LOGD("Read:%d", n);          with the device prefix of the object's mDevice
#pragma once

#include "cpd/host/framework/velmar_log.h"

namespace cpd {

class CpdDevice;

namespace logging {

constexpr int kLevelDebug = 5;
constexpr int kLevelError = 7;

// Bare file name: the part after the last '/' or '\', so Linux and Windows builds log the same.
constexpr const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

struct DevicePrefix {
    void* bus;
    unsigned devid;
    unsigned cid;
    unsigned vid;
    unsigned pid;
};

// The five prefix values of a device; all zero for a null device.
DevicePrefix MakeDevicePrefix(CpdDevice* device);

}  // namespace logging

// Hex dump of the first 32 bytes of a buffer as one Debug message; nothing for len <= 0.
void memDataPrint(const unsigned char* data, int len);

}  // namespace cpd

#define CPD_LOG_FRAME_ "%s %s(%d): "
#define CPD_LOG_PREFIX_ "\"[bus:%p devid:%u cid:%u 0x%.4x:0x%.4x]\" "

#define CPD_LOG_AT_(file, level, severity, msg, ...)                                          \
    ((void)velmarLogPrint(0, level, "CPD_LOG", CPD_LOG_FRAME_ "\"" severity "\" " #msg, file, \
                          __func__, __LINE__, ##__VA_ARGS__))

#define CPD_DEV_LOG_AT_(file, device, level, severity, msg, ...)                                  \
    do {                                                                                          \
        const ::cpd::logging::DevicePrefix cpdPrefix_ = ::cpd::logging::MakeDevicePrefix(device); \
        (void)velmarLogPrint(0, level, "CPD_LOG",                                                 \
                             CPD_LOG_FRAME_ CPD_LOG_PREFIX_ "\"" severity "\" " #msg " \"\\n\"",  \
                             file, __func__, __LINE__, cpdPrefix_.bus, cpdPrefix_.devid,          \
                             cpdPrefix_.cid, cpdPrefix_.vid, cpdPrefix_.pid, ##__VA_ARGS__);      \
    } while (0)

#define CPD_LOG_FILE_ (::cpd::logging::BaseName(__FILE__))

#define CPD_LOGD(msg, ...) \
    CPD_LOG_AT_(CPD_LOG_FILE_, ::cpd::logging::kLevelDebug, "Debug:", msg, ##__VA_ARGS__)
#define CPD_LOGE(msg, ...) \
    CPD_LOG_AT_(CPD_LOG_FILE_, ::cpd::logging::kLevelError, "Error:", msg, ##__VA_ARGS__)
#define CPD_DEV_LOGD(msg, ...)                                                          \
    CPD_DEV_LOG_AT_(CPD_LOG_FILE_, mDevice, ::cpd::logging::kLevelDebug, "Debug:", msg, \
                    ##__VA_ARGS__)
#define CPD_DEV_LOGE(msg, ...)                                                          \
    CPD_DEV_LOG_AT_(CPD_LOG_FILE_, mDevice, ::cpd::logging::kLevelError, "Error:", msg, \
                    ##__VA_ARGS__)
