#include "cpd/host/framework/velmar_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define CPD_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CPD_TSAN 1
#endif
#endif

namespace {

// Each test logs to its own fresh file and puts the log back on standard error afterwards.
class LogFile : public testing::Test {
  protected:
    void SetUp() override {
        std::string name = testing::TempDir() + "velmar_log_XXXXXX";
        const int fd = mkstemp(name.data());
        ASSERT_GE(fd, 0);
        close(fd);
        mPath = name;
        ASSERT_EQ(velmarLogToFile(mPath.c_str()), 0);
    }
    void TearDown() override {
        velmarLogToStderr();
        std::remove(mPath.c_str());
    }

    std::vector<std::string> Lines() {
        velmarLogFlush();
        return LinesInFile(mPath);
    }

    // What the file holds now, without flushing.
    static std::vector<std::string> LinesInFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        const std::string text = content.str();
        EXPECT_TRUE(text.empty() || text.back() == '\n') << "last line not terminated";
        std::vector<std::string> lines;
        std::string line;
        std::istringstream split(text);
        while (std::getline(split, line)) {
            lines.push_back(line);
        }
        return lines;
    }

    // The text after "<date> <time> <tid> <level letter> <tag>: ".
    static std::string Message(const std::string& line) {
        const size_t colon = line.find(": ");
        return colon == std::string::npos ? "" : line.substr(colon + 2);
    }

    // Checks that the file holds exactly `count` lines "<prefix> <i>" for i = 0.. in order,
    // among other lines; false (with a failure) at the first missing, repeated or reordered one.
    static bool CountsInOrder(const std::vector<std::string>& lines, const std::string& prefix,
                              int count) {
        int next = 0;
        for (const std::string& line : lines) {
            const std::string message = Message(line);
            if (message.compare(0, prefix.size() + 1, prefix + " ") != 0) {
                continue;
            }
            const int index = std::atoi(message.c_str() + prefix.size() + 1);
            if (index != next) {
                ADD_FAILURE() << prefix << ": expected line " << next << ", got " << line;
                return false;
            }
            ++next;
        }
        EXPECT_EQ(next, count) << prefix;
        return next == count;
    }

    std::string mPath;
};

TEST_F(LogFile, LineCarriesTimestampThreadLevelLetterAndTag) {
    velmarLogPrint(0, 5, "CPD_LOG", "%s %s(%d): \"Debug:\" \"close\\n\"", "x.cpp", "Close", 12);
    velmarLogPrint(0, 7, "CPD_LOG", "value=%d\n", 3);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    const std::regex lead(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \d+ ([DE]) CPD_LOG: (.*)$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, lead)) << lines[0];
    EXPECT_EQ(match[1], "D");
    EXPECT_EQ(match[2], R"(x.cpp Close(12): "Debug:" "close\n")");
    // A text that ends with its own line break still makes exactly one line.
    ASSERT_TRUE(std::regex_match(lines[1], match, lead)) << lines[1];
    EXPECT_EQ(match[1], "E");
    EXPECT_EQ(match[2], "value=3");
}

TEST_F(LogFile, BurstFarLargerThanTheBufferLosesNothing) {
    // Megabytes of lines in a tight loop (callers must wait for room), with lines longer than
    // the whole buffer in between (written past it, still in order).
    constexpr int kLines = 20000;
    const std::string filler(180, 'f');
    const std::string huge(300 * 1024, 'h');
    for (int i = 0; i < kLines; ++i) {
        velmarLogPrint(0, 5, "CPD_LOG", "burst %d %s", i, filler.c_str());
        if (i % 5000 == 2500) {
            velmarLogPrint(0, 5, "CPD_LOG", "huge %s", huge.c_str());
        }
    }
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), size_t{kLines + 4});
    EXPECT_TRUE(CountsInOrder(lines, "burst", kLines));
    EXPECT_EQ(Message(lines[2501]), "huge " + huge);
}

