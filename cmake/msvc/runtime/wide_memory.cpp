// wmemset, wmemcpy and wmemmove for unoptimised builds. The UCRT's headers define them inline;
// MinGW's do too, except when optimisation is off, when they only declare them and ucrtbase.dll
// exports none of them. Own object file: a module links it only when it refers to one of them.
// Its own inline definitions are turned off here so that these are the out-of-line ones.
#define __CRT__NO_INLINE 1
#include <cstring>
#include <cwchar>

extern "C" {

wchar_t* __cdecl wmemset(wchar_t* target, wchar_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        target[i] = value;
    }
    return target;
}
wchar_t* __cdecl wmemcpy(wchar_t* target, const wchar_t* source, size_t count) {
    return static_cast<wchar_t*>(std::memcpy(target, source, count * sizeof(wchar_t)));
}
wchar_t* __cdecl wmemmove(wchar_t* target, const wchar_t* source, size_t count) {
    return static_cast<wchar_t*>(std::memmove(target, source, count * sizeof(wchar_t)));
}

}  // extern "C"
