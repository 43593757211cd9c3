// libserialport test double: fake ports, scripted reads, captured writes, forced results and a
// call log, all behind one lock (see sp_double.h).
#include "sp_double.h"

#include <libserialport.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "sp_double_lock.h"

#define MAX_PORTS 16
#define DEFAULT_READ_WAIT_CAP_MS 20u
// Room for the longest entry the plug-in produces ("sp_blocking_read(n,ms)", a port name
// lookup); a longer one is cut, never overrun.
#define CALL_LEN 96

struct read_item {
    struct read_item* next;
    int code;  // result to return, or 0 for a data chunk
    size_t len;
    size_t offset;  // bytes of the chunk already handed out
    unsigned char data[];
};

struct fake_port {
    unsigned long id;  // never reused, so stale handles cannot reach a new port
    char* name;
    char* description;
    struct spd_config config;
    int open_handles;
    struct read_item* reads;
    unsigned char* written;
    size_t written_len;
    int echo;  // what is written comes back as read data, like a loopback plug
};

// Handles carry their own copies of the strings, as libserialport's do, so they stay valid (and
// freeable) after the fake port is gone.
struct sp_port {
    unsigned long port_id;
    char* name;
    char* description;
    int open;
};

struct sp_port_config {
    struct spd_config values;
};

// The functions spd_set_result can make fail.
static const char* const k_forceable[] = {
    "sp_list_ports",    "sp_get_port_by_name", "sp_open",
    "sp_new_config",    "sp_get_config",       "sp_set_baudrate",
    "sp_set_bits",      "sp_set_parity",       "sp_set_stopbits",
    "sp_set_dtr",       "sp_set_flowcontrol",  "sp_blocking_read",
    "sp_blocking_write"};
#define FORCEABLE (sizeof k_forceable / sizeof k_forceable[0])

// Plain static initialisers: no constructor runs at load time, which keeps the library usable
// from any test's static initialisation.
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_read_pushed = PTHREAD_COND_INITIALIZER;
// These outlive spd_reset: ids stay unique, and handles held across a reset are still counted
// when they are freed.
static unsigned long g_next_port_id = 1;
static int g_live_ports;
static int g_live_configs;

// Everything spd_reset drops; it zeroes the lot and restores the two defaults.
static struct {
    struct fake_port ports[MAX_PORTS];  // the first port_count are in use
    int port_count;
    int forced[FORCEABLE];
    unsigned read_wait_cap_ms;
    size_t write_limit;
    unsigned getter_fail_at;
    unsigned getter_calls;
    int getter_fail_code;
    char (*calls)[CALL_LEN];
    size_t calls_len;
    size_t calls_cap;
} g = {.read_wait_cap_ms = DEFAULT_READ_WAIT_CAP_MS, .write_limit = (size_t)-1};

// A test double has no use for out-of-memory paths of its own.
static void* xrealloc(void* p, size_t n) {
    p = realloc(p, n != 0 ? n : 1);
    if (p == NULL) {
        abort();
    }
    return p;
}

static char* dup_or_null(const char* s) {
    size_t n = s != NULL ? strlen(s) + 1 : 0;
    return s != NULL ? memcpy(xrealloc(NULL, n), s, n) : NULL;
}

static int* forced_slot(const char* function) {
    for (size_t i = 0; i < FORCEABLE; ++i) {
        if (strcmp(k_forceable[i], function) == 0) {
            return &g.forced[i];
        }
    }
    return NULL;
}

// Start of every sp_* function: takes the lock, logs "function(args)" and returns the result
// forced on the function (SP_OK when none is).
// A program run against the double (cpd-host under Wine) finds the ports named in SPD_PORTS,
// "NAME=description;NAME=description", each echoing what is written to it. Called locked.
static void seed_from_environment(void) {
    static int seeded;
    const char* list = seeded ? NULL : getenv("SPD_PORTS");
    seeded = 1;
    while (list != NULL && *list != '\0' && g.port_count < MAX_PORTS) {
        const char* end = strchr(list, ';');
        const size_t len = end != NULL ? (size_t)(end - list) : strlen(list);
        char entry[256];
        snprintf(entry, sizeof entry, "%.*s", (int)len, list);
        char* equals = strchr(entry, '=');
        if (equals != NULL) {
            *equals = '\0';
            g.ports[g.port_count++] = (struct fake_port){.id = g_next_port_id++,
                                                         .name = dup_or_null(entry),
                                                         .description = dup_or_null(equals + 1),
                                                         .config = spd_default_config(),
                                                         .echo = 1};
        }
        list += len + (end != NULL);
    }
}

