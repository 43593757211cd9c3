// Serving one remote of `serve`, whatever protocol it speaks: the rules it is held to (token
// wait, idle timeout, linger after it finished) and the loop that applies them. All of it runs
// on the serving thread (the main thread); SentClock is also marked by the plug-in's read pump.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cpd/host/program/serve_listener.h"

namespace cpd::host {

struct ServeRules {
    bool allowRemote = false;          // listening beyond loopback was asked for
    std::optional<std::string> token;  // when set, a remote's first frame must carry it
    std::chrono::seconds idleTimeout{600};
    std::chrono::milliseconds linger{1000};
};

// How long an unauthenticated remote may take to send its token; a short bound, so a remote
// that never does cannot hold the only slot.
constexpr std::chrono::seconds kTokenWait{10};

// When the port last sent a remote something: marked by the plug-in's read pump, read by the
// serving thread to end a half-closed remote's linger. Lock-free.
class SentClock {
  public:
    void Mark() { mTicks = std::chrono::steady_clock::now().time_since_epoch().count(); }
    std::chrono::steady_clock::time_point Last() const {
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(mTicks));
    }

  private:
    std::atomic<std::chrono::steady_clock::rep> mTicks{0};
};

// What a protocol of `serve` does with one remote; ServeRemote drives it on the serving thread.
// Each method that returns false gives in *why the reason the connection must close.
class RemoteProtocol {
  public:
    virtual ~RemoteProtocol() = default;
    // Bytes from the remote. *complete tells whether they completed a request: only that counts
    // as activity, so a remote trickling a partial one cannot dodge the idle timeout.
    virtual bool Received(const uint8_t* data, size_t n, bool* complete, std::string* why) = 0;
    // The remote shut down its sending side: true to pass on the port's last bytes for the
    // linger, false when it left a request unfinished or was never admitted.
    virtual bool SendingEnded(std::string* why) = 0;
    // True once the remote proved it may use the port (its token) and the plug-in's device was
    // opened for it; until then it has kTokenWait.
    virtual bool Admitted() const = 0;
    virtual SentClock& Sent() = 0;
    // Readable once the remote cannot be served any more (a send to it failed); -1 if never.
    virtual int LostFd() const { return -1; }
};

// Serves the remote connected on `fd` under `rules` until it leaves, breaks a rule, or `stopFd`
// turns readable (then true); meanwhile `door` lets one more remote wait. What happens on the
// way (a remote waiting or refused at the door, the remote's last request) goes to `notify`,
// why the session ended to *ending. Does not close `fd`.
bool ServeRemote(int fd, const std::string& peer, const ServeRules& rules, Doorway& door,
                 int stopFd, RemoteProtocol& remote,
                 const std::function<void(const std::string&)>& notify, std::string* ending);

}  // namespace cpd::host
