#include "cpd/host/program/driver_session.h"

#include <utility>

#include "cpd/driver/local/serial/serial_protocol.h"

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

}  // namespace cpd::host