static enum sp_return enter(const char* function, const char* fmt, ...) {
    pthread_mutex_lock(&g_lock);
    seed_from_environment();
    char args[CALL_LEN / 2];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(args, sizeof args, fmt, ap);
    va_end(ap);
    if (g.calls_len == g.calls_cap) {
        g.calls_cap = g.calls_cap ? g.calls_cap * 2 : 64;
        g.calls = xrealloc(g.calls, g.calls_cap * sizeof *g.calls);
    }
    snprintf(g.calls[g.calls_len++], CALL_LEN, "%s(%s)", function, args);
    const int* slot = forced_slot(function);
    return slot != NULL ? *slot : SP_OK;
}

// Releases the lock; the argument is evaluated while it is still held.
static int leave(int result) {
    pthread_mutex_unlock(&g_lock);
    return result;
}

// By name, or by id when name is NULL.
static struct fake_port* find_port(const char* name, unsigned long id) {
    for (int i = 0; i < g.port_count; ++i) {
        struct fake_port* p = &g.ports[i];
        if (name != NULL ? strcmp(p->name, name) == 0 : p->id == id) {
            return p;
        }
    }
    return NULL;
}

// Takes the lock and returns the port named, or NULL.
static struct fake_port* lock_port(const char* name) {
    pthread_mutex_lock(&g_lock);
    return name != NULL ? find_port(name, 0) : NULL;
}

// The fake port behind an open handle, or NULL: libserialport refuses operations on a handle
// that is not open with SP_ERR_ARG.
static struct fake_port* open_port(const struct sp_port* port) {
    return port != NULL && port->open ? find_port(NULL, port->port_id) : NULL;
}

static struct sp_port* new_handle(const struct fake_port* p) {
    struct sp_port* h = xrealloc(NULL, sizeof *h);
    *h = (struct sp_port){p->id, dup_or_null(p->name), dup_or_null(p->description), 0};
    ++g_live_ports;
    return h;
}

static void free_handle(struct sp_port* h) {
    free(h->name);
    free(h->description);
    free(h);
    --g_live_ports;
}

// Caller holds g_lock and has checked that the script is not empty.
static int take_read(struct fake_port* p, void* buf, size_t count) {
    struct read_item* item = p->reads;
    size_t n = item->len - item->offset < count ? item->len - item->offset : count;
    memcpy(buf, item->data + item->offset, n);
    item->offset += n;
    if (item->code == 0 && item->offset < item->len) {
        return (int)n;
    }
    int result = item->code != 0 ? item->code : (int)n;
    p->reads = item->next;
    free(item);
    return result;
}

static struct timespec deadline_after(unsigned ms) {
    struct timespec ts;
    // TIME_UTC is the realtime clock pthread_cond_timedwait measures against, and unlike
    // clock_gettime it is plain C11.
    timespec_get(&ts, TIME_UTC);
    long ns = ts.tv_nsec + (long)(ms % 1000u) * 1000000L;
    ts.tv_sec += ms / 1000u + ns / 1000000000L;
    ts.tv_nsec = ns % 1000000000L;
    return ts;
}

// ---- control API ----

struct spd_config spd_default_config(void) {
    struct spd_config c = {9600,
                           8,
                           SP_PARITY_INVALID,
                           1,
                           SP_RTS_ON,
                           SP_CTS_IGNORE,
                           SP_DTR_ON,
                           SP_DSR_IGNORE,
                           SP_XONXOFF_DISABLED};
    return c;
}

void spd_reset(void) {
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < MAX_PORTS; ++i) {
        struct fake_port* p = &g.ports[i];
        while (p->reads != NULL) {
            struct read_item* next = p->reads->next;
            free(p->reads);
            p->reads = next;
        }
        free(p->name);
        free(p->description);
        free(p->written);
    }
    free(g.calls);
    memset(&g, 0, sizeof g);
    g.read_wait_cap_ms = DEFAULT_READ_WAIT_CAP_MS;
    g.write_limit = (size_t)-1;
    pthread_mutex_unlock(&g_lock);
}

