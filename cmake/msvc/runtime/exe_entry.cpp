// Entry point of a console program (mainCRTStartup), in its own object so that only programs
// pull it in: a DLL has no main.
#include <cstdlib>

extern "C" {
enum { kConsoleApp = 1, kUnexpandedArguments = 1 };
__declspec(dllimport) void __cdecl _set_app_type(int type);
__declspec(dllimport) int __cdecl _configure_narrow_argv(int mode);
__declspec(dllimport) int __cdecl _initialize_narrow_environment(void);
__declspec(dllimport) int* __cdecl __p___argc(void);
__declspec(dllimport) char*** __cdecl __p___argv(void);
bool __cpd_start_module(bool isDll);
}

int main(int argc, char** argv);

extern "C" int mainCRTStartup() {
    _set_app_type(kConsoleApp);
    if (_configure_narrow_argv(kUnexpandedArguments) != 0 ||
        _initialize_narrow_environment() != 0 || !__cpd_start_module(false)) {
        std::abort();
    }
    // exit() runs the program's atexit table and static destructors, then unloads the DLLs.
    std::exit(main(*__p___argc(), *__p___argv()));
}
