// `cpd-host term`: a terminal through the plug-in, in this process or over --connect.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "cpd/host/program/commands.h"
#include "cpd/host/program/driver_session.h"
#include "cpd/host/program/net.h"
#include "cpd/host/program/port_lookup.h"
#include "cpd/host/program/remote_session.h"
#include "cpd/host/program/serial_packets.h"
#include "cpd/host/program/serve_token.h"
#include "cpd/host/program/tcp_channel.h"
#include "cpd/host/program/terminal.h"

namespace cpd::host {

namespace {

constexpr std::chrono::milliseconds kReportTimeout{10000};
constexpr unsigned kPluginReadTimeoutMs = 500;  // the plug-in's read timeout until told otherwise
constexpr std::chrono::milliseconds kQuietRecheck{100};

std::chrono::milliseconds Linger(const Options& options) {
    if (options.lingerMs) {
        return std::chrono::milliseconds(*options.lingerMs);
    }
    const unsigned readTimeout = options.settings.readTimeoutMs.value_or(kPluginReadTimeoutMs);
    return std::chrono::milliseconds(std::max(1000u, 2 * readTimeout));
}

// Waits on the stop signals and the link's end for up to `timeout` (-1: no limit). Returns the
// exit code that ends the session, or -1 to go on.
int WatchEnd(const StopSignals& stop, const EventFlag& closed, const RemoteSession& session,
             int stdinFd, int timeoutMs, bool* stdinReady) {
    WaitItem fds[3] = {{stop.Fd(), POLLIN, 0}, {closed.Fd(), POLLIN, 0}, {stdinFd, POLLIN, 0}};
    const int count = stdinFd >= 0 ? 3 : 2;
    if (WaitReady(fds, static_cast<size_t>(count), timeoutMs) < 0) {
        Say(NetError("poll"));
        return kExitFailure;
    }
    if (fds[0].revents != 0) {
        return kExitOk;
    }
    if (fds[1].revents != 0) {
        Say("connection ended: " + session.ClosedReason());
        return kExitFailure;
    }
    *stdinReady = count == 3 && fds[2].revents != 0;
    return -1;
}

// Standard input to the port until Ctrl-] (on a terminal), end of input (then linger), a stop
// signal, or the link's end.
// `watch` (in-process plug-in only) tells a write the port did not take in time.
int PumpTerminal(RemoteSession& session, const Options& options, const StopSignals& stop,
                 const EventFlag& closed, const WriteWatch* watch) {
    TerminalInput input(Say);
    if (input.Raw()) {
        Say("reading; Ctrl-] quits");
    }
    uint8_t buffer[RemoteSession::kMaxWriteChunk];
    uint64_t offered = 0;  // bytes read from standard input for the port
    for (;;) {
        bool ready = false;
        int code = WatchEnd(stop, closed, session, input.Fd(), -1, &ready);
        if (code >= 0) {
            return code;
        }
        if (!ready) {
            continue;
        }
        const long n = input.Read(buffer, sizeof(buffer));
        if (n < 0) {
            continue;
        }
        if (n == 0) {
            break;
        }
        size_t length = static_cast<size_t>(n);
        const uint8_t* quit =
            input.Raw() ? static_cast<const uint8_t*>(std::memchr(buffer, kQuitKey, length))
                        : nullptr;
        if (quit != nullptr) {
            length = static_cast<size_t>(quit - buffer);
        }
        offered += length;
        if (length > 0 && session.Write(buffer, length) != 0) {
            if (watch != nullptr && watch->Failed()) {
                // Going on would leave a gap in what the device receives.
                Say("the port did not take a write within the plug-in's 500 ms limit: " +
                    std::to_string(offered - watch->Taken()) + " bytes not sent; stopping");
                return kExitNotSent;
            }
            Say("cannot send to the " +
                std::string(options.connect ? "server: " + session.ClosedReason() : "plug-in"));
            return kExitFailure;
        }
        if (quit != nullptr) {
            std::fputs("\n", stderr);  // the device's last line may lack its end
            return kExitOk;
        }
    }
    // End of input: what was written may still be answered; wait for the port to go quiet.
    const std::chrono::milliseconds linger = Linger(options);
    for (;;) {
        const auto left = session.QuietRemaining(linger);
        if (left.count() == 0) {
            return kExitOk;
        }
        // Echoes that come in meanwhile can shorten the wait: look again every so often.
        const auto slice = std::min(left, kQuietRecheck);
        bool ready = false;
        const int code =
            WatchEnd(stop, closed, session, -1, static_cast<int>(slice.count()), &ready);
        if (code >= 0) {
            return code;
        }
    }
}

int ConfigureAndPump(RemoteSession& session, const Options& options, const StopSignals& stop,
                     const EventFlag& closed, const serial_config& report,
                     const WriteWatch* watch = nullptr) {
    if (session.ApplySettings(options.settings, report) != 0 || session.StartRead() != 0) {
        Say("cannot send the settings: " + session.ClosedReason());
        return kExitFailure;
    }
    return PumpTerminal(session, options, stop, closed, watch);
}

void SayClosed(const RemoteSession& session) {
    Say("closed: " + std::to_string(session.BytesSent()) + " bytes sent, " +
        std::to_string(session.BytesReceived()) + " bytes received");
}

int RunLocal(const Options& options, const VirtualPorts& virtualPorts, Tracer& tracer,
             const StopSignals& stop) {
    const std::string& description = *options.description;
    std::unique_ptr<Plugin> plugin;
    int code = LoadPlugin(options, &plugin);
    if (code == kExitOk) {
        code = CheckPortExists(description);
    }
    if (code != kExitOk) {
        return code;
    }
    EventFlag closed;  // an in-process plug-in does not go away on its own
    const WriteWatch watch;
    LocalLink link;
    RemoteSession session(link, WriteStdout);
    DeviceIdentity identity;
    identity.devId = options.devId;
    std::string error;
    std::unique_ptr<DriverSession> driver = DriverSession::Open(
        *plugin, description, identity, tracer,
        [&session](std::unique_ptr<CpdPacket> packet) { session.OnPacket(std::move(packet)); },
        &error);
    if (driver == nullptr) {
        Say(error);
        return kExitPlugin;
    }
    if (!driver->ReportSent()) {
        Say("the plug-in could not open " + Quote(description) +
            " (busy or no permission? --log FILE shows the plug-in's reason)");
        return kExitFailure;
    }
    driver->SetAfterDeliver([&](uint16_t cmd) {
        if (cmd == SERIAL_CMD_SET_CONFIG && tracer.On()) {
            const std::string line = virtualPorts.DescribeLine(description);
            if (!line.empty()) {
                tracer.Note(line);
            }
        }
    });
    link.Attach(driver.get(), &watch);
    serial_config report{};
    session.WaitForReport(std::chrono::milliseconds(0), &report);
    Say(Quote(description) + " via " + plugin->DriverName() + ": " + DescribeConfig(report));
    code = ConfigureAndPump(session, options, stop, closed, report, &watch);
    driver.reset();
    SayClosed(session);
    return code;
}

int RunConnected(const Options& options, Tracer& tracer, const StopSignals& stop) {
    Endpoint endpoint;
    std::string error;
    if (!ParseEndpoint(*options.connect, &endpoint, &error)) {
        Say("--connect: " + error);
        return kExitUsage;
    }
    std::string token;
    if (options.tokenFile && !ReadToken(*options.tokenFile, &token, &error)) {
        Say(error);
        return kExitUsage;
    }
    std::unique_ptr<TcpClientLink> link = TcpClientLink::Connect(endpoint, &error);
    if (link == nullptr) {
        Say(error);
        return kExitNetwork;
    }
    EventFlag closed;
    TracedLink traced(*link, tracer);
    RemoteSession session(traced, WriteStdout);
    link->Start(
        [&](std::unique_ptr<CpdPacket> packet) {
            tracer.Packet(Direction::kToRemote, *packet);
            session.OnPacket(std::move(packet));
        },
        [&](const std::string& why) {
            session.OnClosed(why);
            closed.Raise();
        });
    // The reader thread calls into the session: it must be gone before the session is.
    struct Closer {
        TcpClientLink& link;
        ~Closer() { link.Close(); }
    } closer{*link};
    if (options.tokenFile && link->Send(MakeTokenFrame(token)) != 0) {
        Say("cannot send the token: " + session.ClosedReason());
        return kExitFailure;
    }

    serial_config report{};
    if (!session.WaitForReport(kReportTimeout, &report)) {
        Say(session.Closed()
                ? "the server closed the connection before its configuration report (it serves "
                  "one remote at a time, could not open its port, or wants a token)"
                : "no configuration report from the server within " +
                      std::to_string(kReportTimeout.count() / 1000) + " s");
        return kExitFailure;
    }
    Say("connected to " + endpoint.Text() + ": " + DescribeConfig(report));
    const int code = ConfigureAndPump(session, options, stop, closed, report);
    link->Close();
    SayClosed(session);
    return code;
}

}  // namespace

int RunTerm(const Options& options, const VirtualPorts& virtualPorts) {
    Tracer tracer(options.trace ? stderr : nullptr);
    StopSignals stop;
    if (options.connect) {
        return RunConnected(options, tracer, stop);
    }
    return RunLocal(options, virtualPorts, tracer, stop);
}

}  // namespace cpd::host
