// SPDX-License-Identifier: MIT
#pragma once

// The serial component: the one door to the RS-232 port. The panel sets the
// port number and opens it. Where the driver can wait for edges, a watcher
// thread posts every change of the inputs as linesWatched(); elsewhere the
// polling cycle reads all lines with one request (readLines()). Either way
// the cycle writes DTR and RTS. No data is sent or received. Every refusal is
// thrown as a PhoneHomeError (number and text).

#include "adapter_driver.h"
#include "common/error_codes.h"

#include <QLatin1StringView>
#include <QObject>

#include <array>
#include <chrono>

// One reading of every modem line.
struct LineState {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool dtr = false;
    bool rts = false;
    // Ring indicator: no alarm channel, but the technician's history and the
    // record show it.
    bool ri = false;

    // Fire, flood, intrusion.
    bool input(int channel) const { return channel == 0 ? cts : channel == 1 ? dsr : dcd; }
    bool operator==(const LineState &o) const
    {
        return cts == o.cts && dsr == o.dsr && dcd == o.dcd && dtr == o.dtr && rts == o.rts && ri == o.ri;
    }
    bool operator!=(const LineState &o) const { return !(*this == o); }
};

// A reading from the watcher: the lines, and where the driver counts edges,
// each input's edges so far (fire, flood, intrusion), so that a pulse that
// came and went before the lines were read is still seen.
struct LineReading {
    LineState lines;
    std::array<quint32, 3> edges{};
    // RI's counter; the 8250 driver counts only its trailing edge (high to
    // low), so there one ring is one count.
    quint32 ringEdges = 0;
    bool counted = false;
    // When the lines were read: a reading still queued may be older than one
    // the panel's thread took itself meanwhile.
    std::chrono::steady_clock::time_point taken;
};

// How a port's inputs are watched: waiting for edges with the driver's edge
// counters, waiting without them, polling (the driver cannot wait), or told
// by a server on another machine, which reads the lines at its own pace.
enum class LineWatch { WaitAndCount, Wait, Poll, Server };

// As the log and the window name it.
inline QLatin1StringView lineWatchName(LineWatch watch)
{
    return watch == LineWatch::WaitAndCount ? QLatin1StringView("wait+count")
        : watch == LineWatch::Wait          ? QLatin1StringView("wait")
        : watch == LineWatch::Server        ? QLatin1StringView("server")
                                            : QLatin1StringView("poll");
}

class SerialPort : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    // Refused with PortAlreadyOpen while the port is open (the number stays).
    virtual void setCommPort(int port) = 0;
    virtual int commPort() const = 0;
    // A device named by its path (/dev/ttyUSB0), or a port on another
    // machine (rfc2217://HOST:PORT), instead of a number; empty goes back to
    // the number. Refused with PortAlreadyOpen while open.
    virtual void setDevicePath(const QString &path) = 0;
    // The device the port is (or was last) opened on.
    virtual QString device() const = 0;

    // The levels the next open leaves DTR and RTS at (default both low). The
    // kernel raises both as it opens a port; an output wanted high is then
    // left high rather than dropped and raised again a moment later.
    virtual void setOutputsAtOpen(bool dtr, bool rts) = 0;
    // true opens (refused when already open), false closes (always accepted).
    virtual void setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;

    // Every line at once: one request to the device (on USB adapters each
    // request is a round trip to the chip).
    virtual LineState readLines() = 0;

    // One line each, a request each.
    virtual bool ctsHolding() = 0;
    virtual bool dsrHolding() = 0;
    virtual bool cdHolding() = 0;

    virtual void setDtrEnable(bool high) = 0;
    virtual void setRtsEnable(bool high) = 0;

    // What the open port's driver reports, read as it opened; while closed,
    // an unknown driver that reports everything.
    virtual AdapterDriver driver() const = 0;

    // How the open port's inputs are watched; Poll while closed.
    virtual LineWatch lineWatch() const = 0;
    // While watching: the reading the watch started from, taken at the open;
    // the first linesWatched() follows it.
    virtual LineReading watchStart() const = 0;
    // The driver's edge counters now (CTS, DSR, DCD and RI's in reading),
    // one request; false where the open port's counters are not used.
    virtual bool readCounters(LineReading *reading)
    {
        Q_UNUSED(reading)
        return false;
    }

Q_SIGNALS:
    // A reading from the watcher, after each change of the inputs (RI
    // included). Not emitted while polling.
    void linesWatched(const LineReading &reading);
    // DTR or RTS was written, by whoever (the tick, a pulse, a cable test),
    // with the levels both outputs now have.
    void outputsSet(bool dtr, bool rts);
    // The watch fell back after the open (a driver refused the wait late).
    void lineWatchChanged(LineWatch watch);
    // The wait or its reads failed, as when the device is unplugged or the
    // link to a server breaks. The port stays open until closed.
    void watchFailed(int number, const QString &text);
    // Something found and put right, or worth knowing, that the operator
    // should hear of (a port left in loopback); not a refusal.
    void noticed(const QString &text);
};
