// The local serial port of one redirection over libserialport: open, settings, reads, writes.
#include "cpd/driver/local/serial/serial_io.h"

#include <libserialport.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <termios.h>
#endif

#include <chrono>
#include <cstring>
#include <memory>

#include "cpd/interface/cpd_log.h"

namespace cpd {

namespace {

// Owns a port list from sp_list_ports for the duration of a search.
struct PortListDeleter {
    void operator()(sp_port** list) const { sp_free_port_list(list); }
};
using PortList = std::unique_ptr<sp_port*, PortListDeleter>;

struct ConfigDeleter {
    void operator()(sp_port_config* config) const { sp_free_config(config); }
};
using PortConfig = std::unique_ptr<sp_port_config, ConfigDeleter>;

}  // namespace

SerialIO::SerialIO(CpdDevice* device) : mOpened(false), mDevice(device) {
    std::shared_ptr<CpdDeviceDesc> desc = mDevice->GetDeviceDesc();
    mArgs = desc->GetArgs();
    const std::string description = desc->GetDescription();
    desc.reset();
    CPD_LOGD("args[%s] des[%s]\n", mArgs.c_str(), description.c_str());
}

SerialIO::~SerialIO() {
    CPD_DEV_LOGD("mLibusbEventThread exit\n");
    CloseSerialDev();
    if (mPort != nullptr) {
        sp_free_port(mPort);
        mPort = nullptr;
    }
}

void SerialIO::Init() {
    CPD_DEV_LOGD(" enter");
}

int SerialIO::OpenSerialDev() {
    sp_port** raw = nullptr;
    if (sp_list_ports(&raw) != SP_OK) {
        return -1;
    }
    PortList list(raw);
    for (sp_port** it = list.get(); *it != nullptr; ++it) {
        // A port the library gives no description for matches nothing: selection is by the
        // description text, and an absent text is not the empty text a user could ask for.
        const char* description = sp_get_port_description(*it);
        if (description == nullptr || mArgs != description) {
            continue;
        }
        // A handle of our own, so the port outlives the list freed below.
        if (sp_get_port_by_name(sp_get_port_name(*it), &mPort) != SP_OK) {
            mPort = nullptr;
            list.reset();
            CPD_DEV_LOGE("sp_copy_port failed");
            return -1;
        }
        break;
    }
    list.reset();
    // With no match mPort is still null and sp_open refuses it like any other failed open.
    if (sp_open(mPort, SP_MODE_READ_WRITE) != SP_OK) {
        CPD_DEV_LOGE("sp_open failed");
        return -1;
    }
    mOpened = true;
    CPD_DEV_LOGD("end");
    return 0;
}

int SerialIO::CloseSerialDev() {
    if (mOpened) {
        sp_close(mPort);
        mOpened = false;
    }
    CPD_DEV_LOGD("end");
    return 0;
}

int SerialIO::GetSerialConfig(serial_config* config) {
    sp_port_config* raw = nullptr;
    if (sp_new_config(&raw) != SP_OK) {
        CPD_DEV_LOGE("sp_new_config failed");
        return -1;
    }
    PortConfig portConfig(raw);
    if (sp_get_config(mPort, portConfig.get()) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config failed");
        return -1;
    }
    int baudrate = 0;
    int bits = 0;
    int stopbits = 0;
    sp_parity parity = SP_PARITY_INVALID;
    sp_rts rts = SP_RTS_INVALID;
    sp_cts cts = SP_CTS_INVALID;
    sp_dtr dtr = SP_DTR_INVALID;
    sp_dsr dsr = SP_DSR_INVALID;
    sp_xonxoff xonXoff = SP_XONXOFF_INVALID;
    if (sp_get_config_baudrate(portConfig.get(), &baudrate) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_baudrate failed");
        return -1;
    }
    if (sp_get_config_bits(portConfig.get(), &bits) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_bits failed");
        return -1;
    }
    if (sp_get_config_stopbits(portConfig.get(), &stopbits) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_stopbits failed");
        return -1;
    }
    if (sp_get_config_parity(portConfig.get(), &parity) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_parity failed");
        return -1;
    }
    if (sp_get_config_rts(portConfig.get(), &rts) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_rts failed");
        return -1;
    }
    if (sp_get_config_cts(portConfig.get(), &cts) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_cts failed");
        return -1;
    }
    if (sp_get_config_dtr(portConfig.get(), &dtr) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_dtr failed");
        return -1;
    }
    if (sp_get_config_dsr(portConfig.get(), &dsr) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_dsr failed");
        return -1;
    }
    if (sp_get_config_xon_xoff(portConfig.get(), &xonXoff) != SP_OK) {
        CPD_DEV_LOGE("sp_get_config_xon_xoffs failed");
        return -1;
    }
    config->baudrate = baudrate;
    config->bits = bits;
    config->parity = parity;
    config->stopbits = stopbits;
    config->rts = rts;
    config->cts = cts;
    config->dtr = dtr;
    config->dsr = dsr;
    config->xon_xoff = xonXoff;
    CPD_DEV_LOGD("Baudrate: %d, data bits: %d, parity: %d, stop bits: %d\n", config->baudrate,
                 config->bits, config->parity, config->stopbits);
    return 0;
}

int SerialIO::SetConfig(uint32_t msgType, uint32_t len, const void* data) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    switch (msgType) {
        case DRIVER_SET_BAUD_RATE_TO_USER: {
            // A request shorter than its record is refused rather than read past its data.
            if (len < kBaudRateRecordSize) {
                CPD_DEV_LOGE("baud rate request too short: %u bytes", len);
                return -1;
            }
            int32_t baudRate = 0;
            std::memcpy(&baudRate, bytes, sizeof(baudRate));
            CPD_DEV_LOGD("set baudrate:%d", baudRate);
            if (sp_set_baudrate(mPort, baudRate) != SP_OK) {
                CPD_DEV_LOGE("sp_set_baudrate failed");
                return -1;
            }
            return 0;
        }
        case DRIVER_SET_LINE_CONTROL_TO_USER: {
            if (len < kLineControlRecordSize) {
                CPD_DEV_LOGE("line control request too short: %u bytes", len);
                return -1;
            }
            const unsigned stopBits = bytes[0];
            const unsigned parity = bytes[1];
            const unsigned wordLength = bytes[2];
            CPD_DEV_LOGD("set line control:WordLength[%u] Parity[%u] StopBits[%u]", wordLength,
                         parity, stopBits);
            // Each setting is tried whatever the others did: a refused word length must not
            // keep the parity from being applied. The stop-bit byte goes through unchanged:
            // remote drivers differ on whether they send the Windows code (0 = one stop bit)
            // or a count, and libserialport refuses what is not a count, leaving the port as
            // it was rather than guessing.
            sp_set_bits(mPort, static_cast<int>(wordLength));
            // sp_parity cannot hold codes past its enumeration; the library would refuse them
            // anyway, so such a code leaves the parity as it is without a call.
            if (parity <= SP_PARITY_SPACE) {
                sp_set_parity(mPort, static_cast<sp_parity>(parity));
            }
            sp_set_stopbits(mPort, static_cast<int>(stopBits));
            return 0;
        }
        case DRIVER_CLR_DTR_TO_USER:
            // Windows clears DTR and the remote driver raises it again right after; the local
            // device sees one short low pulse and DTR ends high.
            sp_set_dtr(mPort, SP_DTR_OFF);
            sp_set_dtr(mPort, SP_DTR_ON);
            CPD_DEV_LOGD("DRIVER_CLR_DTR_TO_USER");
            return 0;
        case DRIVER_SET_HANDFLOW_TO_USER: {
            if (len < kHandflowRecordSize) {
                CPD_DEV_LOGE("handflow request too short: %u bytes", len);
                return -1;
            }
            int32_t handflow[4] = {0, 0, 0, 0};
            std::memcpy(handflow, bytes, sizeof(handflow));
            // One literal: the log macro stringises the message, so adjacent literals would
            // reach the line with their quotes and the blank between them.
            // clang-format off
            CPD_DEV_LOGD("DRIVER_SET_HANDFLOW_TO_USER:ControlHandShake[%ld] FlowReplace[%ld] XoffLimit[%ld] XonLimit[%ld]",
                         static_cast<long>(handflow[0]), static_cast<long>(handflow[1]),
                         static_cast<long>(handflow[3]), static_cast<long>(handflow[2]));
            // clang-format on
            sp_set_flowcontrol(mPort, SP_FLOWCONTROL_NONE);
#ifndef _WIN32
            // libserialport 0.1.1 as Debian builds it neither sets nor clears CRTSCTS, so a port
            // that an earlier program left with RTS/CTS handshake would keep it, and with CTS
            // low every write would time out. Cleared here through the port's own descriptor.
            int fd = -1;
            termios settings{};
            if (sp_get_port_handle(mPort, &fd) == SP_OK && fd >= 0 &&
                tcgetattr(fd, &settings) == 0 && (settings.c_cflag & CRTSCTS) != 0) {
                settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
                if (tcsetattr(fd, TCSANOW, &settings) != 0) {
                    CPD_DEV_LOGE("clearing RTS/CTS flow control failed");
                }
            }
#endif
            return 0;
        }
        case DRIVER_SERIAL_PURGE_TO_USER:
            CPD_DEV_LOGD("DRIVER_SERIAL_PURGE_TO_USER");
            return 0;
        default:
            return 0;
    }
}

