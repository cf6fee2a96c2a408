// SPDX-License-Identifier: MIT
#pragma once

// The serial component: the one door to the RS-232 port. The panel sets the
// port number and opens it; the polling cycle then reads all lines with one
// request (readLines()) and writes DTR and RTS. No data is sent or received.
// Every refusal is thrown as a PhoneHomeError (number and text).

#include "common/error_codes.h"

#include <QObject>

// One reading of every modem line.
struct LineState {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool dtr = false;
    bool rts = false;

    // Fire, flood, intrusion.
    bool input(int channel) const { return channel == 0 ? cts : channel == 1 ? dsr : dcd; }
    bool operator==(const LineState &o) const
    {
        return cts == o.cts && dsr == o.dsr && dcd == o.dcd && dtr == o.dtr && rts == o.rts;
    }
    bool operator!=(const LineState &o) const { return !(*this == o); }
};

class SerialPort : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    // Refused with PortAlreadyOpen while the port is open (the number stays).
    virtual void setCommPort(int port) = 0;
    virtual int commPort() const = 0;
    // A device named by its path (/dev/ttyUSB0) instead of a number; empty
    // goes back to the number. Refused with PortAlreadyOpen while open.
    virtual void setDevicePath(const QString &path) = 0;
    // The device the port is (or was last) opened on.
    virtual QString device() const = 0;

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
};
