// SPDX-License-Identifier: MIT
/*
 * The shared state of one virtual serial device, mmapped MAP_SHARED by the
 * test helper and by every process running under the preload, so the test and
 * the program under test see the same modem lines. Plain C so both sides can
 * include it.
 */
#ifndef VSERIAL_STATE_H
#define VSERIAL_STATE_H

#include <limits.h>
#include <linux/futex.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000 /* <asm/termbits.h>; glibc's headers leave it out */
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define VSERIAL_MAGIC 0x56534552u /* "VSER": refuses to map foreign files */

/* Bits of vserial_state.flags */
#define VSERIAL_VANISHED 1u /* unplugged: line ioctls fail with EIO, open and stat with ENOENT */
#define VSERIAL_DENY 2u     /* open and access(R_OK/W_OK) fail with EACCES, even for root */
#define VSERIAL_NO_WAIT 4u  /* TIOCMIWAIT fails with EINVAL, as on cp210x */
#define VSERIAL_NO_COUNT 8u /* TIOCGICOUNT fails with EINVAL, as on pl2303 and ch341 */

/* The lines the program drives; the others (CTS, DSR, CAR, RNG) belong to the test. */
#define VSERIAL_OUTPUT_LINES (TIOCM_DTR | TIOCM_RTS)
/* What the program may set and clear: its outputs and, as on a 16550, the
 * loopback bit, which open and close leave alone. */
#define VSERIAL_PROGRAM_BITS (VSERIAL_OUTPUT_LINES | TIOCM_LOOP)

/* Names inside a device directory */
#define VSERIAL_ENV "VSERIAL_DEVICES"
#define VSERIAL_TTY_NAME "tty"     /* symlink to the pty slave */
#define VSERIAL_STATE_NAME "state" /* struct vserial_state */
#define VSERIAL_ALIAS_NAME "link"  /* optional text file: another path under /dev/ that opens the device */

struct vserial_state {
    uint32_t magic;
    volatile uint32_t lines;       /* TIOCM_* bits */
    volatile uint32_t flags;       /* VSERIAL_VANISHED | VSERIAL_DENY */
    volatile uint32_t ioctl_count; /* emulated line ioctls but TIOCMIWAIT, failed ones included */
    volatile uint32_t write_count; /* of those, the ones that set or clear lines */
    volatile uint32_t latency_us;  /* each emulated line ioctl takes this long, as a USB round trip */
    volatile uint32_t fed_by_dtr;  /* inputs wired to DTR through a closed contact: they read high while DTR is */
    /* Edges of each input as the kernel counts them (TIOCGICOUNT). */
    volatile uint32_t count_cts;
    volatile uint32_t count_dsr;
    volatile uint32_t count_rng;
    volatile uint32_t count_dcd;
    volatile uint32_t wait_count; /* TIOCMIWAIT calls */
    /* Bumped after every change of an input or a flag; waiters sleep on it (futex). */
    volatile uint32_t change_seq;
    volatile uint32_t fed_by_rts; /* as fed_by_dtr, from RTS: with both, a loopback plug */
};

/* The inputs as the program reads them: set by the test, or fed from DTR or RTS. */
static inline uint32_t vserial_inputs(const struct vserial_state *s)
{
    uint32_t lines = __atomic_load_n(&s->lines, __ATOMIC_SEQ_CST);
    if (lines & TIOCM_DTR)
        lines |= __atomic_load_n(&s->fed_by_dtr, __ATOMIC_SEQ_CST);
    if (lines & TIOCM_RTS)
        lines |= __atomic_load_n(&s->fed_by_rts, __ATOMIC_SEQ_CST);
    return lines;
}

/*
 * After any change of lines, contacts or flags: count the inputs' edges, as a
 * UART's interrupt handler does, and wake every waiter in every process.
 */
static inline void vserial_changed(struct vserial_state *s, uint32_t before)
{
    const uint32_t moved = before ^ vserial_inputs(s);
    if (moved & TIOCM_CTS)
        __atomic_fetch_add(&s->count_cts, 1, __ATOMIC_SEQ_CST);
    if (moved & TIOCM_DSR)
        __atomic_fetch_add(&s->count_dsr, 1, __ATOMIC_SEQ_CST);
    if (moved & TIOCM_RNG)
        __atomic_fetch_add(&s->count_rng, 1, __ATOMIC_SEQ_CST);
    if (moved & TIOCM_CAR)
        __atomic_fetch_add(&s->count_dcd, 1, __ATOMIC_SEQ_CST);
    __atomic_fetch_add(&s->change_seq, 1, __ATOMIC_SEQ_CST);
    /* Not FUTEX_PRIVATE: the waiter is another process mapping the same file. */
    syscall(SYS_futex, &s->change_seq, FUTEX_WAKE, INT_MAX, NULL, NULL, 0);
}

#ifdef __cplusplus
}
#endif

#endif
