// SPDX-License-Identifier: MIT
#pragma once

// What a tty's kernel driver tells of the modem lines, known before the
// first reading. USB adapters differ: cdc_acm has no CTS at all (its
// TIOCMGET sets CTS whatever the line does), cp210x cannot wait for edges
// and its counters never move, pl2303 and ch341 wait but count nothing.
// A driver this table does not know is trusted with every line, as a UART
// is, and its name is still told so that a user can report it.

#include <QString>

#include <array>

struct AdapterDriver {
    // As sysfs names it (ftdi_sio, cdc_acm, serial8250); empty where the
    // device has no driver link (a pseudo-terminal, another system).
    QString name;
    bool known = false;
    // Per input, in channel order (CTS, DSR, DCD): whether the driver
    // reports the line's level.
    std::array<bool, 3> reports{true, true, true};
    // TIOCMIWAIT wakes on the inputs' edges.
    bool canWait = true;
    // TIOCGICOUNT's counters move with the edges.
    bool countsEdges = true;
    // RI (pin 9): whether its level is reported, and whether its counter
    // (and a wait on it) moves only as a ring ends, high to low, as the
    // 8250's does: then a rising RI wakes no one and is seen at the next
    // reading.
    bool reportsRing = true;
    bool ringFallsOnly = false;
    // A port on another machine: a server reads the lines at its own pace and
    // tells what changed. Its signature is its own name for itself ("ser2net"),
    // where it gives one.
    bool remote = false;
    QString signature;

    static AdapterDriver named(const QString &name);

    bool reportsAll() const { return reports[0] && reports[1] && reports[2]; }
    // "cts,dsr,dcd", as the record names them.
    QString reportedLines() const;
    // "CTS, DSR, DCD", for texts people read.
    QString reportedLinesText() const { return reportedLines().toUpper().replace(u',', QLatin1String(", ")); }
    // Where the line is not reported: "CTS is not reported by this adapter
    // (cdc_acm)"; empty where it is.
    QString unreportedText(int channel) const;
    // The same for RI.
    QString unreportedRingText() const;
    // For a remote port, how often its server reads the lines and what that
    // means for short pulses; empty for a local one.
    QString samplingText() const;
};
