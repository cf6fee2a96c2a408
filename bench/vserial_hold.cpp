// SPDX-License-Identifier: MIT
// Holds one virtual serial device with the alias /dev/com3 for as long as
// stdin stays open, so a program started with the preload can poll it.
// Prints the device directory first. The device is made under the first entry
// of $VSERIAL_DEVICES (or the directory given as the only argument).

#include "virtual_serial_device.h"

#include <cstdio>

#include <unistd.h>

int main(int argc, char **argv)
{
    VirtualSerialDevice device(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString());
    if (!device.isValid() || !device.setAlias(QStringLiteral("/dev/com3"))) {
        std::fprintf(stderr, "vserial_hold: %s\n", qPrintable(device.errorString()));
        return 1;
    }
    std::printf("%s\n", qPrintable(device.deviceDir()));
    std::fflush(stdout);
    char buf[256];
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    return 0;
}
