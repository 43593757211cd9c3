// The redirection of one local serial port: commands, configuration report, read pump.
#include "cpd/driver/local/serial/local_serial_redir.h"

#include <algorithm>
#include <chrono>
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
    std::atomic_store(&mSerialIo, std::make_shared<SerialIO>(mDevice));
    return 0;
}

int LocalSerialRedir::Init() {
    if (createSerialIo() == -1) {
        CPD_DEV_LOGE("createUsbIo fail");
        return -1;
    }
    const std::shared_ptr<SerialIO> io = std::atomic_load(&mSerialIo);
    io->Init();
    int result = io->OpenSerialDev();
    if (result != 0) {
        CPD_DEV_LOGE("OpenSerialDev fail");
        return result;
    }
    serial_config config{};
    result = io->GetSerialConfig(&config);
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
    mWake.notify_all();
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

// Every message of a served command is logged from here, so the log names PktCallback as the
// function that served it; only the checking and copying of the payload lives in a helper.
int LocalSerialRedir::PktCallback(int arg, std::unique_ptr<CpdPacket> packet) {
    (void)arg;
    if (packet == nullptr) {
        CPD_DEV_LOGE("packet dropped: no packet");
        return 0;
    }
    const int cmd = packet->GetCmd();
    CPD_LOGD("cmd: %d \n", cmd);
    const std::shared_ptr<SerialIO> io = std::atomic_load(&mSerialIo);
    uint32_t msgType = 0;
    uint32_t len = 0;
    if (cmd == SERIAL_CMD_SET_CONFIG) {
        std::unique_ptr<uint8_t[]> data = copyCommandData(*packet, &msgType, &len);
        if (data == nullptr) {
            return 0;
        }
        CPD_LOGD("cmd:SERIAL_CMD_SET_CONFIG msgType[%d] len=%d\n", static_cast<int>(msgType),
                 static_cast<int>(len));
        memDataPrint(data.get(), static_cast<int>(len));
        if (msgType == SET_READ_LENGTH) {
            if (len < kReadLengthRecordSize) {
                CPD_DEV_LOGE("SET_READ_LENGTH dropped: %u data bytes, 8 needed", len);
                return 0;
            }
            uint64_t readLength = 0;
            std::memcpy(&readLength, data.get(), sizeof(readLength));
            CPD_DEV_LOGD("SET_READ_LENGTH:%ld", static_cast<long>(readLength));
            mReadLength.store(readLength, std::memory_order_relaxed);
        } else if (msgType == DRIVER_SET_TIMEOUTS_TO_USER) {
            if (len < kTimeoutsRecordSize) {
                CPD_DEV_LOGE("DRIVER_SET_TIMEOUTS_TO_USER dropped: %u data bytes, 20 needed", len);
                return 0;
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
        } else if (io != nullptr) {
            io->SetConfig(msgType, len, data.get());
        }
    } else if (cmd == SERIAL_CMD_START_READ) {
        if (io == nullptr) {
            // Before Init there is no port for a pump to read.
            CPD_DEV_LOGE("SERIAL_CMD_START_READ dropped: no serial port");
            return 0;
        }
        startReadThread();
    } else if (cmd == SERIAL_CMD_WRITE) {
        std::unique_ptr<uint8_t[]> data = copyCommandData(*packet, nullptr, &len);
        if (data == nullptr) {
            return 0;
        }
        CPD_LOGD("cmd:SERIAL_CMD_WRITE len=%d\n", static_cast<int>(len));
        memDataPrint(data.get(), static_cast<int>(len));
        if (io == nullptr) {
            // Init never made a port object; the bytes have nowhere to go.
            CPD_DEV_LOGE("SERIAL_CMD_WRITE dropped: no serial port");
            return 0;
        }
        if (io->WriteBlocking(data.get(), len, kWriteTimeoutMs) == 0) {
            CPD_LOGD("cmd: write ok\n");
        } else {
            CPD_LOGE("cmd: write fail\n");
        }
    }
    return 0;
}

std::unique_ptr<uint8_t[]> LocalSerialRedir::copyCommandData(CpdPacket& packet, uint32_t* msgType,
                                                             uint32_t* len) {
    // SET_CONFIG carries msgType and len before its data, WRITE only len.
    const char* name = msgType != nullptr ? "SERIAL_CMD_SET_CONFIG" : "SERIAL_CMD_WRITE";
    const uint64_t fixed = msgType != nullptr ? 8 : 4;
    const uint8_t* payload = packet.GetPayload();
    const uint64_t available = CarriedPayload(packet);
    if (payload == nullptr || available < fixed) {
        CPD_DEV_LOGE("%s dropped: %lu payload bytes, %lu needed", name,
                     static_cast<unsigned long>(available), static_cast<unsigned long>(fixed));
        return nullptr;
    }
    if (msgType != nullptr) {
        *msgType = LoadU32(payload);
    }
    *len = LoadU32(payload + fixed - 4);
    if (*len > available - fixed) {
        CPD_DEV_LOGE("%s dropped: len=%u but %lu data bytes", name, *len,
                     static_cast<unsigned long>(available - fixed));
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> data = CopyData(payload + fixed, *len);
    if (data == nullptr) {
        CPD_DEV_LOGE("%s dropped: no memory for %u bytes", name, *len);
    }
    return data;
}

void LocalSerialRedir::startReadThread() {
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

void LocalSerialRedir::waitOrStop(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mMutex);
    mWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mStopped.load(); });
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
    // The port object found hung up, kept so that a new one from a later Init is told apart.
    std::shared_ptr<SerialIO> gone;
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
        const uint32_t timeoutMs = mReadTimeout.load(std::memory_order_relaxed);
        const std::shared_ptr<SerialIO> io = std::atomic_load(&mSerialIo);
        // libserialport keeps polling a hung-up tty until the read times out, which burns a
        // whole core: the pump waits for input itself, and a port that is gone is not read
        // again, only waited on like a quiet one.
        if (io == gone) {
            waitOrStop(timeoutMs);
            continue;
        }
        uint32_t leftMs = timeoutMs;
        const SerialIO::Input input = io->WaitForInput(timeoutMs, &leftMs);
        if (input == SerialIO::Input::kGone) {
            CPD_DEV_LOGE("serial port gone: no more reads until the redirection stops");
            gone = io;
            continue;
        }
        if (input == SerialIO::Input::kQuiet) {
            continue;
        }
        const int n = io->ReadBlocking(buffer, static_cast<size_t>(count), leftMs);
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
            // A failure tends to repeat at once (a port that never opened fails every read
            // without waiting): pause one read timeout so it cannot flood the log or a core.
            waitOrStop(timeoutMs);
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
