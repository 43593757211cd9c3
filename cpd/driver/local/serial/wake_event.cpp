// WakeEvent over an eventfd (Linux) or a manual-reset event (Windows).
#include "cpd/driver/local/serial/wake_event.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace cpd {

#ifdef _WIN32

WakeEvent::~WakeEvent() {
    if (mHandle != nullptr) {
        CloseHandle(mHandle);
    }
}

bool WakeEvent::Open() {
    if (mHandle == nullptr) {
        mHandle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    return mHandle != nullptr;
}

bool WakeEvent::IsOpen() const {
    return mHandle != nullptr;
}

void WakeEvent::Raise() {
    if (mHandle != nullptr) {
        SetEvent(mHandle);
    }
}

void WakeEvent::Clear() {
    if (mHandle != nullptr) {
        ResetEvent(mHandle);
    }
}

bool WakeEvent::Wait(uint32_t ms) const {
    return mHandle != nullptr &&
           WaitForSingleObject(mHandle, ms == kForever ? INFINITE : ms) == WAIT_OBJECT_0;
}

#else

WakeEvent::~WakeEvent() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

bool WakeEvent::Open() {
    if (mFd < 0) {
        mFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    return mFd >= 0;
}

bool WakeEvent::IsOpen() const {
    return mFd >= 0;
}

void WakeEvent::Raise() {
    const uint64_t one = 1;
    while (mFd >= 0 && ::write(mFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void WakeEvent::Clear() {
    uint64_t count = 0;
    while (mFd >= 0 && ::read(mFd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
}

bool WakeEvent::Wait(uint32_t ms) const {
    pollfd entry{mFd, POLLIN, 0};
    int ready = 0;
    while (mFd >= 0 &&
           (ready = ::poll(&entry, 1, ms == kForever ? -1 : static_cast<int>(ms))) < 0 &&
           errno == EINTR) {
    }
    return ready == 1;
}

#endif

}  // namespace cpd
