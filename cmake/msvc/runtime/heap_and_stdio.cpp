// operator new/delete over the UCRT's heap, std::nothrow, and the printf family. The UCRT's
// headers define printf and friends inline over ucrtbase.dll's __stdio_common_* functions (the
// DLL exports nothing else for them); MinGW's headers declare them as functions, so they are
// defined here, once per module, the same way.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" {
__declspec(dllimport) int __cdecl _callnewh(size_t size);
__declspec(dllimport) void* __cdecl _aligned_malloc(size_t size, size_t alignment);
__declspec(dllimport) void __cdecl _aligned_free(void* block);
}

namespace std {
const nothrow_t nothrow{};
}

namespace {
// Calls the new handler until the heap gives the block; throws bad_alloc once none is set.
template <typename Allocate>
void* AllocateOrThrow(size_t size, Allocate allocate) {
    for (;;) {
        if (void* block = allocate(size == 0 ? 1 : size)) {
            return block;
        }
        if (_callnewh(size) == 0) {
            throw std::bad_alloc();
        }
    }
}
void* Plain(size_t size) {
    return AllocateOrThrow(size, [](size_t n) { return std::malloc(n); });
}
void* Aligned(size_t size, std::align_val_t align) {
    return AllocateOrThrow(
        size, [align](size_t n) { return _aligned_malloc(n, static_cast<size_t>(align)); });
}
}  // namespace

void* __cdecl operator new(size_t size) {
    return Plain(size);
}
void* __cdecl operator new[](size_t size) {
    return Plain(size);
}
void* __cdecl operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return Plain(size);
    } catch (...) {
        return nullptr;
    }
}
void* __cdecl operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void __cdecl operator delete(void* block) noexcept {
    std::free(block);
}
void __cdecl operator delete[](void* block) noexcept {
    std::free(block);
}
void __cdecl operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void __cdecl operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void __cdecl operator delete(void* block, size_t) noexcept {
    std::free(block);
}
void __cdecl operator delete[](void* block, size_t) noexcept {
    std::free(block);
}

void* __cdecl operator new(size_t size, std::align_val_t align) {
    return Aligned(size, align);
}
void* __cdecl operator new[](size_t size, std::align_val_t align) {
    return Aligned(size, align);
}
void* __cdecl operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return Aligned(size, align);
    } catch (...) {
        return nullptr;
    }
}
void* __cdecl operator new[](size_t size, std::align_val_t align,
                             const std::nothrow_t& tag) noexcept {
    return operator new(size, align, tag);
}
void __cdecl operator delete(void* block, std::align_val_t) noexcept {
    _aligned_free(block);
}
void __cdecl operator delete[](void* block, std::align_val_t) noexcept {
    _aligned_free(block);
}
void __cdecl operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    _aligned_free(block);
}
void __cdecl operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    _aligned_free(block);
}
void __cdecl operator delete(void* block, size_t, std::align_val_t) noexcept {
    _aligned_free(block);
}
void __cdecl operator delete[](void* block, size_t, std::align_val_t) noexcept {
    _aligned_free(block);
}

// --- printf family --------------------------------------------------------------------------

namespace {
// Option bits of the __stdio_common_* functions.
constexpr uint64_t kLegacyNullTermination = 1;  // _vsnprintf: no terminator when cut, -1
constexpr uint64_t kStandardSnprintf = 2;       // snprintf: C99 result and terminator
}  // namespace

extern "C" {

int __cdecl vfprintf(FILE* stream, const char* format, va_list args) {
    return __stdio_common_vfprintf(0, stream, format, nullptr, args);
}
int __cdecl fprintf(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}
int __cdecl vprintf(const char* format, va_list args) {
    return vfprintf(__acrt_iob_func(1), format, args);
}
int __cdecl printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vprintf(format, args);
    va_end(args);
    return n;
}
int __cdecl vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    const int n = __stdio_common_vsprintf(kStandardSnprintf, buffer, count, format, nullptr, args);
    return n < 0 ? -1 : n;
}
int __cdecl snprintf(char* buffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buffer, count, format, args);
    va_end(args);
    return n;
}
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    return __stdio_common_vsprintf(kLegacyNullTermination, buffer, count, format, nullptr, args);
}
int __cdecl vsprintf(char* buffer, const char* format, va_list args) {
    return _vsnprintf(buffer, SIZE_MAX, format, args);
}
int __cdecl sprintf(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsprintf(buffer, format, args);
    va_end(args);
    return n;
}
int __cdecl vsscanf(const char* buffer, const char* format, va_list args) {
    return __stdio_common_vsscanf(0, buffer, SIZE_MAX, format, nullptr, args);
}
int __cdecl sscanf(const char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsscanf(buffer, format, args);
    va_end(args);
    return n;
}

}  // extern "C"
