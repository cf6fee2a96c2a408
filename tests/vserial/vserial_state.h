// SPDX-License-Identifier: MIT
/*
 * The shared state of one virtual serial device, mmapped MAP_SHARED by the
 * test helper and by every process running under the preload, so the test and
 * the program under test see the same modem lines. Plain C so both sides can
 * include it.
 */
#ifndef VSERIAL_STATE_H
#define VSERIAL_STATE_H

#include <stdint.h>
#include <sys/ioctl.h>

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
    volatile uint32_t ioctl_count; /* emulated line ioctls, failed ones included */
    volatile uint32_t write_count; /* of those, the ones that set or clear lines */
    volatile uint32_t latency_us;  /* each emulated line ioctl takes this long, as a USB round trip */
    volatile uint32_t fed_by_dtr;  /* inputs wired to DTR through a closed contact: they read high while DTR is */
};

#ifdef __cplusplus
}
#endif

#endif
