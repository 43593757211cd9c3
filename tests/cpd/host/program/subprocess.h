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

#include <gtest/gtest.h>

#include <cerrno>
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
        mReaders[0] = std::thread(&Subprocess::Drain, this, out[0], 0);
        mReaders[1] = std::thread(&Subprocess::Drain, this, err[0], 1);
    }
    ~Subprocess() {
        Signal(SIGKILL);
        Wait();
        CloseStdin();
    }
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    bool Write(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n =
                mStdin < 0 ? -1 : ::write(mStdin, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
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
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (mPid > 0 && !mExited) {
            int status = 0;
            if (::waitpid(mPid, &status, WNOHANG) == mPid) {
                mExited = true;
                mCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(mPid, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // The pipes reach end of file once the child is gone; its last words are then complete.
        for (std::thread& reader : mReaders) {
            if (reader.joinable()) {
                reader.join();
            }
        }
        return mCode;
    }

    std::string Stdout() const { return Text(0); }
    std::string Stderr() const { return Text(1); }
    // Success once the stream holds `needle` at least `count` times; after the default wait, a
    // failure that shows the child's standard error.
    ::testing::AssertionResult WaitForStdout(const std::string& needle, size_t count = 1) {
        return WaitFor(0, needle, count);
    }
    ::testing::AssertionResult WaitForStderr(const std::string& needle, size_t count = 1) {
        return WaitFor(1, needle, count);
    }

  private:
    void Drain(int fd, int stream) {
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
            mText[stream].append(buffer, static_cast<size_t>(n));
            mChanged.notify_all();
        }
        ::close(fd);
    }
    std::string Text(int stream) const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mText[stream];
    }
    ::testing::AssertionResult WaitFor(int stream, const std::string& needle, size_t count) {
        std::unique_lock<std::mutex> lock(mMutex);
        const bool found = mChanged.wait_for(lock, kDefaultWait, [&] {
            size_t seen = 0;
            for (size_t at = mText[stream].find(needle); at != std::string::npos && seen < count;
                 at = mText[stream].find(needle, at + needle.size())) {
                ++seen;
            }
            return seen >= count;
        });
        if (found) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "no \"" << needle << "\" in:\n" << mText[1];
    }

    pid_t mPid = -1;
    int mStdin = -1;
    bool mExited = false;
    int mCode = -1;
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::string mText[2];  // standard output, standard error
    std::thread mReaders[2];
};

}  // namespace cpd::host::test
