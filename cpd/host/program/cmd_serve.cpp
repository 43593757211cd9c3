// `cpd-host serve`: the plug-in served to one remote at a time over TCP (packets or RFC 2217).
#include "cpd/host/program/commands.h"
#include "cpd/host/program/driver_session.h"
#include "cpd/host/program/net.h"
#include "cpd/host/program/port_lookup.h"
#include "cpd/host/program/rfc2217.h"
#include "cpd/host/program/serial_packets.h"
#include "cpd/host/program/serve_listener.h"
#include "cpd/host/program/serve_remote.h"
#include "cpd/host/program/serve_token.h"
#include "cpd/host/program/tcp_channel.h"
#include "cpd/host/program/terminal.h"

namespace cpd::host {

namespace {

// cpd-host's own protocol: packet frames, the first one carrying the token when one is asked
// for. The plug-in's device is opened once the remote is admitted.
class PacketRemote final : public RemoteProtocol {
  public:
    PacketRemote(const Options& options, const VirtualPorts& virtualPorts, Plugin& plugin,
                 Tracer& tracer, const ServeRules& rules, int fd, const std::string& peer)
        : mOptions(options),
          mVirtualPorts(virtualPorts),
          mPlugin(plugin),
          mTracer(tracer),
          mRules(rules),
          mFd(fd),
          mPeer(peer) {}
    PacketRemote(const PacketRemote&) = delete;
    PacketRemote& operator=(const PacketRemote&) = delete;

    // Opens the device at once unless a token must come first; false (with a reason) if it
    // failed.
    bool Start(std::string* why) {
        Say("remote " + mPeer + " connected; " +
            (mRules.token ? "waiting for its token" : "opening " + Quote(*mOptions.description)));
        return mRules.token || open(why);
    }

    bool Received(const uint8_t* data, size_t n, bool* complete, std::string* why) override {
        mAssembler.Feed(data, n);
        std::unique_ptr<CpdPacket> packet;
        std::string error;
        FrameAssembler::Result result;
        while ((result = mAssembler.Next(&packet, &error)) == FrameAssembler::Result::kPacket) {
            *complete = true;
            if (!admit(std::move(packet), why)) {
                return false;
            }
        }
        if (result == FrameAssembler::Result::kMalformed) {
            *why = "malformed frame from " + mPeer + ": " + error + "; closing the connection";
            return false;
        }
        return true;
    }

    bool SendingEnded(std::string* why) override {
        if (mAssembler.Pending() > 0) {
            *why = "remote " + mPeer + " left in mid-frame (" +
                   std::to_string(mAssembler.Pending()) + " bytes of a frame dropped)";
            return false;
        }
        if (mSession == nullptr) {
            *why = "remote " + mPeer + " disconnected";
            return false;
        }
        return true;
    }

    bool Admitted() const override { return mSession != nullptr; }
    SentClock& Sent() override { return mSent; }

