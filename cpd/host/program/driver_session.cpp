// One redirection's device side in this process, and the watch on its writes.
#include "cpd/host/program/driver_session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/host/framework/velmar_log.h"

namespace cpd::host {

DriverSession::DriverSession(Tracer& tracer, HostDevice::Sink toRemote)
    : mTracer(tracer), mToRemote(std::move(toRemote)) {}

std::unique_ptr<DriverSession> DriverSession::Open(Plugin& plugin,
                                                   const std::string& portDescription,
                                                   const DeviceIdentity& identity, Tracer& tracer,
                                                   HostDevice::Sink toRemote, std::string* error) {
    std::unique_ptr<DriverSession> session(new DriverSession(tracer, std::move(toRemote)));
    DriverSession* self = session.get();
    session->mDevice = std::make_unique<HostDevice>(
        portDescription, identity, [self](std::unique_ptr<CpdPacket> packet) {
            self->mTracer.Packet(Direction::kToRemote, *packet);
            if (packet->GetCmd() == SERIAL_CMD_REDIR_CONFIG) {
                self->mReportSent = true;
            }
            self->mToRemote(std::move(packet));
        });
    session->mDriver = plugin.OpenDriver(session->mDevice.get(), portDescription);
    if (session->mDriver == nullptr) {
        *error = "the plug-in " + plugin.Path() + " refused to open a driver for \"" +
                 portDescription + "\"";
        return nullptr;
    }
    return session;
}

DriverSession::~DriverSession() {
    mDriver.reset();
}

int DriverSession::Deliver(std::unique_ptr<CpdPacket> packet) {
    mTracer.Packet(Direction::kToPlugin, *packet);
    const uint16_t cmd = static_cast<uint16_t>(packet->GetCmd());
    const int result = mDriver->onEvent(std::move(packet), 0);
    if (mAfterDeliver) {
        mAfterDeliver(cmd);
    }
    return result;
}

WriteWatch::WriteWatch() {
    velmarLogWatch(&WriteWatch::OnLine, this);
}

WriteWatch::~WriteWatch() {
    velmarLogWatch(nullptr, nullptr);
}

bool WriteWatch::Failed() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mFailed;
}

uint64_t WriteWatch::Taken() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTaken;
}

// The plug-in's lines around one WRITE: "cmd:SERIAL_CMD_WRITE len=N", then "cmd: write ok", or
// "sp_blocking_write failed W" (W written, or a negative code) and "cmd: write fail", or a
// "SERIAL_CMD_WRITE dropped" line when it had nowhere to write.
void WriteWatch::OnLine(void* self, int, const char*, const char* line, size_t) {
    auto* watch = static_cast<WriteWatch*>(self);
    auto numberAfter = [line](const char* key, uint64_t* value) {
        const char* at = std::strstr(line, key);
        if (at == nullptr) {
            return false;
        }
        const long long n = std::strtoll(at + std::strlen(key), nullptr, 10);
        *value = n > 0 ? static_cast<uint64_t>(n) : 0;
        return true;
    };
    std::lock_guard<std::mutex> lock(watch->mMutex);
    uint64_t n = 0;
    if (numberAfter("cmd:SERIAL_CMD_WRITE len=", &n)) {
        watch->mServing = n;
        watch->mPartial = 0;
    } else if (numberAfter("sp_blocking_write failed ", &n)) {
        watch->mPartial = std::min(n, watch->mServing);
    } else if (std::strstr(line, "cmd: write ok") != nullptr) {
        watch->mTaken += watch->mServing;
    } else if (std::strstr(line, "cmd: write fail") != nullptr ||
               std::strstr(line, "SERIAL_CMD_WRITE dropped") != nullptr) {
        watch->mTaken += watch->mPartial;
        watch->mFailed = true;
    }
}

}  // namespace cpd::host
