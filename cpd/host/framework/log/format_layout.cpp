// The writer's half of a format plan: a record's stored arguments laid out as printf would.
#include "cpd/host/framework/log/format_plan.h"

#include <cstring>
#include <type_traits>

namespace cpd::logging {

namespace {

// Reads the arguments PutArgs laid out.
class ArgReader {
  public:
    explicit ArgReader(const char* p) : mP(p) {}
    uint64_t Word() {
        uint64_t word = 0;
        std::memcpy(&word, mP, sizeof(word));
        mP += sizeof(word);
        return word;
    }
    const char* Text(size_t* length) {
        uint32_t n = 0;
        std::memcpy(&n, mP, sizeof(n));
        const char* text = mP + sizeof(n);
        mP = text + n + 1;
        *length = n;
        return text;
    }

  private:
    const char* mP;
};

// An integer as %d, %u, %x or %X with at most a precision.
template <typename Out>
void PutInteger(Out& line, uint64_t magnitude, bool negative, char conversion, int precision) {
    // Sign, zeros and digits are laid out backwards from the end of `text`, one Put in all;
    // the bases are constants so that no division instruction is needed.
    char text[88];
    char* p = text + sizeof(text);
    if (conversion == 'x' || conversion == 'X') {
        const char* symbols = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        for (; magnitude != 0; magnitude >>= 4) {
            *--p = symbols[magnitude & 15];
        }
    } else {
        for (; magnitude != 0; magnitude /= 10) {
            *--p = static_cast<char>('0' + magnitude % 10);
        }
    }
    // Without a precision a zero is one digit; with precision 0 it is no digit at all.
    size_t zeros = precision < 0 ? 1 : static_cast<size_t>(precision);
    const size_t digits = static_cast<size_t>(text + sizeof(text) - p);
    zeros = zeros > digits ? zeros - digits : 0;
    if (zeros + 1 > static_cast<size_t>(p - text)) {  // an absurd precision: the long way
        if (negative) {
            line.Put('-');
        }
        for (; zeros > 0; --zeros) {
            line.Put('0');
        }
        line.Put(p, digits);
        return;
    }
    for (; zeros > 0; --zeros) {
        *--p = '0';
    }
    if (negative) {
        *--p = '-';
    }
    line.Put(p, static_cast<size_t>(text + sizeof(text) - p));
}

// One conversion handed to snprintf, the '*'s replaced by their values.
void PutBySnprintf(LineOut& line, const Conversion& c, ArgReader& args) {
    char spec[kMaxSpec + 48];
    size_t n = 0;
    const long long width = c.widthStar ? static_cast<long long>(args.Word()) : 0;
    const long long precision = c.precisionStar ? static_cast<long long>(args.Word()) : 0;
    for (const char* p = c.begin; p < c.end; ++p) {
        if (*p == '*' && p[-1] != '.') {
            n += static_cast<size_t>(std::snprintf(spec + n, sizeof(spec) - n, "%lld", width));
        } else if (*p == '.' && p[1] == '*') {
            // A negative precision is as if none were given.
            if (precision >= 0) {
                n += static_cast<size_t>(
                    std::snprintf(spec + n, sizeof(spec) - n, ".%lld", precision));
            }
            ++p;
        } else {
            spec[n++] = *p;
        }
    }
    spec[n] = '\0';
    if (c.kind == ArgClass::kString) {
        size_t length = 0;
        line.Format(spec, args.Text(&length));
        return;
    }
    const uint64_t word = args.Word();
    switch (c.kind) {
        case ArgClass::kSigned:
            switch (c.length) {
                case Length::kL:
                    return line.Format(spec, static_cast<long>(word));
                case Length::kLL:
                    return line.Format(spec, static_cast<long long>(word));
                case Length::kJ:
                    return line.Format(spec, static_cast<intmax_t>(word));
                case Length::kZ:
                    return line.Format(spec, static_cast<SignedSize>(word));
                case Length::kT:
                    return line.Format(spec, static_cast<std::ptrdiff_t>(word));
                default:
                    return line.Format(spec, static_cast<int>(word));
            }
        case ArgClass::kUnsigned:
            switch (c.length) {
                case Length::kL:
                    return line.Format(spec, static_cast<unsigned long>(word));
                case Length::kLL:
                    return line.Format(spec, static_cast<unsigned long long>(word));
                case Length::kJ:
                    return line.Format(spec, static_cast<uintmax_t>(word));
                case Length::kZ:
                    return line.Format(spec, static_cast<size_t>(word));
                case Length::kT:
                    return line.Format(spec, static_cast<UnsignedPtrdiff>(word));
                default:
                    return line.Format(spec, static_cast<unsigned>(word));
            }
        case ArgClass::kDouble: {
            double value = 0;
            std::memcpy(&value, &word, sizeof(value));
            return line.Format(spec, value);
        }
        case ArgClass::kPointer:
            return line.Format(spec, reinterpret_cast<void*>(static_cast<uintptr_t>(word)));
        default:
            return;
    }
}

// One conversion of a deferred record, as vsnprintf would have made it.
template <typename Out>
void PutConversion(Out& line, const Conversion& c, ArgReader& reader) {
    // Raw output is only ever given formats whose every conversion is laid out directly.
    if constexpr (std::is_same<Out, LineOut>::value) {
        if (!LaidOutDirectly(c)) {
            PutBySnprintf(line, c, reader);
            return;
        }
    }
    switch (c.kind) {
        case ArgClass::kPercent:
            line.Put('%');
            return;
        case ArgClass::kString: {
            size_t length = 0;
            const char* text = reader.Text(&length);
            line.Put(text, length);
            return;
        }
        case ArgClass::kPointer: {
            // glibc's %p: "(nil)", or 0x and the lower-case hexadecimal digits.
            const uint64_t word = reader.Word();
            if (word == 0) {
                line.Put("(nil)", 5);
            } else {
                line.Put("0x", 2);
                PutInteger(line, word, false, 'x', -1);
            }
            return;
        }
        default: {
            const uint64_t word = reader.Word();
            const bool negative = c.kind == ArgClass::kSigned && static_cast<int64_t>(word) < 0;
            PutInteger(line, negative ? 0 - word : word, negative, c.conversion, c.precision);
            return;
        }
    }
}

// The message of a deferred record, as vsnprintf would have made it in the caller.
template <typename Out>
void PutDeferredMessage(Out& line, const FormatEntry& e, const char* args) {
    ArgReader reader(args);
    const char* p = e.FormatText();
    for (size_t i = 0; i < e.conversionCount; ++i) {
        const Conversion& c = e.Conversions()[i];
        line.Put(p, static_cast<size_t>(c.begin - p));
        PutConversion(line, c, reader);
        p = c.end;
    }
    line.Put(p, static_cast<size_t>(e.FormatText() + e.formatLength - p));
}

}  // namespace

void PutMessage(LineOut& line, const FormatEntry& e, const char* args) {
    PutDeferredMessage(line, e, args);
}

RawOut PutMessage(RawOut out, const FormatEntry& e, const char* args) {
    PutDeferredMessage(out, e, args);
    return out;
}

}  // namespace cpd::logging
