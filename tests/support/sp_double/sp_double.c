/* libserialport test double: fake ports, scripted reads, captured writes,
 * forced results and a call log, all behind one lock (see sp_double.h). */
#include "sp_double.h"

#include <libserialport.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define MAX_PORTS 16
#define DEFAULT_READ_WAIT_CAP_MS 20u

struct read_item {
    struct read_item* next;
    int code; /* result to return, or 0 for a data chunk */
    size_t len;
    size_t offset; /* bytes of the chunk already handed out */
    unsigned char data[];
};

struct fake_port {
    unsigned long id; /* never reused, so stale handles cannot reach a new port */
    char* name;       /* NULL marks a free slot */
    char* description;
    enum sp_transport transport;
    int usb_vid;
    int usb_pid;
    char* usb_manufacturer;
    char* usb_product;
    char* usb_serial;
    struct spd_config config;
    int open_handles;
    struct read_item* reads_head;
    struct read_item* reads_tail;
    size_t reads_pending;
    unsigned char* written;
    size_t written_len;
    size_t written_cap;
};

/* Handles carry their own copies of the strings, as libserialport's do, so
 * they stay valid (and freeable) after the fake port is gone. */
struct sp_port {
    unsigned long port_id;
    char* name;
    char* description;
    enum sp_transport transport;
    int usb_vid;
    int usb_pid;
    char* usb_manufacturer;
    char* usb_product;
    char* usb_serial;
    int open;
};

struct sp_port_config {
    struct spd_config values;
};

struct forced_result {
    const char* function;
    int code;
};

/* Every sp_* function the double implements; spd_set_result accepts only
 * these names. */
static struct forced_result g_forced[] = {
    {"sp_list_ports", 0},
    {"sp_get_port_by_name", 0},
    {"sp_copy_port", 0},
    {"sp_open", 0},
    {"sp_close", 0},
    {"sp_get_port_usb_vid_pid", 0},
    {"sp_new_config", 0},
    {"sp_get_config", 0},
    {"sp_get_config_baudrate", 0},
    {"sp_get_config_bits", 0},
    {"sp_get_config_parity", 0},
    {"sp_get_config_stopbits", 0},
    {"sp_get_config_rts", 0},
    {"sp_get_config_cts", 0},
    {"sp_get_config_dtr", 0},
    {"sp_get_config_dsr", 0},
    {"sp_get_config_xon_xoff", 0},
    {"sp_set_baudrate", 0},
    {"sp_set_bits", 0},
    {"sp_set_parity", 0},
    {"sp_set_stopbits", 0},
    {"sp_set_dtr", 0},
    {"sp_set_flowcontrol", 0},
    {"sp_blocking_read", 0},
    {"sp_nonblocking_read", 0},
    {"sp_blocking_write", 0},
};
#define FORCED_COUNT (sizeof g_forced / sizeof g_forced[0])

/* Plain static initialisers: no constructor runs at load time, which keeps the
 * library usable from any test's static initialisation. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_read_pushed = PTHREAD_COND_INITIALIZER;

static struct fake_port g_ports[MAX_PORTS];
static unsigned long g_next_port_id = 1;
static unsigned g_read_wait_cap_ms = DEFAULT_READ_WAIT_CAP_MS;
static size_t g_write_limit = (size_t)-1;
static unsigned g_getter_fail_at;
static int g_getter_fail_code;
static unsigned g_getter_calls;
static char** g_calls;
static size_t g_calls_len;
static size_t g_calls_cap;
static int g_live_ports;
static int g_live_configs;

static char* dup_or_null(const char* s) {
    if (s == NULL) {
        return NULL;
    }
    size_t n = strlen(s) + 1;
    char* copy = malloc(n);
    if (copy != NULL) {
        memcpy(copy, s, n);
    }
    return copy;
}

/* Caller holds g_lock. Allocation failure loses the entry: the log is a test
 * aid and the call itself must still behave. */
