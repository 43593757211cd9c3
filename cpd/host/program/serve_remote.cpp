// The loop that serves one remote of `serve` under its rules.
#include "cpd/host/program/serve_remote.h"

#include <algorithm>

namespace cpd::host {

namespace {

using Clock = std::chrono::steady_clock;

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

bool ServeRemote(int fd, const std::string& peer, const ServeRules& rules, Doorway& door,
                 int stopFd, RemoteProtocol& remote,
                 const std::function<void(const std::string&)>& notify, std::string* ending) {
    auto tell = [&notify](const std::string& notice) {
        if (!notice.empty()) {
            notify(notice);
        }
    };
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
            *ending = Expired(peer, rules, remote.Admitted(), halfClosed);
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
            *ending = NetError("poll");
            return false;
        }
        if (fds[2].revents != 0) {
            *ending = "stopping; disconnecting " + peer;
            return true;
        }
        if (fds[3].revents != 0) {
            *ending = "remote " + peer + " stopped taking the port's bytes; closing the connection";
            return false;
        }
        if (fds[1].revents != 0) {
            tell(door.Knock(peer));
        }
        tell(door.Expire(peer));
        if (halfClosed && fds[0].revents != 0) {
            *ending = "remote " + peer + " closed";
            return false;
        }
        if (halfClosed && door.Waiting()) {
            // A remote that has said all it will say gives way to the one waiting.
            *ending = "remote " + peer + " finished and another waits; closing";
            return false;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        const long n = ReceiveSome(fd, buffer, sizeof(buffer));
        if (n < 0) {
            *ending = NetError(("remote " + peer + " disconnected").c_str());
            return false;
        }
        if (n == 0) {
            if (!remote.SendingEnded(ending)) {
                return false;
            }
            // It may only have shut down its sending side: the answer to its last request can
            // still be on its way.
            halfClosed = true;
            remote.Sent().Mark();
            notify("remote " + peer + " sent its last request; passing on what the port sends " +
                   "until it closes or the line is quiet for " +
                   std::to_string(rules.linger.count()) + " ms");
            continue;
        }
        bool complete = false;
        if (!remote.Received(buffer, static_cast<size_t>(n), &complete, ending)) {
            return false;
        }
        if (complete) {
            lastRequest = Clock::now();
        }
    }
}

}  // namespace cpd::host
