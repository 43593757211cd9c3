// Stand-in for the Visual C++ intrinsics header that the STL includes for its atomics and bit
// operations: clang's own intrin.h declares the same intrinsics.
#pragma once
#include <intrin.h>