int spd_add_port(const char* name, const char* description) {
    int ok = lock_port(name) == NULL && name != NULL && g.port_count < MAX_PORTS;
    if (ok) {
        g.ports[g.port_count++] = (struct fake_port){.id = g_next_port_id++,
                                                     .name = dup_or_null(name),
                                                     .description = dup_or_null(description),
                                                     .config = spd_default_config()};
    }
    return leave(ok ? 0 : -1);
}

int spd_get_port_config(const char* name, struct spd_config* config) {
    struct fake_port* p = lock_port(name);
    if (p != NULL && config != NULL) {
        *config = p->config;
    }
    return leave(p != NULL && config != NULL ? 0 : -1);
}

int spd_is_open(const char* name) {
    struct fake_port* p = lock_port(name);
    return leave(p == NULL ? -1 : p->open_handles > 0);
}

int spd_set_result(const char* function, int code) {
    pthread_mutex_lock(&g_lock);
    int* slot = function != NULL ? forced_slot(function) : NULL;
    if (slot != NULL) {
        *slot = code;
    }
    return leave(slot != NULL ? 0 : -1);
}

void spd_fail_getter_call(unsigned n, int code) {
    pthread_mutex_lock(&g_lock);
    g.getter_fail_at = n;
    g.getter_fail_code = code;
    g.getter_calls = 0;
    pthread_mutex_unlock(&g_lock);
}

static void append_read(struct fake_port* p, int code, const void* data, size_t len) {
    struct read_item** tail = &p->reads;
    while (*tail != NULL) {
        tail = &(*tail)->next;
    }
    *tail = xrealloc(NULL, sizeof **tail + len);
    **tail = (struct read_item){.code = code, .len = len};
    memcpy((*tail)->data, data, len);
    pthread_cond_broadcast(&g_read_pushed);
}

static int push_item(const char* name, int code, const void* data, size_t len) {
    struct fake_port* p = lock_port(name);
    if (p == NULL) {
        return leave(-1);
    }
    append_read(p, code, data, len);
    return leave(0);
}

int spd_push_read(const char* name, const void* data, size_t len) {
    return data == NULL && len > 0 ? -1 : push_item(name, 0, len > 0 ? data : "", len);
}

int spd_push_read_result(const char* name, int code) {
    // A code of 0 would be indistinguishable from an empty chunk.
    return code >= 0 ? -1 : push_item(name, code, "", 0);
}

size_t spd_pending_reads(const char* name) {
    struct fake_port* p = lock_port(name);
    size_t n = 0;
    for (struct read_item* item = p != NULL ? p->reads : NULL; item != NULL; item = item->next) {
        ++n;
    }
    pthread_mutex_unlock(&g_lock);
    return n;
}

void spd_set_read_wait_cap(unsigned ms) {
    pthread_mutex_lock(&g_lock);
    g.read_wait_cap_ms = ms;
    pthread_mutex_unlock(&g_lock);
}

void spd_set_write_limit(size_t max) {
    pthread_mutex_lock(&g_lock);
    g.write_limit = max;
    pthread_mutex_unlock(&g_lock);
}

size_t spd_written(const char* name, void* out, size_t cap) {
    struct fake_port* p = lock_port(name);
    size_t total = p != NULL ? p->written_len : 0;
    if (out != NULL && total > 0) {
        memcpy(out, p->written, total < cap ? total : cap);
    }
    pthread_mutex_unlock(&g_lock);
    return total;
}

size_t spd_call_at(size_t index, char* out, size_t cap) {
    pthread_mutex_lock(&g_lock);
    size_t len = index < g.calls_len ? strlen(g.calls[index]) : 0;
    if (len > 0 && out != NULL && cap > 0) {
        snprintf(out, cap, "%s", g.calls[index]);
    }
    pthread_mutex_unlock(&g_lock);
    return len;
}

size_t spd_count_calls(const char* prefix) {
    pthread_mutex_lock(&g_lock);
    size_t n = 0;
    for (size_t i = 0; i < g.calls_len; ++i) {
        n += prefix == NULL || strncmp(g.calls[i], prefix, strlen(prefix)) == 0;
    }
    pthread_mutex_unlock(&g_lock);
    return n;
}

