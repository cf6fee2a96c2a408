// SPDX-License-Identifier: MIT
/*
 * LD_PRELOAD library that gives pseudo-terminals RS-232 modem lines.
 *
 * Linux ptys reject TIOCMGET and friends, so for a pty slave that belongs to a
 * device directory listed in $VSERIAL_DEVICES the line ioctls are answered from
 * the device's shared state file instead. Opens, access() and stat() of the
 * slave or of its alias honour the device's VANISHED and DENY flags, and an
 * alias opens the slave.
 *
 * $VSERIAL_DEVICES is a colon-separated list; each entry is a device directory
 * (it holds "state") or a parent whose subdirectories are devices. It is
 * scanned on every lookup, without caching: devices come and go at run time
 * and pty numbers are reused, and the lookups are rare (opens under /dev/ and
 * the four line ioctls).
 *
 * Safety net, active even without $VSERIAL_DEVICES: /dev/ttyS*, /dev/com* and
 * anything under /dev/ that is an 8250 serial port are refused with ENOENT
 * unless configured as an alias, so no test can reach the machine's console.
 */
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "vserial_state.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))
#define TTY_MAX 128

/* Fortified open variants; glibc only declares them under _FORTIFY_SOURCE. */
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);

/* Lets the test helper check that the library really is loaded. */
EXPORT int vserial_preload_active(void)
{
    return 1;
}

/* ---- the real functions -------------------------------------------------- */

static struct {
    int (*open)(const char *, int, ...);
    int (*open64)(const char *, int, ...);
    int (*openat)(int, const char *, int, ...);
    int (*openat64)(int, const char *, int, ...);
    int (*open_2)(const char *, int);
    int (*open64_2)(const char *, int);
    int (*openat_2)(int, const char *, int);
    int (*openat64_2)(int, const char *, int);
    FILE *(*fopen)(const char *, const char *);
    FILE *(*fopen64)(const char *, const char *);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    int (*access)(const char *, int);
    int (*faccessat)(int, const char *, int, int);
    int (*stat)(const char *, struct stat *);
    int (*lstat)(const char *, struct stat *);
    int (*stat64)(const char *, struct stat64 *);
    int (*lstat64)(const char *, struct stat64 *);
    int (*fstatat)(int, const char *, struct stat *, int);
    int (*fstatat64)(int, const char *, struct stat64 *, int);
    int (*statx)(int, const char *, int, unsigned int, struct statx *);
} real;

static pthread_once_t resolve_once = PTHREAD_ONCE_INIT;

static void resolve(void)
{
#define R(field, name) *(void **)&real.field = dlsym(RTLD_NEXT, name)
    R(open, "open");
    R(open64, "open64");
    R(openat, "openat");
    R(openat64, "openat64");
    R(open_2, "__open_2");
    R(open64_2, "__open64_2");
    R(openat_2, "__openat_2");
    R(openat64_2, "__openat64_2");
    R(fopen, "fopen");
    R(fopen64, "fopen64");
    R(close, "close");
    R(ioctl, "ioctl");
    R(access, "access");
    R(faccessat, "faccessat");
    R(stat, "stat");
    R(lstat, "lstat");
    R(stat64, "stat64");
    R(lstat64, "lstat64");
    R(fstatat, "fstatat");
    R(fstatat64, "fstatat64");
    R(statx, "statx");
#undef R
}

/* Every hook starts here; a missing real function fails instead of crashing. */
#define REAL(field, ...)                                                                                               \
    (pthread_once(&resolve_once, resolve), real.field ? real.field(__VA_ARGS__) : (errno = ENOSYS, -1))

/* ---- finding devices ----------------------------------------------------- */

struct vdev {
    char dir[PATH_MAX];
    char tty[TTY_MAX]; /* slave path, e.g. /dev/pts/7 */
    dev_t rdev;
    long long born; /* ctime of the tty link in ns: the newest wins over a stale copy */
};

typedef int (*match_fn)(const struct vdev *, const void *ctx);

static int join(char *out, const char *dir, const char *name)
{
    int n = snprintf(out, PATH_MAX, "%s/%s", dir, name);
    return n > 0 && n < PATH_MAX;
}

