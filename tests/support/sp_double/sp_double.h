// Control surface of the libserialport test double.
//
// The double is a shared library that exports the part of the libserialport API the plug-in
// calls (same signatures as <libserialport.h>) over a table of fake ports, plus the spd_*
// functions below with which a test sets the ports up, scripts what reads return, injects
// failures and inspects what the code under test did.
//
// Threads: every function (sp_* and spd_*) takes one internal lock, so a test thread may push
// read data or query the log while another thread sits in sp_blocking_read. Only
// sp_blocking_read blocks, and never longer than the read wait cap. Strings passed in are
// copied; nothing returned here needs freeing. State lives until spd_reset(), which tests call
// in SetUp/TearDown; handles the code under test still holds across a reset stay valid to free.
//
// Input signal: an open port's wait handle (sp_get_port_handle's descriptor on Linux, the
// receive event of sp_add_port_events on Windows) is raised exactly while its read script is
// not empty, and sp_input_waiting then counts the bytes queued, so a reader that waits on it
// wakes when a test pushes a read.
#ifndef CPD_TESTS_SP_DOUBLE_H
#define CPD_TESTS_SP_DOUBLE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// What sp_get_config reports for a port; libserialport's encodings, -1 for "invalid".
// sp_set_* calls on an open handle change these values.
struct spd_config {
    int baudrate;
    int bits;
    int parity;
    int stopbits;
    int rts;
    int cts;
    int dtr;
    int dsr;
    int xon_xoff;
};

// 9600 baud, 8 bits, parity -1, 1 stop bit, RTS on, CTS ignored, DTR on, DSR ignored,
// XON/XOFF disabled.
struct spd_config spd_default_config(void);

// Drops every port, script, captured byte, forced result and log entry, and restores the
// default read wait cap and write limit.
void spd_reset(void);

// Ports are listed by sp_list_ports in the order they were added. A NULL description makes
// sp_get_port_description return NULL. Returns 0, or -1 when the name is NULL or taken.
int spd_add_port(const char* name, const char* description);
int spd_get_port_config(const char* name, struct spd_config* config);
// 1 while some handle has the port open, 0 if not, -1 for an unknown name.
int spd_is_open(const char* name);

// Every call of the sp_* function named here returns `code` (SP_OK clears it) without doing
// its work; outputs are set as on a real failure (NULL handles). Returns -1 for a name that
// cannot be forced, so a typo cannot silently disable a test. The getters fail through
// spd_fail_getter_call instead.
int spd_set_result(const char* function, int code);
// The n-th sp_get_config_* call (1-based, counted from now, whichever getter it is) returns
// `code`; n == 0 disables.
void spd_fail_getter_call(unsigned n, int code);

// Read script of a port, consumed in order by sp_blocking_read and sp_nonblocking_read. A data
// chunk is returned by one read (split only when the reader asks for fewer bytes); a code entry
// (a negative sp_return) is returned as the result of one read. Returns 0, or -1 for an
// unknown port.
int spd_push_read(const char* name, const void* data, size_t len);
int spd_push_read_result(const char* name, int code);
// Entries not yet consumed (0 for an unknown port).
size_t spd_pending_reads(const char* name);
// With an empty script sp_blocking_read waits min(timeout, cap) for a push, then returns 0; a
// timeout of 0 ("forever") waits the cap. Default 20 ms, so a pump loop spins fast and never
// hangs a test.
void spd_set_read_wait_cap(unsigned ms);
// While on, the port's input signal stays raised with an empty script, as when bytes have woken
// a reader whose read then gathers for its timeout: each sp_blocking_read waits (up to the cap).
int spd_hold_input(const char* name, int on);

// sp_blocking_write accepts at most `max` bytes per call and returns that count, as a real port
// does when the timeout passes mid-write. (size_t)-1, the default, accepts everything.
void spd_set_write_limit(size_t max);
// Bytes accepted by sp_blocking_write on the port so far: copies up to `cap` into `out` (may
// be NULL) and returns the total count.
size_t spd_written(const char* name, void* out, size_t cap);

// Call log: one entry per sp_* call, "name(args)" where args are the call's non-pointer
// arguments in decimal and its input strings as they are, comma separated, e.g.
// "sp_set_dtr(0)", "sp_open(3)", "sp_blocking_write(5,500)", "sp_get_port_by_name(ttyFAKE0)",
// "sp_get_config_bits()".
// Copies entry `index` NUL-terminated into out (truncated to cap) and returns its full length;
// returns 0 and writes nothing for an index past the end.
size_t spd_call_at(size_t index, char* out, size_t cap);
// Entries that begin with `prefix` ("sp_" counts every library call).
size_t spd_count_calls(const char* prefix);
void spd_clear_calls(void);

// Port handles and configuration objects handed out and not yet freed.
int spd_live_ports(void);
int spd_live_configs(void);

#ifdef __cplusplus
}

#include <string>
#include <vector>

namespace spd {

// The call log's entries that begin with `prefix`, oldest first.
inline std::vector<std::string> Calls(const std::string& prefix = "") {
    std::vector<std::string> out;
    std::string call;
    for (size_t i = 0, len; (len = spd_call_at(i, nullptr, 0)) > 0; ++i) {
        call.assign(len, '\0');
        spd_call_at(i, &call[0], len + 1);
        if (call.rfind(prefix, 0) == 0) {
            out.push_back(call);
        }
    }
    return out;
}

inline std::string Written(const char* name) {
    std::string out(spd_written(name, nullptr, 0), '\0');
    spd_written(name, &out[0], out.size());
    return out;
}

}  // namespace spd
#endif

#endif
