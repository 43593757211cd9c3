// libserialport test double, control API: how a test sets up fake ports, scripts reads, forces
// results and reads back what the code under test did; and the state both halves share.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sp_double_state.h"

#ifndef _WIN32
#include <unistd.h>
#endif

// The functions spd_set_result can make fail.
static const char* const k_forceable[] = {
    "sp_list_ports",    "sp_get_port_by_name", "sp_open",
    "sp_new_config",    "sp_get_config",       "sp_set_baudrate",
    "sp_set_bits",      "sp_set_parity",       "sp_set_stopbits",
    "sp_set_dtr",       "sp_set_flowcontrol",  "sp_blocking_read",
    "sp_blocking_write"};
_Static_assert(sizeof k_forceable / sizeof k_forceable[0] == FORCEABLE, "FORCEABLE is stale");

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_read_pushed = PTHREAD_COND_INITIALIZER;
unsigned long g_next_port_id = 1;
int g_live_ports;
int g_live_configs;
struct spd_state g = {.read_wait_cap_ms = DEFAULT_READ_WAIT_CAP_MS, .write_limit = (size_t)-1};

void* xrealloc(void* p, size_t n) {
    p = realloc(p, n != 0 ? n : 1);
    if (p == NULL) {
        abort();
    }
    return p;
}

char* dup_or_null(const char* s) {
    size_t n = s != NULL ? strlen(s) + 1 : 0;
    return s != NULL ? memcpy(xrealloc(NULL, n), s, n) : NULL;
}

int* forced_slot(const char* function) {
    for (size_t i = 0; i < FORCEABLE; ++i) {
        if (strcmp(k_forceable[i], function) == 0) {
            return &g.forced[i];
        }
    }
    return NULL;
}

int leave(int result) {
    pthread_mutex_unlock(&g_lock);
    return result;
}

struct fake_port* find_port(const char* name, unsigned long id) {
    for (int i = 0; i < g.port_count; ++i) {
        struct fake_port* p = &g.ports[i];
        if (name != NULL ? strcmp(p->name, name) == 0 : p->id == id) {
            return p;
        }
    }
    return NULL;
}

struct fake_port* lock_port(const char* name) {
    pthread_mutex_lock(&g_lock);
    return name != NULL ? find_port(name, 0) : NULL;
}

void update_signal(struct fake_port* p) {
    const int want = p->reads != NULL || p->hold_input;
    if (!p->signal_made || want == p->signal_raised) {
        return;
    }
#ifdef _WIN32
    (want ? SetEvent : ResetEvent)(p->signal);
#else
    uint64_t count = 1;
    if ((want ? write(p->signal, &count, sizeof count) : read(p->signal, &count, sizeof count)) !=
        (ssize_t)sizeof count) {
        abort();
    }
#endif
    p->signal_raised = want;
}

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
        if (p->signal_made) {
#ifdef _WIN32
            CloseHandle(p->signal);
#else
            close(p->signal);
#endif
        }
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

void append_read(struct fake_port* p, int code, const void* data, size_t len) {
    struct read_item** tail = &p->reads;
    while (*tail != NULL) {
        tail = &(*tail)->next;
    }
    *tail = xrealloc(NULL, sizeof **tail + len);
    **tail = (struct read_item){.code = code, .len = len};
    memcpy((*tail)->data, data, len);
    update_signal(p);
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

int spd_hold_input(const char* name, int on) {
    struct fake_port* p = lock_port(name);
    if (p != NULL) {
        p->hold_input = on;
        update_signal(p);
        pthread_cond_broadcast(&g_read_pushed);
    }
    return leave(p != NULL ? 0 : -1);
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
