/* libc interposer behind vserial::Rig: the interposed libc functions.
 *
 * The module that defines these libc functions and exports them comes ahead of libc in the
 * dynamic linker's search order (a test executable that links them in, or the library cpd-host
 * preloads), so every shared library's calls bind to them before libc's (libserialport's
 * included, even when it arrives through dlopen). Each forwards to the next definition (a
 * sanitizer runtime's or libc's) found with dlsym(RTLD_NEXT).
 *
 * What libserialport 0.1.1 needs and a bare pty cannot give:
 * - enumeration and port details come from /sys/class/tty, so those paths are redirected into a
 *   private tree shaped like a USB adapter's sysfs; /dev/tty* names map to pty slaves;
 * - TIOCMGET/TIOCMBIS/TIOCMBIC fail with ENOTTY on a pty, and sp_open and every sp_set_* use
 *   them, so DTR and RTS are emulated per port;
 * - the pty driver forces CS8 and clears PARENB, after which glibc's tcsetattr reports EINVAL
 *   because nothing it asked for took effect; the requested CSIZE/PARENB bits are kept per port,
 *   the pty is handed CS8 without parity, and the kept bits are merged into what is read back.
 *
 * Built without _FORTIFY_SOURCE and without _FILE_OFFSET_BITS so the names defined here are the
 * plain ones libserialport imports (open, __open_2, __lxstat, ...). */
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "vserial/interpose_ports.h"

#define VS_EXPORT __attribute__((visibility("default")))

/* The kernel's struct termios, the size TCGETS and TCSETS copy. */
struct vs_ktermios {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
};

#define VS_TCSETS2 _IOW('T', 0x2B, struct vs_termios2)
#define VS_TCSETSW2 _IOW('T', 0x2C, struct vs_termios2)
#define VS_TCSETSF2 _IOW('T', 0x2D, struct vs_termios2)

/* ---- next definitions ---------------------------------------------------------------------- */

static void* next(void** slot, const char* name) {
    void* fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (fn == NULL) {
        fn = dlsym(RTLD_NEXT, name);
        if (fn == NULL) {
            /* Nothing sensible can be forwarded; carrying on would corrupt the caller. */
            fprintf(stderr, "vserial: no next definition of %s\n", name);
            abort();
        }
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

#define NEXT(type, name)           \
    ({                             \
        static void* slot_;        \
        (type) next(&slot_, name); \
    })

typedef int (*open_fn)(const char*, int, ...);
typedef FILE* (*fopen_fn)(const char*, const char*);
typedef DIR* (*opendir_fn)(const char*);
typedef ssize_t (*readlink_fn)(const char*, char*, size_t);
typedef int (*stat_fn)(const char*, struct stat*);
typedef int (*stat64_fn)(const char*, struct stat64*);
typedef int (*access_fn)(const char*, int);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcgetattr_fn)(int, struct termios*);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);

int vs_real_ioctl(int fd, unsigned long req, void* arg) {
    return NEXT(ioctl_fn, "ioctl")(fd, req, arg);
}

/* A real tty is not listening while nobody has it open, and its last close discards what was
 * not read. The pty slave stays open in the adapter, so its input is dropped by hand at both
 * ends of a use. */
static void drop_input(int fd) {
    vs_real_ioctl(fd, TCFLSH, (void*)(long)TCIFLUSH);
}

/* ---- interposed path calls ------------------------------------------------------------------- */

static int open_routed(const char* path, int flags, mode_t mode, const char* name) {
    char buf[PATH_MAX];
    int id;
    const char* p = vs_route(path, buf, sizeof buf, &id);
    if (p == NULL) {
        return -1;
    }
    if (id >= 0) {
        int err = vs_open_refusal(id);
        if (err != 0) {
            errno = err;
            return -1;
        }
        /* A pty that became the controlling terminal would SIGHUP the process on unplug. */
        flags |= O_NOCTTY;
    }
    int fd = NEXT(open_fn, name)(p, flags, mode);
    if (fd >= 0 && id >= 0) {
        struct termios t;
        int live = NEXT(tcgetattr_fn, "tcgetattr")(fd, &t) == 0 && cfgetospeed(&t) != B0;
        if (vs_track(fd, id, live)) {
            drop_input(fd);
        }
    }
    return fd;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

VS_EXPORT int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_routed(path, flags, mode, "open");
}

