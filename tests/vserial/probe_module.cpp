// A loadable module that uses libserialport the way the plug-in does, for a test whose executable
// never links the library itself.
#include <libserialport.h>

#include <cstdio>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

// Writes the description of the port called `name` into buf; 0 on success.
PROBE_EXPORT int probe_describe(const char* name, char* buf, int len) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(name, &port) != SP_OK) {
        return -1;
    }
    std::snprintf(buf, static_cast<size_t>(len), "%s", sp_get_port_description(port));
    sp_free_port(port);
    return 0;
}

// Opens the port, sets 7 bits and closes it again; 0 when every step succeeded.
PROBE_EXPORT int probe_open_seven_bits(const char* name) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(name, &port) != SP_OK) {
        return -1;
    }
    int rc = -1;
    if (sp_open(port, SP_MODE_READ_WRITE) == SP_OK) {
        int bits = 0;
        sp_port_config* config = nullptr;
        if (sp_set_bits(port, 7) == SP_OK && sp_new_config(&config) == SP_OK &&
            sp_get_config(port, config) == SP_OK && sp_get_config_bits(config, &bits) == SP_OK &&
            bits == 7) {
            rc = 0;
        }
        sp_free_config(config);
        sp_close(port);
    }
    sp_free_port(port);
    return rc;
}
