// The operating-system services cpd-host needs beyond sockets and the console, with a POSIX
// (os_posix.cpp) and a Windows (os_win.cpp) implementation. Any thread; no shared state.
#pragma once

#include <cstddef>
#include <string>

namespace cpd::host {

// A peer that goes away must show up as a failed write, not end the process (SIGPIPE); standard
// output carries the port's bytes unchanged (no text-mode line-end translation); standard error
// is unbuffered.
void PrepareProcess();

bool FileReadable(const std::string& path);
// The folder of the running program, with its trailing separator; empty if unknown.
std::string ProgramDir();

// A loaded shared library: the handle is null with a one-line reason on failure. The library's
// own dependencies are searched for in its folder first.
void* OpenLibrary(const std::string& path, std::string* error);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

// Creates `path` only if it does not exist (a link planted in its place counts as existing),
// readable by its owner alone, holding `content`. 1 created, 0 it existed, -1 failed (removed).
int CreatePrivateFile(const std::string& path, const std::string& content);
// Cryptographically random bytes; false if the system could not give them.
bool RandomBytes(void* out, size_t n);

}  // namespace cpd::host