VS_EXPORT int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_routed(path, flags, mode, "open64");
}

VS_EXPORT int __open_2(const char* path, int flags) {
    return open_routed(path, flags, 0, "open");
}

VS_EXPORT int __open64_2(const char* path, int flags) {
    return open_routed(path, flags, 0, "open64");
}

#define ROUTE_OR_FAIL(path, fail)                             \
    char buf_[PATH_MAX];                                      \
    int id_;                                                  \
    const char* p_ = vs_route(path, buf_, sizeof buf_, &id_); \
    (void)id_;                                                \
    if (p_ == NULL) {                                         \
        return fail;                                          \
    }

VS_EXPORT FILE* fopen(const char* path, const char* mode) {
    ROUTE_OR_FAIL(path, NULL);
    return NEXT(fopen_fn, "fopen")(p_, mode);
}

VS_EXPORT FILE* fopen64(const char* path, const char* mode) {
    ROUTE_OR_FAIL(path, NULL);
    return NEXT(fopen_fn, "fopen64")(p_, mode);
}

VS_EXPORT DIR* opendir(const char* path) {
    ROUTE_OR_FAIL(path, NULL);
    return NEXT(opendir_fn, "opendir")(p_);
}

VS_EXPORT ssize_t readlink(const char* path, char* out, size_t len) {
    ROUTE_OR_FAIL(path, -1);
    return NEXT(readlink_fn, "readlink")(p_, out, len);
}

VS_EXPORT int access(const char* path, int mode) {
    ROUTE_OR_FAIL(path, -1);
    return NEXT(access_fn, "access")(p_, mode);
}

VS_EXPORT int stat(const char* path, struct stat* st) {
    ROUTE_OR_FAIL(path, -1);
    return NEXT(stat_fn, "stat")(p_, st);
}

VS_EXPORT int lstat(const char* path, struct stat* st) {
    ROUTE_OR_FAIL(path, -1);
    return NEXT(stat_fn, "lstat")(p_, st);
}

VS_EXPORT int stat64(const char* path, struct stat64* st) {
    ROUTE_OR_FAIL(path, -1);
    return NEXT(stat64_fn, "stat64")(p_, st);
}

VS_EXPORT int lstat64(const char* path, struct stat64* st) {
    ROUTE_OR_FAIL(path, -1);
    return NEXT(stat64_fn, "lstat64")(p_, st);
}

/* glibc before 2.33 exported only these versioned wrappers, and binaries built then (Debian's
 * libserialport0 among them) still import them. libc keeps them as hidden compatibility symbols
 * that dlsym cannot return; on 64-bit Linux every version number shares struct stat, so the
 * modern calls serve. */
int __xstat(int ver, const char* path, struct stat* st);
int __lxstat(int ver, const char* path, struct stat* st);
int __xstat64(int ver, const char* path, struct stat64* st);
int __lxstat64(int ver, const char* path, struct stat64* st);

VS_EXPORT int __xstat(int ver, const char* path, struct stat* st) {
    (void)ver;
    return stat(path, st);
}

VS_EXPORT int __lxstat(int ver, const char* path, struct stat* st) {
    (void)ver;
    return lstat(path, st);
}

VS_EXPORT int __xstat64(int ver, const char* path, struct stat64* st) {
    (void)ver;
    return stat64(path, st);
}

VS_EXPORT int __lxstat64(int ver, const char* path, struct stat64* st) {
    (void)ver;
    return lstat64(path, st);
}

/* ---- interposed descriptor calls ------------------------------------------------------------- */

VS_EXPORT int close(int fd) {
    int id = vs_port_of_fd(fd);
    if (id >= 0) {
        struct termios t;
        int hupcl = NEXT(tcgetattr_fn, "tcgetattr")(fd, &t) == 0 && (t.c_cflag & HUPCL);
        if (vs_untrack(fd, id, hupcl)) {
            drop_input(fd);
        }
    }
    return NEXT(close_fn, "close")(fd);
}

static tcflag_t merge_kept(int id, tcflag_t cflag) {
    return (cflag & ~(tcflag_t)VS_PTY_FORCED) | vs_kept_bits(id);
}

