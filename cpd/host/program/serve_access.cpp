#include "cpd/host/program/serve_access.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "cpd/host/program/commands.h"
#include "cpd/host/program/net.h"
#include "cpd/host/program/os.h"
#include "cpd/host/program/serial_packets.h"

namespace cpd::host {

namespace {

using Clock = std::chrono::steady_clock;

std::string AddressText(const sockaddr* address, uint16_t port) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, host,
                    sizeof(host));
    } else if (address->sa_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, host,
                    sizeof(host));
    }
    return Endpoint{host, port}.Text();
}

uint16_t PortOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

bool IsWildcard(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
        return IN6_IS_ADDR_UNSPECIFIED(&a);
    }
    return reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr == htonl(INADDR_ANY);
}

int MsUntil(Clock::time_point when) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 24 * 3600 * 1000));
}

// Why a remote's time is up.
std::string Expired(const std::string& peer, const ServeRules& rules, bool admitted,
                    bool halfClosed) {
    if (!admitted) {
        const auto wait = std::min<Clock::duration>(kTokenWait, rules.idleTimeout);
        return "no token from " + peer + " within " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) +
               " s; closing the connection";
    }
    if (halfClosed) {
        return "the line was quiet for " + std::to_string(rules.linger.count()) +
               " ms after remote " + peer + " finished; closing";
    }
    return "remote " + peer + " sent nothing for " + std::to_string(rules.idleTimeout.count()) +
           " s; closing the connection";
}

}  // namespace

bool ReadToken(const std::string& path, std::string* token, std::string* error) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        *error = "--token-file: cannot read " + path;
        return false;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    if (line.empty()) {
        *error = "--token-file: " + path + " holds no token on its first line";
        return false;
    }
    *token = line;
    return true;
}

bool LoadOrCreateToken(const std::string& path, std::string* token, bool* created,
                       std::string* error) {
    *created = false;
    uint8_t random[32];
    if (!RandomBytes(random, sizeof(random))) {
        *error = "--token-file: no random bytes for a new token";
        return false;
    }
    std::string text;
    for (const uint8_t byte : random) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        text += hex;
    }
    // Created exclusively, so an existing file (or a link planted in its place) is only read.
    const int made = CreatePrivateFile(path, text + "\n");
    if (made == 0) {
        return ReadToken(path, token, error);
    }
    if (made < 0) {
        *error = "--token-file: cannot write a new token to " + path;
        return false;
    }
    *token = text;
    *created = true;
    return true;
}

bool SameToken(const std::string& given, const std::string& expected) {
    // Only the length may show: every byte of the expected token is compared.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i) {
        const unsigned char other = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        difference |= static_cast<unsigned char>(other ^ static_cast<unsigned char>(expected[i]));
    }
    return difference == 0;
}

TokenVerdict CheckTokenFrame(CpdPacket& packet, const std::string& expected) {
    PacketView view;
    std::string token;
    if (!ViewPacket(packet, &view) || !DecodeTokenFrame(view, &token)) {
        return TokenVerdict::kNotAToken;
    }
    return SameToken(token, expected) ? TokenVerdict::kRight : TokenVerdict::kWrong;
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return address.ss_family == AF_INET &&
           (ntohl(reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr) >> 24) == 127;
}

std::vector<std::string> ReachableAddresses(int listenFd) {
    sockaddr_storage bound{};
    socklen_t size = sizeof(bound);
    if (::getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) {
        return {};
    }
    const uint16_t port = PortOf(bound);
    if (!IsWildcard(bound)) {
        return {AddressText(reinterpret_cast<const sockaddr*>(&bound), port)};
    }
    std::vector<sockaddr_storage> local;
    if (LocalAddresses(&local) != 0) {
        return {AddressText(reinterpret_cast<const sockaddr*>(&bound), port)};
    }
    int v6only = 0;
    socklen_t optionSize = sizeof(v6only);
    ::getsockopt(listenFd, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&v6only),
                 &optionSize);
    std::vector<std::string> out;
    for (const sockaddr_storage& address : local) {
        // An IPv6 wildcard takes IPv4 connections too unless it was made IPv6-only.
        if (address.ss_family == bound.ss_family ||
            (bound.ss_family == AF_INET6 && address.ss_family == AF_INET && v6only == 0)) {
            out.push_back(AddressText(reinterpret_cast<const sockaddr*>(&address), port));
        }
    }
    return out;
}

