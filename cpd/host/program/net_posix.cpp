// cpd-host's socket calls over BSD sockets.
#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cpd/host/program/net.h"

namespace cpd::host {

NetStartup::NetStartup() = default;
NetStartup::~NetStartup() = default;

int WaitReady(WaitItem* items, size_t count, int timeoutMs) {
    pollfd fds[8];
    count = std::min(count, sizeof(fds) / sizeof(fds[0]));
    for (size_t i = 0; i < count; ++i) {
        fds[i] = {items[i].fd, items[i].events, 0};
    }
    const int ready = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
    for (size_t i = 0; i < count; ++i) {
        items[i].revents = ready > 0 ? fds[i].revents : 0;
    }
    if (ready < 0 && errno == EINTR) {
        return 0;
    }
    return ready;
}

int OpenSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int AcceptSocket(int listenFd, sockaddr_storage* address) {
    socklen_t size = sizeof(*address);
    return ::accept4(listenFd, reinterpret_cast<sockaddr*>(address), &size, SOCK_CLOEXEC);
}

int CloseSocket(int fd) {
    return ::close(fd);
}

void ShutdownSocket(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

long ReceiveSome(int fd, void* data, size_t n) {
    for (;;) {
        const ssize_t got = ::recv(fd, data, n, 0);
        if (got >= 0 || errno != EINTR) {
            return static_cast<long>(got);
        }
    }
}

long SendSome(int fd, const void* data, size_t n) {
    for (;;) {
        const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
        if (sent >= 0 || errno != EINTR) {
            return static_cast<long>(sent);
        }
    }
}

int SetSendTimeout(int fd, int ms) {
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

void SetNoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void PrepareListener(int fd) {
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
}

int SocketPair(int fds[2]) {
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
}

int LocalAddresses(std::vector<sockaddr_storage>* out) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return -1;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const sockaddr* address = entry->ifa_addr;
        if (address != nullptr &&
            (address->sa_family == AF_INET || address->sa_family == AF_INET6)) {
            sockaddr_storage copy{};
            std::memcpy(&copy, address,
                        address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
            out->push_back(copy);
        }
    }
    ::freeifaddrs(list);
    return 0;
}

std::string NetError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

std::string ResolveError(int code) {
    return ::gai_strerror(code);
}

bool LastErrorAddressInUse() {
    return errno == EADDRINUSE;
}

}  // namespace cpd::host
