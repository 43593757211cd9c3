// The socket calls cpd-host makes, over BSD sockets (net_posix.cpp) or Winsock (net_win.cpp).
// A socket is an int on both systems: Windows' socket handles are kernel handles, and only their
// low 32 bits are significant. Every function is safe on any thread; failures return -1 and
// leave the reason for NetError.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <string>
#include <vector>

namespace cpd::host {

// Winsock must be started before the first socket call and stopped after the last: main owns
// one for the process. Nothing to do on POSIX.
class NetStartup {
  public:
    NetStartup();
    ~NetStartup();
    NetStartup(const NetStartup&) = delete;
    NetStartup& operator=(const NetStartup&) = delete;
};

// One entry for WaitReady, as pollfd with an int descriptor on every system. A negative fd is
// skipped; events and revents take POLLIN.
struct WaitItem {
    int fd;
    short events;
    short revents;
};

// poll() over up to 8 sockets (on POSIX, any descriptors): the count of ready entries, 0 on
// timeout or an interrupting signal, -1 on failure. timeoutMs -1 waits without limit.
int WaitReady(WaitItem* items, size_t count, int timeoutMs);

int OpenSocket(int family, int type, int protocol);  // not inherited by child processes
int AcceptSocket(int listenFd, sockaddr_storage* address);
int CloseSocket(int fd);
void ShutdownSocket(int fd);  // both directions; wakes a thread blocked reading it
// Bytes received (0: the peer ended its sending side), or -1. Retries interrupted calls.
long ReceiveSome(int fd, void* data, size_t n);
// Bytes sent, or -1. Never raises SIGPIPE; retries interrupted calls.
long SendSome(int fd, const void* data, size_t n);
// Whole buffer or -1; never raises SIGPIPE.
inline int SendAll(int fd, const void* data, size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const long sent = SendSome(fd, bytes, n);
        if (sent <= 0) {
            return -1;
        }
        bytes += sent;
        n -= static_cast<size_t>(sent);
    }
    return 0;
}
int SetSendTimeout(int fd, int ms);
void SetNoDelay(int fd);
// Before bind: a restarted server gets its port back while old connections linger in
// TIME_WAIT, and no other program can take the port from it.
void PrepareListener(int fd);
// Two connected stream sockets: a wake-up channel pollable alongside real connections.
int SocketPair(int fds[2]);
// The addresses of this machine's network interfaces (ports 0).
int LocalAddresses(std::vector<sockaddr_storage>* out);

// `what` + ": " + the last socket error's text.
std::string NetError(const char* what);
bool LastErrorAddressInUse();
// The text of a getaddrinfo result.
std::string ResolveError(int code);

}  // namespace cpd::host
