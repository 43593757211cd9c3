/* The interposer's table of emulated ports: what the interposed libc calls look up and change,
 * and the controls vserial::Rig drives it with. One lock guards all of it. */
#include "vserial/interpose_ports.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

#include "vserial/interpose.h"

enum { kMaxPorts = 32, kMaxEvents = 256, kMaxFds = 256, kMaxAccesses = 64, kNameLen = 64 };

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

/* ---- what the interposed calls use ----------------------------------------------------------- */

static int starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

static void note_access(const char* path) {
    if (gAccessCount < kMaxAccesses) {
        snprintf(gAccesses[gAccessCount], sizeof gAccesses[0], "%s", path);
        ++gAccessCount;
    }
}

const char* vs_route(const char* path, char* buf, size_t len, int* id) {
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

int vs_open_refusal(int id) {
    pthread_mutex_lock(&gLock);
    int err = gPorts[id].refuseErrno;
    pthread_mutex_unlock(&gLock);
    return err;
}

int vs_port_of_fd(int fd) {
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

int vs_track(int fd, int id, int raise) {
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

int vs_untrack(int fd, int id, int hupcl) {
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
    return last;
}

int vs_modem_ioctl(int id, unsigned long req, int* arg) {
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

tcflag_t vs_kept_bits(int id) {
    pthread_mutex_lock(&gLock);
    tcflag_t kept = gPorts[id].kept;
    pthread_mutex_unlock(&gLock);
    return kept;
}

int vs_settings_refused(int id) {
    pthread_mutex_lock(&gLock);
    int refused = gPorts[id].refuseSettings;
    pthread_mutex_unlock(&gLock);
    if (refused) {
        errno = EINVAL;
    }
    return refused;
}

void vs_keep_bits(int id, tcflag_t cflag) {
    pthread_mutex_lock(&gLock);
    gPorts[id].kept = cflag & VS_PTY_FORCED;
    pthread_mutex_unlock(&gLock);
}

/* ---- controls ------------------------------------------------------------------------------ */

static int activate(const char* root) {
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

static void deactivate(void) {
    pthread_mutex_lock(&gLock);
    gActive = 0;
    gRoot[0] = '\0';
    memset(gPorts, 0, sizeof gPorts);
    gFdCount = 0;
    pthread_mutex_unlock(&gLock);
}

static int add(const char* dev_path, const char* pts_path, int own_fd) {
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

static void unplug(int id) {
    WITH_PORT(id, p->plugged = 0);
}

static void refuse_open(int id, int err) {
    WITH_PORT(id, p->refuseErrno = err);
}

static void refuse_settings(int id, int refuse) {
    WITH_PORT(id, p->refuseSettings = refuse);
}

static int modem(int id) {
    int bits = 0;
    WITH_PORT(id, bits = p->modem);
    return bits;
}

static int events(int id, struct vs_event* out, int max) {
    int n = 0;
    WITH_PORT(id, n = p->nEvents < max ? p->nEvents : max;
              memcpy(out, p->events, (size_t)n * sizeof *out));
    return n;
}

static int open_count(int id) {
    int n = 0;
    WITH_PORT(id, n = p->openCount);
    return n;
}

static int line(int id, struct vs_line* out) {
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
    if (vs_real_ioctl(fd, VS_TCGETS2, &t2) != 0) {
        return -1;
    }
    out->baud = t2.c_ospeed;
    out->iflag = t2.c_iflag;
    out->cflag = (t2.c_cflag & ~(tcflag_t)VS_PTY_FORCED) | kept;
    return 0;
}

static int access_at(int i, char* buf, size_t len) {
    int rc = -1;
    pthread_mutex_lock(&gLock);
    if (i >= 0 && i < gAccessCount) {
        snprintf(buf, len, "%s", gAccesses[i]);
        rc = 0;
    }
    pthread_mutex_unlock(&gLock);
    return rc;
}

__attribute__((visibility("default"))) const struct vs_controls* vs_get_controls(void) {
    static const struct vs_controls kControls = {
        .unlinked_symbol = vs_unlinked_symbol,
        .activate = activate,
        .deactivate = deactivate,
        .add = add,
        .unplug = unplug,
        .refuse_open = refuse_open,
        .refuse_settings = refuse_settings,
        .modem = modem,
        .events = events,
        .open_count = open_count,
        .line = line,
        .access_at = access_at,
    };
    return &kControls;
}
