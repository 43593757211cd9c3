#include "cpd/driver/local/serial/local_serial_redir.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "cpd/interface/cpd_log.h"

namespace cpd {

namespace {

uint32_t LoadU32(const uint8_t* bytes) {
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

// The bytes a received packet really carries after its header: what its length field claims,
// but never more than its block holds (a forged length must not become a read past the block).
uint64_t CarriedPayload(CpdPacket& packet) {
    const uint64_t capacity = packet.Capacity();
    const uint64_t claimed = packet.GetPayloadLen();
    // A 32-bit length smaller than the header itself wraps the 64-bit payload length to almost
    // 2^64; such a packet carries nothing, whatever its block holds.
    if (capacity < kCpdPacketHeaderSize || claimed > UINT32_MAX) {
        return 0;
    }
    return std::min(claimed, capacity - kCpdPacketHeaderSize);
}

// Copy of request data, released when the request is done. Null when the heap refuses.
std::unique_ptr<uint8_t[]> CopyData(const uint8_t* data, uint32_t len) {
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[len > 0 ? len : 1]);
    if (copy != nullptr && len > 0) {
        std::memcpy(copy.get(), data, len);
    }
    return copy;
}

}  // namespace

LocalSerialRedir::LocalSerialRedir(CpdDevice* device) : mDevice(device) {
    mInteract.reset(new InfPktInteract<LocalSerialRedir>(this, device));
    mInteract->SetCallback(this);
}

LocalSerialRedir::~LocalSerialRedir() {
    if (!mStopped) {
        Stop();
    }
    // Members go in reverse order: the joined thread, the port object, then the interaction
    // layer, whose destructor ends its looper.
}

int LocalSerialRedir::createSerialIo() {
    mSerialIo.reset(new SerialIO(mDevice));
    return 0;
}

int LocalSerialRedir::Init() {
    if (createSerialIo() == -1) {
        CPD_DEV_LOGE("createUsbIo fail");
        return -1;
    }
    mSerialIo->Init();
    int result = mSerialIo->OpenSerialDev();
    if (result != 0) {
        CPD_DEV_LOGE("OpenSerialDev fail");
        return result;
    }
    serial_config config{};
    result = mSerialIo->GetSerialConfig(&config);
    if (result != 0) {
        CPD_DEV_LOGE("OpenSerialDev fail");
        return result;
    }
    sendRedirConfig(config);
    return 0;
}

int LocalSerialRedir::EventHandle(std::unique_ptr<CpdPacket> packet, int arg) {
    if (mInteract != nullptr) {
        mInteract->OnReceive(arg, std::move(packet));
    }
    return 0;
}

void LocalSerialRedir::Stop() {
    CPD_LOGD("enter \n");
    std::unique_ptr<std::thread> thread;
    {
        std::unique_lock<std::mutex> lock(mMutex);
        if (mStopped) {
            // Another thread may be joining right now; return only once the pump is gone.
            mJoined.wait(lock, [this] { return !mJoining; });
            CPD_LOGD("already stoped \n");
            return;
        }
        CPD_LOGD("stop\n");
        mStopped = true;
        mJoining = true;
    }
    // Joined outside the lock: the pump finishes its read and send without needing it.
    if (mReadThread != nullptr && mReadThread->joinable()) {
        mReadThread->join();
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mJoining = false;
    }
    mJoined.notify_all();
    CPD_LOGD("end \n");
}

int LocalSerialRedir::PktCallback(int arg, std::unique_ptr<CpdPacket> packet) {
    (void)arg;
    const int cmd = packet->GetCmd();
    CPD_LOGD("cmd: %d \n", cmd);
    switch (cmd) {
        case SERIAL_CMD_SET_CONFIG:
            onSetConfig(packet->GetPayload(), CarriedPayload(*packet));
            break;
        case SERIAL_CMD_START_READ:
            onStartRead();
            break;
        case SERIAL_CMD_WRITE:
            onWrite(packet->GetPayload(), CarriedPayload(*packet));
            break;
        default:
            break;
    }
    return 0;
}

void LocalSerialRedir::onSetConfig(const uint8_t* payload, uint64_t available) {
    if (payload == nullptr || available < 8) {
        CPD_DEV_LOGE("SERIAL_CMD_SET_CONFIG dropped: %lu payload bytes, 8 needed",
                     static_cast<unsigned long>(available));
        return;
    }
    const uint32_t msgType = LoadU32(payload);
    const uint32_t len = LoadU32(payload + 4);
    if (len > available - 8) {
        CPD_DEV_LOGE("SERIAL_CMD_SET_CONFIG dropped: len=%u but %lu data bytes", len,
                     static_cast<unsigned long>(available - 8));
        return;
    }
    std::unique_ptr<uint8_t[]> data = CopyData(payload + 8, len);
    if (data == nullptr) {
        CPD_DEV_LOGE("SERIAL_CMD_SET_CONFIG dropped: no memory for %u bytes", len);
        return;
    }
    CPD_LOGD("cmd:SERIAL_CMD_SET_CONFIG msgType[%d] len=%d\n", static_cast<int>(msgType),
             static_cast<int>(len));
    memDataPrint(data.get(), static_cast<int>(len));
    if (msgType == SET_READ_LENGTH) {
        if (len < kReadLengthRecordSize) {
            CPD_DEV_LOGE("SET_READ_LENGTH dropped: %u data bytes, 8 needed", len);
            return;
        }
        uint64_t readLength = 0;
        std::memcpy(&readLength, data.get(), sizeof(readLength));
        CPD_DEV_LOGD("SET_READ_LENGTH:%ld", static_cast<long>(readLength));
        mReadLength.store(readLength, std::memory_order_relaxed);
    } else if (msgType == DRIVER_SET_TIMEOUTS_TO_USER) {
        if (len < kTimeoutsRecordSize) {
            CPD_DEV_LOGE("DRIVER_SET_TIMEOUTS_TO_USER dropped: %u data bytes, 20 needed", len);
            return;
        }
        uint32_t timeouts[5];
        std::memcpy(timeouts, data.get(), sizeof(timeouts));
        // One literal: the log macro stringises the message as written.
        // clang-format off
        CPD_DEV_LOGD("set timeout: ReadIntervalTimeout[%d] ReadTotalTimeoutMultiplier[%d] ReadTotalTimeoutConstant[%d] WriteTotalTimeoutMultiplier[%d] WriteTotalTimeoutConstant[%d]",
                     static_cast<int>(timeouts[0]), static_cast<int>(timeouts[1]),
                     static_cast<int>(timeouts[2]), static_cast<int>(timeouts[3]),
                     static_cast<int>(timeouts[4]));
        // clang-format on
        if (timeouts[2] > 0 && timeouts[2] < 4095) {
            mReadTimeout.store(timeouts[2], std::memory_order_relaxed);
        }
    } else if (mSerialIo != nullptr) {
        mSerialIo->SetConfig(msgType, len, data.get());
    }
}

void LocalSerialRedir::onStartRead() {
    std::unique_lock<std::mutex> lock(mMutex);
    // A Stop on another thread may be joining the previous pump outside the lock; its thread
    // object must not be replaced under it, so wait for that join to finish first.
    mJoined.wait(lock, [this] { return !mJoining; });
    if (!mStopped) {
        return;
    }
    mStopped = false;
    std::unique_ptr<std::thread> thread;
    try {
        thread.reset(new std::thread(&LocalSerialRedir::readFromSerialPort, this));
    } catch (const std::system_error&) {
        thread.reset();
    } catch (const std::bad_alloc&) {
        thread.reset();
    }
    if (thread == nullptr) {
        // No pump runs, so none must be claimed: the next START_READ tries again.
        mStopped = true;
        CPD_DEV_LOGE("read thread could not be started");
        return;
    }
    mReadThread = std::move(thread);
}

void LocalSerialRedir::onWrite(const uint8_t* payload, uint64_t available) {
    if (payload == nullptr || available < 4) {
        CPD_DEV_LOGE("SERIAL_CMD_WRITE dropped: %lu payload bytes, 4 needed",
                     static_cast<unsigned long>(available));
        return;
    }
    const uint32_t len = LoadU32(payload);
    if (len > available - 4) {
        CPD_DEV_LOGE("SERIAL_CMD_WRITE dropped: len=%u but %lu data bytes", len,
                     static_cast<unsigned long>(available - 4));
        return;
    }
    std::unique_ptr<uint8_t[]> data = CopyData(payload + 4, len);
    if (data == nullptr) {
        CPD_DEV_LOGE("SERIAL_CMD_WRITE dropped: no memory for %u bytes", len);
        return;
    }
    CPD_LOGD("cmd:SERIAL_CMD_WRITE len=%d\n", static_cast<int>(len));
    memDataPrint(data.get(), static_cast<int>(len));
    if (mSerialIo == nullptr) {
        // Init never made a port object; the bytes have nowhere to go.
        CPD_DEV_LOGE("SERIAL_CMD_WRITE dropped: no serial port");
        return;
    }
    if (mSerialIo->WriteBlocking(data.get(), len, kWriteTimeoutMs) == 0) {
        CPD_LOGD("cmd: write ok\n");
    } else {
        CPD_LOGE("cmd: write fail\n");
    }
}

int LocalSerialRedir::sendRedirConfig(serial_config config) {
    const uint32_t seq = (mSeq.fetch_add(1) + 1) & 0xFFFFu;
    std::unique_ptr<CpdPacket> packet(new CpdPacket(1024));
    packet->SetHeader(static_cast<uint8_t>(mDevice->GetDevId()), SERIAL_CMD_REDIR_CONFIG, seq);
    const int32_t fields[] = {config.baudrate, config.bits, config.parity,
                              config.stopbits, config.rts,  config.cts,
                              config.dtr,      config.dsr,  config.xon_xoff};
    for (int32_t field : fields) {
        const uint32_t bits = static_cast<uint32_t>(field);
        packet->AppendU32(&bits);
    }
    const int result = mInteract->Send(std::move(packet), -1);
    CPD_DEV_LOGD("packet result:%d", result);
    return result;
}

void LocalSerialRedir::readFromSerialPort() {
    CPD_DEV_LOGD("readFromSerialPort start");
    unsigned char buffer[kReadBufferSize];
    while (!mStopped) {
        uint64_t count = mReadLength.load(std::memory_order_relaxed);
        if (count == 0) {
            count = kDefaultReadLength;
        }
        // SET_READ_LENGTH may store any value; a read never asks for more than the buffer.
        // (Compared by value: binding the class constant to std::min's reference would make it
        // a unique symbol, and those keep a host from ever unloading the plug-in.)
        const uint64_t bufferSize = kReadBufferSize;
        count = std::min(count, bufferSize);
        const int n = mSerialIo->ReadBlocking(buffer, static_cast<size_t>(count),
                                              mReadTimeout.load(std::memory_order_relaxed));
        if (n == 0) {
            continue;
        }
        if (n < 0) {
            if (n == -1) {
                CPD_LOGE("Read failed: Invalid arguments");
            } else if (n == -2) {
                CPD_LOGE("Read failed: System error");
            } else {
                CPD_LOGE("Read failed: Unknown error");
            }
            continue;
        }
        CPD_DEV_LOGD("Read:%d", n);
        const uint32_t seq = (mSeq.fetch_add(1) + 1) & 0xFFFFu;
        std::unique_ptr<CpdPacket> packet(new CpdPacket(static_cast<uint64_t>(n) + 64));
        packet->SetHeader(static_cast<uint8_t>(mDevice->GetDevId()), SERIAL_CMD_READ_DATA, seq);
        const int32_t countField = n;
        packet->AppendBytes(&countField, sizeof(countField));
        packet->AppendBytes(buffer, static_cast<uint32_t>(n));
        mInteract->Send(std::move(packet), -1);
        memDataPrint(buffer, n);
    }
    CPD_DEV_LOGD("readFromSerialPort end");
}

void LocalSerialRedir::cpdPrintData(unsigned char* data, int len) {
    (void)data;
    (void)len;
}

}  // namespace cpd
