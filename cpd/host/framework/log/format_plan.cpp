// The caller's half of a format plan: the format read once, its arguments taken into a record.
#include "cpd/host/framework/log/format_plan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace cpd::logging {

namespace {

Step IntegerStep(const Conversion& c) {
    static constexpr Step kSigned[] = {Step::kInt,        Step::kInt,      Step::kInt,
                                       Step::kLong,       Step::kLongLong, Step::kIntMax,
                                       Step::kSignedSize, Step::kPtrdiff};
    static constexpr Step kUnsigned[] = {
        Step::kUnsigned,         Step::kUnsigned,       Step::kUnsigned, Step::kUnsignedLong,
        Step::kUnsignedLongLong, Step::kUnsignedIntMax, Step::kSize,     Step::kUnsignedPtrdiff};
    const size_t length = static_cast<size_t>(c.length);
    return c.kind == ArgClass::kSigned ? kSigned[length] : kUnsigned[length];
}

// Fills the steps and the conversions (conversionCount of them, already counted) of `e` from its
// format text; false for a format with a conversion this does not know, or with too many.
bool MakePlan(FormatEntry* e) {
    Conversion c;
    size_t index = 0;
    for (const char* p = e->FormatText(); NextConversion(p, &c); p = c.end) {
        e->Conversions()[index++] = c;
        if (c.kind == ArgClass::kPercent) {
            continue;
        }
        if (c.kind == ArgClass::kUnknown || e->stepCount + size_t{3} > kMaxSteps) {
            return false;
        }
        if (c.widthStar) {
            e->steps[e->stepCount++] = Step::kStar;
        }
        if (c.precisionStar) {
            e->steps[e->stepCount++] =
                c.kind == ArgClass::kString ? Step::kStarPrecision : Step::kStar;
        }
        Step step = Step::kPointer;
        switch (c.kind) {
            case ArgClass::kSigned:
            case ArgClass::kUnsigned:
                step = IntegerStep(c);
                break;
            case ArgClass::kDouble:
                step = Step::kDouble;
                break;
            case ArgClass::kString:
                step = Step::kString;
                e->precision[e->stepCount] =
                    c.precisionStar ? kPrecisionFromStar
                                    : static_cast<int16_t>(std::min(c.precision, 32767));
                break;
            default:
                break;
        }
        e->steps[e->stepCount++] = step;
    }
    // The lead: date and milliseconds, thread id and level letter, tag; then the text and the
    // newline. Numbers add their precision; the rest is counted per record from its arguments.
    constexpr int kMaxFastPrecision = 64;
    e->fastBound = e->tagLength <= 256 ? 64 + size_t{e->tagLength} + e->formatLength + 1 : 0;
    for (size_t i = 0; i < e->conversionCount && e->fastBound > 0; ++i) {
        const Conversion& conversion = e->Conversions()[i];
        const bool number =
            conversion.kind == ArgClass::kSigned || conversion.kind == ArgClass::kUnsigned;
        if (!LaidOutDirectly(conversion) || (number && conversion.precision > kMaxFastPrecision)) {
            e->fastBound = 0;
        } else if (number && conversion.precision > 0) {
            e->fastBound += static_cast<size_t>(conversion.precision);
        }
    }
    return true;
}

}  // namespace

bool NextConversion(const char* p, Conversion* c) {
    p = std::strchr(p, '%');
    if (p == nullptr) {
        return false;
    }
    *c = Conversion{p, p + 1, ArgClass::kUnknown, Length::kNone, 0, false, false, true, -1};
    ++p;
    if (*p == '%') {
        c->kind = ArgClass::kPercent;
        c->end = p + 1;
        return true;
    }
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'') {
        c->plain = false;
        ++p;
    }
    if (*p == '*') {
        c->widthStar = true;
        c->plain = false;
        ++p;
    } else {
        while (*p >= '0' && *p <= '9') {
            c->plain = false;
            ++p;
        }
        if (*p == '$') {  // numbered arguments
            c->end = p;
            return true;
        }
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            c->precisionStar = true;
            c->plain = false;
            ++p;
        } else {
            int precision = 0;
            while (*p >= '0' && *p <= '9') {
                precision = precision < 100000 ? precision * 10 + (*p - '0') : precision;
                ++p;
            }
            c->precision = precision;
        }
    }
    switch (*p) {
        case 'h':
            c->length = p[1] == 'h' ? Length::kHH : Length::kH;
            p += p[1] == 'h' ? 2 : 1;
            break;
        case 'l':
            c->length = p[1] == 'l' ? Length::kLL : Length::kL;
            p += p[1] == 'l' ? 2 : 1;
            break;
        case 'j':
            c->length = Length::kJ;
            ++p;
            break;
        case 'z':
            c->length = Length::kZ;
            ++p;
            break;
        case 't':
            c->length = Length::kT;
            ++p;
            break;
        case 'L':
            c->length = Length::kBigL;
            ++p;
            break;
        default:
            break;
    }
    c->conversion = *p;
    c->end = *p != '\0' ? p + 1 : p;
    if (static_cast<size_t>(c->end - c->begin) > kMaxSpec || c->length == Length::kBigL) {
        return true;
    }
    switch (*p) {
        case 'd':
        case 'i':
            c->kind = ArgClass::kSigned;
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            c->kind = ArgClass::kUnsigned;
            break;
        case 'c':
            c->kind = c->length == Length::kNone ? ArgClass::kSigned : ArgClass::kUnknown;
            break;
        case 's':
            c->kind = c->length == Length::kNone ? ArgClass::kString : ArgClass::kUnknown;
            break;
        case 'p':
            c->kind = c->length == Length::kNone ? ArgClass::kPointer : ArgClass::kUnknown;
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            c->kind = c->length == Length::kNone || c->length == Length::kL ? ArgClass::kDouble
                                                                            : ArgClass::kUnknown;
            break;
        default:  // %n, %m, wide characters and whatever else: formatted by the caller
            break;
    }
    return true;
}