static int load_dev(const char *dir, struct vdev *d)
{
    char p[PATH_MAX];
    struct stat st;
    if (!join(p, dir, VSERIAL_STATE_NAME) || REAL(stat, p, &st) != 0 || !S_ISREG(st.st_mode)
        || st.st_size < (off_t)sizeof(struct vserial_state))
        return 0;
    if (!join(p, dir, VSERIAL_TTY_NAME))
        return 0;
    ssize_t n = readlink(p, d->tty, TTY_MAX - 1);
    if (n <= 0 || n >= TTY_MAX - 1)
        return 0;
    d->tty[n] = '\0';
    if (REAL(lstat, p, &st) != 0)
        return 0;
    d->born = (long long)st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    /* A dead pty (master closed) fails here, so leftovers of a crashed test drop out. */
    if (REAL(stat, p, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    d->rdev = st.st_rdev;
    strcpy(d->dir, dir);
    return 1;
}

static void consider(const char *dir, match_fn match, const void *ctx, struct vdev *best, int *found)
{
    struct vdev d;
    if (!load_dev(dir, &d) || !match(&d, ctx))
        return;
    if (!*found || d.born > best->born)
        *best = d;
    *found = 1;
}

static int scan(match_fn match, const void *ctx, struct vdev *best)
{
    const char *env = getenv(VSERIAL_ENV);
    int found = 0;
    char entry[PATH_MAX], sub[PATH_MAX];
    struct stat st;

    while (env && *env) {
        const char *end = strchrnul(env, ':');
        size_t len = (size_t)(end - env);
        if (len > 0 && len < PATH_MAX) {
            memcpy(entry, env, len);
            entry[len] = '\0';
            if (join(sub, entry, VSERIAL_STATE_NAME) && REAL(stat, sub, &st) == 0) {
                consider(entry, match, ctx, best, &found);
            } else {
                DIR *dir = opendir(entry);
                struct dirent *e;
                while (dir && (e = readdir(dir)) != NULL) {
                    if (e->d_name[0] != '.' && join(sub, entry, e->d_name))
                        consider(sub, match, ctx, best, &found);
                }
                if (dir)
                    closedir(dir);
            }
        }
        env = *end ? end + 1 : end;
    }
    return found;
}

static int read_alias(const char *dir, char *out)
{
    char p[PATH_MAX];
    if (!join(p, dir, VSERIAL_ALIAS_NAME))
        return 0;
    int fd = REAL(open, p, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, out, PATH_MAX - 1);
    REAL(close, fd);
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == ' '))
        --n;
    if (n <= 0)
        return 0;
    out[n] = '\0';
    return 1;
}

static int match_path(const struct vdev *d, const void *ctx)
{
    const char *path = ctx;
    char alias[PATH_MAX];
    return strcmp(d->tty, path) == 0 || (read_alias(d->dir, alias) && strcmp(alias, path) == 0);
}

static int match_rdev(const struct vdev *d, const void *ctx)
{
    return d->rdev == *(const dev_t *)ctx;
}

/* ---- the shared state ---------------------------------------------------- */

