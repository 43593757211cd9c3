#include "cpd/host/program/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace cpd::host {

namespace {

constexpr int kStopSignals[3] = {SIGINT, SIGTERM, SIGHUP};

// The handler's only state: the write end of the current StopSignals pipe. A plain int, so
// reading it from the handler is async-signal-safe.
volatile sig_atomic_t gStopWriteFd = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (gStopWriteFd >= 0) {
        (void)!::write(gStopWriteFd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

RawTerminal::RawTerminal(int fd) : mFd(fd) {
    if (::isatty(fd) == 0 || ::tcgetattr(fd, &mSaved) != 0) {
        return;
    }
    termios raw = mSaved;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    mActive = ::tcsetattr(fd, TCSAFLUSH, &raw) == 0;
}

RawTerminal::~RawTerminal() {
    if (mActive) {
        ::tcsetattr(mFd, TCSAFLUSH, &mSaved);
    }
}

StopSignals::StopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    mReadFd = fds[0];
    mWriteFd = fds[1];
    gStopWriteFd = mWriteFd;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
        ::sigaction(kStopSignals[i], &action, &mSaved[i]);
    }
}

StopSignals::~StopSignals() {
    if (mReadFd < 0) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        ::sigaction(kStopSignals[i], &mSaved[i], nullptr);
    }
    gStopWriteFd = -1;
    ::close(mReadFd);
    ::close(mWriteFd);
}

bool StopSignals::Raised() const {
    pollfd fd{mReadFd, POLLIN, 0};
    return mReadFd >= 0 && ::poll(&fd, 1, 0) > 0;
}

EventFlag::EventFlag() : mFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventFlag::~EventFlag() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

void EventFlag::Raise() {
    const uint64_t one = 1;
    (void)!::write(mFd, &one, sizeof(one));
}

}  // namespace cpd::host