static tcflag_t pty_cflag(tcflag_t cflag) {
    return (cflag & ~(tcflag_t)VS_PTY_FORCED) | CS8;
}

/* Settings ioctls issued directly (termios2 for non-standard baud rates, or plain TCSETS). */
static int termios_ioctl(int fd, int id, unsigned long req, void* arg, size_t size) {
    if (req == TCGETS || req == VS_TCGETS2) {
        int rc = vs_real_ioctl(fd, req, arg);
        if (rc == 0) {
            struct vs_ktermios* k = arg;
            k->c_cflag = merge_kept(id, k->c_cflag);
        }
        return rc;
    }
    if (vs_settings_refused(id)) {
        return -1;
    }
    struct vs_termios2 copy;
    memcpy(&copy, arg, size);
    tcflag_t requested = copy.c_cflag;
    copy.c_cflag = pty_cflag(copy.c_cflag);
    int rc = vs_real_ioctl(fd, req, &copy);
    if (rc == 0) {
        vs_keep_bits(id, requested);
    }
    return rc;
}

VS_EXPORT int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int id = vs_port_of_fd(fd);
    if (id < 0) {
        return vs_real_ioctl(fd, req, arg);
    }
    switch (req) {
        case TIOCMGET:
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMSET:
            return vs_modem_ioctl(id, req, arg);
        case TCGETS:
        case TCSETS:
        case TCSETSW:
        case TCSETSF:
            return termios_ioctl(fd, id, req, arg, sizeof(struct vs_ktermios));
        case VS_TCGETS2:
        case VS_TCSETS2:
        case VS_TCSETSW2:
        case VS_TCSETSF2:
            return termios_ioctl(fd, id, req, arg, sizeof(struct vs_termios2));
        default:
            return vs_real_ioctl(fd, req, arg);
    }
}

VS_EXPORT int tcgetattr(int fd, struct termios* t) {
    int rc = NEXT(tcgetattr_fn, "tcgetattr")(fd, t);
    int id = rc == 0 ? vs_port_of_fd(fd) : -1;
    if (id >= 0) {
        t->c_cflag = merge_kept(id, t->c_cflag);
    }
    return rc;
}

VS_EXPORT int tcsetattr(int fd, int action, const struct termios* t) {
    int id = vs_port_of_fd(fd);
    if (id < 0) {
        return NEXT(tcsetattr_fn, "tcsetattr")(fd, action, t);
    }
    if (vs_settings_refused(id)) {
        return -1;
    }
    struct termios copy = *t;
    copy.c_cflag = pty_cflag(copy.c_cflag);
    int rc = NEXT(tcsetattr_fn, "tcsetattr")(fd, action, &copy);
    if (rc == 0) {
        vs_keep_bits(id, t->c_cflag);
    }
    return rc;
}

/* ---- the check that the interposition is in effect ------------------------------------- */

const char* vs_unlinked_symbol(void) {
    static const struct {
        const char* name;
        void* fn;
    } kOurs[] = {
        {"open", (void*)open},
        {"open64", (void*)open64},
        {"__open_2", (void*)__open_2},
        {"__open64_2", (void*)__open64_2},
        {"fopen", (void*)fopen},
        {"fopen64", (void*)fopen64},
        {"opendir", (void*)opendir},
        {"readlink", (void*)readlink},
        {"access", (void*)access},
        {"stat", (void*)stat},
        {"lstat", (void*)lstat},
        {"stat64", (void*)stat64},
        {"lstat64", (void*)lstat64},
        {"__xstat", (void*)__xstat},
        {"__lxstat", (void*)__lxstat},
        {"__xstat64", (void*)__xstat64},
        {"__lxstat64", (void*)__lxstat64},
        {"close", (void*)close},
        {"ioctl", (void*)ioctl},
        {"tcgetattr", (void*)tcgetattr},
        {"tcsetattr", (void*)tcsetattr},
    };
    for (size_t i = 0; i < sizeof kOurs / sizeof kOurs[0]; ++i) {
        if (dlsym(RTLD_DEFAULT, kOurs[i].name) != kOurs[i].fn) {
            return kOurs[i].name;
        }
    }
    return NULL;
}