static void log_call(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (g_calls_len == g_calls_cap) {
        size_t cap = g_calls_cap ? g_calls_cap * 2 : 64;
        char** grown = realloc(g_calls, cap * sizeof *grown);
        if (grown == NULL) {
            return;
        }
        g_calls = grown;
        g_calls_cap = cap;
    }
    char* entry = dup_or_null(buf);
    if (entry != NULL) {
        g_calls[g_calls_len++] = entry;
    }
}

static struct forced_result* forced_slot(const char* function) {
    for (size_t i = 0; i < FORCED_COUNT; ++i) {
        if (strcmp(g_forced[i].function, function) == 0) {
            return &g_forced[i];
        }
    }
    return NULL;
}

/* Caller holds g_lock. Every implemented function has a slot. */
static int forced(const char* function) {
    return forced_slot(function)->code;
}

static struct fake_port* find_port_by_id(unsigned long id) {
    for (int i = 0; i < MAX_PORTS; ++i) {
        if (g_ports[i].name != NULL && g_ports[i].id == id) {
            return &g_ports[i];
        }
    }
    return NULL;
}

static struct fake_port* find_port(const char* name) {
    if (name == NULL) {
        return NULL;
    }
    for (int i = 0; i < MAX_PORTS; ++i) {
        if (g_ports[i].name != NULL && strcmp(g_ports[i].name, name) == 0) {
            return &g_ports[i];
        }
    }
    return NULL;
}

/* The fake port behind an open handle, or NULL: libserialport refuses
 * operations on a handle that is not open with SP_ERR_ARG. */
static struct fake_port* open_port(const struct sp_port* port) {
    if (port == NULL || !port->open) {
        return NULL;
    }
    return find_port_by_id(port->port_id);
}

static void clear_reads(struct fake_port* p) {
    struct read_item* item = p->reads_head;
    while (item != NULL) {
        struct read_item* next = item->next;
        free(item);
        item = next;
    }
    p->reads_head = NULL;
    p->reads_tail = NULL;
    p->reads_pending = 0;
}

static void free_fake_port(struct fake_port* p) {
    clear_reads(p);
    free(p->name);
    free(p->description);
    free(p->usb_manufacturer);
    free(p->usb_product);
    free(p->usb_serial);
    free(p->written);
    memset(p, 0, sizeof *p);
}

static void free_handle(struct sp_port* h) {
    free(h->name);
    free(h->description);
    free(h->usb_manufacturer);
    free(h->usb_product);
    free(h->usb_serial);
    free(h);
    --g_live_ports;
}

static struct sp_port* new_handle(const struct fake_port* p) {
    struct sp_port* h = calloc(1, sizeof *h);
    if (h == NULL) {
        return NULL;
    }
    ++g_live_ports;
    h->port_id = p->id;
    h->name = dup_or_null(p->name);
    h->description = dup_or_null(p->description);
    h->usb_manufacturer = dup_or_null(p->usb_manufacturer);
    h->usb_product = dup_or_null(p->usb_product);
    h->usb_serial = dup_or_null(p->usb_serial);
    h->transport = p->transport;
    h->usb_vid = p->usb_vid;
    h->usb_pid = p->usb_pid;
    if (h->name == NULL || (p->description != NULL && h->description == NULL)) {
        free_handle(h);
        return NULL;
    }
    return h;
}