TEST_F(LogFile, ErrorLineIsInTheFileWhenTheCallReturns) {
    for (int i = 0; i < 50; ++i) {
        velmarLogPrint(0, 5, "CPD_LOG", "debug %d", i);
    }
    velmarLogPrint(0, 7, "CPD_LOG", "the error");
    // No flush: what an abort right after the call would leave behind.
    const std::vector<std::string> lines = LinesInFile(mPath);
    ASSERT_EQ(lines.size(), 51u);
    EXPECT_TRUE(CountsInOrder(lines, "debug", 50));
    EXPECT_EQ(Message(lines.back()), "the error");
}

void DiscardLine(void*, int, const char*, const char*, size_t) {}

TEST_F(LogFile, SwitchingDestinationFirstWritesWhatTheFileWasOwed) {
    const std::string other = mPath + ".other";
    const std::vector<std::pair<const char*, void (*)()>> switches = {
        {"off", [] { velmarLogOff(); }},
        {"sink", [] { velmarLogToSink(&DiscardLine, nullptr); }},
        {"stderr", [] { velmarLogToStderr(); }},
    };
    for (const auto& [name, switchAway] : switches) {
        SCOPED_TRACE(name);
        ASSERT_EQ(velmarLogToFile(mPath.c_str()), 0);
        for (int i = 0; i < 200; ++i) {
            velmarLogPrint(0, 5, "CPD_LOG", "%s %d", name, i);
        }
        switchAway();
        EXPECT_TRUE(CountsInOrder(LinesInFile(mPath), name, 200));
    }
    // Another file: the old one is complete before the new one gets a line.
    ASSERT_EQ(velmarLogToFile(mPath.c_str()), 0);
    velmarLogPrint(0, 5, "CPD_LOG", "old 0");
    ASSERT_EQ(velmarLogToFile(other.c_str()), 0);
    velmarLogPrint(0, 5, "CPD_LOG", "new 0");
    EXPECT_TRUE(CountsInOrder(LinesInFile(mPath), "old", 1));
    velmarLogFlush();
    EXPECT_TRUE(CountsInOrder(LinesInFile(other), "new", 1));
    std::remove(other.c_str());
}

#if !defined(_WIN32)
TEST_F(LogFile, ForkedChildLogsToTheFileWhileTheParentKeepsLogging) {
    // Another thread logs all the time, so the fork lands while lines are being buffered and
    // written; the child must find the log usable and must not write the parent's lines again.
    std::atomic<bool> stop{false};
    std::atomic<int> parentLines{0};
    std::thread flood([&] {
        for (int i = 0; !stop; ++i) {
            velmarLogPrint(0, 5, "CPD_LOG", "parent %d", i);
            parentLines = i + 1;
        }
    });
    while (parentLines < 1000) {
        std::this_thread::yield();
    }
    // Buffered and not yet written when the child is made: the child must not write it too.
    velmarLogPrint(0, 5, "CPD_LOG", "before-fork 0");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // ThreadSanitizer kills a child of a multi-threaded process that starts a thread, so
        // there the child logs errors, which are written without the writer thread.
#if defined(CPD_TSAN)
        const int level = 7;
#else
        const int level = 5;
#endif
        for (int i = 0; i < 500; ++i) {
            velmarLogPrint(0, level, "CPD_LOG", "child %d", i);
        }
        velmarLogFlush();
        _exit(0);
    }
    // Hang guard: a child stuck on a lock it inherited is killed and reported.
    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 6000 && reaped == 0; ++i) {
        reaped = waitpid(child, &status, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reaped == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    stop = true;
    flood.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    const std::vector<std::string> lines = Lines();
    EXPECT_TRUE(CountsInOrder(lines, "child", 500));
    EXPECT_TRUE(CountsInOrder(lines, "before-fork", 1));
    EXPECT_TRUE(CountsInOrder(lines, "parent", parentLines));
}
#endif

TEST_F(LogFile, LongLineIsWrittenWhole) {
    const std::string text(3000, 'x');
    velmarLogPrint(0, 7, "CPD_LOG", "begin %s end", text.c_str());
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), "begin " + text + " end");
}

TEST_F(LogFile, OverlongTagStaysWithinTheLine) {
    const std::string tag(2000, 't');
    velmarLogPrint(0, 5, tag.c_str(), "after the tag %d", 1);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("after the tag 1"), std::string::npos);
}

}  // namespace
