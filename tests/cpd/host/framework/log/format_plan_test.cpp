// The log's format plan against the C library: what the writer lays out equals vsnprintf's text.
#include "cpd/host/framework/log/format_plan.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace cpd::logging {
namespace {

bool Take(const FormatEntry& e, Arg* taken, size_t* bodyLength, ...) {
    va_list args;
    va_start(args, bodyLength);
    const bool took = TakeArgs(e, args, taken, bodyLength);
    va_end(args);
    return took;
}

enum class Path {
    kUnchecked,  // the writer lays every conversion out itself, without bound checks
    kPlanned,    // the writer lays it out, with checks (snprintf for some conversions)
    kCaller,     // left to the caller's vsnprintf
};

// Plans `format`, takes the arguments as a caller does and lays them out as the writer does:
// with room to spare, into too little room, and unchecked where the plan allows it. Each must
// be vsnprintf's text.
template <typename... Args>
void Expect(Path path, const char* format, Args... args) {
    SCOPED_TRACE(format);
    FormatEntry* e = MakeFormatEntry(format, "tag");
    Arg taken[kMaxSteps];
    size_t bodyLength = 0;
    const bool took = e != nullptr && Take(*e, taken, &bodyLength, args...);
    ASSERT_EQ(took, path != Path::kCaller);
    if (!took) {
        std::free(e);
        return;
    }
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string expected(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(expected.data(), expected.size(), format, args...);
    expected.resize(static_cast<size_t>(n));
    std::vector<char> body(bodyLength);
    PutArgs(*e, taken, body.data());

    std::string out(64 * 1024, '\0');
    LineOut line(out.data(), out.size());
    PutMessage(line, *e, body.data());
    EXPECT_TRUE(line.Fits());
    EXPECT_EQ(out.substr(0, line.Length()), expected);

    // A cut text keeps its beginning (snprintf ends its part with a NUL) and counts what it needs.
    const size_t room = expected.size() / 2;
    LineOut cut(out.data(), room);
    PutMessage(cut, *e, body.data());
    EXPECT_FALSE(cut.Fits());
    EXPECT_EQ(cut.Length(), expected.size());
    EXPECT_EQ(out.substr(0, room - 1), expected.substr(0, room - 1));

    ASSERT_EQ(FitsUnchecked(*e, bodyLength, out.size()), path == Path::kUnchecked);
    if (path == Path::kUnchecked) {
        const RawOut raw = PutMessage(RawOut(out.data()), *e, body.data());
        EXPECT_EQ(out.substr(0, raw.Length()), expected);
    }
    std::free(e);
}

TEST(FormatPlan, LaysOutWhatTheCLibraryWould) {
    int object = 0;
    const char unterminated[3] = {'a', 'b', 'c'};
    // The plug-in's lines, integers at their extremes and precisions down to zero.
    Expect(Path::kUnchecked, "%s %s(%d): \"[devid:%u cid:%u 0x%.4x:0x%.4x]\" \"Read:%d\" \"\\n\"",
           "serial_io.cpp", "WriteBlocking", 120, 0x0801u, 7u, 0x403u, 0x6001u, 4095);
    Expect(Path::kUnchecked, "%d %d %d %u %u %ld %ld %lu %lld %llu %x %X %.0d %.0x|%.3d %.5u %i %%",
           0, -1, INT32_MIN, 0u, UINT32_MAX, -5L, static_cast<long>(INT32_MAX), 123456789UL,
           static_cast<long long>(INT64_MIN), static_cast<unsigned long long>(UINT64_MAX), 0xbeefu,
           0xbeefu, 0, 0u, -7, 42u, -9);
    Expect(Path::kUnchecked, "%s|%.3s|%.10s|%s|%.3s|%zu %zd %ji %tu", "text", "abcdef", "short", "",
           unterminated, size_t{77}, static_cast<ptrdiff_t>(-3), intmax_t{-1}, ptrdiff_t{5});
    // Flags, widths, '*' arguments, short integers, characters: snprintf lays them out.
    Expect(Path::kPlanned, "%5d|%-5d|%05d|%+d|% d|%#x|%#o|%o|%*d|%-*d|%.*d|%.*d|%c|100%%", 42, 42,
           42, 42, 42, 255u, 8u, 8u, 6, 1, -6, 1, 3, 5, -1, 5, 'A');
    Expect(Path::kPlanned, "%.*s|%.*s|%8s|%-8s|%hd %hhu|%.200d|%.70u", 2, "xyz", -1, "all", "pad",
           "pad", 70000, 300, -12, 3u);
    Expect(Path::kPlanned, "%p %p %f %.2f %e %g %5.1f %F", static_cast<void*>(nullptr),
           static_cast<void*>(&object), 3.25, -0.125, 1e300, 0.0001, 2.5, 1.0);
    // Left to the caller: a long double, a null text, numbered arguments, %n, a wide character,
    // an absurd width, more arguments than a plan holds.
    Expect(Path::kCaller, "%Lf|%d", 1.5L, 3);
    Expect(Path::kCaller, "%s", static_cast<const char*>(nullptr));
    Expect(Path::kCaller, "%1$d", 1);
    Expect(Path::kCaller, "%n", static_cast<int*>(nullptr));
    Expect(Path::kCaller, "%lc", L'x');
    Expect(Path::kCaller, "%0000000000000000000000000000000000000000000000000000000d", 1);
    Expect(Path::kCaller, "%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d", 1,
           2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
           26, 27, 28, 29, 30, 31, 32, 33);
}

}  // namespace
}  // namespace cpd::logging
