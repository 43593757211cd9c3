// cpd-host's operating-system services on POSIX: libraries, files, randomness.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>

#include "cpd/host/program/os.h"

namespace cpd::host {

void PrepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool FileReadable(const std::string& path) {
    return ::access(path.c_str(), R_OK) == 0;
}

std::string ProgramDir() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return "";
    }
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    return dir;
}

void* OpenLibrary(const std::string& path, std::string* error) {
    // dlopen searches the library path for a bare name; a file name the user typed means that
    // file, so make it a path.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // RTLD_LOCAL: the plug-in's symbols must not leak into the next module the process loads.
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        *error = reason != nullptr ? reason : "unknown";
    }
    return handle;
}

void* FindSymbol(void* library, const char* name) {
    return ::dlsym(library, name);
}

void CloseLibrary(void* library) {
    ::dlclose(library);
}

int CreatePrivateFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return 0;
    }
    const bool written =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (::close(fd) != 0 || !written) {
        ::unlink(path.c_str());
        return -1;
    }
    return 1;
}

bool RandomBytes(void* out, size_t n) {
    return ::getrandom(out, n, 0) == static_cast<ssize_t>(n);
}

}  // namespace cpd::host
