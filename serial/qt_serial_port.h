// SPDX-License-Identifier: MIT
#pragma once

#include "line_watcher.h"
#include "port_lock.h"
#include "port_mapping.h"
#include "serial_port.h"

#include <QSerialPort>

// The serial component on a real device, through QSerialPort.
class QtSerialPort : public SerialPort
{
    Q_OBJECT
public:
    explicit QtSerialPort(PortMapping mapping = PortMapping(), QObject *parent = nullptr);
    // Closes as setPortOpen(false) does: outputs lowered first.
    ~QtSerialPort() override;

    // Lowers the outputs of and closes every open port. For a process that
    // is ending without unwinding (exit() or a fatal error, as when the X
    // server goes away): nothing else would close the port before it dies.
    static void closeAllOpen() noexcept;

    // Tests use lock folders of their own.
    void setPortLock(const PortLock &lock) { m_lock = lock; }

    void setCommPort(int port) override;
    int commPort() const override { return m_commPort; }
    void setDevicePath(const QString &path) override;
    QString device() const override { return m_device; }
    void setOutputsAtOpen(bool dtr, bool rts) override
    {
        m_dtrAtOpen = dtr;
        m_rtsAtOpen = rts;
    }
    void setPortOpen(bool open) override;
    bool portOpen() const override { return m_port.isOpen(); }
    LineState readLines() override;
    bool ctsHolding() override;
    bool dsrHolding() override;
    bool cdHolding() override;
    void setDtrEnable(bool high) override;
    void setRtsEnable(bool high) override;
    AdapterDriver driver() const override { return m_driver; }
    LineWatch lineWatch() const override { return m_watch; }
    LineReading watchStart() const override { return m_watchStart; }
    bool readCounters(LineReading *reading) override;

private:
    void startWatching(const LineState &lines);
    void watchEnded(int error);
    QSerialPort::PinoutSignals pinouts();
    void close() noexcept;
    int probeExclusive(const QString &device);
    [[noreturn]] void throwOpenError(const QString &device);
    [[noreturn]] void throwLineError(const QString &what);
    [[noreturn]] void throwLineError(const QString &what, const QString &reason);
    [[noreturn]] void throwNoUart(const QString &device);
    void checkIsSerialDevice(const QString &device);
    [[noreturn]] void throwSettleFailure(const QString &reason);
    bool settleLines(LineState *lines);
    void setOutput(QSerialPort::PinoutSignal line, bool high, const QString &what);
    void outputWritten(bool dtr, bool high);
    QString portAndDevice() const;
    // "port 3", or the device path the operator gave.
    QString portName() const;

    PortMapping m_mapping;
    PortLock m_lock;
    QSerialPort m_port;
    QString m_device;
    QString m_devicePath; // named by the operator, instead of the number
    int m_commPort = 1;
    bool m_dtrAtOpen = false;
    bool m_rtsAtOpen = false;
    LineWatch m_watch = LineWatch::Poll;
    AdapterDriver m_driver;
    LineReading m_watchStart;
    LineState m_outputs; // DTR and RTS as last written
    // Declared last: destroyed first, so its thread never outlives the port.
    LineWatcher m_watcher;
};