int SerialIO::WriteBlocking(const void* data, size_t len, uint32_t timeoutMs) {
    const int written = sp_blocking_write(mPort, data, len, timeoutMs);
    if (static_cast<long long>(written) == static_cast<long long>(len)) {
        return 0;
    }
    CPD_DEV_LOGE("sp_blocking_write failed %d", written);
    return -1;
}

int SerialIO::ReadBlocking(void* buffer, size_t len, uint32_t timeoutMs) {
    return sp_blocking_read(mPort, buffer, len, timeoutMs);
}

int SerialIO::ReadNonBlocking(void* buffer, size_t len) {
    return sp_nonblocking_read(mPort, buffer, len);
}

SerialIO::Input SerialIO::WaitForInput(uint32_t timeoutMs, uint32_t* leftMs) {
    *leftMs = timeoutMs;
#ifdef _WIN32
    // The library waits on its own overlapped read; here only a removed device is told apart.
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD status = 0;
    if (sp_get_port_handle(mPort, &handle) != SP_OK || handle == INVALID_HANDLE_VALUE ||
        GetCommModemStatus(handle, &status)) {
        return Input::kReady;
    }
    // Only the answers of a device that was removed count: a driver that merely lacks the call
    // must not stop the reads.
    switch (GetLastError()) {
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_FILE_NOT_FOUND:
            return Input::kGone;
        default:
            return Input::kReady;
    }
#else
    int fd = -1;
    if (sp_get_port_handle(mPort, &fd) != SP_OK || fd < 0) {
        return Input::kReady;  // no open handle: the library's read reports what is wrong
    }
    const auto start = std::chrono::steady_clock::now();
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(timeoutMs));
    // A hung-up tty polls as POLLHUP (with POLLERR once its driver is gone) from then on.
    if (ready == 1 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return Input::kGone;
    }
    if (ready == 0) {
        return Input::kQuiet;
    }
    // Input (or an interrupted wait): the read gathers for what is left of the timeout, never 0,
    // which would mean no timeout at all.
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    *leftMs = waited < timeoutMs ? timeoutMs - static_cast<uint32_t>(waited) : 1;
    return Input::kReady;
#endif
}

}  // namespace cpd
