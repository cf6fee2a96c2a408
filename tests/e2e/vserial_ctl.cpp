// SPDX-License-Identifier: MIT
// Lets the end-to-end test drive one virtual serial device from a script.
//
//     vserial_ctl PARENT_DIR [ALIAS]
//
// Creates a device under PARENT_DIR (the program under test gets
// VSERIAL_DEVICES=PARENT_DIR), prints "ready <device dir>", then answers one
// line per command read from stdin:
//
//     cts|dsr|dcd|ri 0|1   set an input line           -> ok
//     inputs C D K         set all three inputs at once -> ok
//     contact cts|dsr|dcd 0|1  a dry contact from DTR to that input -> ok
//     pulse cts|dsr|dcd MS the input to the other level and back after MS
//                          milliseconds (0: only the edge counters see it) -> ok
//     pulses cts|dsr|dcd N MS GAP  N such pulses, GAP ms apart -> ok
//     plug standard|with-ri|no-cts|no-dsr|no-dcd|none  a loopback plug (RTS to
//                          CTS, DTR to DSR and DCD), one that also wires RI,
//                          one with a wire broken, or none -> ok
//     latency US           every line ioctl takes US microseconds -> ok
//     driver count|wait|none  what the emulated driver offers: TIOCMIWAIT and
//                          TIOCGICOUNT, the wait only, or neither -> ok
//     dtr? | rts?          read an output line          -> 0|1
//     ioctls?              line ioctls answered so far  -> <count>
//     vanish 0|1           unplug / plug back           -> ok
//     hupcl 0|1            closing drops DTR and RTS    -> ok
//     quit                 (or end of input) remove the device and exit
//
// Each command gets exactly one answer line, so the caller never races it.

#include "virtual_serial_device.h"

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {
int lineBit(const std::string &name)
{
    return name == "cts" ? TIOCM_CTS
        : name == "dsr"  ? TIOCM_DSR
        : name == "dcd"  ? TIOCM_CAR
        : name == "ri"   ? TIOCM_RNG
                         : 0;
}

bool parseBit(std::istringstream &in, bool *bit)
{
    int value = -1;
    in >> value;
    if (value != 0 && value != 1)
        return false;
    *bit = value == 1;
    return true;
}
}

int main(int argc, char *argv[])
{
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: vserial_ctl PARENT_DIR [ALIAS]\n";
        return 2;
    }
    VirtualSerialDevice device(QString::fromLocal8Bit(argv[1]));
    if (!device.isValid()) {
        std::cerr << "vserial_ctl: " << device.errorString().toStdString() << '\n';
        return 1;
    }
    if (argc == 3 && !device.setAlias(QString::fromLocal8Bit(argv[2]))) {
        std::cerr << "vserial_ctl: cannot set alias " << argv[2] << '\n';
        return 1;
    }
    std::cout << "ready " << device.deviceDir().toStdString() << std::endl;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        bool bit = false;
        if (command == "quit") {
            break;
        } else if (lineBit(command) && parseBit(in, &bit)) {
            device.setLine(lineBit(command), bit);
            std::cout << "ok" << std::endl;
        } else if (command == "plug") {
            std::string kind;
            in >> kind;
            quint32 fromDtr = TIOCM_DSR | TIOCM_CAR, fromRts = TIOCM_CTS;
            if (kind == "with-ri")
                fromDtr |= TIOCM_RNG;
            else if (kind == "no-cts")
                fromRts = 0;
            else if (kind == "no-dsr")
                fromDtr = TIOCM_CAR;
            else if (kind == "no-dcd")
                fromDtr = TIOCM_DSR;
            else if (kind == "none")
                fromDtr = fromRts = 0;
            if (kind == "standard" || kind == "with-ri" || kind == "no-cts" || kind == "no-dsr" || kind == "no-dcd"
                || kind == "none") {
                device.setLoopback(fromDtr, fromRts);
                std::cout << "ok" << std::endl;
            } else {
                std::cout << "error: plug standard|with-ri|no-cts|no-dsr|no-dcd|none" << std::endl;
            }
        } else if (command == "contact") {
            // contact cts|dsr|dcd 0|1: a dry contact from DTR to that input
            std::string input;
            in >> input;
            const int bitOf = lineBit(input);
            if (bitOf && parseBit(in, &bit)) {
                device.setContactFromDtr(bitOf, bit);
                std::cout << "ok" << std::endl;
            } else {
                std::cout << "error: contact cts|dsr|dcd 0|1" << std::endl;
            }
        } else if (command == "pulse" || command == "pulses") {
            std::string input;
            int count = 1, ms = -1, gap = 0;
            in >> input;
            if (command == "pulses")
                in >> count;
            in >> ms;
            if (command == "pulses")
                in >> gap;
            const int bitOf = lineBit(input);
            if (bitOf && ms >= 0 && count >= 0 && gap >= 0 && !in.fail()) {
                for (int i = 0; i < count; ++i) {
                    if (i > 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(gap));
                    device.pulse(bitOf, std::chrono::milliseconds(ms));
                }
                std::cout << "ok" << std::endl;
            } else {
                std::cout << "error: pulse cts|dsr|dcd MS | pulses cts|dsr|dcd N MS GAP" << std::endl;
            }
        } else if (command == "driver") {
            std::string kind;
            in >> kind;
            using Support = VirtualSerialDevice::DriverSupport;
            if (kind == "count" || kind == "wait" || kind == "none") {
                device.setDriverSupport(kind == "count"      ? Support::WaitAndCount
                                            : kind == "wait" ? Support::WaitOnly
                                                             : Support::Neither);
                std::cout << "ok" << std::endl;
            } else {
                std::cout << "error: driver count|wait|none" << std::endl;
            }
        } else if (command == "inputs") {
            bool cts = false, dsr = false, dcd = false;
            if (parseBit(in, &cts) && parseBit(in, &dsr) && parseBit(in, &dcd)) {
                device.setInputs(cts, dsr, dcd);
                std::cout << "ok" << std::endl;
            } else {
                std::cout << "error: inputs C D K" << std::endl;
            }
        } else if (command == "latency") {
            long us = -1;
            in >> us;
            if (us >= 0 && !in.fail()) {
                device.setLatency(quint32(us));
                std::cout << "ok" << std::endl;
            } else {
                std::cout << "error: latency US" << std::endl;
            }
        } else if (command == "dtr?") {
            std::cout << device.dtr() << std::endl;
        } else if (command == "rts?") {
            std::cout << device.rts() << std::endl;
        } else if (command == "ioctls?") {
            std::cout << device.ioctlCount() << std::endl;
        } else if (command == "hupcl" && parseBit(in, &bit)) {
            std::cout << (device.setHangUpOnClose(bit) ? "ok" : "error: tcsetattr") << std::endl;
        } else if (command == "vanish" && parseBit(in, &bit)) {
            device.setVanished(bit);
            std::cout << "ok" << std::endl;
        } else {
            std::cout << "error: unknown command: " << line << std::endl;
        }
    }
    return 0;
}