void spd_clear_calls(void) {
    pthread_mutex_lock(&g_lock);
    g.calls_len = 0;
    pthread_mutex_unlock(&g_lock);
}

int spd_live_ports(void) {
    pthread_mutex_lock(&g_lock);
    return leave(g_live_ports);
}

int spd_live_configs(void) {
    pthread_mutex_lock(&g_lock);
    return leave(g_live_configs);
}

// ---- enumeration, handles, open and close ----

enum sp_return sp_list_ports(struct sp_port*** list_ptr) {
    enum sp_return rc = enter("sp_list_ports", "");
    if (list_ptr == NULL) {
        return leave(SP_ERR_ARG);
    }
    *list_ptr = NULL;
    if (rc == SP_OK) {
        *list_ptr = xrealloc(NULL, (g.port_count + 1) * sizeof **list_ptr);
        for (int i = 0; i < g.port_count; ++i) {
            (*list_ptr)[i] = new_handle(&g.ports[i]);
        }
        (*list_ptr)[g.port_count] = NULL;
    }
    return leave(rc);
}

void sp_free_port_list(struct sp_port** ports) {
    enter("sp_free_port_list", "");
    for (size_t i = 0; ports != NULL && ports[i] != NULL; ++i) {
        free_handle(ports[i]);
    }
    free(ports);
    pthread_mutex_unlock(&g_lock);
}

enum sp_return sp_get_port_by_name(const char* portname, struct sp_port** port_ptr) {
    enum sp_return rc = enter("sp_get_port_by_name", "%s", portname ? portname : "(null)");
    if (port_ptr == NULL || portname == NULL) {
        return leave(SP_ERR_ARG);
    }
    struct fake_port* p = find_port(portname, 0);
    rc = rc == SP_OK && p == NULL ? SP_ERR_ARG : rc;
    *port_ptr = rc == SP_OK ? new_handle(p) : NULL;
    return leave(rc);
}

void sp_free_port(struct sp_port* port) {
    enter("sp_free_port", "");
    // libserialport closes an open handle before freeing it.
    struct fake_port* p = open_port(port);
    if (p != NULL) {
        --p->open_handles;
    }
    if (port != NULL) {
        free_handle(port);
    }
    pthread_mutex_unlock(&g_lock);
}

char* sp_get_port_name(const struct sp_port* port) {
    enter("sp_get_port_name", "");
    pthread_mutex_unlock(&g_lock);
    return port != NULL ? port->name : NULL;
}

char* sp_get_port_description(const struct sp_port* port) {
    enter("sp_get_port_description", "");
    pthread_mutex_unlock(&g_lock);
    return port != NULL ? port->description : NULL;
}

// The double's ports are plain native ones: no USB identity, no system error text.
enum sp_transport sp_get_port_transport(const struct sp_port* port) {
    (void)port;
    return SP_TRANSPORT_NATIVE;
}

enum sp_return sp_get_port_usb_vid_pid(const struct sp_port* port, int* vid, int* pid) {
    (void)port, (void)vid, (void)pid;
    return SP_ERR_SUPP;
}

char* sp_get_port_usb_manufacturer(const struct sp_port* port) {
    (void)port;
    return NULL;
}

char* sp_get_port_usb_serial(const struct sp_port* port) {
    (void)port;
    return NULL;
}

char* sp_last_error_message(void) {
    static char text[] = "failure forced by the test double";
    return text;
}

void sp_free_error_message(char* message) {
    (void)message;
}

enum sp_return sp_open(struct sp_port* port, enum sp_mode flags) {
    enum sp_return rc = enter("sp_open", "%d", (int)flags);
    struct fake_port* p = port != NULL ? find_port(NULL, port->port_id) : NULL;
    if (rc == SP_OK &&
        (p == NULL || port->open || flags < SP_MODE_READ || flags > SP_MODE_READ_WRITE)) {
        rc = SP_ERR_ARG;
    } else if (rc == SP_OK && p->open_handles > 0) {
        rc = SP_ERR_FAIL;  // another handle holds the device: the "busy" case
    } else if (rc == SP_OK) {
        port->open = 1;
        ++p->open_handles;
    }
    return leave(rc);
}

