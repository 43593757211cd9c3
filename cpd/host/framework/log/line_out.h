// The two ways a line's text is appended to a buffer: counted and cut like snprintf, or unchecked.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace cpd::logging {

// Appends to a fixed buffer and counts what did not fit, like snprintf: Length() is what the
// whole text needs, and the text is complete when Fits().
class LineOut {
  public:
    LineOut(char* out, size_t room) : mOut(out), mRoom(room) {}
    // Copies what fits, so a cut text keeps its beginning.
    void Put(const char* text, size_t n) {
        const size_t room = mLength < mRoom ? mRoom - mLength : 0;
        if (n > room) {
            mCut = true;
        }
        if (room > 0) {
            std::memcpy(mOut + mLength, text, n < room ? n : room);
        }
        mLength += n;
    }
    void Put(char c) { Put(&c, 1); }
    template <typename T>
    void Format(const char* spec, T value) {
        const size_t room = mLength < mRoom ? mRoom - mLength : 0;
        // snprintf needs a byte for its terminator: a text that fills `room` exactly was cut.
        const int n = std::snprintf(room > 0 ? mOut + mLength : nullptr, room, spec, value);
        if (n < 0) {
            return;
        }
        if (static_cast<size_t>(n) >= room) {
            mCut = true;
        }
        mLength += static_cast<size_t>(n);
    }
    // Ends the line: a text that already ends with a line break gets no second one.
    void EndLine(size_t textStart) {
        if (!mCut && mLength > textStart && mOut[mLength - 1] == '\n') {
            --mLength;
        }
        Put('\n');
    }
    size_t Length() const { return mLength; }
    bool Fits() const { return !mCut; }

  private:
    char* mOut;
    size_t mRoom;
    size_t mLength = 0;
    bool mCut = false;
};

// Appends without checking: used only where the room for the longest text a record can make
// is known to be there.
class RawOut {
  public:
    explicit RawOut(char* out) : mStart(out), mP(out) {}
    void Put(const char* text, size_t n) {
        std::memcpy(mP, text, n);
        mP += n;
    }
    void Put(char c) { *mP++ = c; }
    void EndLine(size_t textStart) {
        if (Length() > textStart && mP[-1] == '\n') {
            --mP;
        }
        Put('\n');
    }
    size_t Length() const { return static_cast<size_t>(mP - mStart); }

  private:
    char* mStart;
    char* mP;
};

}  // namespace cpd::logging
