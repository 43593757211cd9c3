// libserialport test double: the libserialport functions the plug-in calls, over the fake ports,
// scripted reads, captured writes, forced results and call log that sp_double_control.c keeps,
// all behind one lock (see sp_double.h).
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "sp_double_state.h"

#ifndef _WIN32
#include <sys/eventfd.h>
#include <unistd.h>
#endif

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

// Start of every sp_* function: takes the lock, logs "function(args)" and returns the result
// forced on the function (SP_OK when none is).
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

static void make_signal(struct fake_port* p) {
    if (!p->signal_made) {
#ifdef _WIN32
        p->signal = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (p->signal == NULL) {
            abort();
        }
#else
        p->signal = eventfd(0, EFD_CLOEXEC);
        if (p->signal < 0) {
            abort();
        }
#endif
        p->signal_made = 1;
        update_signal(p);
    }
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
    update_signal(p);
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

// Not logged: the pump asks before every wait, and the call log is for what reaches the port.
// On Linux the descriptor is the port's input signal; a Windows port has no comm handle here.
enum sp_return sp_get_port_handle(const struct sp_port* port, void* result_ptr) {
    if (port == NULL || result_ptr == NULL) {
        return SP_ERR_ARG;
    }
#ifdef _WIN32
    *(void**)result_ptr = INVALID_HANDLE_VALUE;
#else
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = open_port(port);
    if (p != NULL) {
        make_signal(p);
    }
    *(int*)result_ptr = p != NULL ? p->signal : -1;
    pthread_mutex_unlock(&g_lock);
#endif
    return SP_OK;
}

// Bytes queued for reading; an entry that fails the read counts one. Not logged, as above.
enum sp_return sp_input_waiting(struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = open_port(port);
    int waiting = p != NULL && p->hold_input;
    for (struct read_item* item = p != NULL ? p->reads : NULL; item != NULL; item = item->next) {
        waiting += item->code != 0 ? 1 : (int)(item->len - item->offset);
    }
    return leave(p != NULL ? waiting : SP_ERR_ARG);
}

#ifdef _WIN32
// Event sets as libserialport makes them on Windows: receive readiness is the port's input
// signal. Not logged, as above.
enum sp_return sp_new_event_set(struct sp_event_set** result_ptr) {
    if (result_ptr == NULL) {
        return SP_ERR_ARG;
    }
    *result_ptr = xrealloc(NULL, sizeof **result_ptr);
    **result_ptr = (struct sp_event_set){NULL, NULL, 0};
    return SP_OK;
}

enum sp_return sp_add_port_events(struct sp_event_set* event_set, const struct sp_port* port,
                                  enum sp_event mask) {
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = open_port(port);
    if (event_set == NULL || p == NULL || mask != SP_EVENT_RX_READY) {
        return leave(SP_ERR_ARG);
    }
    make_signal(p);
    const unsigned n = event_set->count + 1;
    event_set->handles = xrealloc(event_set->handles, n * sizeof(HANDLE));
    event_set->masks = xrealloc(event_set->masks, n * sizeof(enum sp_event));
    ((HANDLE*)event_set->handles)[n - 1] = p->signal;
    event_set->masks[n - 1] = mask;
    event_set->count = n;
    return leave(SP_OK);
}

void sp_free_event_set(struct sp_event_set* event_set) {
    if (event_set != NULL) {
        free(event_set->handles);
        free(event_set->masks);
        free(event_set);
    }
}
#endif
