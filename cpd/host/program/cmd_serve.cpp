#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "cpd/host/program/commands.h"
#include "cpd/host/program/driver_session.h"
#include "cpd/host/program/port_lookup.h"
#include "cpd/host/program/rfc2217.h"
#include "cpd/host/program/serial_packets.h"
#include "cpd/host/program/serve_access.h"
#include "cpd/host/program/tcp_channel.h"
#include "cpd/host/program/terminal.h"

namespace cpd::host {

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point when) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 24 * 3600 * 1000));
}

class Server {
  public:
    Server(const Options& options, const VirtualPorts& virtualPorts, Plugin& plugin,
           const ServeRules& rules, Doorway& door)
        : mOptions(options),
          mVirtualPorts(virtualPorts),
          mPlugin(plugin),
          mRules(rules),
          mDoor(door),
          mTracer(options.trace ? stderr : nullptr) {}

    // Serves remotes one after the other until a stop signal.
    void Run() {
        for (;;) {
            if (!mDoor.Waiting()) {
                pollfd fds[2] = {{mDoor.ListenFd(), POLLIN, 0}, {mStop.Fd(), POLLIN, 0}};
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
            }
            std::string peer;
            const int fd = mDoor.Take(&peer);
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
        if (mOptions.rfc2217) {
            return ServeRfc2217Client({mPlugin, mVirtualPorts, mTracer, *mOptions.description,
                                       mOptions.devId, mDoor.ListenFd(), mStop.Fd()},
                                      fd, peer);
        }
        Say("remote " + peer + " connected; " +
            (mRules.token ? "waiting for its token" : "opening " + Quote(*mOptions.description)));
        std::unique_ptr<DriverSession> session;
        const bool stop = (mRules.token || open(fd, peer, &session)) && pump(fd, peer, &session);
        // Shut down first: a read pump blocked sending to a remote that stopped reading must be
        // released before the driver's Close joins it.
        ::shutdown(fd, SHUT_RDWR);
        if (session != nullptr) {
            session.reset();
            Say("closed " + Quote(*mOptions.description) + " for " + peer);
        }
        return stop;
    }

    bool open(int fd, const std::string& peer, std::unique_ptr<DriverSession>* out) {
        const std::string& description = *mOptions.description;
        DeviceIdentity identity;
        identity.devId = mOptions.devId;
        std::string error;
        // Runs under the device's send lock (the opening thread, then the read pump): frames go
        // out whole and in order. A failed send means the remote is gone; the read side notices.
        std::unique_ptr<DriverSession> session = DriverSession::Open(
            mPlugin, description, identity, mTracer,
            [this, fd](std::unique_ptr<CpdPacket> packet) {
                WriteFrame(fd, *packet);
                mLastSent = Clock::now().time_since_epoch().count();
            },
            &error);
        if (session == nullptr) {
            Say(error + "; closing the connection");
            return false;
        }
        if (!session->ReportSent()) {
            Say("the plug-in could not open " + Quote(description) + " for " + peer +
                "; closing the connection (the log shows the plug-in's reason)");
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
        *out = std::move(session);
        return true;
    }

    // Frames from the remote to the driver until the remote leaves, breaks a rule or a stop
    // signal comes (then true). Without a session yet, the first frame must bring the token.
    bool pump(int fd, const std::string& peer, std::unique_ptr<DriverSession>* session) {
        FrameAssembler assembler;
        uint8_t buffer[16384];
        const Clock::time_point start = Clock::now();
        Clock::time_point lastFrame = start;
        bool halfClosed = false;
        for (;;) {
            // What ends the session if nothing happens first.
            Clock::time_point deadline = lastFrame + mRules.idleTimeout;
            if (*session == nullptr) {
                deadline = start + std::min<Clock::duration>(kTokenWait, mRules.idleTimeout);
            } else if (halfClosed) {
                deadline = Clock::time_point(Clock::duration(mLastSent.load())) + mRules.linger;
            }
            // Checked on every turn: a remote trickling partial frames must not dodge it.
            if (Clock::now() >= deadline) {
                Say(expired(peer, *session != nullptr, halfClosed));
                return false;
            }
            int timeout = MsUntil(deadline);
            if (mDoor.Waiting()) {
                timeout = std::min(timeout, mDoor.WaitMs());
            }
            // Half-closed, the remote has nothing more to read; only its full close matters.
            pollfd fds[3] = {{fd, static_cast<short>(halfClosed ? 0 : POLLIN), 0},
                             {mDoor.ListenFd(), POLLIN, 0},
                             {mStop.Fd(), POLLIN, 0}};
            if (::poll(fds, 3, timeout) < 0 && errno != EINTR) {
                Say(std::string("poll: ") + std::strerror(errno));
                return false;
            }
            if (fds[2].revents != 0) {
                Say("stopping; disconnecting " + peer);
                return true;
            }
            if (fds[1].revents != 0) {
                mDoor.Knock(peer);
            }
            mDoor.Expire(peer);
            if (halfClosed && fds[0].revents != 0) {
                Say("remote " + peer + " closed");
                return false;
            }
            if (halfClosed && mDoor.Waiting()) {
                // A remote that has said all it will say gives way to the one waiting.
                Say("remote " + peer + " finished and another waits; closing");
                return false;
            }
            if (fds[0].revents == 0) {
                continue;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 || (n == 0 && (assembler.Pending() > 0 || *session == nullptr))) {
                Say(assembler.Pending() > 0
                        ? "remote " + peer + " left in mid-frame (" +
                              std::to_string(assembler.Pending()) + " bytes of a frame dropped)"
                        : "remote " + peer + " disconnected" +
                              (n < 0 ? std::string(": ") + std::strerror(errno) : ""));
                return false;
            }
            if (n == 0) {
                // It may only have shut down its sending side: the answer to its last write
                // can still be on its way.
                halfClosed = true;
                mLastSent = std::max(mLastSent.load(), Clock::now().time_since_epoch().count());
                Say("remote " + peer + " sent its last frame; passing on what the port sends " +
                    "until it closes or the line is quiet for " +
                    std::to_string(mRules.linger.count()) + " ms");
                continue;
            }
            assembler.Feed(buffer, static_cast<size_t>(n));
            std::unique_ptr<CpdPacket> packet;
            std::string error;
            FrameAssembler::Result result;
            while ((result = assembler.Next(&packet, &error)) == FrameAssembler::Result::kPacket) {
                lastFrame = Clock::now();
                if (!admit(fd, peer, std::move(packet), session)) {
                    return false;
                }
            }
            if (result == FrameAssembler::Result::kMalformed) {
                Say("malformed frame from " + peer + ": " + error + "; closing the connection");
                return false;
            }
        }
    }

    // Why the remote's time is up.
    std::string expired(const std::string& peer, bool admitted, bool halfClosed) const {
        if (!admitted) {
            const auto wait = std::min<Clock::duration>(kTokenWait, mRules.idleTimeout);
            return "no token from " + peer + " within " +
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) +
                   " s; closing the connection";
        }
        if (halfClosed) {
            return "the line was quiet for " + std::to_string(mRules.linger.count()) +
                   " ms after remote " + peer + " finished; closing";
        }
        return "remote " + peer + " sent nothing for " +
               std::to_string(mRules.idleTimeout.count()) + " s; closing the connection";
    }

    // Hands a frame to the driver, or checks the token and opens the driver when it is the
    // first. False when the connection must close.
    bool admit(int fd, const std::string& peer, std::unique_ptr<CpdPacket> packet,
               std::unique_ptr<DriverSession>* session) {
        PacketView view;
        std::string token;
        const bool isToken = ViewPacket(*packet, &view) && DecodeTokenFrame(view, &token);
        if (*session != nullptr) {
            if (!isToken) {  // a token nobody asked for is dropped
                (*session)->Deliver(std::move(packet));
            }
            return true;
        }
        if (!isToken || !SameToken(token, *mRules.token)) {
            Say("remote " + peer + (isToken ? " sent a wrong token" : " sent no token") +
                "; closing the connection");
            return false;
        }
        Say("remote " + peer + " sent the token; opening " + Quote(*mOptions.description));
        return open(fd, peer, session);
    }

    const Options& mOptions;
    const VirtualPorts& mVirtualPorts;
    Plugin& mPlugin;
    const ServeRules& mRules;
    Doorway& mDoor;
    Tracer mTracer;
    StopSignals mStop;
    // When the plug-in last sent the remote a frame (steady clock ticks): written by the read
    // pump, read by the serving thread to end a half-closed remote's linger.
    std::atomic<Clock::rep> mLastSent{0};
};

// The rules from the options; prints its message and returns an exit code.
int MakeRules(const Options& options, ServeRules* rules) {
    rules->allowRemote = options.allowRemote;
    rules->idleTimeout = std::chrono::seconds(options.idleTimeoutS);
    rules->linger = std::chrono::milliseconds(options.lingerMs.value_or(1000));
    if (options.tokenFile) {
        std::string token;
        std::string error;
        bool created = false;
        if (!LoadOrCreateToken(*options.tokenFile, &token, &created, &error)) {
            Say(error);
            return kExitUsage;
        }
        if (created) {
            Say("wrote a new token to " + *options.tokenFile +
                " (mode 0600); remotes pass a copy with --token-file");
        }
        rules->token = token;
    }
    return kExitOk;
}

// Listens where asked, if the rules allow it; prints its message and returns an exit code.
int Listen(const Endpoint& endpoint, const ServeRules& rules, int* out) {
    bool inUse = false;
    std::string error;
    const int fd = ListenTcp(endpoint, &inUse, &error);
    if (fd < 0) {
        Say(error + (inUse ? " (another program uses this address; pick another port)" : ""));
        return kExitNetwork;
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof(bound);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    if (!IsLoopback(bound)) {
        if (!rules.allowRemote || !rules.token) {
            Say("--listen " + endpoint.Text() +
                " reaches beyond this machine: that needs --allow-remote and --token-file FILE "
                "(over an untrusted network prefer an SSH tunnel to a loopback port)");
            ::close(fd);
            return kExitUsage;
        }
        std::string list;
        for (const std::string& address : ReachableAddresses(fd)) {
            list += (list.empty() ? "" : ", ") + address;
        }
        Say("listening on " + list);
    }
    *out = fd;
    return kExitOk;
}

}  // namespace

int RunServe(const Options& options, const VirtualPorts& virtualPorts) {
    Endpoint endpoint;
    std::string error;
    if (!ParseEndpoint(*options.listen, &endpoint, &error)) {
        Say("--listen: " + error);
        return kExitUsage;
    }
    ServeRules rules;
    std::unique_ptr<Plugin> plugin;
    int code = MakeRules(options, &rules);
    if (code == kExitOk) {
        code = LoadPlugin(options, &plugin);
    }
    if (code == kExitOk) {
        code = CheckPortExists(*options.description);
    }
    int listenFd = -1;
    if (code == kExitOk) {
        code = Listen(endpoint, rules, &listenFd);
    }
    if (code != kExitOk) {
        return code;
    }
    endpoint.port = LocalPort(listenFd);
    Say("serving " + Quote(*options.description) + " on " + endpoint.Text() + " as devId " +
        std::to_string(options.devId) + "; one remote at a time" +
        (rules.token ? "; remotes must send the token of " + *options.tokenFile : ""));
    {
        Doorway door(listenFd);
        Server server(options, virtualPorts, *plugin, rules, door);
        server.Run();
    }
    ::close(listenFd);
    Say("stopped");
    return kExitOk;
}

}  // namespace cpd::host
