// cpd-host's operating-system services on Windows: libraries, files, randomness.
// windows.h first: the other system headers build on its types.
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <vector>

#include "cpd/host/program/os.h"

namespace cpd::host {

namespace {

std::wstring Wide(const std::string& utf8) {
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Narrow(const wchar_t* text, size_t length) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                        nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr,
                          nullptr);
    return out;
}

std::string SystemErrorText(DWORD code) {
    char text[256] = "";
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, 0, text, sizeof(text), nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        --n;
    }
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

}  // namespace

void PrepareProcess() {
    _setmode(_fileno(stdout), _O_BINARY);
    // Messages must show as they happen even when standard error is a file or a pipe.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

bool FileReadable(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ProgramDir() {
    std::vector<wchar_t> self(MAX_PATH);
    DWORD n = 0;
    while ((n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()))) ==
           self.size()) {
        self.resize(self.size() * 2);
    }
    std::string dir = Narrow(self.data(), n);
    const size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? "" : dir.substr(0, slash + 1);
}

void* OpenLibrary(const std::string& path, std::string* error) {
    // The DLL's folder comes first for its own imports (libserialport, the framework DLLs) only
    // with a full path; the current directory and PATH are not searched.
    const std::wstring given = Wide(path);
    wchar_t full[MAX_PATH * 4];
    const DWORD n = ::GetFullPathNameW(given.c_str(), MAX_PATH * 4, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 4) {
        *error = "bad path";
        return nullptr;
    }
    HMODULE module = ::LoadLibraryExW(
        full, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module == nullptr) {
        const DWORD code = ::GetLastError();
        *error = SystemErrorText(code) +
                 (code == ERROR_MOD_NOT_FOUND
                      ? " (a DLL it needs is missing: libserialport.dll, cpd_utils.dll and "
                        "cpd_log.dll belong next to it, the Visual C++ runtime in the system)"
                      : "");
    }
    return module;
}

void* FindSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
    ::FreeLibrary(static_cast<HMODULE>(library));
}

int CreatePrivateFile(const std::string& path, const std::string& content) {
    // Protected DACL: full access for the file's owner only, nothing inherited from the folder.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return -1;
    }
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    const std::wstring wide = Wide(path);
    HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ::LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD written = 0;
    const bool ok = ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written,
                                nullptr) != 0 &&
                    written == content.size();
    if (::CloseHandle(file) == 0 || !ok) {
        ::DeleteFileW(wide.c_str());
        return -1;
    }
    return 1;
}

bool RandomBytes(void* out, size_t n) {
    return BCRYPT_SUCCESS(::BCryptGenRandom(
        nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace cpd::host
