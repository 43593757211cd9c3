// Runs a program as a child process with its standard input, output and error on pipes. The
// output pipes are drained by two reader threads into buffers a test can wait on, so the child
// never blocks on a full pipe. Every wait is bounded; the destructor kills a child still running
// and joins the readers. Non-copyable: owns a process, descriptors and threads.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace cpd::host::test {

class Subprocess {
  public:
    static constexpr std::chrono::seconds kDefaultWait{30};

    explicit Subprocess(const std::vector<std::string>& argv) {
        int in[2];
        int out[2];
        int err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        if (posix_spawn(&mPid, args[0], &actions, nullptr, args.data(), environ) != 0) {
            mPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        mStdin = in[1];
        mOut = std::thread([this, fd = out[0]] { drain(fd, &mStdoutText); });
        mErr = std::thread([this, fd = err[0]] { drain(fd, &mStderrText); });
    }

    ~Subprocess() {
        if (mPid > 0 && !mExited) {
            ::kill(mPid, SIGKILL);
            Wait(kDefaultWait);
        }
        CloseStdin();
        if (mOut.joinable()) {
            mOut.join();
        }
        if (mErr.joinable()) {
            mErr.join();
        }
    }
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    bool Started() const { return mPid > 0; }

    bool Write(const std::string& bytes) {
        size_t done = 0;
        while (mStdin >= 0 && done < bytes.size()) {
            const ssize_t n = ::write(mStdin, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return done == bytes.size();
    }

    void CloseStdin() {
        if (mStdin >= 0) {
            ::close(mStdin);
            mStdin = -1;
        }
    }

    void Signal(int signal) {
        if (mPid > 0 && !mExited) {
            ::kill(mPid, signal);
        }
    }

    // The exit code; -1 if the child did not end in time (it is then killed) or died by a signal.
    int Wait(std::chrono::milliseconds timeout = kDefaultWait) {
        if (mPid <= 0) {
            return -1;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!mExited) {
            int status = 0;
            const pid_t r = ::waitpid(mPid, &status, WNOHANG);
            if (r == mPid) {
                mExited = true;
                mCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(mPid, SIGKILL);
                ::waitpid(mPid, &status, 0);
                mExited = true;
                mCode = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // The pipes reach end of file once the child is gone; its last words are then complete.
        if (mOut.joinable()) {
            mOut.join();
        }
        if (mErr.joinable()) {
            mErr.join();
        }
        return mCode;
    }

    std::string Stdout() const { return Text(mStdoutText); }
    std::string Stderr() const { return Text(mStderrText); }

    // True once the stream holds `needle` (at least `count` times); false after `timeout`.
    bool WaitForStdout(const std::string& needle, std::chrono::milliseconds timeout = kDefaultWait,
                       size_t count = 1) {
        return waitFor(mStdoutText, needle, timeout, count);
    }
    bool WaitForStderr(const std::string& needle, std::chrono::milliseconds timeout = kDefaultWait,
                       size_t count = 1) {
        return waitFor(mStderrText, needle, timeout, count);
    }

  private:
    void drain(int fd, std::string* text) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            std::lock_guard<std::mutex> lock(mMutex);
            text->append(buffer, static_cast<size_t>(n));
            mChanged.notify_all();
        }
        ::close(fd);
    }

    std::string Text(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mMutex);
        return text;
    }

    static size_t Occurrences(const std::string& text, const std::string& needle) {
        size_t count = 0;
        for (size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + needle.size())) {
            ++count;
        }
        return count;
    }

    bool waitFor(const std::string& text, const std::string& needle,
                 std::chrono::milliseconds timeout, size_t count) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, timeout, [&] { return Occurrences(text, needle) >= count; });
    }

    pid_t mPid = -1;
    int mStdin = -1;
    bool mExited = false;
    int mCode = -1;
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::string mStdoutText;
    std::string mStderrText;
    std::thread mOut;
    std::thread mErr;
};

}  // namespace cpd::host::test
