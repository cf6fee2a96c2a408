// SPDX-License-Identifier: MIT
#pragma once

// The serial component both programs use: a port on this machine (a number
// or a device path, through QtSerialPort) or one on another machine
// (rfc2217://HOST:PORT, through Rfc2217Port), whichever the port box names.
// Every call goes to the one chosen last, and its signals come out as this
// component's own, so the panel sees one port whatever is behind it.

#include "qt_serial_port.h"
#include "rfc2217_port.h"

class PortSelector : public SerialPort
{
    Q_OBJECT
public:
    explicit PortSelector(PortMapping mapping = PortMapping(), QObject *parent = nullptr);

    QtSerialPort *local() { return &m_local; }
    Rfc2217Port *remote() { return &m_remote; }

    void setCommPort(int port) override;
    int commPort() const override { return m_active->commPort(); }
    void setDevicePath(const QString &path) override;
    QString device() const override { return m_active->device(); }
    void setOutputsAtOpen(bool dtr, bool rts) override;
    void setPortOpen(bool open) override { m_active->setPortOpen(open); }
    bool portOpen() const override { return m_active->portOpen(); }
    LineState readLines() override { return m_active->readLines(); }
    bool ctsHolding() override { return m_active->ctsHolding(); }
    bool dsrHolding() override { return m_active->dsrHolding(); }
    bool cdHolding() override { return m_active->cdHolding(); }
    void setDtrEnable(bool high) override { m_active->setDtrEnable(high); }
    void setRtsEnable(bool high) override { m_active->setRtsEnable(high); }
    AdapterDriver driver() const override { return m_active->driver(); }
    LineWatch lineWatch() const override { return m_active->lineWatch(); }
    LineReading watchStart() const override { return m_active->watchStart(); }
    bool readCounters(LineReading *reading) override { return m_active->readCounters(reading); }

private:
    QtSerialPort m_local;
    Rfc2217Port m_remote;
    SerialPort *m_active = &m_local;
};
