// The process-wide table of format plans, found by the format's address and confirmed by its text.
// Entries are added under gMutex and never change or go away, so callers and the drainer read
// them without the lock (a fork child keeps them too). A different text at an address already
// seen (a library unloaded and another loaded in its place) gets an entry of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "cpd/host/framework/log/format_plan.h"

namespace cpd::logging {

constexpr size_t kFormatSlots = 512;
extern std::atomic<const FormatEntry*> gFormats[kFormatSlots];

// The entry of `format` with `tag` and its slot; added when new. Null when the line is to be
// formatted by its caller: the table has no room on the format's probe sequence, or the plan
// does not cover the format.
const FormatEntry* FindFormat(const char* format, const char* tag, uint32_t* slot);

// The entry a record names. Published before any record that names it.
inline const FormatEntry& FormatAt(uint32_t slot) {
    return *gFormats[slot].load(std::memory_order_acquire);
}

}  // namespace cpd::logging
