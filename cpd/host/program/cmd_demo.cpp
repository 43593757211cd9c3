// `cpd-host demo`: a whole session on a virtual adapter with an echo device behind it.
#include <cstdio>
#include <mutex>
#include <vector>

#include "cpd/host/program/commands.h"
#include "cpd/host/program/driver_session.h"
#include "cpd/host/program/port_lookup.h"
#include "cpd/host/program/remote_session.h"
#include "cpd/host/program/serial_packets.h"

namespace cpd::host {

namespace {

// Generous: the echo is in-process and immediate; this only guards against a hang.
constexpr std::chrono::milliseconds kEchoWait{5000};

const char* const kDemoProduct = "Virtual UART";
const char* const kDemoSerial = "DEMO";

std::string DemoDescription() {
    return std::string(kDemoProduct) + " - " + kDemoSerial;
}

// What the remote side writes: text, a line end, and every byte value a binary protocol could
// use, including NUL, the XON/XOFF characters and 0xff.
std::vector<std::vector<uint8_t>> DemoMessages() {
    const std::string hello = "hello, serial port\r\n";
    const std::string digits = "0123456789";
    std::vector<uint8_t> binary;
    for (int i = 0; i < 256; ++i) {
        binary.push_back(static_cast<uint8_t>(i));
    }
    return {{hello.begin(), hello.end()}, {digits.begin(), digits.end()}, binary};
}

}  // namespace

VirtualSpec DemoAdapterSpec() {
    VirtualSpec spec;
    spec.identity.manufacturer = "cpd-host";
    spec.identity.product = kDemoProduct;
    spec.identity.serial = kDemoSerial;
    spec.peer = VirtualSpec::Peer::kEcho;
    return spec;
}

int RunDemo(const Options& options, const VirtualPorts& virtualPorts) {
    const std::string description = DemoDescription();
    std::unique_ptr<Plugin> plugin;
    int code = LoadPlugin(options, &plugin);
    if (code != kExitOk) {
        return code;
    }
    std::printf("demo: plug-in %s (driver \"%s\")\n", plugin->Path().c_str(),
                plugin->DriverName().c_str());
    for (const auto& [name, text] : virtualPorts.Adapters()) {
        std::printf("demo: virtual adapter %s %s\n", name.c_str(), Quote(text).c_str());
    }
    std::fflush(stdout);

    Tracer tracer(stdout);
    std::mutex receivedMutex;
    std::vector<uint8_t> received;
    LocalLink link;
    RemoteSession session(link, [&](const uint8_t* data, size_t n) {
        std::lock_guard<std::mutex> lock(receivedMutex);
        received.insert(received.end(), data, data + n);
    });
    std::string error;
    std::unique_ptr<DriverSession> driver = DriverSession::Open(
        *plugin, description, DeviceIdentity{}, tracer,
        [&session](std::unique_ptr<CpdPacket> packet) { session.OnPacket(std::move(packet)); },
        &error);
    if (driver == nullptr) {
        std::printf("demo: FAIL: %s\n", error.c_str());
        return kExitFailure;
    }
    driver->SetAfterDeliver([&](uint16_t cmd) {
        if (cmd == SERIAL_CMD_SET_CONFIG) {
            tracer.Note(virtualPorts.DescribeLine(description));
        }
    });
    link.Attach(driver.get());
    serial_config report{};
    if (!session.WaitForReport(std::chrono::milliseconds(0), &report)) {
        driver.reset();
        std::printf("demo: FAIL: no configuration report (the plug-in could not open %s)\n",
                    Quote(description).c_str());
        return kExitFailure;
    }
    std::printf("demo: configuration report: %s\n", DescribeConfig(report).c_str());
    std::fflush(stdout);

    PortSettings settings;
    settings.baud = 115200;
    settings.dataBits = 8;
    settings.parity = ParitySetting::kNone;
    settings.stopBits = 1;
    settings.readTimeoutMs = 50;
    settings.flowOff = true;  // binary data: XON/XOFF must not act on 0x11 and 0x13
    session.ApplySettings(settings, report);
    session.StartRead();

    std::vector<uint8_t> sent;
    const auto messages = DemoMessages();
    bool complete = true;
    for (const auto& message : messages) {
        session.Write(message.data(), message.size());
        sent.insert(sent.end(), message.begin(), message.end());
        complete = complete && session.WaitForBytes(sent.size(), kEchoWait);
    }
    driver.reset();  // Close and delete, as the host ends a redirection
    tracer.Note("driver closed");

    std::lock_guard<std::mutex> lock(receivedMutex);
    const bool exact = received == sent;
    std::printf("demo: %s: %zu writes, %zu bytes sent, %zu bytes echoed back%s\n",
                exact ? "PASS" : "FAIL", messages.size(), sent.size(), received.size(),
                exact      ? ", byte-exact"
                : complete ? ", but they differ"
                           : " before the deadline");
    return exact ? kExitOk : kExitFailure;
}

}  // namespace cpd::host