enum sp_return sp_close(struct sp_port* port) {
    enter("sp_close", "");
    struct fake_port* p = open_port(port);
    if (port == NULL || !port->open) {
        return leave(SP_ERR_ARG);
    }
    if (p != NULL) {
        --p->open_handles;
    }
    port->open = 0;
    return leave(SP_OK);
}

// ---- configuration ----

enum sp_return sp_new_config(struct sp_port_config** config_ptr) {
    enum sp_return rc = enter("sp_new_config", "");
    if (config_ptr == NULL) {
        return leave(SP_ERR_ARG);
    }
    *config_ptr = rc == SP_OK ? xrealloc(NULL, sizeof **config_ptr) : NULL;
    if (rc == SP_OK) {
        (*config_ptr)->values = (struct spd_config){-1, -1, -1, -1, -1, -1, -1, -1, -1};
        ++g_live_configs;
    }
    return leave(rc);
}

void sp_free_config(struct sp_port_config* config) {
    enter("sp_free_config", "");
    g_live_configs -= config != NULL;
    free(config);
    pthread_mutex_unlock(&g_lock);
}

enum sp_return sp_get_config(struct sp_port* port, struct sp_port_config* config) {
    enum sp_return rc = enter("sp_get_config", "");
    struct fake_port* p = open_port(port);
    if (rc == SP_OK && (p == NULL || config == NULL)) {
        rc = SP_ERR_ARG;
    } else if (rc == SP_OK) {
        config->values = p->config;
    }
    return leave(rc);
}

// Shared body of the nine getters: the counted n-th getter call fails, the others read.
static enum sp_return get_value(const char* function, const struct sp_port_config* config,
                                size_t offset, void* out) {
    enum sp_return rc = enter(function, "");
    if (++g.getter_calls == g.getter_fail_at) {
        rc = g.getter_fail_code;
    } else if (config == NULL || out == NULL) {
        rc = SP_ERR_ARG;
    } else {
        memcpy(out, (const char*)&config->values + offset, sizeof(int));
    }
    return leave(rc);
}

// The enum outputs are int-sized on every ABI the plug-in targets.
_Static_assert(sizeof(enum sp_parity) == sizeof(int), "enum outputs must be int-sized");
_Static_assert(sizeof(enum sp_xonxoff) == sizeof(int), "enum outputs must be int-sized");

#define GETTER(field, type)                                                                   \
    enum sp_return sp_get_config_##field(const struct sp_port_config* config, type* ptr) {    \
        return get_value("sp_get_config_" #field, config, offsetof(struct spd_config, field), \
                         ptr);                                                                \
    }

GETTER(baudrate, int)
GETTER(bits, int)
GETTER(parity, enum sp_parity)
GETTER(stopbits, int)
GETTER(rts, enum sp_rts)
GETTER(cts, enum sp_cts)
GETTER(dtr, enum sp_dtr)
GETTER(dsr, enum sp_dsr)
GETTER(xon_xoff, enum sp_xonxoff)

// The setters check values as libserialport does: a negative value leaves the setting
// unchanged, an out-of-range one is refused with SP_ERR_ARG.
static enum sp_return set_value(const char* function, struct sp_port* port, int value, int lo,
                                int hi, size_t offset) {
    enum sp_return rc = enter(function, "%d", value);
    struct fake_port* p = open_port(port);
    if (rc == SP_OK && (p == NULL || (value >= 0 && (value < lo || value > hi)))) {
        rc = SP_ERR_ARG;
    } else if (rc == SP_OK && value >= 0) {
        memcpy((char*)&p->config + offset, &value, sizeof value);
    }
    return leave(rc);
}

#define SETTER(field, type, lo, hi)                                   \
    enum sp_return sp_set_##field(struct sp_port* port, type value) { \
        return set_value("sp_set_" #field, port, (int)value, lo, hi,  \
                         offsetof(struct spd_config, field));         \
    }

SETTER(baudrate, int, 0, INT32_MAX)
SETTER(bits, int, 5, 8)
SETTER(parity, enum sp_parity, SP_PARITY_NONE, SP_PARITY_SPACE)
SETTER(stopbits, int, 1, 2)
SETTER(dtr, enum sp_dtr, SP_DTR_OFF, SP_DTR_FLOW_CONTROL)

