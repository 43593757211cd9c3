// The host framework's message loop: one thread running posted messages in order.
#include "cpd/host/framework/looper.h"

#include <system_error>
#include <utility>

namespace cpd {

Message::~Message() = default;

Looper::Looper() = default;

Looper::~Looper() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
        thread = std::move(mThread);
    }
    mCond.notify_all();
    // Joined outside the lock: a running message may itself post (and so take the lock).
    if (thread.joinable()) {
        thread.join();
    }
    // Messages that never ran are released here, on the destroying thread.
    std::deque<std::unique_ptr<Message>> dropped;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        dropped.swap(mQueue);
    }
}

int Looper::Start() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mThread.joinable() || mStopping) {
        return mStopping ? -1 : 0;
    }
    // The host framework builds without exceptions in its callers' sense: a failed thread
    // creation becomes -1 here rather than escaping into a driver.
    try {
        mThread = std::thread(&Looper::Loop, this);
    } catch (const std::system_error&) {
        return -1;
    }
    return 0;
}

int Looper::PostMessageAAA(std::unique_ptr<Message> message) {
    if (message == nullptr) {
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStopping) {
            return -1;
        }
        mQueue.push_back(std::move(message));
    }
    mCond.notify_one();
    return 0;
}

void Looper::Loop() {
    for (;;) {
        std::unique_ptr<Message> message;
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mCond.wait(lock, [this] { return mStopping || !mQueue.empty(); });
            if (mStopping) {
                return;
            }
            message = std::move(mQueue.front());
            mQueue.pop_front();
        }
        message->Run();
        message.reset();
    }
}

}  // namespace cpd