/* Mapped per use and unmapped after, so nothing goes stale when a device goes. */
static struct vserial_state *map_state(const struct vdev *d)
{
    char p[PATH_MAX];
    if (!join(p, d->dir, VSERIAL_STATE_NAME))
        return NULL;
    int fd = REAL(open, p, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    void *m = mmap(NULL, sizeof(struct vserial_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    REAL(close, fd);
    if (m == MAP_FAILED)
        return NULL;
    struct vserial_state *s = m;
    if (s->magic != VSERIAL_MAGIC) {
        munmap(m, sizeof *s);
        return NULL;
    }
    return s;
}

static void unmap_state(struct vserial_state *s)
{
    munmap(s, sizeof *s);
}

static uint32_t device_flags(const struct vdev *d)
{
    struct vserial_state *s = map_state(d);
    if (!s)
        return VSERIAL_VANISHED; /* being torn down */
    uint32_t f = __atomic_load_n(&s->flags, __ATOMIC_SEQ_CST);
    unmap_state(s);
    return f;
}

static void set_outputs(const struct vdev *d, int high)
{
    struct vserial_state *s = map_state(d);
    if (!s)
        return;
    if (high)
        __atomic_fetch_or(&s->lines, VSERIAL_OUTPUT_LINES, __ATOMIC_SEQ_CST);
    else
        __atomic_fetch_and(&s->lines, ~(uint32_t)VSERIAL_OUTPUT_LINES, __ATOMIC_SEQ_CST);
    unmap_state(s);
}

static void wait_latency(const struct vserial_state *s)
{
    uint32_t us = __atomic_load_n(&s->latency_us, __ATOMIC_SEQ_CST);
    struct timespec t = {(time_t)(us / 1000000u), (long)(us % 1000000u) * 1000L};
    while (us && nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

/* The counters TIOCMIWAIT compares, in the order of its mask bits below. */
static void read_counts(const struct vserial_state *s, uint32_t out[4])
{
    out[0] = __atomic_load_n(&s->count_cts, __ATOMIC_SEQ_CST);
    out[1] = __atomic_load_n(&s->count_dsr, __ATOMIC_SEQ_CST);
    out[2] = __atomic_load_n(&s->count_rng, __ATOMIC_SEQ_CST);
    out[3] = __atomic_load_n(&s->count_dcd, __ATOMIC_SEQ_CST);
}

/*
 * As the kernel's TIOCMIWAIT: sleep until an input in the mask has moved since
 * the call began (its counter, so a pulse wakes too), EINTR on a signal, EIO
 * once the device is gone.
 */
static int wait_on(struct vserial_state *s, unsigned long mask)
{
    static const unsigned long bits[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR};
    /* Not in ioctl_count: a wait is no request to the device (on USB the
     * adapter reports its lines unasked). */
    __atomic_fetch_add(&s->wait_count, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&s->flags, __ATOMIC_SEQ_CST) & VSERIAL_NO_WAIT) {
        errno = EINVAL;
        return -1;
    }
    uint32_t start[4], now[4];
    read_counts(s, start);
    for (;;) {
        /* Read the sequence first: a change after it makes the futex return at once. */
        const uint32_t seq = __atomic_load_n(&s->change_seq, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&s->flags, __ATOMIC_SEQ_CST) & VSERIAL_VANISHED) {
            errno = EIO;
            return -1;
        }
        read_counts(s, now);
        for (int i = 0; i < 4; ++i) {
            if ((mask & bits[i]) && now[i] != start[i])
                return 0;
        }
        if (syscall(SYS_futex, &s->change_seq, FUTEX_WAIT, seq, NULL, NULL, 0) != 0 && errno == EINTR)
            return -1;
    }
}

static int count_on(struct vserial_state *s, struct serial_icounter_struct *arg)
{
    const int saved = errno;
    wait_latency(s);
    errno = saved;
    __atomic_fetch_add(&s->ioctl_count, 1, __ATOMIC_SEQ_CST);
    const uint32_t flags = __atomic_load_n(&s->flags, __ATOMIC_SEQ_CST);
    if (flags & VSERIAL_VANISHED) {
        errno = EIO;
        return -1;
    }
    if (flags & VSERIAL_NO_COUNT) {
        errno = EINVAL;
        return -1;
    }
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    memset(arg, 0, sizeof *arg);
    uint32_t counts[4];
    read_counts(s, counts);
    arg->cts = (int)counts[0];
    arg->dsr = (int)counts[1];
    arg->rng = (int)counts[2];
    arg->dcd = (int)counts[3];
    return 0;
}

static int emulate_on(struct vserial_state *s, unsigned long request, int *arg)
{
    const int saved = errno;
    wait_latency(s);
    errno = saved;
    __atomic_fetch_add(&s->ioctl_count, 1, __ATOMIC_SEQ_CST);
    if (request != TIOCMGET)
        __atomic_fetch_add(&s->write_count, 1, __ATOMIC_SEQ_CST);
    int rc = 0;
    if (__atomic_load_n(&s->flags, __ATOMIC_SEQ_CST) & VSERIAL_VANISHED) {
        errno = EIO;
        rc = -1;
    } else if (!arg) {
        errno = EFAULT;
        rc = -1;
    } else {
        /* Like a UART, the program can only move its own lines (and loopback). */
        uint32_t bits = (uint32_t)*arg & VSERIAL_PROGRAM_BITS;
        const uint32_t before = vserial_inputs(s);
        uint32_t old;
        switch (request) {
        case TIOCMGET:
            *arg = (int)vserial_inputs(s);
            break;
        case TIOCMBIS:
            __atomic_fetch_or(&s->lines, bits, __ATOMIC_SEQ_CST);
            break;
        case TIOCMBIC:
            __atomic_fetch_and(&s->lines, ~bits, __ATOMIC_SEQ_CST);
            break;
        case TIOCMSET:
            old = __atomic_load_n(&s->lines, __ATOMIC_SEQ_CST);
            while (!__atomic_compare_exchange_n(&s->lines, &old, (old & ~(uint32_t)VSERIAL_PROGRAM_BITS) | bits, 0,
                                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            }
            break;
        }
        /* An input fed from DTR or RTS moves with it. */
        if (request != TIOCMGET && vserial_inputs(s) != before)
            vserial_changed(s, before);
    }
    return rc;
}

static int emulate_any(struct vserial_state *s, unsigned long request, void *arg)
{
    if (request == TIOCMIWAIT)
        return wait_on(s, (unsigned long)arg);
    if (request == TIOCGICOUNT)
        return count_on(s, arg);
    return emulate_on(s, request, arg);
}

static int emulate_ioctl(const struct vdev *d, unsigned long request, void *arg)
{
    struct vserial_state *s = map_state(d);
    if (!s) {
        errno = EIO;
        return -1;
    }
    int rc = emulate_any(s, request, arg);
    unmap_state(s);
    return rc;
}

/* ---- deciding about a path ----------------------------------------------- */

/* Lexical clean-up, so "//dev/./ttyS0" cannot slip past the prefix checks. */
static int normalize(const char *in, char *out)
{
    size_t n = 0;
    const char *p = in;
    while (*p) {
        while (*p == '/')
            ++p;
        const char *start = p;
        while (*p && *p != '/')
            ++p;
        size_t len = (size_t)(p - start);
        if (len == 0 || (len == 1 && start[0] == '.'))
            continue;
        if (len == 2 && start[0] == '.' && start[1] == '.') {
            while (n > 0 && out[n - 1] != '/')
                --n;
            if (n > 0)
                --n;
            continue;
        }
        if (n + 1 + len >= PATH_MAX)
            return 0;
        out[n++] = '/';
        memcpy(out + n, start, len);
        n += len;
    }
    if (n == 0)
        out[n++] = '/';
    out[n] = '\0';
    return 1;
}

static int forbidden(const char *norm)
{
    struct stat st;
    if (strncmp(norm, "/dev/ttyS", 9) == 0 || strncmp(norm, "/dev/com", 8) == 0)
        return 1;
    /* 8250 serial ports (major 4, minor 64 and up) under any other name or link */
    return REAL(stat, norm, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 4 && minor(st.st_rdev) >= 64;
}

enum { PASS = 0, DEVICE = 1, REFUSE = -1 };
enum { CHECK_DENY = 1, CHECK_NET = 2 };

/*
 * PASS: use the path as given. DEVICE: use d->tty instead (it may be an alias).
 * REFUSE: fail with errno. Only absolute paths under /dev/ are looked at.
 */
static int route(const char *path, struct vdev *d, int checks)
{
    char norm[PATH_MAX];
    if (!path || path[0] != '/')
        return PASS;
    if (!normalize(path, norm)) {
        errno = ENAMETOOLONG;
        return REFUSE;
    }
    if (strncmp(norm, "/dev/", 5) != 0)
        return PASS;
    if (scan(match_path, norm, d)) {
        uint32_t f = device_flags(d);
        if (f & VSERIAL_VANISHED) {
            errno = ENOENT;
            return REFUSE;
        }
        if ((checks & CHECK_DENY) && (f & VSERIAL_DENY)) {
            errno = EACCES;
            return REFUSE;
        }
        return DEVICE;
    }
    if ((checks & CHECK_NET) && forbidden(norm)) {
        errno = ENOENT;
        return REFUSE;
    }
    return PASS;
}

/* ---- open and close ------------------------------------------------------ */

/* Descriptors opened on a device, so close() can drop DTR and RTS. */
static unsigned char tracked[4096];
/*
 * Their state, mapped once at open: a program polls the lines ten times a
 * second, and rescanning the device folders for every ioctl would make the
 * emulation, not the program, dominate what is measured.
 */
static struct vserial_state *tracked_state[4096];
static dev_t tracked_rdev[4096];

/*
 * After a device open: refuse a second opener of an exclusive tty as the
 * kernel does for unprivileged users (root would get in), then raise DTR and
 * RTS as a real port does on open.
 */
static int opened_device(int fd, const struct vdev *d)
{
    int excl = 0;
    if (fd < 0)
        return fd;
    if (REAL(ioctl, fd, TIOCGEXCL, &excl) == 0 && excl) {
        REAL(close, fd);
        errno = EBUSY;
        return -1;
    }
    set_outputs(d, 1);
    if (fd < (int)sizeof tracked) {
        tracked[fd] = 1;
        if (tracked_state[fd])
            unmap_state(tracked_state[fd]);
        tracked_state[fd] = map_state(d);
        tracked_rdev[fd] = d->rdev;
    }
    return fd;
}

static mode_t open_mode(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

#define OPEN_HOOK(name, field)                                                                                         \
    EXPORT int name(const char *path, int flags, ...)                                                                  \
    {                                                                                                                  \
        va_list ap;                                                                                                    \
        va_start(ap, flags);                                                                                           \
        mode_t mode = open_mode(flags, ap);                                                                            \
        va_end(ap);                                                                                                    \
        struct vdev d;                                                                                                 \
        switch (route(path, &d, CHECK_DENY | CHECK_NET)) {                                                             \
        case REFUSE:                                                                                                   \
            return -1;                                                                                                 \
        case DEVICE:                                                                                                   \
            return opened_device(REAL(field, d.tty, flags, mode), &d);                                                 \
        default:                                                                                                       \
            return REAL(field, path, flags, mode);                                                                     \
        }                                                                                                              \
    }

#define OPENAT_HOOK(name, field)                                                                                       \
    EXPORT int name(int dirfd, const char *path, int flags, ...)                                                       \
    {                                                                                                                  \
        va_list ap;                                                                                                    \
        va_start(ap, flags);                                                                                           \
        mode_t mode = open_mode(flags, ap);                                                                            \
        va_end(ap);                                                                                                    \
        struct vdev d;                                                                                                 \
        switch (route(path, &d, CHECK_DENY | CHECK_NET)) {                                                             \
        case REFUSE:                                                                                                   \
            return -1;                                                                                                 \
        case DEVICE:                                                                                                   \
            return opened_device(REAL(field, dirfd, d.tty, flags, mode), &d);                                          \
        default:                                                                                                       \
            return REAL(field, dirfd, path, flags, mode);                                                              \
        }                                                                                                              \
    }

OPEN_HOOK(open, open)
OPEN_HOOK(open64, open64)
OPENAT_HOOK(openat, openat)
OPENAT_HOOK(openat64, openat64)

#define OPEN2_HOOK(name, field)                                                                                        \
    EXPORT int name(const char *path, int flags)                                                                       \
    {                                                                                                                  \
        struct vdev d;                                                                                                 \
        switch (route(path, &d, CHECK_DENY | CHECK_NET)) {                                                             \
        case REFUSE:                                                                                                   \
            return -1;                                                                                                 \
        case DEVICE:                                                                                                   \
            return opened_device(REAL(field, d.tty, flags), &d);                                                       \
        default:                                                                                                       \
            return REAL(field, path, flags);                                                                           \
        }                                                                                                              \
    }

#define OPENAT2_HOOK(name, field)                                                                                      \
    EXPORT int name(int dirfd, const char *path, int flags)                                                            \
    {                                                                                                                  \
        struct vdev d;                                                                                                 \
        switch (route(path, &d, CHECK_DENY | CHECK_NET)) {                                                             \
        case REFUSE:                                                                                                   \
            return -1;                                                                                                 \
        case DEVICE:                                                                                                   \
            return opened_device(REAL(field, dirfd, d.tty, flags), &d);                                                \
        default:                                                                                                       \
            return REAL(field, dirfd, path, flags);                                                                    \
        }                                                                                                              \
    }

OPEN2_HOOK(__open_2, open_2)
OPEN2_HOOK(__open64_2, open64_2)
OPENAT2_HOOK(__openat_2, openat_2)
OPENAT2_HOOK(__openat64_2, openat64_2)

/* stdio opens inside libc and would bypass the hooks above. */
#define FOPEN_HOOK(name, field)                                                                                        \
    EXPORT FILE *name(const char *path, const char *mode)                                                              \
    {                                                                                                                  \
        struct vdev d;                                                                                                 \
        pthread_once(&resolve_once, resolve);                                                                          \
        if (!real.field) {                                                                                             \
            errno = ENOSYS;                                                                                            \
            return NULL;                                                                                               \
        }                                                                                                              \
        switch (route(path, &d, CHECK_DENY | CHECK_NET)) {                                                             \
        case REFUSE:                                                                                                   \
            return NULL;                                                                                               \
        case DEVICE:                                                                                                   \
            return real.field(d.tty, mode);                                                                            \
        default:                                                                                                       \
            return real.field(path, mode);                                                                             \
        }                                                                                                              \
    }

FOPEN_HOOK(fopen, fopen)
FOPEN_HOOK(fopen64, fopen64)

EXPORT int close(int fd)
{
    if (fd >= 0 && fd < (int)sizeof tracked && tracked[fd]) {
        struct stat st;
        struct vdev d;
        tracked[fd] = 0;
        if (tracked_state[fd]) {
            unmap_state(tracked_state[fd]);
            tracked_state[fd] = NULL;
        }
        /* A real port drops DTR and RTS on close only with HUPCL set (stty hupcl). */
        struct termios t;
        const int hupcl = tcgetattr(fd, &t) != 0 || (t.c_cflag & HUPCL);
        if (hupcl && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && scan(match_rdev, &st.st_rdev, &d))
            set_outputs(&d, 0);
    }
    return REAL(close, fd);
}

/* ---- ioctl --------------------------------------------------------------- */

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC
        || request == TIOCMIWAIT || request == TIOCGICOUNT) {
        struct stat st;
        struct vdev d;
        if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
            return REAL(ioctl, fd, request, arg);
        /* The rdev check guards against a descriptor reused behind our back (dup2). */
        if (fd < (int)sizeof tracked && tracked_state[fd] && tracked_rdev[fd] == st.st_rdev)
            return emulate_any(tracked_state[fd], request, arg);
        if (scan(match_rdev, &st.st_rdev, &d))
            return emulate_ioctl(&d, request, arg);
    }
    return REAL(ioctl, fd, request, arg);
}

/* ---- access and stat ----------------------------------------------------- */

EXPORT int access(const char *path, int mode)
{
    struct vdev d;
    switch (route(path, &d, CHECK_NET | ((mode & (R_OK | W_OK)) ? CHECK_DENY : 0))) {
    case REFUSE:
        return -1;
    case DEVICE:
        return REAL(access, d.tty, mode);
    default:
        return REAL(access, path, mode);
    }
}

EXPORT int faccessat(int dirfd, const char *path, int mode, int flags)
{
    struct vdev d;
    switch (route(path, &d, CHECK_NET | ((mode & (R_OK | W_OK)) ? CHECK_DENY : 0))) {
    case REFUSE:
        return -1;
    case DEVICE:
        return REAL(faccessat, AT_FDCWD, d.tty, mode, flags & ~AT_SYMLINK_NOFOLLOW);
    default:
        return REAL(faccessat, dirfd, path, mode, flags);
    }
}

/*
 * stat family: an alias looks like the device node itself (not a link), and a
 * vanished device is gone. No safety net here: stat never opens a device.
 */
#define STAT_HOOK(name, type, field)                                                                                   \
    EXPORT int name(const char *path, struct type *buf)                                                                \
    {                                                                                                                  \
        struct vdev d;                                                                                                 \
        switch (route(path, &d, 0)) {                                                                                  \
        case REFUSE:                                                                                                   \
            return -1;                                                                                                 \
        case DEVICE:                                                                                                   \
            return REAL(field, d.tty, buf);                                                                            \
        default:                                                                                                       \
            return REAL(name, path, buf);                                                                              \
        }                                                                                                              \
    }

STAT_HOOK(stat, stat, stat)
STAT_HOOK(lstat, stat, stat)
STAT_HOOK(stat64, stat64, stat64)
STAT_HOOK(lstat64, stat64, stat64)

#define FSTATAT_HOOK(name, type)                                                                                       \
    EXPORT int name(int dirfd, const char *path, struct type *buf, int flags)                                          \
    {                                                                                                                  \
        struct vdev d;                                                                                                 \
        switch (route(path, &d, 0)) {                                                                                  \
        case REFUSE:                                                                                                   \
            return -1;                                                                                                 \
        case DEVICE:                                                                                                   \
            return REAL(name, AT_FDCWD, d.tty, buf, flags & ~AT_SYMLINK_NOFOLLOW);                                     \
        default:                                                                                                       \
            return REAL(name, dirfd, path, buf, flags);                                                                \
        }                                                                                                              \
    }

FSTATAT_HOOK(fstatat, stat)
FSTATAT_HOOK(fstatat64, stat64)

EXPORT int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *buf)
{
    struct vdev d;
    switch (route(path, &d, 0)) {
    case REFUSE:
        return -1;
    case DEVICE:
        return REAL(statx, AT_FDCWD, d.tty, flags & ~AT_SYMLINK_NOFOLLOW, mask, buf);
    default:
        return REAL(statx, dirfd, path, flags, mask, buf);
    }
}
