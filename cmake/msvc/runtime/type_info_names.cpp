// The cache of names that type_info::name() builds, rooted here and freed when the module goes.
// It is an object file of its own: a module that never asks a type for its name (a C DLL such
// as libserialport) links neither it nor, for it, vcruntime140.dll.
#include <cstdlib>

extern "C" {
struct __type_info_node {
    alignas(16) unsigned char header[16];
};
__type_info_node __type_info_root_node{};
__declspec(dllimport) void __cdecl __std_type_info_destroy_list(__type_info_node* root);
}

namespace {
void __cdecl DestroyNames() {
    __std_type_info_destroy_list(&__type_info_root_node);
}
}  // namespace

// Initialisers of the library section run before the module's own, so the names are freed
// after every static destructor that might still ask for one.
#pragma init_seg(lib)
static const int gDestroyNamesAtExit = std::atexit(&DestroyNames);