int AcceptRemote(int listenFd, std::string* peer) {
    sockaddr_storage address{};
    const int fd = AcceptSocket(listenFd, &address);
    if (fd < 0) {
        return -1;
    }
    *peer = AddressText(reinterpret_cast<const sockaddr*>(&address), PortOf(address));
    // Each frame goes out as the plug-in sends it: a read packet of a few bytes (an echoed
    // keystroke) must not wait for the acknowledgement of the one before.
    SetNoDelay(fd);
    return fd;
}

Doorway::~Doorway() {
    if (mWaitingFd >= 0) {
        CloseSocket(mWaitingFd);
    }
}

void Doorway::Knock(const std::string& busyWith) {
    std::string peer;
    const int fd = AcceptRemote(mListenFd, &peer);
    if (fd < 0) {
        return;
    }
    if (mWaitingFd >= 0) {
        Say("refused remote " + peer + ": already serving " + busyWith + " and " + mWaitingPeer +
            " waits");
        CloseSocket(fd);
        return;
    }
    mWaitingFd = fd;
    mWaitingPeer = peer;
    mWaitingUntil = Clock::now() + kHandover;
    Say("remote " + peer + " waits for " + busyWith + " to leave");
}

int Doorway::WaitMs() const {
    if (mWaitingFd < 0) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(mWaitingUntil - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

void Doorway::Expire(const std::string& busyWith) {
    if (mWaitingFd >= 0 && Clock::now() >= mWaitingUntil) {
        Say("refused remote " + mWaitingPeer + ": already serving " + busyWith);
        CloseSocket(mWaitingFd);
        mWaitingFd = -1;
    }
}

int Doorway::Take(std::string* peer) {
    if (mWaitingFd < 0) {
        return AcceptRemote(mListenFd, peer);
    }
    const int fd = mWaitingFd;
    *peer = mWaitingPeer;
    mWaitingFd = -1;
    return fd;
}

bool ServeRemote(int fd, const std::string& peer, const ServeRules& rules, Doorway& door,
                 int stopFd, RemoteProtocol& remote) {
    uint8_t buffer[16384];
    const Clock::time_point start = Clock::now();
    Clock::time_point lastRequest = start;
    bool halfClosed = false;
    for (;;) {
        // What ends the session if nothing happens first.
        Clock::time_point deadline = lastRequest + rules.idleTimeout;
        if (!remote.Admitted()) {
            deadline = start + std::min<Clock::duration>(kTokenWait, rules.idleTimeout);
        } else if (halfClosed) {
            deadline = remote.Sent().Last() + rules.linger;
        }
        // Checked on every turn: a remote trickling partial requests must not dodge it.
        if (Clock::now() >= deadline) {
            Say(Expired(peer, rules, remote.Admitted(), halfClosed));
            return false;
        }
        int timeout = MsUntil(deadline);
        if (door.Waiting()) {
            timeout = std::min(timeout, door.WaitMs());
        }
        // Half-closed, the remote has nothing more to read; only its full close matters.
        WaitItem fds[4] = {{fd, static_cast<short>(halfClosed ? 0 : POLLIN), 0},
                           {door.ListenFd(), POLLIN, 0},
                           {stopFd, POLLIN, 0},
                           {remote.LostFd(), POLLIN, 0}};
        if (WaitReady(fds, 4, timeout) < 0) {
            Say(NetError("poll"));
            return false;
        }
        if (fds[2].revents != 0) {
            Say("stopping; disconnecting " + peer);
            return true;
        }
        if (fds[3].revents != 0) {
            Say("remote " + peer + " stopped taking the port's bytes; closing the connection");
            return false;
        }
        if (fds[1].revents != 0) {
            door.Knock(peer);
        }
        door.Expire(peer);
        if (halfClosed && fds[0].revents != 0) {
            Say("remote " + peer + " closed");
            return false;
        }
        if (halfClosed && door.Waiting()) {
            // A remote that has said all it will say gives way to the one waiting.
            Say("remote " + peer + " finished and another waits; closing");
            return false;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        const long n = ReceiveSome(fd, buffer, sizeof(buffer));
        if (n < 0) {
            Say(NetError(("remote " + peer + " disconnected").c_str()));
            return false;
        }
        if (n == 0) {
            if (!remote.SendingEnded()) {
                return false;
            }
            // It may only have shut down its sending side: the answer to its last request can
            // still be on its way.
            halfClosed = true;
            remote.Sent().Mark();
            Say("remote " + peer + " sent its last request; passing on what the port sends " +
                "until it closes or the line is quiet for " + std::to_string(rules.linger.count()) +
                " ms");
            continue;
        }
        bool complete = false;
        if (!remote.Received(buffer, static_cast<size_t>(n), &complete)) {
            return false;
        }
        if (complete) {
            lastRequest = Clock::now();
        }
    }
}

}  // namespace cpd::host
