/* libc interposer behind vserial::Rig.
 *
 * The executable defines these libc functions and exports them, so the dynamic linker binds every
 * shared library's calls (libserialport's included, even when it arrives through dlopen) to them
 * before libc's. Each forwards to the next definition (a sanitizer runtime's or libc's) found
 * with dlsym(RTLD_NEXT).
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
#include "vserial/interpose.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#define VS_EXPORT __attribute__((visibility("default")))

enum { kMaxPorts = 32, kMaxEvents = 256, kMaxFds = 256, kMaxAccesses = 64, kNameLen = 64 };

/* The kernel's struct termios2 (asm/termbits.h cannot be included next to termios.h). Its first
 * four words have the same layout as the kernel's struct termios, which is all that is touched. */
struct vs_termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
struct vs_ktermios {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
};

#define VS_TCGETS2 _IOR('T', 0x2A, struct vs_termios2)
#define VS_TCSETS2 _IOW('T', 0x2B, struct vs_termios2)
#define VS_TCSETSW2 _IOW('T', 0x2C, struct vs_termios2)
#define VS_TCSETSF2 _IOW('T', 0x2D, struct vs_termios2)

/* What the pty driver will not keep. */
#define VS_PTY_FORCED (CSIZE | PARENB)

struct port {
    int used;
    int plugged;
    char dev[kNameLen];
    char pts[kNameLen];
    int ownFd;
    int refuseErrno;
    int refuseSettings;
    tcflag_t kept; /* requested CSIZE | PARENB */
    int modem;
    int openCount;
    int nEvents;
    struct vs_event events[kMaxEvents];
};

struct tracked {
    int fd;
    int id;
};

static pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
static int gActive;
static char gRoot[PATH_MAX];
static struct port gPorts[kMaxPorts];
static struct tracked gFds[kMaxFds];
static int gFdCount;
static char gAccesses[kMaxAccesses][kNameLen * 2];
static int gAccessCount;

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

static int real_ioctl(int fd, unsigned long req, void* arg) {
    return NEXT(ioctl_fn, "ioctl")(fd, req, arg);
}

/* ---- routing and descriptor tracking --------------------------------------------------------- */

static int starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

static void note_access(const char* path) {
    if (gAccessCount < kMaxAccesses) {
        snprintf(gAccesses[gAccessCount], sizeof gAccesses[0], "%s", path);
        ++gAccessCount;
    }
}

/* Picks the path a tty lookup really uses. Returns path itself, or buf holding the redirected
 * path, or NULL (errno set) when the redirected path does not fit. *id is the port for a /dev
 * name of a registered, plugged port, else -1. */
static const char* route(const char* path, char* buf, size_t len, int* id) {
    *id = -1;
    if (path == NULL) {
        return path;
    }
    int dev = starts_with(path, "/dev/tty");
    if (!dev && !starts_with(path, "/sys/class/tty")) {
        return path;
    }
    const char* out = buf;
    pthread_mutex_lock(&gLock);
    if (!gActive) {
        note_access(path);
        out = path;
    } else {
        int n = -1;
        if (dev) {
            for (int i = 0; i < kMaxPorts; ++i) {
                if (gPorts[i].used && gPorts[i].plugged && strcmp(gPorts[i].dev, path) == 0) {
                    *id = i;
                    n = snprintf(buf, len, "%s", gPorts[i].pts);
                    break;
                }
            }
        }
        /* Any other tty name lands in the tree, where /dev does not exist: hidden. */
        if (*id < 0) {
            n = snprintf(buf, len, "%s%s", gRoot, path);
        }
        if (n < 0 || (size_t)n >= len) {
            errno = ENAMETOOLONG;
            out = NULL;
        }
    }
    pthread_mutex_unlock(&gLock);
    return out;
}

static int port_of_fd(int fd) {
    int id = -1;
    pthread_mutex_lock(&gLock);
    for (int i = 0; i < gFdCount; ++i) {
        if (gFds[i].fd == fd) {
            id = gFds[i].id;
            break;
        }
    }
    pthread_mutex_unlock(&gLock);
    return id;
}

static void set_modem(struct port* p, int bits) {
    static const struct {
        int bit;
        int line;
    } kLines[] = {{TIOCM_DTR, VS_LINE_DTR}, {TIOCM_RTS, VS_LINE_RTS}};
    for (size_t i = 0; i < sizeof kLines / sizeof kLines[0]; ++i) {
        int bit = kLines[i].bit;
        if ((p->modem & bit) != (bits & bit) && p->nEvents < kMaxEvents) {
            p->events[p->nEvents].line = kLines[i].line;
            p->events[p->nEvents].level = (bits & bit) != 0;
            ++p->nEvents;
        }
    }
    p->modem = bits & (TIOCM_DTR | TIOCM_RTS);
}

/* The tty layer raises DTR and RTS when a port with a non-zero speed is first opened, O_NONBLOCK
 * or not; libserialport reads them back and re-applies them as found. Returns 1 for the first
 * open of the port. */
