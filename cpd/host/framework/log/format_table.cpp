// The table of format plans: lock-free look-ups, entries added under the log's lock, never freed.
#include "cpd/host/framework/log/format_table.h"

#include <cstring>
#include <mutex>

#include "cpd/host/framework/log/ring.h"

namespace cpd::logging {

std::atomic<const FormatEntry*> gFormats[kFormatSlots];

namespace {

constexpr size_t kFormatProbes = 16;

size_t FormatSlot(const char* format, size_t probe) {
    const uint64_t hash = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(format)) *
                          0x9E3779B97F4A7C15ull;  // Fibonacci hashing: the top bits mix
    return (static_cast<size_t>(hash >> 55) + probe) & (kFormatSlots - 1);
}

bool SameTexts(const FormatEntry& e, const char* format, const char* tag) {
    // strncmp stops at the first difference: a shorter text in the caller is never read past.
    return std::strncmp(e.FormatText(), format, size_t{e.formatLength} + 1) == 0 &&
           std::strncmp(e.TagText(), tag, e.tagLength) == 0 &&
           (e.tagLength == kMaxTag || tag[e.tagLength] == '\0');
}

// The entry of `format` with `tag` and its slot, or null and the first empty slot on the
// format's probe sequence (kFormatSlots when the sequence holds only other formats).
const FormatEntry* Probe(const char* format, const char* tag, size_t* at) {
    for (size_t probe = 0; probe < kFormatProbes; ++probe) {
        *at = FormatSlot(format, probe);
        const FormatEntry* e = gFormats[*at].load(std::memory_order_acquire);
        if (e == nullptr) {
            return nullptr;
        }
        if (e->format == format && e->tag == tag && SameTexts(*e, format, tag)) {
            return e;
        }
    }
    *at = kFormatSlots;
    return nullptr;
}

}  // namespace

const FormatEntry* FindFormat(const char* format, const char* tag, uint32_t* slot) {
    size_t at = 0;
    const FormatEntry* found = Probe(format, tag, &at);
    if (found != nullptr || at == kFormatSlots) {
        *slot = static_cast<uint32_t>(at);
        return found;
    }
    std::lock_guard<std::mutex> lock(*gMutex);
    // Another thread may have added it, or taken the empty slot, since the look without the lock.
    found = Probe(format, tag, &at);
    *slot = static_cast<uint32_t>(at);
    if (found != nullptr || at == kFormatSlots) {
        return found;
    }
    // Kept for the life of the process, like the table.
    FormatEntry* made = MakeFormatEntry(format, tag);
    if (made != nullptr) {
        gFormats[at].store(made, std::memory_order_release);
    }
    return made;
}

}  // namespace cpd::logging
