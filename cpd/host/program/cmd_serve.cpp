#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cpd/host/program/commands.h"
#include "cpd/host/program/driver_session.h"
#include "cpd/host/program/port_lookup.h"
#include "cpd/host/program/rfc2217.h"
#include "cpd/host/program/serial_packets.h"
#include "cpd/host/program/tcp_channel.h"
#include "cpd/host/program/terminal.h"

namespace cpd::host {

namespace {

std::string PeerName(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof(host));
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof(host));
        port = ntohs(v6->sin6_port);
    }
    return Endpoint{host, port}.Text();
}

int Accept(int listenFd, std::string* peer) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
    if (fd >= 0) {
        *peer = PeerName(address);
        // Each frame goes out as the plug-in sends it: a read packet of a few bytes (an echoed
        // keystroke) must not wait for the acknowledgement of the one before.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    return fd;
}

class Server {
  public:
    Server(const Options& options, const VirtualPorts& virtualPorts, Plugin& plugin, int listenFd)
        : mOptions(options),
          mVirtualPorts(virtualPorts),
          mPlugin(plugin),
          mListenFd(listenFd),
          mTracer(options.trace ? stderr : nullptr) {}

    // Serves remotes one after the other until a stop signal.
    void Run() {
        for (;;) {
            pollfd fds[2] = {{mListenFd, POLLIN, 0}, {mStop.Fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                Say(std::string("poll: ") + std::strerror(errno));
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            if (fds[0].revents == 0) {
                continue;
            }
            std::string peer;
            const int fd = Accept(mListenFd, &peer);
            if (fd < 0) {
                continue;
            }
            const bool stop = serve(fd, peer);
            ::close(fd);
            if (stop) {
                return;
            }
            Say("waiting for the next remote");
        }
    }

  private:
    // One remote from connect to leave; true when a stop signal ended it.
    bool serve(int fd, const std::string& peer) {
        const std::string& description = *mOptions.description;
        if (mOptions.rfc2217) {
            return ServeRfc2217Client({mPlugin, mVirtualPorts, mTracer, description, mOptions.devId,
                                       mListenFd, mStop.Fd()},
                                      fd, peer);
        }
        Say("remote " + peer + " connected; opening " + Quote(description));
        DeviceIdentity identity;
        identity.devId = mOptions.devId;
        std::string error;
        // Runs under the device's send lock (the opening thread, then the read pump): frames go
        // out whole and in order. A failed send means the remote is gone; the read side notices.
        std::unique_ptr<DriverSession> session = DriverSession::Open(
            mPlugin, description, identity, mTracer,
            [fd](std::unique_ptr<CpdPacket> packet) { WriteFrame(fd, *packet); }, &error);
        if (session == nullptr) {
            Say(error + "; closing the connection");
            return false;
        }
        if (!session->ReportSent()) {
            Say("the plug-in could not open " + Quote(description) + " for " + peer +
                "; closing the connection (the log shows the plug-in's reason)");
            ::shutdown(fd, SHUT_RDWR);
            return false;
        }
        session->SetAfterDeliver([this, &description](uint16_t cmd) {
            if (cmd == SERIAL_CMD_SET_CONFIG && mTracer.On()) {
                const std::string line = mVirtualPorts.DescribeLine(description);
                if (!line.empty()) {
                    mTracer.Note(line);
                }
            }
        });
        const bool stop = pump(fd, peer, *session);
        // Shut down first: a read pump blocked sending to a remote that stopped reading must be
        // released before the driver's Close joins it.
        ::shutdown(fd, SHUT_RDWR);
        session.reset();
        Say("closed " + Quote(description) + " for " + peer);
        return stop;
    }

    bool pump(int fd, const std::string& peer, DriverSession& session) {
        FrameAssembler assembler;
        uint8_t buffer[16384];
        for (;;) {
            pollfd fds[3] = {{fd, POLLIN, 0}, {mListenFd, POLLIN, 0}, {mStop.Fd(), POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Say(std::string("poll: ") + std::strerror(errno));
                return false;
            }
            if (fds[2].revents != 0) {
                Say("stopping; disconnecting " + peer);
                return true;
            }
            if (fds[1].revents != 0) {
                std::string other;
                const int extra = Accept(mListenFd, &other);
                if (extra >= 0) {
                    Say("refused remote " + other + ": already serving " + peer);
                    ::close(extra);
                }
            }
            if (fds[0].revents == 0) {
                continue;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (assembler.Pending() > 0) {
                    Say("remote " + peer + " left in mid-frame (" +
                        std::to_string(assembler.Pending()) + " bytes of a frame dropped)");
                } else {
                    Say("remote " + peer + " disconnected" +
                        (n < 0 ? std::string(": ") + std::strerror(errno) : ""));
                }
                return false;
            }
            assembler.Feed(buffer, static_cast<size_t>(n));
            std::unique_ptr<CpdPacket> packet;
            std::string error;
            FrameAssembler::Result result;
            while ((result = assembler.Next(&packet, &error)) == FrameAssembler::Result::kPacket) {
                session.Deliver(std::move(packet));
            }
            if (result == FrameAssembler::Result::kMalformed) {
                Say("malformed frame from " + peer + ": " + error + "; closing the connection");
                return false;
            }
        }
    }

    const Options& mOptions;
    const VirtualPorts& mVirtualPorts;
    Plugin& mPlugin;
    int mListenFd;
    Tracer mTracer;
    StopSignals mStop;
};

}  // namespace

int RunServe(const Options& options, const VirtualPorts& virtualPorts) {
    Endpoint endpoint;
    std::string error;
    if (!ParseEndpoint(*options.listen, &endpoint, &error)) {
        Say("--listen: " + error);
        return kExitUsage;
    }
    std::unique_ptr<Plugin> plugin;
    int code = LoadPlugin(options, &plugin);
    if (code == kExitOk) {
        code = CheckPortExists(*options.description);
    }
    if (code != kExitOk) {
        return code;
    }
    bool inUse = false;
    const int listenFd = ListenTcp(endpoint, &inUse, &error);
    if (listenFd < 0) {
        Say(error + (inUse ? " (another program uses this address; pick another port)" : ""));
        return kExitNetwork;
    }
    endpoint.port = LocalPort(listenFd);
    Say("serving " + Quote(*options.description) + " on " + endpoint.Text() + " as devId " +
        std::to_string(options.devId) + "; one remote at a time");
    {
        Server server(options, virtualPorts, *plugin, listenFd);
        server.Run();
    }
    ::close(listenFd);
    Say("stopped");
    return kExitOk;
}

}  // namespace cpd::host
