/* Control side of the libc interposer behind vserial::Rig. Every call is thread-safe; the
 * interposed libc functions themselves are called from any thread of the process. While no root
 * is active the interposer only forwards (and notes real tty paths, see access_at). */
#ifndef VSERIAL_INTERPOSE_H
#define VSERIAL_INTERPOSE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { VS_LINE_DTR = 0, VS_LINE_RTS = 1 };

struct vs_event {
    int line;  /* VS_LINE_* */
    int level; /* 0 or 1 */
};

/* Terminal settings of an emulated port, with the bits a pty cannot hold merged back. */
struct vs_line {
    unsigned baud;
    unsigned iflag;
    unsigned cflag;
};

/* The interposer's controls. They are reached through vs_get_controls(), looked up at run time, so
 * that a program can carry the rig without the interposer: cpd-host loads the interposer (its
 * own shared library, preloaded) only when virtual adapters are asked for. */
struct vs_controls {
    /* Null when every interposed function is the definition the dynamic linker hands to shared
     * libraries; otherwise the name of the first one that is not (not exported, or shadowed). */
    const char* (*unlinked_symbol)(void);

    /* Redirects /sys/class/tty... into root/sys/class/tty... and hides every /dev/tty* except
     * the registered ports. -1 when already active. */
    int (*activate)(const char* root);
    /* Forgets every port and descriptor and goes back to pure forwarding. */
    void (*deactivate)(void);

    /* Registers dev_path ("/dev/ttyUSB0") as the pty slave pts_path; own_fd is the caller's own
     * descriptor on the slave, used to read the settings. Returns the port's id or -1 (table
     * full). */
    int (*add)(const char* dev_path, const char* pts_path, int own_fd);
    /* Opens of the port fail with ENOENT and modem-line ioctls on open descriptors with EIO. */
    void (*unplug)(int id);
    void (*refuse_open)(int id, int err);
    void (*refuse_settings)(int id, int refuse);

    int (*modem)(int id); /* TIOCM_DTR / TIOCM_RTS bits */
    /* Copies up to max events, oldest first; returns how many were copied. */
    int (*events)(int id, struct vs_event* out, int max);
    int (*open_count)(int id);
    /* 0, or -1 once the port is unplugged or the settings cannot be read. */
    int (*line)(int id, struct vs_line* out);

    /* The i-th tty path that reached the real libc; -1 past the end. */
    int (*access_at)(int i, char* buf, size_t len);
};

/* The one name a program looks up (dlsym) to find the interposer. */
#define VS_CONTROLS_SYMBOL "vs_get_controls"
const struct vs_controls* vs_get_controls(void);

#ifdef __cplusplus
}
#endif

#endif