  private:
    bool open(std::string* why) {
        const std::string& description = *mOptions.description;
        DeviceIdentity identity;
        identity.devId = mOptions.devId;
        std::string error;
        // Runs under the device's send lock (the opening thread, then the read pump): frames go
        // out whole and in order. A failed send means the remote is gone; the read side notices.
        std::unique_ptr<DriverSession> session = DriverSession::Open(
            mPlugin, description, identity, mTracer,
            [this](std::unique_ptr<CpdPacket> packet) {
                WriteFrame(mFd, *packet);
                mSent.Mark();
            },
            &error);
        if (session == nullptr) {
            *why = error + "; closing the connection";
            return false;
        }
        if (!session->ReportSent()) {
            *why = "the plug-in could not open " + Quote(description) + " for " + mPeer +
                   "; closing the connection (the log shows the plug-in's reason)";
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
        mSession = std::move(session);
        return true;
    }

    // Hands a frame to the driver, or checks the token and opens the driver when it is the
    // first. False (with a reason) when the connection must close.
    bool admit(std::unique_ptr<CpdPacket> packet, std::string* why) {
        if (mSession != nullptr) {
            // A token nobody asked for is dropped.
            if (CheckTokenFrame(*packet, {}) == TokenVerdict::kNotAToken) {
                mSession->Deliver(std::move(packet));
            }
            return true;
        }
        const TokenVerdict token = CheckTokenFrame(*packet, *mRules.token);
        if (token != TokenVerdict::kRight) {
            *why = "remote " + mPeer +
                   (token == TokenVerdict::kWrong ? " sent a wrong token" : " sent no token") +
                   "; closing the connection";
            return false;
        }
        Say("remote " + mPeer + " sent the token; opening " + Quote(*mOptions.description));
        return open(why);
    }

    const Options& mOptions;
    const VirtualPorts& mVirtualPorts;
    Plugin& mPlugin;
    Tracer& mTracer;
    const ServeRules& mRules;
    const int mFd;
    const std::string mPeer;
    FrameAssembler mAssembler;
    SentClock mSent;
    std::unique_ptr<DriverSession> mSession;  // last: its read pump sends through the members
};

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
                WaitItem fds[2] = {{mDoor.ListenFd(), POLLIN, 0}, {mStop.Fd(), POLLIN, 0}};
                if (WaitReady(fds, 2, -1) < 0) {
                    Say(NetError("poll"));
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
            CloseSocket(fd);
            if (stop) {
                return;
            }
            Say("waiting for the next remote");
        }
    }

  private:
    // One remote from connect to leave; true when a stop signal ended it.
    bool serve(int fd, const std::string& peer) {
        std::unique_ptr<RemoteProtocol> remote;
        std::string ending;
        if (mOptions.rfc2217) {
            Say("client " + peer + " connected (RFC 2217); opening " +
                Quote(*mOptions.description));
            remote = OpenRfc2217Client(
                {mPlugin, mVirtualPorts, mTracer, *mOptions.description, mOptions.devId}, fd, peer,
                &ending);
        } else {
            auto packets = std::make_unique<PacketRemote>(mOptions, mVirtualPorts, mPlugin, mTracer,
                                                          mRules, fd, peer);
            if (packets->Start(&ending)) {
                remote = std::move(packets);
            }
        }
        const bool stop = remote != nullptr &&
                          ServeRemote(fd, peer, mRules, mDoor, mStop.Fd(), *remote, Say, &ending);
        if (!ending.empty()) {
            Say(ending);
        }
        // Shut down first: a read pump blocked sending to a remote that stopped reading must be
        // released before the driver's Close joins it.
        ShutdownSocket(fd);
        if (remote != nullptr && remote->Admitted()) {
            remote.reset();
            Say("closed " + Quote(*mOptions.description) + " for " + peer);
        }
        return stop;
    }

    const Options& mOptions;
    const VirtualPorts& mVirtualPorts;
    Plugin& mPlugin;
    const ServeRules& mRules;
    Doorway& mDoor;
    Tracer mTracer;
    StopSignals mStop;
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
                " (readable by its owner only); remotes pass a copy with --token-file");
        }
        rules->token = token;
    }
    return kExitOk;
}

// Listens where asked, if the rules allow it; prints its message and returns an exit code.
int Listen(const Endpoint& endpoint, const ServeRules& rules, bool rfc2217, int* out) {
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
        if (rfc2217) {
            // RFC 2217 has no place for a token: beyond loopback anyone could drive the port.
            Say("--listen " + endpoint.Text() +
                " reaches beyond this machine: --rfc2217 serves loopback only, as RFC 2217 "
                "clients cannot prove who they are; reach it from elsewhere through an SSH "
                "tunnel to a loopback port (ssh -L 7000:127.0.0.1:7000 THIS-HOST)");
            CloseSocket(fd);
            return kExitUsage;
        }
        if (!rules.allowRemote || !rules.token) {
            Say("--listen " + endpoint.Text() +
                " reaches beyond this machine: that needs --allow-remote and --token-file FILE "
                "(over an untrusted network prefer an SSH tunnel to a loopback port)");
            CloseSocket(fd);
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
        code = Listen(endpoint, rules, options.rfc2217, &listenFd);
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
    CloseSocket(listenFd);
    Say("stopped");
    return kExitOk;
}

}  // namespace cpd::host
