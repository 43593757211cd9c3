// A signal that ends another thread's wait at once and can be waited on together with a port's
// own handle: an eventfd on Linux, a manual-reset event on Windows. It stays raised until
// cleared. Open once, before the waiting thread starts; Raise from any thread; Wait and Clear on
// the waiting thread. Non-copyable: it owns the descriptor or handle.
#pragma once

#include <cstdint>

namespace cpd {

class WakeEvent {
  public:
    static constexpr uint32_t kForever = UINT32_MAX;

    WakeEvent() = default;
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // False when the system gives no descriptor or handle; a second call keeps the first one.
    bool Open();
    bool IsOpen() const;
    void Raise();
    void Clear();
    // Up to `ms` (kForever: no limit) until raised; true if raised.
    bool Wait(uint32_t ms) const;

#ifdef _WIN32
    void* Handle() const {
        return mHandle;
    }
#else
    int Fd() const {
        return mFd;
    }
#endif

  private:
#ifdef _WIN32
    void* mHandle = nullptr;
#else
    int mFd = -1;
#endif
};

}  // namespace cpd