static int track(int fd, int id, int raise) {
    int first = 0;
    pthread_mutex_lock(&gLock);
    /* The port may have gone with its rig between the lookup and the open. */
    struct port* p = &gPorts[id];
    if (p->used && gFdCount < kMaxFds) {
        gFds[gFdCount].fd = fd;
        gFds[gFdCount].id = id;
        ++gFdCount;
        first = p->openCount++ == 0;
        if (first && raise) {
            set_modem(p, p->modem | TIOCM_DTR | TIOCM_RTS);
        }
    }
    pthread_mutex_unlock(&gLock);
    return first;
}

/* A real tty is not listening while nobody has it open, and its last close discards what was
 * not read. The pty slave stays open in the adapter, so its input is dropped by hand at both
 * ends of a use. */
static void drop_input(int fd) {
    real_ioctl(fd, TCFLSH, (void*)(long)TCIFLUSH);
}

/* ---- interposed path calls ------------------------------------------------------------------- */

static int open_routed(const char* path, int flags, mode_t mode, const char* name) {
    char buf[PATH_MAX];
    int id;
    const char* p = route(path, buf, sizeof buf, &id);
    if (p == NULL) {
        return -1;
    }
    if (id >= 0) {
        pthread_mutex_lock(&gLock);
        int err = gPorts[id].refuseErrno;
        pthread_mutex_unlock(&gLock);
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
        if (track(fd, id, live)) {
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

#define ROUTE_OR_FAIL(path, fail)                          \
    char buf_[PATH_MAX];                                   \
    int id_;                                               \
    const char* p_ = route(path, buf_, sizeof buf_, &id_); \
    (void)id_;                                             \
    if (p_ == NULL) {                                      \
        return fail;                                       \
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
    int id = port_of_fd(fd);
    if (id >= 0) {
        /* Last close with HUPCL drops DTR and RTS, as the tty layer does for a real port. */
        struct termios t;
        int hupcl = NEXT(tcgetattr_fn, "tcgetattr")(fd, &t) == 0 && (t.c_cflag & HUPCL);
        int last = 0;
        pthread_mutex_lock(&gLock);
        for (int i = 0; i < gFdCount; ++i) {
            if (gFds[i].fd == fd) {
                gFds[i] = gFds[--gFdCount];
                struct port* p = &gPorts[id];
                last = --p->openCount == 0;
                if (last && hupcl) {
                    set_modem(p, 0);
                }
                break;
            }
        }
        pthread_mutex_unlock(&gLock);
        if (last) {
            drop_input(fd);
        }
    }
    return NEXT(close_fn, "close")(fd);
}

static int modem_ioctl(int id, unsigned long req, int* arg) {
    int rc = 0;
    pthread_mutex_lock(&gLock);
    struct port* p = &gPorts[id];
    if (!p->plugged) {
        errno = EIO;
        rc = -1;
    } else if (req == TIOCMGET) {
        *arg = p->modem;
    } else if (req == TIOCMBIS) {
        set_modem(p, p->modem | *arg);
    } else if (req == TIOCMBIC) {
        set_modem(p, p->modem & ~*arg);
    } else {
        set_modem(p, *arg);
    }
    pthread_mutex_unlock(&gLock);
    return rc;
}

static tcflag_t kept_bits(int id) {
    pthread_mutex_lock(&gLock);
    tcflag_t kept = gPorts[id].kept;
    pthread_mutex_unlock(&gLock);
    return kept;
}

static int settings_refused(int id) {
    pthread_mutex_lock(&gLock);
    int refused = gPorts[id].refuseSettings;
    pthread_mutex_unlock(&gLock);
    if (refused) {
        errno = EINVAL;
    }
    return refused;
}

static void keep_bits(int id, tcflag_t cflag) {
    pthread_mutex_lock(&gLock);
    gPorts[id].kept = cflag & VS_PTY_FORCED;
    pthread_mutex_unlock(&gLock);
}

static tcflag_t merge_kept(int id, tcflag_t cflag) {
    return (cflag & ~(tcflag_t)VS_PTY_FORCED) | kept_bits(id);
}

static tcflag_t pty_cflag(tcflag_t cflag) {
    return (cflag & ~(tcflag_t)VS_PTY_FORCED) | CS8;
}

/* Settings ioctls issued directly (termios2 for non-standard baud rates, or plain TCSETS). */
static int termios_ioctl(int fd, int id, unsigned long req, void* arg, size_t size) {
    if (req == TCGETS || req == VS_TCGETS2) {
        int rc = real_ioctl(fd, req, arg);
        if (rc == 0) {
            struct vs_ktermios* k = arg;
            k->c_cflag = merge_kept(id, k->c_cflag);
        }
        return rc;
    }
    if (settings_refused(id)) {
        return -1;
    }
    struct vs_termios2 copy;
    memcpy(&copy, arg, size);
    tcflag_t requested = copy.c_cflag;
    copy.c_cflag = pty_cflag(copy.c_cflag);
    int rc = real_ioctl(fd, req, &copy);
    if (rc == 0) {
        keep_bits(id, requested);
    }
    return rc;
}

VS_EXPORT int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int id = port_of_fd(fd);
    if (id < 0) {
        return real_ioctl(fd, req, arg);
    }
    switch (req) {
        case TIOCMGET:
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMSET:
            return modem_ioctl(id, req, arg);
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
            return real_ioctl(fd, req, arg);
    }
}

VS_EXPORT int tcgetattr(int fd, struct termios* t) {
    int rc = NEXT(tcgetattr_fn, "tcgetattr")(fd, t);
    int id = rc == 0 ? port_of_fd(fd) : -1;
    if (id >= 0) {
        t->c_cflag = merge_kept(id, t->c_cflag);
    }
    return rc;
}

VS_EXPORT int tcsetattr(int fd, int action, const struct termios* t) {
    int id = port_of_fd(fd);
    if (id < 0) {
        return NEXT(tcsetattr_fn, "tcsetattr")(fd, action, t);
    }
    if (settings_refused(id)) {
        return -1;
    }
    struct termios copy = *t;
    copy.c_cflag = pty_cflag(copy.c_cflag);
    int rc = NEXT(tcsetattr_fn, "tcsetattr")(fd, action, &copy);
    if (rc == 0) {
        keep_bits(id, t->c_cflag);
    }
    return rc;
}

/* ---- control ---------------------------------------------------------------------------- */

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

int vs_activate(const char* root) {
    int rc = -1;
    pthread_mutex_lock(&gLock);
    if (!gActive && strlen(root) < sizeof gRoot) {
        snprintf(gRoot, sizeof gRoot, "%s", root);
        gActive = 1;
        rc = 0;
    }
    pthread_mutex_unlock(&gLock);
    return rc;
}

void vs_deactivate(void) {
    pthread_mutex_lock(&gLock);
    gActive = 0;
    gRoot[0] = '\0';
    memset(gPorts, 0, sizeof gPorts);
    gFdCount = 0;
    pthread_mutex_unlock(&gLock);
}

int vs_add(const char* dev_path, const char* pts_path, int own_fd) {
    int id = -1;
    pthread_mutex_lock(&gLock);
    for (int i = 0; i < kMaxPorts && id < 0; ++i) {
        if (!gPorts[i].used && strlen(dev_path) < kNameLen && strlen(pts_path) < kNameLen) {
            struct port* p = &gPorts[i];
            memset(p, 0, sizeof *p);
            p->used = 1;
            p->plugged = 1;
            snprintf(p->dev, sizeof p->dev, "%s", dev_path);
            snprintf(p->pts, sizeof p->pts, "%s", pts_path);
            p->ownFd = own_fd;
            p->kept = CS8;
            id = i;
        }
    }
    pthread_mutex_unlock(&gLock);
    return id;
}

#define WITH_PORT(id, stmt)                                     \
    do {                                                        \
        pthread_mutex_lock(&gLock);                             \
        if ((id) >= 0 && (id) < kMaxPorts && gPorts[id].used) { \
            struct port* p = &gPorts[id];                       \
            stmt;                                               \
        }                                                       \
        pthread_mutex_unlock(&gLock);                           \
    } while (0)

void vs_unplug(int id) {
    WITH_PORT(id, p->plugged = 0);
}

void vs_refuse_open(int id, int err) {
    WITH_PORT(id, p->refuseErrno = err);
}

void vs_refuse_settings(int id, int refuse) {
    WITH_PORT(id, p->refuseSettings = refuse);
}

int vs_modem(int id) {
    int bits = 0;
    WITH_PORT(id, bits = p->modem);
    return bits;
}

int vs_events(int id, struct vs_event* out, int max) {
    int n = 0;
    WITH_PORT(id, n = p->nEvents < max ? p->nEvents : max;
              memcpy(out, p->events, (size_t)n * sizeof *out));
    return n;
}

int vs_open_count(int id) {
    int n = 0;
    WITH_PORT(id, n = p->openCount);
    return n;
}

int vs_line(int id, struct vs_line* out) {
    int fd = -1;
    tcflag_t kept = 0;
    WITH_PORT(
        id, if (p->plugged) {
            fd = p->ownFd;
            kept = p->kept;
        });
    if (fd < 0) {
        return -1;
    }
    struct vs_termios2 t2;
    if (real_ioctl(fd, VS_TCGETS2, &t2) != 0) {
        return -1;
    }
    out->baud = t2.c_ospeed;
    out->iflag = t2.c_iflag;
    out->cflag = (t2.c_cflag & ~(tcflag_t)VS_PTY_FORCED) | kept;
    return 0;
}

int vs_access(int i, char* buf, size_t len) {
    int rc = -1;
    pthread_mutex_lock(&gLock);
    if (i >= 0 && i < gAccessCount) {
        snprintf(buf, len, "%s", gAccesses[i]);
        rc = 0;
    }
    pthread_mutex_unlock(&gLock);
    return rc;
}
