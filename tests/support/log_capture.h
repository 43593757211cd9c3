// Captures the log function's lines while in scope (one capture at a time per process) and
// restores standard error afterwards. Lines may come from any thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "cpd/host/framework/velmar_log.h"

namespace cpd::test {

struct LogLine {
    int level;
    std::string tag;
    std::string text;
};

class LogCapture {
  public:
    LogCapture() { velmarLogToSink(&LogCapture::Sink, this); }
    ~LogCapture() { velmarLogToStderr(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLines;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mMutex);
        mLines.clear();
    }
    // Lines whose text contains `needle`.
    size_t Count(const std::string& needle) {
        std::lock_guard<std::mutex> lock(mMutex);
        return static_cast<size_t>(std::count_if(
            mLines.begin(), mLines.end(),
            [&](const LogLine& l) { return l.text.find(needle) != std::string::npos; }));
    }
    bool Contains(const std::string& needle) { return Count(needle) > 0; }
    // Waits until a line containing `needle` appears.
    bool WaitFor(const std::string& needle, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, limit, [&] {
            return std::any_of(mLines.begin(), mLines.end(), [&](const LogLine& l) {
                return l.text.find(needle) != std::string::npos;
            });
        });
    }

  private:
    static void Sink(void* context, int level, const char* tag, const char* line, size_t length) {
        auto* self = static_cast<LogCapture*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mMutex);
            self->mLines.push_back(
                LogLine{level, tag != nullptr ? tag : "", std::string(line, length)});
        }
        self->mCond.notify_all();
    }

    std::mutex mMutex;  // guards mLines
    std::condition_variable mCond;
    std::vector<LogLine> mLines;
};

}  // namespace cpd::test
