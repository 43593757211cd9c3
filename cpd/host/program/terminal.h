// Terminal and signal plumbing of the interactive commands. Both are RAII owners created and
// destroyed on the main thread; non-copyable because they restore process-wide state.
#pragma once

#include <signal.h>
#include <termios.h>

namespace cpd::host {

// Ctrl-] ends an interactive session (as in telnet): every other byte goes to the port.
constexpr unsigned char kQuitKey = 0x1d;

// Puts a terminal into raw input mode (no line editing, no echo, no signal keys, no flow
// control) and restores it on destruction. Does nothing for a descriptor that is not a terminal.
// Output processing stays on so the device's "\n" still returns the cursor.
class RawTerminal {
  public:
    explicit RawTerminal(int fd);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    bool Active() const { return mActive; }

  private:
    int mFd;
    bool mActive = false;
    termios mSaved{};
};

// Turns SIGINT, SIGTERM and SIGHUP into a readable descriptor (a self-pipe) so poll loops can
// stop cleanly; restores the previous handlers on destruction. At most one at a time.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once a stop signal arrived; -1 if the pipe could not be made.
    int Fd() const { return mReadFd; }
    bool Raised() const;

  private:
    int mReadFd = -1;
    int mWriteFd = -1;
    struct ::sigaction mSaved[3];
};

// A flag another thread raises and a poll loop watches (an eventfd). Raise is thread-safe.
class EventFlag {
  public:
    EventFlag();
    ~EventFlag();
    EventFlag(const EventFlag&) = delete;
    EventFlag& operator=(const EventFlag&) = delete;

    void Raise();
    int Fd() const { return mFd; }

  private:
    int mFd;
};

}  // namespace cpd::host
