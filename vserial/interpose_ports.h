/* Inside the interposer: the emulated ports' table, shared by the interposed libc functions
 * (interpose.c) and the controls (interpose_ports.c). Every function takes the table's lock
 * itself; any thread. */
#ifndef VSERIAL_INTERPOSE_PORTS_H
#define VSERIAL_INTERPOSE_PORTS_H

#include <stddef.h>
#include <termios.h>

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

#define VS_TCGETS2 _IOR('T', 0x2A, struct vs_termios2)

/* What the pty driver will not keep. */
#define VS_PTY_FORCED (CSIZE | PARENB)

/* ioctl as libc (or a sanitizer in front of it) has it, past the interposer. */
int vs_real_ioctl(int fd, unsigned long req, void* arg);
/* Null when every interposed function is the one the dynamic linker binds; see vs_controls. */
const char* vs_unlinked_symbol(void);

/* Picks the path a tty lookup really uses. Returns path itself, or buf holding the redirected
 * path, or NULL (errno set) when the redirected path does not fit. *id is the port for a /dev
 * name of a registered, plugged port, else -1. */
const char* vs_route(const char* path, char* buf, size_t len, int* id);
/* The errno opens of the port fail with; 0 when they are accepted. */
int vs_open_refusal(int id);
/* Notes fd as open on port id. The tty layer raises DTR and RTS when a port with a non-zero
 * speed is first opened (raise); returns 1 for the first open of the port. */
int vs_track(int fd, int id, int raise);
/* The port fd is open on, or -1. */
int vs_port_of_fd(int fd);
/* Forgets fd; returns 1 when it was the port's last descriptor. The last close with HUPCL drops
 * DTR and RTS, as the tty layer does for a real port. */
int vs_untrack(int fd, int id, int hupcl);
/* TIOCMGET, TIOCMBIS, TIOCMBIC or TIOCMSET on the port's emulated lines; -1 (EIO) once
 * unplugged. */
int vs_modem_ioctl(int id, unsigned long req, int* arg);
/* 1 (errno EINVAL) while the port refuses new settings. */
int vs_settings_refused(int id);
/* The CSIZE and PARENB bits asked for last, which the pty itself does not keep. */
void vs_keep_bits(int id, tcflag_t cflag);
tcflag_t vs_kept_bits(int id);

#endif
