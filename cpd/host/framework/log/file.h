// The log file: appended to by the drainer, rotated to path.1 ... path.N between lines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cpd::logging {

// 0, or -1 when a write failed.
int WriteAll(int fd, const char* data, size_t length);

// Without a destructor, like all of the log's state. Opened before anyone else sees it, then
// closed under gMutex; while lines are written only the drainer touches it.
class LogFile {
  public:
    // Opens `path` for appending, with room for the rotated names; with maxBytes > 0 a file
    // that would grow past maxBytes is rotated first (keep old files; 0 keeps none). False
    // when it cannot be opened or there is no memory.
    bool Open(const char* path, size_t maxBytes, unsigned keep);
    void Close();
    // Whether a line of `n` bytes, after `buffered` bytes not yet written, must start a fresh
    // file: every file but the newest then holds whole lines and stays within the limit unless
    // one line alone is longer.
    bool MustRotate(size_t buffered, size_t n) const;
    // path.keep-1 -> path.keep, ..., path -> path.1, then a fresh path.
    void Rotate();
    void Write(const char* data, size_t n);

  private:
    int mFd = -1;
    char* mPath = nullptr;  // with two buffers for the rotated names after it
    char* mFromName = nullptr;
    char* mToName = nullptr;
    size_t mMaxBytes = 0;  // 0: no rotation
    unsigned mKeep = 0;
    uint64_t mSize = 0;
};

}  // namespace cpd::logging