// True for a conversion the writer lays out itself, exactly as the C library would; the others
// go through snprintf.
bool LaidOutDirectly(const Conversion& c) {
    if (c.kind == ArgClass::kPercent) {
        return true;
    }
    if (!c.plain) {
        return false;
    }
    switch (c.kind) {
        case ArgClass::kString:
            return true;
        case ArgClass::kSigned:
        case ArgClass::kUnsigned:
            return c.conversion != 'c' && c.conversion != 'o' && c.length != Length::kHH &&
                   c.length != Length::kH;
#if defined(__GLIBC__)
        case ArgClass::kPointer:
            return c.precision < 0;
#endif
        default:
            return false;
    }
}

FormatEntry* MakeFormatEntry(const char* format, const char* tag) {
    const size_t formatLength = std::strlen(format);
    const size_t tagLength = std::min(std::strlen(tag), kMaxTag);
    size_t conversions = 0;
    Conversion c;
    for (const char* p = format; conversions <= kMaxSteps && NextConversion(p, &c); p = c.end) {
        ++conversions;
    }
    if (formatLength > UINT32_MAX / 4 || conversions > kMaxSteps) {
        return nullptr;
    }
    void* memory = std::malloc(sizeof(FormatEntry) + conversions * sizeof(Conversion) + tagLength +
                               formatLength + 2);
    if (memory == nullptr) {
        return nullptr;
    }
    FormatEntry* made = new (memory) FormatEntry{};
    made->format = format;
    made->tag = tag;
    made->formatLength = static_cast<uint32_t>(formatLength);
    made->tagLength = static_cast<uint16_t>(tagLength);
    made->conversionCount = static_cast<uint8_t>(conversions);
    char* text = const_cast<char*>(made->TagText());
    std::memcpy(text, tag, tagLength);
    text[tagLength] = '\0';
    std::memcpy(text + tagLength + 1, format, formatLength + 1);
    if (!MakePlan(made)) {
        std::free(memory);
        return nullptr;
    }
    return made;
}

bool TakeArgs(const FormatEntry& e, va_list args, Arg* taken, size_t* bodyLength) {
    *bodyLength = 0;
    int starPrecision = -1;
    for (size_t i = 0; i < e.stepCount; ++i) {
        uint64_t word = 0;
        switch (e.steps[i]) {
            case Step::kInt:
            case Step::kStar:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, int)));
                break;
            case Step::kStarPrecision:
                starPrecision = va_arg(args, int);
                word = static_cast<uint64_t>(static_cast<int64_t>(starPrecision));
                break;
            case Step::kUnsigned:
                word = va_arg(args, unsigned);
                break;
            case Step::kLong:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, long)));
                break;
            case Step::kUnsignedLong:
                word = va_arg(args, unsigned long);
                break;
            case Step::kLongLong:
                word = static_cast<uint64_t>(va_arg(args, long long));
                break;
            case Step::kUnsignedLongLong:
                word = va_arg(args, unsigned long long);
                break;
            case Step::kIntMax:
                word = static_cast<uint64_t>(va_arg(args, intmax_t));
                break;
            case Step::kUnsignedIntMax:
                word = va_arg(args, uintmax_t);
                break;
            case Step::kSignedSize:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, SignedSize)));
                break;
            case Step::kSize:
                word = va_arg(args, size_t);
                break;
            case Step::kPtrdiff:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, std::ptrdiff_t)));
                break;
            case Step::kUnsignedPtrdiff:
                word = va_arg(args, UnsignedPtrdiff);
                break;
            case Step::kDouble: {
                const double value = va_arg(args, double);
                std::memcpy(&word, &value, sizeof(word));
                break;
            }
            case Step::kPointer:
                word = reinterpret_cast<uintptr_t>(va_arg(args, void*));
                break;
            case Step::kString: {
                const char* text = va_arg(args, const char*);
                if (text == nullptr) {
                    return false;
                }
                const int precision =
                    e.precision[i] == kPrecisionFromStar ? starPrecision : e.precision[i];
                size_t n = 0;
                if (precision < 0) {
                    n = std::strlen(text);
                } else {  // the text need not be terminated within its precision
                    while (n < static_cast<size_t>(precision) && text[n] != '\0') {
                        ++n;
                    }
                }
                if (n > UINT32_MAX / 4) {
                    return false;
                }
                taken[i] = {n, text};
                *bodyLength += sizeof(uint32_t) + n + 1;
                continue;
            }
        }
        taken[i] = {word, nullptr};
        *bodyLength += sizeof(word);
    }
    return true;
}

// Lays the taken arguments out in a record's body: 8 bytes a number; a text as its 4-byte
// length, its bytes and a NUL.
void PutArgs(const FormatEntry& e, const Arg* taken, char* body) {
    for (size_t i = 0; i < e.stepCount; ++i) {
        if (taken[i].text != nullptr) {
            const uint32_t n = static_cast<uint32_t>(taken[i].word);
            std::memcpy(body, &n, sizeof(n));
            std::memcpy(body + sizeof(n), taken[i].text, n);
            body[sizeof(n) + n] = '\0';
            body += sizeof(n) + n + 1;
        } else {
            std::memcpy(body, &taken[i].word, sizeof(uint64_t));
            body += sizeof(uint64_t);
        }
    }
}

}  // namespace cpd::logging
