// A printf format read once into a plan: how the caller stores its arguments, how the writer lays
// them out (format_plan.cpp, format_layout.cpp). A format the plan does not cover (%n, %Lf, wide
// characters, numbered arguments) is formatted by its caller.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "cpd/host/framework/log/line_out.h"

namespace cpd::logging {

enum class ArgClass { kPercent, kSigned, kUnsigned, kDouble, kString, kPointer, kUnknown };
enum class Length { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kBigL };

using SignedSize = std::make_signed_t<size_t>;
using UnsignedPtrdiff = std::make_unsigned_t<std::ptrdiff_t>;

// Longer conversion texts (absurd widths) are left to the caller's vsnprintf.
constexpr size_t kMaxSpec = 40;

// One conversion of a format text, as NextConversion read it.
struct Conversion {
    const char* begin;  // its '%'
    const char* end;    // after its conversion character
    ArgClass kind;
    Length length;
    char conversion;
    bool widthStar;
    bool precisionStar;
    bool plain;     // no flags and no width: formatted without snprintf
    int precision;  // -1: none written (or a '*')
};

// The next conversion at or after `p`; false when there is none. Caller and writer both read
// the format with this, so they agree on every argument's type.
bool NextConversion(const char* p, Conversion* c);
// True for a conversion the writer lays out itself, exactly as the C library would; the others
// go through snprintf.
bool LaidOutDirectly(const Conversion& c);

// How the caller takes a format's arguments, one step per argument it stores.
enum class Step : uint8_t {
    kInt,
    kUnsigned,
    kLong,
    kUnsignedLong,
    kLongLong,
    kUnsignedLongLong,
    kIntMax,
    kUnsignedIntMax,
    kSignedSize,
    kSize,
    kPtrdiff,
    kUnsignedPtrdiff,
    kDouble,
    kPointer,
    kStar,           // a width or precision given as an argument
    kStarPrecision,  // the same, and the precision of a %s right after it
    kString,
};

constexpr size_t kMaxSteps = 32;
constexpr size_t kMaxTag = 1023;
constexpr int16_t kPrecisionFromStar = -2;

// A format and its tag as the log met them, copied once: a record names its entry instead of
// carrying the texts. The caller reads the steps, the writer the conversions. Never changed
// once made.
struct FormatEntry {
    const char* format;  // the caller's addresses: the key, confirmed by comparing the texts
    const char* tag;
    uint32_t formatLength;  // without its NUL
    uint16_t tagLength;     // cut at kMaxTag
    uint8_t stepCount;
    uint8_t conversionCount;
    Step steps[kMaxSteps];
    int16_t precision[kMaxSteps];  // of a kString: -1 none, or kPrecisionFromStar
    // Longest line without the arguments' share when the writer can lay every conversion out
    // without snprintf and the lead is never cut; 0 otherwise.
    size_t fastBound;
    // Followed by conversionCount conversions (pointing into FormatText()), then the tag and the
    // format, each with its NUL.
    Conversion* Conversions() { return reinterpret_cast<Conversion*>(this + 1); }
    const Conversion* Conversions() const { return reinterpret_cast<const Conversion*>(this + 1); }
    const char* TagText() const {
        return reinterpret_cast<const char*>(Conversions() + conversionCount);
    }
    const char* FormatText() const { return TagText() + tagLength + 1; }
};
static_assert(sizeof(FormatEntry) % alignof(Conversion) == 0, "conversions follow the entry");

// The entry of `format` and `tag`, in memory of its own (std::free releases it); null for a
// format with a conversion the plan does not cover, with too many, or without memory.
FormatEntry* MakeFormatEntry(const char* format, const char* tag);

// One argument as the caller took it: a number, or a text of `word` bytes.
struct Arg {
    uint64_t word;
    const char* text;
};

// Takes the arguments of `e` from `args` and adds up the length of the record body that holds
// them; false when a %s text is null (what the C library prints for it is its own business) or
// absurdly long.
bool TakeArgs(const FormatEntry& e, va_list args, Arg* taken, size_t* bodyLength);
// Lays the taken arguments out in a body of that length.
void PutArgs(const FormatEntry& e, const Arg* taken, char* body);

// The writer's half: the message of `e` with the arguments PutArgs laid out in `args`, as
// vsnprintf would have made it.
void PutMessage(LineOut& line, const FormatEntry& e, const char* args);
// The same without bound checks, where FitsUnchecked. The output goes by value, so that its
// position stays in a register.
RawOut PutMessage(RawOut out, const FormatEntry& e, const char* args);
// Whether `room` bytes hold the longest line (lead and newline included) that a record of `e`
// with `argsBytes` bytes of arguments can make, when every conversion of `e` is laid out
// without snprintf: each 8 bytes of arguments make at most 24 characters, a text no more than
// itself.
inline bool FitsUnchecked(const FormatEntry& e, size_t argsBytes, size_t room) {
    return e.fastBound > 0 && room >= e.fastBound + 3 * argsBytes;
}

}  // namespace cpd::logging
