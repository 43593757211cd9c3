// Internal to the libserialport test double: the fake ports, the one lock and the state that
// spd_reset drops, shared by the libserialport functions (sp_double.c) and the control API
// (sp_double_control.c).
#pragma once

#include <libserialport.h>
#include <stddef.h>

#include "sp_double.h"
#include "sp_double_lock.h"

// Shared between the double's files but not part of what it exports.
#if defined(_MSC_VER)
#define SPD_INTERNAL
#else
#define SPD_INTERNAL __attribute__((visibility("hidden")))
#endif

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
    int hold_input;
    // The input signal, made when first handed out and raised while input waits.
    int signal_made;
    int signal_raised;
#ifdef _WIN32
    HANDLE signal;  // manual-reset event
#else
    int signal;  // eventfd
#endif
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

// The number of functions spd_set_result can make fail (k_forceable in sp_double_control.c).
#define FORCEABLE 13

// Everything spd_reset drops; it zeroes the lot and restores the two defaults.
struct spd_state {
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
};

// Plain static initialisers: no constructor runs at load time, which keeps the library usable
// from any test's static initialisation.
extern SPD_INTERNAL pthread_mutex_t g_lock;
extern SPD_INTERNAL pthread_cond_t g_read_pushed;
// These outlive spd_reset: ids stay unique, and handles held across a reset are still counted
// when they are freed.
extern SPD_INTERNAL unsigned long g_next_port_id;
extern SPD_INTERNAL int g_live_ports;
extern SPD_INTERNAL int g_live_configs;
extern SPD_INTERNAL struct spd_state g;

// A test double has no use for out-of-memory paths of its own: these abort instead.
SPD_INTERNAL void* xrealloc(void* p, size_t n);
SPD_INTERNAL char* dup_or_null(const char* s);
// The result forced on a function spd_set_result can make fail, or NULL for any other.
SPD_INTERNAL int* forced_slot(const char* function);
// Releases the lock; the argument is evaluated while it is still held.
SPD_INTERNAL int leave(int result);
// By name, or by id when name is NULL. Caller holds g_lock.
SPD_INTERNAL struct fake_port* find_port(const char* name, unsigned long id);
// Takes the lock and returns the port named, or NULL.
SPD_INTERNAL struct fake_port* lock_port(const char* name);
// Queues a read result (code < 0) or a chunk of data on the port's script and wakes a waiting
// reader. Caller holds g_lock.
SPD_INTERNAL void append_read(struct fake_port* p, int code, const void* data, size_t len);
// Raises or lowers the port's input signal to match its script. Caller holds g_lock.
SPD_INTERNAL void update_signal(struct fake_port* p);
