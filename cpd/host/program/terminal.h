// Console and signal plumbing of the interactive commands, with a POSIX (terminal_posix.cpp) and
// a Windows (terminal_win.cpp) implementation. Every object here is created and destroyed on the
// main thread and is non-copyable: each owns descriptors and changes process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace cpd::host {

// Ctrl-] ends an interactive session (as in telnet): every other byte goes to the port.
constexpr unsigned char kQuitKey = 0x1d;

// Standard input of a session. A terminal (console) is put into raw input mode (no line editing,
// no echo, no signal keys, no flow control) and restored on destruction; output processing stays
// on so the device's "\n" still returns the cursor. Fd() is readable (WaitReady) once Read has
// bytes or the end of input to give. Main thread only.
class TerminalInput {
  public:
    // `notify` hears of a wait the user should know about: on Windows, destruction waits for
    // the end of a piped input whose read cannot be cancelled.
    explicit TerminalInput(std::function<void(const std::string&)> notify);
    ~TerminalInput();
    TerminalInput(const TerminalInput&) = delete;
    TerminalInput& operator=(const TerminalInput&) = delete;

    bool Raw() const;
    int Fd() const;
    // Bytes read; 0 at the end of input or on failure; -1 when there was nothing after all.
    long Read(uint8_t* data, size_t n);

  private:
    struct State;
    std::unique_ptr<State> mState;
};

// Turns the stop requests (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C, Ctrl-Break and closing
// the console) into a readable descriptor so wait loops can stop cleanly; restores the previous
// handling on destruction. At most one at a time.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once a stop request arrived; -1 if it could not be set up.
    int Fd() const { return mReadFd; }
    bool Raised() const;

  private:
    struct Saved;
    int mReadFd = -1;
    int mWriteFd = -1;
    std::unique_ptr<Saved> mSaved;
};

// A flag another thread raises and a wait loop watches. Raise is thread-safe.
class EventFlag {
  public:
    EventFlag();
    ~EventFlag();
    EventFlag(const EventFlag&) = delete;
    EventFlag& operator=(const EventFlag&) = delete;

    void Raise();
    int Fd() const { return mFd; }

  private:
    int mFd = -1;
    int mWriteFd = -1;  // the same descriptor where one serves both ends
};

// Bytes from the port to standard output, unchanged. A closed or failing stdout drops them: the
// session goes on so the port keeps being served until the user ends it.
void WriteStdout(const uint8_t* data, size_t n);

}  // namespace cpd::host
