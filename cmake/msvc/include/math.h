// Wrapper around MinGW-w64's math.h for Microsoft's STL. MinGW provides the C99 classification
// and comparison operations as macros; the STL imports them into std as functions (using
// ::isnan), as the UCRT's own math.h declares them for C++. They are given that form here.
#pragma once
#include_next <math.h>

#ifdef __cplusplus
#undef fpclassify
#undef signbit
#undef isfinite
#undef isinf
#undef isnan
#undef isnormal
#undef isgreater
#undef isgreaterequal
#undef isless
#undef islessequal
#undef islessgreater
#undef isunordered

extern "C++" {
// Integers are classified as double, as the standard asks.
template <class T>
struct _Cpd_fp {
    typedef double type;
};
template <>
struct _Cpd_fp<float> {
    typedef float type;
};
template <>
struct _Cpd_fp<long double> {
    typedef long double type;
};

template <class T>
inline int fpclassify(T x) noexcept {
    return __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO,
                                static_cast<typename _Cpd_fp<T>::type>(x));
}

#define _CPD_MATH_CLASSIFY(name, builtin)                          \
    template <class T>                                             \
    inline bool name(T x) noexcept {                               \
        return builtin(static_cast<typename _Cpd_fp<T>::type>(x)); \
    }
_CPD_MATH_CLASSIFY(signbit, __builtin_signbit)
_CPD_MATH_CLASSIFY(isfinite, __builtin_isfinite)
_CPD_MATH_CLASSIFY(isinf, __builtin_isinf)
_CPD_MATH_CLASSIFY(isnan, __builtin_isnan)
_CPD_MATH_CLASSIFY(isnormal, __builtin_isnormal)
#undef _CPD_MATH_CLASSIFY

#define _CPD_MATH_COMPARE(name, builtin)                           \
    template <class T, class U>                                    \
    inline bool name(T x, U y) noexcept {                          \
        return builtin(static_cast<typename _Cpd_fp<T>::type>(x),  \
                       static_cast<typename _Cpd_fp<U>::type>(y)); \
    }
_CPD_MATH_COMPARE(isgreater, __builtin_isgreater)
_CPD_MATH_COMPARE(isgreaterequal, __builtin_isgreaterequal)
_CPD_MATH_COMPARE(isless, __builtin_isless)
_CPD_MATH_COMPARE(islessequal, __builtin_islessequal)
_CPD_MATH_COMPARE(islessgreater, __builtin_islessgreater)
_CPD_MATH_COMPARE(isunordered, __builtin_isunordered)
#undef _CPD_MATH_COMPARE
}
#endif
