// Wrapper around MinGW-w64's stdio.h: adds the UCRT function that Microsoft's <fstream> uses to
// reach a FILE's buffer pointers (exported by ucrtbase.dll; MinGW's header lacks it).
#pragma once
#include_next <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) errno_t
    __cdecl _get_stream_buffer_pointers(FILE* stream, char*** base, char*** pointer, int** count);
#ifdef __cplusplus
}
#endif
