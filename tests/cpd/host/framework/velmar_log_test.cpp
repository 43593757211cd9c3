#include "cpd/host/framework/velmar_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
        std::ifstream in(mPath, std::ios::binary);
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

TEST_F(LogFile, LinesFromManyThreadsStayWholeAndInOrder) {
    constexpr int kWriters = 8;
    constexpr int kPerWriter = 300;
    auto body = [](int writer) { return std::string(150, static_cast<char>('a' + writer)); };
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w, &body] {
            const std::string text = body(w);
            for (int i = 0; i < kPerWriter; ++i) {
                velmarLogPrint(0, 5, "CPD_LOG", "writer %d line %d %s", w, i, text.c_str());
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }

    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), size_t{kWriters * kPerWriter});
    int next[kWriters] = {};
    for (const std::string& line : lines) {
        const std::string message = Message(line);
        int writer = -1;
        int index = -1;
        ASSERT_EQ(std::sscanf(message.c_str(), "writer %d line %d", &writer, &index), 2) << line;
        ASSERT_TRUE(writer >= 0 && writer < kWriters) << line;
        const std::string expected = "writer " + std::to_string(writer) + " line " +
                                     std::to_string(next[writer]) + " " + body(writer);
        ASSERT_EQ(message, expected);
        ++next[writer];
    }
}

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

TEST_F(LogFile, OffDropsLinesAndFileDestinationAppends) {
    velmarLogPrint(0, 5, "CPD_LOG", "first");
    velmarLogOff();
    velmarLogPrint(0, 5, "CPD_LOG", "dropped");
    ASSERT_EQ(velmarLogToFile(mPath.c_str()), 0);
    velmarLogPrint(0, 5, "CPD_LOG", "second");
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Message(lines[0]), "first");
    EXPECT_EQ(Message(lines[1]), "second");
}

}  // namespace
