// The listening side of `serve`: which addresses a listening socket reaches, whether a peer is
// on this machine, accepting a remote, and the doorway that lets one more remote wait while the
// slot is in use. Serving thread (the main thread) only.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cpd/host/program/net.h"

namespace cpd::host {

bool IsLoopback(const sockaddr_storage& address);
// The addresses a listening socket accepts on: its own, or for a wildcard every interface
// address of its family, as HOST:PORT.
std::vector<std::string> ReachableAddresses(int listenFd);

// Accepts one connection (TCP_NODELAY set) once the listening socket polled readable; -1 on
// failure.
int AcceptRemote(int listenFd, std::string* peer);

// The listening socket and the one remote that may wait while the slot is in use: a remote
// that reconnects while the previous one is still being torn down waits for it instead of being
// refused. A remote waits at most kHandover; any further arrival is refused at once. Knock and
// Expire return what they did, for the command to tell ("" when nothing happened).
// Non-copyable: owns the waiting connection.
class Doorway {
  public:
    static constexpr std::chrono::seconds kHandover{3};

    explicit Doorway(int listenFd) : mListenFd(listenFd) {}
    ~Doorway();
    Doorway(const Doorway&) = delete;
    Doorway& operator=(const Doorway&) = delete;

    int ListenFd() const { return mListenFd; }
    bool Waiting() const { return mWaitingFd >= 0; }
    // Accepts a connection: it waits if none does, else it is refused (`busyWith` is served).
    std::string Knock(const std::string& busyWith);
    // Milliseconds until the waiting remote must be refused, for a poll timeout; -1 if none.
    int WaitMs() const;
    // Refuses the waiting remote once its time is up.
    std::string Expire(const std::string& busyWith);
    // Hands over the waiting remote, or accepts a new one; -1 if neither is there.
    int Take(std::string* peer);

  private:
    int mListenFd;
    int mWaitingFd = -1;
    std::string mWaitingPeer;
    std::chrono::steady_clock::time_point mWaitingUntil;
};

}  // namespace cpd::host
