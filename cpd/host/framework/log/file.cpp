// The log file's own work: opening with room for the rotated names, appending, rotating.
#include "cpd/host/framework/log/file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpd/host/framework/log/platform.h"

namespace cpd::logging {

namespace {

void ReplaceFile(const char* from, const char* to) {
    std::remove(to);  // Windows does not rename onto an existing file
    std::rename(from, to);
}

}  // namespace

int WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const long long written = WriteSome(fd, data, length);
        if (written <= 0) {
            return -1;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

bool LogFile::Open(const char* path, size_t maxBytes, unsigned keep) {
    const int fd = OpenLogFile(path, false);
    if (fd < 0) {
        return false;
    }
    // The path, then room for two rotated names ("<path>.<n>").
    const size_t pathLength = std::strlen(path);
    char* names = static_cast<char*>(std::malloc(3 * (pathLength + 16)));
    if (names == nullptr) {
        CloseLogFile(fd);
        return false;
    }
    std::memcpy(names, path, pathLength + 1);
    const long long size = LogFileSize(fd);
    mFd = fd;
    mPath = names;
    mFromName = names + pathLength + 16;
    mToName = names + 2 * (pathLength + 16);
    mMaxBytes = maxBytes;
    mKeep = keep;
    mSize = size > 0 ? static_cast<uint64_t>(size) : 0;
    return true;
}

void LogFile::Close() {
    CloseLogFile(mFd);
    mFd = -1;
    std::free(mPath);
    mPath = nullptr;
    mFromName = nullptr;
    mToName = nullptr;
}

bool LogFile::MustRotate(size_t buffered, size_t n) const {
    const uint64_t before = mSize + buffered;
    return mMaxBytes > 0 && before > 0 && before + n > mMaxBytes;
}

void LogFile::Rotate() {
    CloseLogFile(mFd);
    for (unsigned i = mKeep; i >= 1; --i) {
        std::snprintf(mToName, std::strlen(mPath) + 16, "%s.%u", mPath, i);
        if (i == 1) {
            ReplaceFile(mPath, mToName);
        } else {
            std::snprintf(mFromName, std::strlen(mPath) + 16, "%s.%u", mPath, i - 1);
            ReplaceFile(mFromName, mToName);
        }
    }
    mFd = OpenLogFile(mPath, true);
    mSize = 0;
    if (mFd < 0) {
        std::fprintf(stderr, "velmar log: cannot reopen %s after rotating it\n", mPath);
    }
}

void LogFile::Write(const char* data, size_t n) {
    WriteAll(mFd, data, n);
    mSize += n;
}

}  // namespace cpd::logging
