// The listening side of `serve`: the addresses it reaches, accepting a remote, the doorway.
#include "cpd/host/program/serve_listener.h"

#include <algorithm>

#include "cpd/host/program/tcp_channel.h"

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

}  // namespace

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

std::string Doorway::Knock(const std::string& busyWith) {
    std::string peer;
    const int fd = AcceptRemote(mListenFd, &peer);
    if (fd < 0) {
        return "";
    }
    if (mWaitingFd >= 0) {
        CloseSocket(fd);
        return "refused remote " + peer + ": already serving " + busyWith + " and " + mWaitingPeer +
               " waits";
    }
    mWaitingFd = fd;
    mWaitingPeer = peer;
    mWaitingUntil = Clock::now() + kHandover;
    return "remote " + peer + " waits for " + busyWith + " to leave";
}

int Doorway::WaitMs() const {
    if (mWaitingFd < 0) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(mWaitingUntil - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

std::string Doorway::Expire(const std::string& busyWith) {
    if (mWaitingFd < 0 || Clock::now() < mWaitingUntil) {
        return "";
    }
    CloseSocket(mWaitingFd);
    mWaitingFd = -1;
    return "refused remote " + mWaitingPeer + ": already serving " + busyWith;
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

}  // namespace cpd::host
