// Symbol visibility for the framework libraries and the plug-in.
// Each shared library defines its own *_BUILD macro while it is being compiled, so the same
// header marks a symbol as exported there and as imported everywhere else (dllimport on Windows).
#pragma once

#if defined(_WIN32)
#define CPD_SYMBOL_EXPORT __declspec(dllexport)
#define CPD_SYMBOL_IMPORT __declspec(dllimport)
#else
#define CPD_SYMBOL_EXPORT __attribute__((visibility("default")))
#define CPD_SYMBOL_IMPORT __attribute__((visibility("default")))
#endif

// Host framework utility library (looper, packet record).
#if defined(CPD_UTILS_BUILD)
#define CPD_UTILS_API CPD_SYMBOL_EXPORT
#else
#define CPD_UTILS_API CPD_SYMBOL_IMPORT
#endif

// Host framework log library (velmarLogPrint).
#if defined(CPD_LOG_BUILD)
#define CPD_LOG_API CPD_SYMBOL_EXPORT
#else
#define CPD_LOG_API CPD_SYMBOL_IMPORT
#endif

// The serial redirection plug-in. Hosts never link the plug-in: they reach it through
// CPD_DRV_MODULE, so outside the plug-in's own build the macro marks nothing.
#if defined(CPD_PLUGIN_BUILD)
#define CPD_PLUGIN_API CPD_SYMBOL_EXPORT
#else
#define CPD_PLUGIN_API
#endif
