// A loadable module that uses libserialport the way the plug-in does, for a test whose executable
// never links the library itself.
#include <libserialport.h>

#include <cstdio>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

// Writes the description of the port called `name` into buf, then opens the port and sets 7
// data bits; 0 when every step succeeded.
PROBE_EXPORT int probe_describe_and_set_seven_bits(const char* name, char* buf, int len) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(name, &port) != SP_OK) {
        return -1;
    }
    std::snprintf(buf, static_cast<size_t>(len), "%s", sp_get_port_description(port));
    const bool ok = sp_open(port, SP_MODE_READ_WRITE) == SP_OK && sp_set_bits(port, 7) == SP_OK;
    sp_close(port);
    sp_free_port(port);
    return ok ? 0 : -1;
}
