// Stand-in for the Visual C++ runtime's operator new/delete declarations. The replaceable forms
// are defined by the start-up part (cmake/msvc/runtime) over the UCRT's heap; the placement
// forms are inline, as in MSVC.
#pragma once

#include <vcruntime.h>

#pragma pack(push, _CRT_PACKING)

extern "C++" {

namespace std {
enum class align_val_t : size_t {};
struct nothrow_t {
    explicit nothrow_t() = default;
};
extern const nothrow_t nothrow;
}  // namespace std

[[nodiscard]] void* __cdecl operator new(size_t size);
[[nodiscard]] void* __cdecl operator new(size_t size, const std::nothrow_t&) noexcept;
[[nodiscard]] void* __cdecl operator new[](size_t size);
[[nodiscard]] void* __cdecl operator new[](size_t size, const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* block) noexcept;
void __cdecl operator delete(void* block, const std::nothrow_t&) noexcept;
void __cdecl operator delete[](void* block) noexcept;
void __cdecl operator delete[](void* block, const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* block, size_t size) noexcept;
void __cdecl operator delete[](void* block, size_t size) noexcept;

[[nodiscard]] void* __cdecl operator new(size_t size, std::align_val_t align);
[[nodiscard]] void* __cdecl operator new(size_t size, std::align_val_t align,
                                         const std::nothrow_t&) noexcept;
[[nodiscard]] void* __cdecl operator new[](size_t size, std::align_val_t align);
[[nodiscard]] void* __cdecl operator new[](size_t size, std::align_val_t align,
                                           const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* block, std::align_val_t align) noexcept;
void __cdecl operator delete(void* block, std::align_val_t align, const std::nothrow_t&) noexcept;
void __cdecl operator delete[](void* block, std::align_val_t align) noexcept;
void __cdecl operator delete[](void* block, std::align_val_t align, const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* block, size_t size, std::align_val_t align) noexcept;
void __cdecl operator delete[](void* block, size_t size, std::align_val_t align) noexcept;

#ifndef __PLACEMENT_NEW_INLINE
#define __PLACEMENT_NEW_INLINE
[[nodiscard]] inline void* __cdecl operator new(size_t, void* where) noexcept {
    return where;
}
inline void __cdecl operator delete(void*, void*) noexcept {}
#endif
#ifndef __PLACEMENT_VEC_NEW_INLINE
#define __PLACEMENT_VEC_NEW_INLINE
[[nodiscard]] inline void* __cdecl operator new[](size_t, void* where) noexcept {
    return where;
}
inline void __cdecl operator delete[](void*, void*) noexcept {}
#endif
}

#pragma pack(pop)
