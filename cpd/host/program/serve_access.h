// Who may use a served port and for how long: the rules every front end of `serve` applies to a
// remote, whatever protocol it speaks. All of it runs on the serving thread (the main thread).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cpd/host/program/net.h"
#include "cpd/host/program/tcp_channel.h"

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

// The token in `path`: its first line, without trailing blanks. False with a reason.
bool ReadToken(const std::string& path, std::string* token, std::string* error);
// The same for the server: a missing file is created, readable by its owner only,
// with a fresh random token (*created tells). False with a reason otherwise.
bool LoadOrCreateToken(const std::string& path, std::string* token, bool* created,
                       std::string* error);
// Takes as long whatever the first difference, so timing does not reveal the token.
bool SameToken(const std::string& given, const std::string& expected);
// What a frame from a remote is to the token check: a token frame carrying `expected`, one
// carrying anything else, or another packet.
enum class TokenVerdict { kNotAToken, kWrong, kRight };
TokenVerdict CheckTokenFrame(CpdPacket& packet, const std::string& expected);

bool IsLoopback(const sockaddr_storage& address);
// The addresses a listening socket accepts on: its own, or for a wildcard every interface
// address of its family, as HOST:PORT.
std::vector<std::string> ReachableAddresses(int listenFd);

// The listening socket and the one remote that may wait while the slot is in use: a remote
// that reconnects while the previous one is still being torn down waits for it instead of being
// refused. A remote waits at most kHandover; any further arrival is refused at once.
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
    // Accepts a connection: it waits if none does, else it is refused (logged with `busyWith`).
    void Knock(const std::string& busyWith);
    // Milliseconds until the waiting remote must be refused, for a poll timeout; -1 if none.
    int WaitMs() const;
    // Refuses the waiting remote once its time is up.
    void Expire(const std::string& busyWith);
    // Hands over the waiting remote, or accepts a new one; -1 if neither is there.
    int Take(std::string* peer);

  private:
    int mListenFd;
    int mWaitingFd = -1;
    std::string mWaitingPeer;
    std::chrono::steady_clock::time_point mWaitingUntil;
};

// Accepts one connection (TCP_NODELAY set) once the listening socket polled readable; -1 on
// failure.
int AcceptRemote(int listenFd, std::string* peer);

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
// Each method that returns false has already said why the connection must close.
class RemoteProtocol {
  public:
    virtual ~RemoteProtocol() = default;
    // Bytes from the remote. *complete tells whether they completed a request: only that counts
    // as activity, so a remote trickling a partial one cannot dodge the idle timeout.
    virtual bool Received(const uint8_t* data, size_t n, bool* complete) = 0;
    // The remote shut down its sending side: true to pass on the port's last bytes for the
    // linger, false when it left a request unfinished or was never admitted.
    virtual bool SendingEnded() = 0;
    // True once the remote proved it may use the port (its token) and the plug-in's device was
    // opened for it; until then it has kTokenWait.
    virtual bool Admitted() const = 0;
    virtual SentClock& Sent() = 0;
    // Readable once the remote cannot be served any more (a send to it failed); -1 if never.
    virtual int LostFd() const { return -1; }
};

// Serves the remote connected on `fd` under `rules` until it leaves, breaks a rule, or `stopFd`
// turns readable (then true); meanwhile `door` lets one more remote wait. Does not close `fd`.
bool ServeRemote(int fd, const std::string& peer, const ServeRules& rules, Doorway& door,
                 int stopFd, RemoteProtocol& remote);

}  // namespace cpd::host
