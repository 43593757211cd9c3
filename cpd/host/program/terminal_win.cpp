// Console input, stop requests and wake-up flags on Windows, through loopback socket pairs.
// net.h brings winsock2.h, which must come before windows.h.
#include "cpd/host/program/net.h"

#include <atomic>
#include <thread>

#include "cpd/host/program/terminal.h"

namespace cpd::host {

namespace {

// The write end of the current StopSignals pair, for the console control handler (which
// Windows runs on a thread of its own).
std::atomic<int> gStopWriteFd{-1};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    const int fd = gStopWriteFd.load();
    const char byte = 1;
    if (fd >= 0) {
        SendSome(fd, &byte, 1);
    }
    return TRUE;
}

// A pair whose ends close together; false if none could be made.
bool MakePair(int* readFd, int* writeFd) {
    int fds[2];
    if (SocketPair(fds) != 0) {
        return false;
    }
    *readFd = fds[0];
    *writeFd = fds[1];
    return true;
}

constexpr DWORD kPollMs = 20;

}  // namespace

// Winsock waits on sockets only, so a reader thread moves standard input into a socket pair.
// It never blocks for long: the console is waited on with a timeout, a pipe is peeked before
// it is read; the destructor cancels a read of anything else (a file ends by itself).
struct TerminalInput::State {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD savedMode = 0;
    bool raw = false;
    int readFd = -1;
    int writeFd = -1;
    std::atomic<bool> stop{false};
    std::thread reader;
    std::function<void(const std::string&)> notify;

    void Forward(const char* data, DWORD n) {
        if (n > 0) {
            SendAll(writeFd, data, n);
        }
    }
    // One turn of the console: the characters of the keys pressed (Ctrl-] comes as 0x1d).
    bool ConsoleTurn() {
        if (::WaitForSingleObject(in, kPollMs) != WAIT_OBJECT_0) {
            return true;
        }
        INPUT_RECORD records[64];
        DWORD count = 0;
        if (!::ReadConsoleInputA(in, records, 64, &count)) {
            return false;
        }
        char text[64 * 4];
        DWORD n = 0;
        for (DWORD i = 0; i < count; ++i) {
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.AsciiChar != 0) {
                for (WORD r = 0; r < key.wRepeatCount && n < sizeof(text); ++r) {
                    text[n++] = key.uChar.AsciiChar;
                }
            }
        }
        Forward(text, n);
        return true;
    }
    // One turn of a pipe or file: false at its end.
    bool StreamTurn(bool peek) {
        char buffer[4096];
        DWORD n = sizeof(buffer);
        if (peek) {
            DWORD available = 0;
            if (!::PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) {
                return ::GetLastError() != ERROR_BROKEN_PIPE && StreamTurn(false);
            }
            if (available == 0) {
                ::Sleep(kPollMs);
                return true;
            }
            n = available < n ? available : n;
        }
        DWORD got = 0;
        if (!::ReadFile(in, buffer, n, &got, nullptr) || got == 0) {
            return false;
        }
        Forward(buffer, got);
        return true;
    }
    void Run() {
        const DWORD type = ::GetFileType(in);
        for (bool more = true; more && !stop;) {
            more = raw ? ConsoleTurn() : StreamTurn(type == FILE_TYPE_PIPE);
        }
        ::shutdown(static_cast<SOCKET>(writeFd), SD_SEND);  // end of input for Read
    }
};

TerminalInput::TerminalInput(std::function<void(const std::string&)> notify)
    : mState(std::make_unique<State>()) {
    State& s = *mState;
    s.notify = std::move(notify);
    if (!MakePair(&s.readFd, &s.writeFd)) {
        return;
    }
    if (::GetConsoleMode(s.in, &s.savedMode)) {
        // No line editing, no echo, Ctrl-C as a byte: the keys go to the port as typed.
        s.raw = ::SetConsoleMode(s.in, ENABLE_EXTENDED_FLAGS) != 0;
    }
    if (s.raw || ::GetFileType(s.in) != FILE_TYPE_CHAR) {
        s.reader = std::thread(&State::Run, &s);
    } else {
        ::shutdown(static_cast<SOCKET>(s.writeFd), SD_SEND);
    }
}

TerminalInput::~TerminalInput() {
    State& s = *mState;
    s.stop = true;
    if (s.reader.joinable()) {
        // A read of a pipe that cannot be peeked, or of a device, may be waiting for input that
        // never comes.
        for (int turn = 1; ::WaitForSingleObject(s.reader.native_handle(), kPollMs) == WAIT_TIMEOUT;
             ++turn) {
            ::CancelSynchronousIo(s.reader.native_handle());
            if (turn == 10) {
                // Wine can neither peek at nor cancel a read of a Unix pipe; Windows can do both.
                s.notify("waiting for standard input to end");
            }
        }
        s.reader.join();
    }
    if (s.raw) {
        ::SetConsoleMode(s.in, s.savedMode);
    }
    for (const int fd : {s.readFd, s.writeFd}) {
        if (fd >= 0) {
            CloseSocket(fd);
        }
    }
}

bool TerminalInput::Raw() const {
    return mState->raw;
}

int TerminalInput::Fd() const {
    return mState->readFd;
}

long TerminalInput::Read(uint8_t* data, size_t n) {
    const long got = ReceiveSome(mState->readFd, data, n);
    return got < 0 ? 0 : got;
}

struct StopSignals::Saved {};

StopSignals::StopSignals() {
    if (!MakePair(&mReadFd, &mWriteFd)) {
        return;
    }
    gStopWriteFd = mWriteFd;
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopSignals::~StopSignals() {
    if (mReadFd < 0) {
        return;
    }
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    gStopWriteFd = -1;
    CloseSocket(mReadFd);
    CloseSocket(mWriteFd);
}

bool StopSignals::Raised() const {
    WaitItem item{mReadFd, POLLIN, 0};
    return mReadFd >= 0 && WaitReady(&item, 1, 0) > 0;
}

EventFlag::EventFlag() {
    MakePair(&mFd, &mWriteFd);
}

EventFlag::~EventFlag() {
    if (mFd >= 0) {
        CloseSocket(mFd);
        CloseSocket(mWriteFd);
    }
}

void EventFlag::Raise() {
    const char byte = 1;
    SendSome(mWriteFd, &byte, 1);
}

void WriteStdout(const uint8_t* data, size_t n) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    while (n > 0) {
        DWORD written = 0;
        if (!::WriteFile(out, data, static_cast<DWORD>(n), &written, nullptr) || written == 0) {
            return;
        }
        data += written;
        n -= written;
    }
}

}  // namespace cpd::host