// The plug-in only ever turns flow control off: XON/XOFF disabled, the inputs ignored, and an
// output line that was in flow control left asserted, as libserialport does.
enum sp_return sp_set_flowcontrol(struct sp_port* port, enum sp_flowcontrol fc) {
    enum sp_return rc = enter("sp_set_flowcontrol", "%d", (int)fc);
    struct fake_port* p = open_port(port);
    if (rc == SP_OK && (p == NULL || fc != SP_FLOWCONTROL_NONE)) {
        rc = SP_ERR_ARG;
    } else if (rc == SP_OK) {
        struct spd_config* c = &p->config;
        c->xon_xoff = SP_XONXOFF_DISABLED;
        c->rts = c->rts == SP_RTS_FLOW_CONTROL ? SP_RTS_ON : c->rts;
        c->cts = SP_CTS_IGNORE;
        c->dtr = c->dtr == SP_DTR_FLOW_CONTROL ? SP_DTR_ON : c->dtr;
        c->dsr = SP_DSR_IGNORE;
    }
    return leave(rc);
}

// ---- data transfer ----

// Reads and writes return byte counts through enum sp_return, as libserialport does.
enum sp_return sp_blocking_read(struct sp_port* port, void* buf, size_t count,
                                unsigned int timeout_ms) {
    enum sp_return rc = enter("sp_blocking_read", "%lu,%u", (unsigned long)count, timeout_ms);
    struct fake_port* p = open_port(port);
    if (rc != SP_OK || p == NULL || buf == NULL || count == 0) {
        return leave(rc == SP_OK && (p == NULL || buf == NULL) ? SP_ERR_ARG : rc);
    }
    unsigned cap = g.read_wait_cap_ms;
    struct timespec deadline =
        deadline_after(timeout_ms != 0 && timeout_ms < cap ? timeout_ms : cap);
    // The port is looked up again after every wake: a reset from the test thread may have
    // dropped it meanwhile.
    int waited = 0;
    while (p != NULL && p->reads == NULL && waited == 0) {
        waited = pthread_cond_timedwait(&g_read_pushed, &g_lock, &deadline);
        p = open_port(port);
    }
    return leave(p != NULL && p->reads != NULL ? take_read(p, buf, count) : 0);
}

enum sp_return sp_nonblocking_read(struct sp_port* port, void* buf, size_t count) {
    enum sp_return rc = enter("sp_nonblocking_read", "%lu", (unsigned long)count);
    struct fake_port* p = open_port(port);
    if (rc != SP_OK || p == NULL || buf == NULL) {
        return leave(rc == SP_OK ? SP_ERR_ARG : rc);
    }
    return leave(count > 0 && p->reads != NULL ? take_read(p, buf, count) : 0);
}

enum sp_return sp_blocking_write(struct sp_port* port, const void* buf, size_t count,
                                 unsigned int timeout_ms) {
    enum sp_return rc = enter("sp_blocking_write", "%lu,%u", (unsigned long)count, timeout_ms);
    struct fake_port* p = open_port(port);
    if (rc != SP_OK || p == NULL || buf == NULL || count > INT32_MAX) {
        return leave(rc == SP_OK ? SP_ERR_ARG : rc);
    }
    size_t n = count < g.write_limit ? count : g.write_limit;
    p->written = xrealloc(p->written, p->written_len + n);
    memcpy(p->written + p->written_len, buf, n);
    p->written_len += n;
    if (p->echo && n > 0) {
        append_read(p, 0, buf, n);
    }
    return leave((int)n);
}

// A fake port has no descriptor. Not logged: the pump asks before every read, and the call log
// is for what reaches the port.
enum sp_return sp_get_port_handle(const struct sp_port* port, void* result_ptr) {
    if (port == NULL || result_ptr == NULL) {
        return SP_ERR_ARG;
    }
#ifdef _WIN32
    *(void**)result_ptr = (void*)(intptr_t)-1;  // INVALID_HANDLE_VALUE
#else
    *(int*)result_ptr = -1;
#endif
    return SP_OK;
}
