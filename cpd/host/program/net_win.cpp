// cpd-host's socket calls over Winsock.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "cpd/host/program/net.h"

namespace cpd::host {

NetStartup::NetStartup() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
}

NetStartup::~NetStartup() {
    ::WSACleanup();
}

int WaitReady(WaitItem* fds, size_t count, int timeoutMs) {
    // WSAPoll fails on a negative descriptor where poll() skips it: give it only the live ones.
    WSAPOLLFD live[8];
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd >= 0 && used < sizeof(live) / sizeof(live[0])) {
            live[used++] = {static_cast<SOCKET>(fds[i].fd), fds[i].events, 0};
        }
    }
    if (used == 0) {
        ::Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    const int ready = ::WSAPoll(live, static_cast<ULONG>(used), timeoutMs);
    for (size_t i = 0, j = 0; i < count && ready > 0; ++i) {
        if (fds[i].fd >= 0 && j < used) {
            fds[i].revents = live[j++].revents;
        }
    }
    return ready;
}

int OpenSocket(int family, int type, int protocol) {
    // WSA_FLAG_NO_HANDLE_INHERIT: the socket stays out of any process this one starts.
    const SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

int AcceptSocket(int listenFd, sockaddr_storage* address) {
    int size = sizeof(*address);
    const SOCKET s =
        ::accept(static_cast<SOCKET>(listenFd), reinterpret_cast<sockaddr*>(address), &size);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

int CloseSocket(int fd) {
    return ::closesocket(static_cast<SOCKET>(fd)) == 0 ? 0 : -1;
}

void ShutdownSocket(int fd) {
    ::shutdown(static_cast<SOCKET>(fd), SD_BOTH);
}

long ReceiveSome(int fd, void* data, size_t n) {
    const int got = ::recv(static_cast<SOCKET>(fd), static_cast<char*>(data),
                           static_cast<int>(n > 0x7fffffff ? 0x7fffffff : n), 0);
    return got == SOCKET_ERROR ? -1 : got;
}

long SendSome(int fd, const void* data, size_t n) {
    const int sent = ::send(static_cast<SOCKET>(fd), static_cast<const char*>(data),
                            static_cast<int>(n > 0x7fffffff ? 0x7fffffff : n), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int SetSendTimeout(int fd, int ms) {
    const DWORD limit = static_cast<DWORD>(ms);
    return ::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_SNDTIMEO,
                        reinterpret_cast<const char*>(&limit), sizeof(limit)) == 0
               ? 0
               : -1;
}

void SetNoDelay(int fd) {
    const BOOL one = TRUE;
    ::setsockopt(static_cast<SOCKET>(fd), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&one), sizeof(one));
}

void PrepareListener(int fd) {
    // Windows lets a port be rebound while old connections linger; SO_REUSEADDR would instead
    // let another program bind the same port.
    const BOOL one = TRUE;
    ::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&one), sizeof(one));
}

int SocketPair(int fds[2]) {
    // Winsock has no socketpair: a loopback listener on a port of the system's choosing, a
    // connection to it, and the accepted end.
    const int listener = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    int out = -1;
    int in = -1;
    const SOCKET l = static_cast<SOCKET>(listener);
    if (::bind(l, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::listen(l, 1) == 0 &&
        ::getsockname(l, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
        (out = OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) >= 0 &&
        ::connect(static_cast<SOCKET>(out), reinterpret_cast<sockaddr*>(&address),
                  sizeof(address)) == 0) {
        sockaddr_storage peer{};
        in = AcceptSocket(listener, &peer);
    }
    CloseSocket(listener);
    if (in < 0) {
        if (out >= 0) {
            CloseSocket(out);
        }
        return -1;
    }
    SetNoDelay(out);
    fds[0] = in;
    fds[1] = out;
    return 0;
}

int LocalAddresses(std::vector<sockaddr_storage>* out) {
    // The addresses the machine's own name resolves to: every interface's on Windows, without
    // the IP helper library.
    char name[256];
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::gethostname(name, sizeof(name)) != 0 ||
        ::getaddrinfo(name, nullptr, &hints, &list) != 0) {
        return -1;
    }
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        sockaddr_storage copy{};
        std::memcpy(&copy, entry->ai_addr, std::min(sizeof(copy), entry->ai_addrlen));
        out->push_back(copy);
    }
    ::freeaddrinfo(list);
    return 0;
}

namespace {

// The system's text for a Winsock error code, without its closing period and line end.
std::string WinsockText(int code) {
    char text[256] = "";
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' ||
                     text[n - 1] == '.')) {
        --n;
    }
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

}  // namespace

// getaddrinfo's results are Winsock error codes.
std::string ResolveError(int code) {
    return WinsockText(code);
}

std::string NetError(const char* what) {
    return std::string(what) + ": " + WinsockText(::WSAGetLastError());
}

bool LastErrorAddressInUse() {
    return ::WSAGetLastError() == WSAEADDRINUSE;
}

}  // namespace cpd::host
