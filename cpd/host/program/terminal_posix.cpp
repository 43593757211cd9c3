// Console input, stop signals and wake-up flags on POSIX.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "cpd/host/program/terminal.h"

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

struct TerminalInput::State {
    bool raw = false;
    termios saved{};
};

// A read of standard input never outlives the session here: nothing to wait for, nothing to tell.
TerminalInput::TerminalInput(std::function<void(const std::string&)>)
    : mState(std::make_unique<State>()) {
    if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &mState->saved) != 0) {
        return;
    }
    termios raw = mState->saved;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    mState->raw = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
}

TerminalInput::~TerminalInput() {
    if (mState->raw) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &mState->saved);
    }
}

bool TerminalInput::Raw() const {
    return mState->raw;
}

int TerminalInput::Fd() const {
    return STDIN_FILENO;
}

long TerminalInput::Read(uint8_t* data, size_t n) {
    const ssize_t got = ::read(STDIN_FILENO, data, n);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return -1;
    }
    return got < 0 ? 0 : static_cast<long>(got);
}

struct StopSignals::Saved {
    struct ::sigaction actions[3];
};

StopSignals::StopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    mReadFd = fds[0];
    mWriteFd = fds[1];
    mSaved = std::make_unique<Saved>();
    gStopWriteFd = mWriteFd;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
        ::sigaction(kStopSignals[i], &action, &mSaved->actions[i]);
    }
}

StopSignals::~StopSignals() {
    if (mReadFd < 0) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        ::sigaction(kStopSignals[i], &mSaved->actions[i], nullptr);
    }
    gStopWriteFd = -1;
    ::close(mReadFd);
    ::close(mWriteFd);
}

bool StopSignals::Raised() const {
    pollfd fd{mReadFd, POLLIN, 0};
    return mReadFd >= 0 && ::poll(&fd, 1, 0) > 0;
}

EventFlag::EventFlag() : mFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mWriteFd(mFd) {}

EventFlag::~EventFlag() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

void EventFlag::Raise() {
    const uint64_t one = 1;
    (void)!::write(mWriteFd, &one, sizeof(one));
}

void WriteStdout(const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, n);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        n -= static_cast<size_t>(written);
    }
}

}  // namespace cpd::host
