// The framework's message loop. One thread per looper: Start launches it, every posted message
// runs there in posting order and is then destroyed. The destructor stops the thread, waits for
// a running message to finish and releases the messages that never ran.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "cpd/interface/cpd_export.h"

namespace cpd {

class CPD_UTILS_API Message {
  public:
    Message() = default;
    virtual int Run() = 0;
    virtual ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

  private:
    [[maybe_unused]] int64_t mWhen = -1;  // reserved for delayed delivery; not used yet
};

// Non-copyable: owns a thread and a queue.
class CPD_UTILS_API Looper {
  public:
    Looper();
    ~Looper();
    Looper(const Looper&) = delete;
    Looper& operator=(const Looper&) = delete;

    // Idempotent; 0 on success, -1 if the thread cannot be created.
    int Start();
    // Any thread. Takes the message; -1 (message released) once the looper is stopping.
    int PostMessageAAA(std::unique_ptr<Message> message);

  private:
    void Loop();

    std::mutex mMutex;  // guards mQueue, mStopping, mThread's creation
    std::condition_variable mCond;
    std::deque<std::unique_ptr<Message>> mQueue;
    bool mStopping = false;
    std::thread mThread;
};

}  // namespace cpd
