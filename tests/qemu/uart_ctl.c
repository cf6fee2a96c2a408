/* Sets and clears modem-control bits of a serial device and prints the bits
 * the kernel then reports, for the guest side of the real-driver test:
 *
 *     uart_ctl /dev/ttyS1 +loop -out2     ->  "DSR CD LOOP"
 *
 * It opens the device without waiting for carrier and without becoming its
 * controlling terminal, so it works beside the program holding the port
 * (root passes the program's TIOCEXCL). Changing bits on a port nobody else
 * holds is undone by its own close (HUPCL drops DTR and RTS), except LOOP and
 * OUT1, which the driver keeps. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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
    {"dtr", TIOCM_DTR}, {"rts", TIOCM_RTS}, {"cts", TIOCM_CTS}, {"dsr", TIOCM_DSR},
    {"cd", TIOCM_CAR},  {"ri", TIOCM_RNG},  {"out1", TIOCM_OUT1}, {"out2", TIOCM_OUT2},
    {"loop", TIOCM_LOOP},
};

static int bitNamed(const char *name)
{
    for (size_t i = 0; i < sizeof kBits / sizeof kBits[0]; ++i) {
        if (strcmp(kBits[i].name, name) == 0)
            return kBits[i].bit;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE [+BIT|-BIT]...   (BIT: dtr rts out1 out2 loop)\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "uart_ctl: cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        const char sign = argv[i][0];
        int bit = (sign == '+' || sign == '-') ? bitNamed(argv[i] + 1) : 0;
        if (bit == 0) {
            fprintf(stderr, "uart_ctl: '%s' is not +BIT or -BIT\n", argv[i]);
            return 2;
        }
        if (ioctl(fd, sign == '+' ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
            fprintf(stderr, "uart_ctl: %s %s on %s: %s\n", sign == '+' ? "setting" : "clearing",
                    argv[i] + 1, argv[1], strerror(errno));
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
