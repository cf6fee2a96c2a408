// SPDX-License-Identifier: MIT
/* Sets and clears modem-control bits of a serial device and prints the bits
 * the kernel then reports, for the guest side of the real-driver test:
 *
 *     uart_ctl /dev/ttyS1 +loop -out2     ->  "DSR CD LOOP"
 *
 * It opens the device without waiting for carrier and without becoming its
 * controlling terminal, so it works beside the program holding the port
 * (root passes the program's TIOCEXCL). Such an open raises DTR and RTS
 * (tty_port_block_til_ready), which a program that sets its outputs only on
 * a change would never take back: so DTR and RTS are put back at once as
 * the driver reported them before (/proc/tty/driver/serial, root only).
 * Changing bits on a port nobody else holds is undone by its own close
 * (HUPCL drops DTR and RTS, the driver OUT2), except LOOP, which it keeps. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* The kernel's bits that glibc's headers leave out (asm-generic/termios.h). */
#ifndef TIOCM_OUT1
#define TIOCM_OUT1 0x2000
#endif
#ifndef TIOCM_OUT2
#define TIOCM_OUT2 0x4000
#endif
#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000
#endif

static const struct {
    const char *name;
    int bit;
} kBits[] = {
    {"dtr", TIOCM_DTR}, {"rts", TIOCM_RTS},   {"cts", TIOCM_CTS},   {"dsr", TIOCM_DSR},   {"cd", TIOCM_CAR},
    {"ri", TIOCM_RNG},  {"out1", TIOCM_OUT1}, {"out2", TIOCM_OUT2}, {"loop", TIOCM_LOOP},
};

static int bitNamed(const char *name)
{
    for (size_t i = 0; i < sizeof kBits / sizeof kBits[0]; ++i) {
        if (strcmp(kBits[i].name, name) == 0)
            return kBits[i].bit;
    }
    return 0;
}

/* DTR and RTS as the driver last set them for ttyS<line>, or -1 if it does
 * not say. */
static int outputsBefore(int line)
{
    FILE *f = fopen("/proc/tty/driver/serial", "r");
    if (!f)
        return -1;
    char buf[512];
    int result = -1;
    while (fgets(buf, sizeof buf, f)) {
        char *end = NULL;
        const long n = strtol(buf, &end, 10);
        if (end == buf || *end != ':' || n != line || !strstr(buf, " tx:"))
            continue;
        result = 0;
        for (char *tok = strtok(end + 1, " |\n"); tok; tok = strtok(NULL, " |\n")) {
            if (strcmp(tok, "DTR") == 0)
                result |= TIOCM_DTR;
            else if (strcmp(tok, "RTS") == 0)
                result |= TIOCM_RTS;
        }
    }
    fclose(f);
    return result;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE [+BIT|-BIT]...   (BIT: dtr rts out1 out2 loop)\n", argv[0]);
        return 2;
    }
    const char *name = strrchr(argv[1], '/') ? strrchr(argv[1], '/') + 1 : argv[1];
    const int before = strncmp(name, "ttyS", 4) == 0 ? outputsBefore(atoi(name + 4)) : -1;
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "uart_ctl: cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    if (before >= 0) {
        int raised = (TIOCM_DTR | TIOCM_RTS) & ~before;
        if (raised && ioctl(fd, TIOCMBIC, &raised) != 0) {
            fprintf(stderr, "uart_ctl: lowering DTR/RTS again on %s: %s\n", argv[1], strerror(errno));
            return 1;
        }
    }
    for (int i = 2; i < argc; ++i) {
        const char sign = argv[i][0];
        int bit = (sign == '+' || sign == '-') ? bitNamed(argv[i] + 1) : 0;
        if (bit == 0) {
            fprintf(stderr, "uart_ctl: '%s' is not +BIT or -BIT\n", argv[i]);
            return 2;
        }
        if (ioctl(fd, sign == '+' ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
            fprintf(stderr, "uart_ctl: %s %s on %s: %s\n", sign == '+' ? "setting" : "clearing", argv[i] + 1, argv[1],
                    strerror(errno));
            return 1;
        }
    }
    int state = 0;
    if (ioctl(fd, TIOCMGET, &state) != 0) {
        fprintf(stderr, "uart_ctl: reading the lines of %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    const char *sep = "";
    for (size_t i = 0; i < sizeof kBits / sizeof kBits[0]; ++i) {
        if (state & kBits[i].bit) {
            printf("%s%s", sep, kBits[i].name);
            sep = " ";
        }
    }
    printf("\n");
    close(fd);
    return 0;
}