static int push_item(const char* name, int code, const void* data, size_t len) {
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    struct read_item* item = p ? malloc(sizeof *item + len) : NULL;
    if (item == NULL) {
        pthread_mutex_unlock(&g_lock);
        return -1;
    }
    item->next = NULL;
    item->code = code;
    item->len = len;
    item->offset = 0;
    if (len > 0) {
        memcpy(item->data, data, len);
    }
    if (p->reads_tail != NULL) {
        p->reads_tail->next = item;
    } else {
        p->reads_head = item;
    }
    p->reads_tail = item;
    ++p->reads_pending;
    pthread_cond_broadcast(&g_read_pushed);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

/* Caller holds g_lock and has checked that the script is not empty. */
static int take_read(struct fake_port* p, void* buf, size_t count) {
    struct read_item* item = p->reads_head;
    int result = item->code;
    if (item->code == 0) {
        size_t n = item->len - item->offset;
        if (n > count) {
            n = count;
        }
        memcpy(buf, item->data + item->offset, n);
        item->offset += n;
        result = (int)n;
        if (item->offset < item->len) {
            return result;
        }
    }
    p->reads_head = item->next;
    if (p->reads_head == NULL) {
        p->reads_tail = NULL;
    }
    --p->reads_pending;
    free(item);
    return result;
}

static struct timespec deadline_after(unsigned ms) {
    struct timespec ts;
    /* TIME_UTC is the realtime clock pthread_cond_timedwait measures against,
     * and unlike clock_gettime it is plain C11 (MinGW has it too). */
#if defined(_WIN32) && !defined(_UCRT)
    /* MinGW on msvcrt has no timespec_get; winpthreads' clock_gettime
     * reads the same realtime clock. */
    clock_gettime(CLOCK_REALTIME, &ts);
#else
    timespec_get(&ts, TIME_UTC);
#endif
    ts.tv_sec += ms / 1000u;
    ts.tv_nsec += (long)(ms % 1000u) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

/* ---- control API ---- */

struct spd_config spd_default_config(void) {
    struct spd_config c = {.baudrate = 9600,
                           .bits = 8,
                           .parity = SP_PARITY_INVALID,
                           .stopbits = 1,
                           .rts = SP_RTS_ON,
                           .cts = SP_CTS_IGNORE,
                           .dtr = SP_DTR_ON,
                           .dsr = SP_DSR_IGNORE,
                           .xon_xoff = SP_XONXOFF_DISABLED};
    return c;
}

void spd_reset(void) {
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < MAX_PORTS; ++i) {
        free_fake_port(&g_ports[i]);
    }
    for (size_t i = 0; i < FORCED_COUNT; ++i) {
        g_forced[i].code = 0;
    }
    for (size_t i = 0; i < g_calls_len; ++i) {
        free(g_calls[i]);
    }
    free(g_calls);
    g_calls = NULL;
    g_calls_len = 0;
    g_calls_cap = 0;
    g_read_wait_cap_ms = DEFAULT_READ_WAIT_CAP_MS;
    g_write_limit = (size_t)-1;
    g_getter_fail_at = 0;
    g_getter_fail_code = 0;
    g_getter_calls = 0;
    pthread_mutex_unlock(&g_lock);
}

int spd_add_port(const char* name, const char* description) {
    int rc = -1;
    pthread_mutex_lock(&g_lock);
    if (name != NULL && find_port(name) == NULL) {
        for (int i = 0; i < MAX_PORTS; ++i) {
            struct fake_port* p = &g_ports[i];
            if (p->name != NULL) {
                continue;
            }
            p->id = g_next_port_id++;
            p->name = dup_or_null(name);
            p->description = dup_or_null(description);
            p->transport = SP_TRANSPORT_NATIVE;
            p->usb_vid = -1;
            p->usb_pid = -1;
            p->config = spd_default_config();
            if (p->name == NULL || (description != NULL && p->description == NULL)) {
                free_fake_port(p);
            } else {
                rc = 0;
            }
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

int spd_set_port_usb(const char* name, int vid, int pid, const char* manufacturer,
                     const char* product, const char* serial) {
    int rc = -1;
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    if (p != NULL) {
        free(p->usb_manufacturer);
        free(p->usb_product);
        free(p->usb_serial);
        p->transport = SP_TRANSPORT_USB;
        p->usb_vid = vid;
        p->usb_pid = pid;
        p->usb_manufacturer = dup_or_null(manufacturer);
        p->usb_product = dup_or_null(product);
        p->usb_serial = dup_or_null(serial);
        rc = 0;
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

int spd_set_port_config(const char* name, const struct spd_config* config) {
    int rc = -1;
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    if (p != NULL && config != NULL) {
        p->config = *config;
        rc = 0;
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

int spd_get_port_config(const char* name, struct spd_config* config) {
    int rc = -1;
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    if (p != NULL && config != NULL) {
        *config = p->config;
        rc = 0;
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

int spd_is_open(const char* name) {
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    int rc = p == NULL ? -1 : p->open_handles > 0;
    pthread_mutex_unlock(&g_lock);
    return rc;
}

int spd_set_result(const char* function, int code) {
    if (function == NULL) {
        return -1;
    }
    pthread_mutex_lock(&g_lock);
    struct forced_result* slot = forced_slot(function);
    if (slot != NULL) {
        slot->code = code;
    }
    pthread_mutex_unlock(&g_lock);
    return slot != NULL ? 0 : -1;
}

void spd_fail_getter_call(unsigned n, int code) {
    pthread_mutex_lock(&g_lock);
    g_getter_fail_at = n;
    g_getter_fail_code = code;
    g_getter_calls = 0;
    pthread_mutex_unlock(&g_lock);
}

int spd_push_read(const char* name, const void* data, size_t len) {
    if (data == NULL && len > 0) {
        return -1;
    }
    return push_item(name, 0, data, len);
}

int spd_push_read_result(const char* name, int code) {
    /* A code of 0 would be indistinguishable from an empty chunk. */
    if (code >= 0) {
        return -1;
    }
    return push_item(name, code, NULL, 0);
}

size_t spd_pending_reads(const char* name) {
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    size_t n = p != NULL ? p->reads_pending : 0;
    pthread_mutex_unlock(&g_lock);
    return n;
}

void spd_set_read_wait_cap(unsigned ms) {
    pthread_mutex_lock(&g_lock);
    g_read_wait_cap_ms = ms;
    pthread_mutex_unlock(&g_lock);
}

void spd_set_write_limit(size_t max) {
    pthread_mutex_lock(&g_lock);
    g_write_limit = max;
    pthread_mutex_unlock(&g_lock);
}

size_t spd_written(const char* name, void* out, size_t cap) {
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    size_t total = p != NULL ? p->written_len : 0;
    if (out != NULL && total > 0) {
        memcpy(out, p->written, total < cap ? total : cap);
    }
    pthread_mutex_unlock(&g_lock);
    return total;
}

void spd_clear_written(const char* name) {
    pthread_mutex_lock(&g_lock);
    struct fake_port* p = find_port(name);
    if (p != NULL) {
        p->written_len = 0;
    }
    pthread_mutex_unlock(&g_lock);
}

size_t spd_call_count(void) {
    pthread_mutex_lock(&g_lock);
    size_t n = g_calls_len;
    pthread_mutex_unlock(&g_lock);
    return n;
}

size_t spd_call_at(size_t index, char* out, size_t cap) {
    size_t len = 0;
    pthread_mutex_lock(&g_lock);
    if (index < g_calls_len) {
        len = strlen(g_calls[index]);
        if (out != NULL && cap > 0) {
            size_t n = len < cap - 1 ? len : cap - 1;
            memcpy(out, g_calls[index], n);
            out[n] = '\0';
        }
    }
    pthread_mutex_unlock(&g_lock);
    return len;
}

size_t spd_count_calls(const char* prefix) {
    size_t n = 0;
    size_t plen = prefix != NULL ? strlen(prefix) : 0;
    pthread_mutex_lock(&g_lock);
    for (size_t i = 0; i < g_calls_len; ++i) {
        if (strncmp(g_calls[i], prefix != NULL ? prefix : "", plen) == 0) {
            ++n;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return n;
}

void spd_clear_calls(void) {
    pthread_mutex_lock(&g_lock);
    for (size_t i = 0; i < g_calls_len; ++i) {
        free(g_calls[i]);
    }
    g_calls_len = 0;
    pthread_mutex_unlock(&g_lock);
}

int spd_live_ports(void) {
    pthread_mutex_lock(&g_lock);
    int n = g_live_ports;
    pthread_mutex_unlock(&g_lock);
    return n;
}

int spd_live_configs(void) {
    pthread_mutex_lock(&g_lock);
    int n = g_live_configs;
    pthread_mutex_unlock(&g_lock);
    return n;
}

/* ---- enumeration and handles ---- */

enum sp_return sp_list_ports(struct sp_port*** list_ptr) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_list_ports()");
    enum sp_return rc = forced("sp_list_ports");
    if (list_ptr == NULL) {
        rc = SP_ERR_ARG;
    } else {
        *list_ptr = NULL;
    }
    if (rc != SP_OK) {
        pthread_mutex_unlock(&g_lock);
        return rc;
    }
    struct sp_port** list = calloc(MAX_PORTS + 1, sizeof *list);
    size_t n = 0;
    for (int i = 0; list != NULL && i < MAX_PORTS; ++i) {
        if (g_ports[i].name == NULL) {
            continue;
        }
        list[n] = new_handle(&g_ports[i]);
        if (list[n] == NULL) {
            while (n > 0) {
                free_handle(list[--n]);
            }
            free(list);
            list = NULL;
            break;
        }
        ++n;
    }
    *list_ptr = list;
    pthread_mutex_unlock(&g_lock);
    return list != NULL ? SP_OK : SP_ERR_MEM;
}

void sp_free_port_list(struct sp_port** ports) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_free_port_list()");
    if (ports != NULL) {
        for (size_t i = 0; ports[i] != NULL; ++i) {
            free_handle(ports[i]);
        }
        free(ports);
    }
    pthread_mutex_unlock(&g_lock);
}

enum sp_return sp_get_port_by_name(const char* portname, struct sp_port** port_ptr) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_by_name(%s)", portname != NULL ? portname : "(null)");
    enum sp_return rc = forced("sp_get_port_by_name");
    if (port_ptr == NULL || portname == NULL) {
        rc = SP_ERR_ARG;
    } else {
        *port_ptr = NULL;
    }
    if (rc == SP_OK) {
        struct fake_port* p = find_port(portname);
        if (p == NULL) {
            rc = SP_ERR_ARG;
        } else {
            *port_ptr = new_handle(p);
            rc = *port_ptr != NULL ? SP_OK : SP_ERR_MEM;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

enum sp_return sp_copy_port(const struct sp_port* port, struct sp_port** copy_ptr) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_copy_port()");
    enum sp_return rc = forced("sp_copy_port");
    if (copy_ptr == NULL || port == NULL) {
        rc = SP_ERR_ARG;
    } else {
        *copy_ptr = NULL;
    }
    if (rc == SP_OK) {
        struct fake_port* p = find_port_by_id(port->port_id);
        *copy_ptr = p != NULL ? new_handle(p) : NULL;
        rc = *copy_ptr != NULL ? SP_OK : SP_ERR_ARG;
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

void sp_free_port(struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_free_port()");
    if (port != NULL) {
        /* libserialport closes an open handle before freeing it. */
        struct fake_port* p = open_port(port);
        if (p != NULL) {
            --p->open_handles;
        }
        free_handle(port);
    }
    pthread_mutex_unlock(&g_lock);
}

char* sp_get_port_name(const struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_name()");
    pthread_mutex_unlock(&g_lock);
    return port != NULL ? port->name : NULL;
}

char* sp_get_port_description(const struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_description()");
    pthread_mutex_unlock(&g_lock);
    return port != NULL ? port->description : NULL;
}

enum sp_transport sp_get_port_transport(const struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_transport()");
    pthread_mutex_unlock(&g_lock);
    return port != NULL ? port->transport : SP_TRANSPORT_NATIVE;
}

enum sp_return sp_get_port_usb_vid_pid(const struct sp_port* port, int* usb_vid, int* usb_pid) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_usb_vid_pid()");
    enum sp_return rc = forced("sp_get_port_usb_vid_pid");
    pthread_mutex_unlock(&g_lock);
    if (rc != SP_OK) {
        return rc;
    }
    if (port == NULL || port->transport != SP_TRANSPORT_USB) {
        return SP_ERR_ARG;
    }
    if (port->usb_vid < 0 || port->usb_pid < 0) {
        return SP_ERR_SUPP;
    }
    if (usb_vid != NULL) {
        *usb_vid = port->usb_vid;
    }
    if (usb_pid != NULL) {
        *usb_pid = port->usb_pid;
    }
    return SP_OK;
}

static char* usb_text(const struct sp_port* port, char* text) {
    return port != NULL && port->transport == SP_TRANSPORT_USB ? text : NULL;
}

char* sp_get_port_usb_manufacturer(const struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_usb_manufacturer()");
    pthread_mutex_unlock(&g_lock);
    return usb_text(port, port != NULL ? port->usb_manufacturer : NULL);
}

char* sp_get_port_usb_product(const struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_usb_product()");
    pthread_mutex_unlock(&g_lock);
    return usb_text(port, port != NULL ? port->usb_product : NULL);
}

char* sp_get_port_usb_serial(const struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_port_usb_serial()");
    pthread_mutex_unlock(&g_lock);
    return usb_text(port, port != NULL ? port->usb_serial : NULL);
}

/* ---- open and close ---- */

enum sp_return sp_open(struct sp_port* port, enum sp_mode flags) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_open(%d)", (int)flags);
    enum sp_return rc = forced("sp_open");
    if (rc == SP_OK) {
        struct fake_port* p = port != NULL ? find_port_by_id(port->port_id) : NULL;
        if (p == NULL || port->open || flags < SP_MODE_READ || flags > SP_MODE_READ_WRITE) {
            rc = SP_ERR_ARG;
        } else if (p->open_handles > 0) {
            /* Another handle holds the device: the "busy" case. */
            rc = SP_ERR_FAIL;
        } else {
            port->open = 1;
            ++p->open_handles;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

enum sp_return sp_close(struct sp_port* port) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_close()");
    enum sp_return rc = forced("sp_close");
    if (rc == SP_OK) {
        struct fake_port* p = open_port(port);
        if (port == NULL || !port->open) {
            rc = SP_ERR_ARG;
        } else {
            port->open = 0;
            if (p != NULL) {
                --p->open_handles;
            }
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

/* ---- configuration ---- */

enum sp_return sp_new_config(struct sp_port_config** config_ptr) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_new_config()");
    enum sp_return rc = forced("sp_new_config");
    if (config_ptr == NULL) {
        rc = SP_ERR_ARG;
    } else {
        *config_ptr = NULL;
    }
    if (rc == SP_OK) {
        struct sp_port_config* c = malloc(sizeof *c);
        if (c == NULL) {
            rc = SP_ERR_MEM;
        } else {
            struct spd_config unset = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
            c->values = unset;
            *config_ptr = c;
            ++g_live_configs;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

void sp_free_config(struct sp_port_config* config) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_free_config()");
    if (config != NULL) {
        free(config);
        --g_live_configs;
    }
    pthread_mutex_unlock(&g_lock);
}

enum sp_return sp_get_config(struct sp_port* port, struct sp_port_config* config) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_get_config()");
    enum sp_return rc = forced("sp_get_config");
    if (rc == SP_OK) {
        struct fake_port* p = open_port(port);
        if (p == NULL || config == NULL) {
            rc = SP_ERR_ARG;
        } else {
            config->values = p->config;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

/* Shared body of the nine getters: the forced result by name, then the
 * counted n-th-call failure, then the real check and read. */
static enum sp_return get_value(const char* function, const struct sp_port_config* config,
                                size_t offset, void* out) {
    pthread_mutex_lock(&g_lock);
    log_call("%s()", function);
    enum sp_return rc = forced(function);
    ++g_getter_calls;
    if (rc == SP_OK && g_getter_fail_at != 0 && g_getter_calls == g_getter_fail_at) {
        rc = g_getter_fail_code;
    }
    if (rc == SP_OK && (config == NULL || out == NULL)) {
        rc = SP_ERR_ARG;
    }
    if (rc == SP_OK) {
        int value;
        memcpy(&value, (const char*)&config->values + offset, sizeof value);
        /* The enum outputs are int-sized on every ABI the plug-in targets. */
        memcpy(out, &value, sizeof value);
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

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

_Static_assert(sizeof(enum sp_parity) == sizeof(int), "enum outputs must be int-sized");
_Static_assert(sizeof(enum sp_xonxoff) == sizeof(int), "enum outputs must be int-sized");

/* The setters check values as libserialport does: a negative value leaves the
 * setting unchanged, an out-of-range one is refused with SP_ERR_ARG. */
static enum sp_return set_value(const char* function, struct sp_port* port, int value, int lo,
                                int hi, size_t offset) {
    pthread_mutex_lock(&g_lock);
    log_call("%s(%d)", function, value);
    enum sp_return rc = forced(function);
    if (rc == SP_OK) {
        struct fake_port* p = open_port(port);
        if (p == NULL || (value >= 0 && (value < lo || value > hi))) {
            rc = SP_ERR_ARG;
        } else if (value >= 0) {
            memcpy((char*)&p->config + offset, &value, sizeof value);
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

enum sp_return sp_set_baudrate(struct sp_port* port, int baudrate) {
    return set_value("sp_set_baudrate", port, baudrate, 0, INT32_MAX,
                     offsetof(struct spd_config, baudrate));
}

enum sp_return sp_set_bits(struct sp_port* port, int bits) {
    return set_value("sp_set_bits", port, bits, 5, 8, offsetof(struct spd_config, bits));
}

enum sp_return sp_set_parity(struct sp_port* port, enum sp_parity parity) {
    return set_value("sp_set_parity", port, (int)parity, SP_PARITY_NONE, SP_PARITY_SPACE,
                     offsetof(struct spd_config, parity));
}

enum sp_return sp_set_stopbits(struct sp_port* port, int stopbits) {
    return set_value("sp_set_stopbits", port, stopbits, 1, 2,
                     offsetof(struct spd_config, stopbits));
}

enum sp_return sp_set_dtr(struct sp_port* port, enum sp_dtr dtr) {
    return set_value("sp_set_dtr", port, (int)dtr, SP_DTR_OFF, SP_DTR_FLOW_CONTROL,
                     offsetof(struct spd_config, dtr));
}

/* Same mapping as libserialport: the chosen scheme's lines go to flow
 * control, lines of the other schemes that were in flow control are left
 * asserted, inputs are ignored. */
enum sp_return sp_set_flowcontrol(struct sp_port* port, enum sp_flowcontrol flowcontrol) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_set_flowcontrol(%d)", (int)flowcontrol);
    enum sp_return rc = forced("sp_set_flowcontrol");
    struct fake_port* p = open_port(port);
    if (rc == SP_OK && (p == NULL || (int)flowcontrol < SP_FLOWCONTROL_NONE ||
                        flowcontrol > SP_FLOWCONTROL_DTRDSR)) {
        rc = SP_ERR_ARG;
    }
    if (rc == SP_OK) {
        struct spd_config* c = &p->config;
        c->xon_xoff =
            flowcontrol == SP_FLOWCONTROL_XONXOFF ? SP_XONXOFF_INOUT : SP_XONXOFF_DISABLED;
        if (flowcontrol == SP_FLOWCONTROL_RTSCTS) {
            c->rts = SP_RTS_FLOW_CONTROL;
            c->cts = SP_CTS_FLOW_CONTROL;
        } else {
            if (c->rts == SP_RTS_FLOW_CONTROL) {
                c->rts = SP_RTS_ON;
            }
            c->cts = SP_CTS_IGNORE;
        }
        if (flowcontrol == SP_FLOWCONTROL_DTRDSR) {
            c->dtr = SP_DTR_FLOW_CONTROL;
            c->dsr = SP_DSR_FLOW_CONTROL;
        } else {
            if (c->dtr == SP_DTR_FLOW_CONTROL) {
                c->dtr = SP_DTR_ON;
            }
            c->dsr = SP_DSR_IGNORE;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

/* ---- data transfer ---- */

enum sp_return sp_blocking_read(struct sp_port* port, void* buf, size_t count,
                                unsigned int timeout_ms) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_blocking_read(%lu,%u)", (unsigned long)count, timeout_ms);
    enum sp_return rc = forced("sp_blocking_read");
    struct fake_port* p = open_port(port);
    if (rc == SP_OK && (p == NULL || (buf == NULL && count > 0))) {
        rc = SP_ERR_ARG;
    }
    if (rc != SP_OK || count == 0) {
        pthread_mutex_unlock(&g_lock);
        return rc;
    }
    unsigned wait_ms = g_read_wait_cap_ms;
    if (timeout_ms != 0 && timeout_ms < wait_ms) {
        wait_ms = timeout_ms;
    }
    struct timespec deadline = deadline_after(wait_ms);
    int waited = 0;
    /* The port is looked up again after every wake: a reset from the test
     * thread may have dropped it meanwhile. */
    while (p != NULL && p->reads_head == NULL && waited == 0) {
        waited = pthread_cond_timedwait(&g_read_pushed, &g_lock, &deadline);
        p = open_port(port);
    }
    int result = p != NULL && p->reads_head != NULL ? take_read(p, buf, count) : 0;
    pthread_mutex_unlock(&g_lock);
    return (enum sp_return)result;
}

enum sp_return sp_nonblocking_read(struct sp_port* port, void* buf, size_t count) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_nonblocking_read(%lu)", (unsigned long)count);
    enum sp_return rc = forced("sp_nonblocking_read");
    struct fake_port* p = open_port(port);
    if (rc == SP_OK && (p == NULL || (buf == NULL && count > 0))) {
        rc = SP_ERR_ARG;
    }
    int result = rc;
    if (rc == SP_OK && count > 0 && p->reads_head != NULL) {
        result = take_read(p, buf, count);
    }
    pthread_mutex_unlock(&g_lock);
    return (enum sp_return)result;
}

enum sp_return sp_blocking_write(struct sp_port* port, const void* buf, size_t count,
                                 unsigned int timeout_ms) {
    pthread_mutex_lock(&g_lock);
    log_call("sp_blocking_write(%lu,%u)", (unsigned long)count, timeout_ms);
    enum sp_return rc = forced("sp_blocking_write");
    struct fake_port* p = open_port(port);
    if (rc == SP_OK && (p == NULL || (buf == NULL && count > 0) || count > INT32_MAX)) {
        rc = SP_ERR_ARG;
    }
    if (rc != SP_OK) {
        pthread_mutex_unlock(&g_lock);
        return rc;
    }
    size_t n = count < g_write_limit ? count : g_write_limit;
    if (p->written_len + n > p->written_cap) {
        size_t cap = p->written_cap ? p->written_cap : 256;
        while (cap < p->written_len + n) {
            cap *= 2;
        }
        unsigned char* grown = realloc(p->written, cap);
        if (grown == NULL) {
            pthread_mutex_unlock(&g_lock);
            return SP_ERR_MEM;
        }
        p->written = grown;
        p->written_cap = cap;
    }
    if (n > 0) {
        memcpy(p->written + p->written_len, buf, n);
        p->written_len += n;
    }
    pthread_mutex_unlock(&g_lock);
    return (enum sp_return)(int)n;
}
