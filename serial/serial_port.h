#pragma once

// The serial component: the one door to the RS-232 port. The window sets the
// port number and opens it; the polling cycle then reads CTS, DSR and DCD
// (a fresh reading on every call) and writes DTR and RTS. No data is sent or
// received. Every refusal is thrown as a PhoneHomeError (number and text).

#include "core/error_codes.h"

#include <QObject>

class SerialPort : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    // Refused with PortAlreadyOpen while the port is open (the number stays).
    virtual void setCommPort(int port) = 0;
    virtual int commPort() const = 0;

    // true opens (refused when already open), false closes (always accepted).
    virtual void setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;

    virtual bool ctsHolding() = 0;
    virtual bool dsrHolding() = 0;
    virtual bool cdHolding() = 0;

    virtual void setDtrEnable(bool high) = 0;
    virtual void setRtsEnable(bool high) = 0;
};
