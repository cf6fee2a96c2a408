// SPDX-License-Identifier: MIT
#pragma once

#include "serial/serial_port.h"

#include <functional>

// Answers from line states the test sets; counts what the code asked for.
class FakeSerialPort : public SerialPort
{
public:
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool dtr = false;
    bool rts = false;
    int lineWrites = 0;
    int lineReads = 0;
    // Set to make the next line read or write fail, as a vanished device does.
    bool vanished = false;
    // Called before every read: lets a test change a line between two reads.
    std::function<void(FakeSerialPort &)> beforeRead;
    // A refusal the next open throws.
    int refuseOpenWith = 0;
    // How the port says it is watched while open; a test posts the watcher's
    // readings with watched().
    LineWatch watch = LineWatch::Poll;
    std::array<quint32, 3> edges{};
    // What the port's driver reports while open.
    AdapterDriver adapter;

    void setCommPort(int port) override
    {
        if (m_open)
            throw PhoneHomeError(ErrorCode::PortAlreadyOpen, QStringLiteral("already open"));
        m_port = port;
    }
    int commPort() const override { return m_port; }
    void setDevicePath(const QString &path) override
    {
        if (m_open)
            throw PhoneHomeError(ErrorCode::PortAlreadyOpen, QStringLiteral("already open"));
        m_path = path;
    }
    QString device() const override { return m_path.isEmpty() ? QStringLiteral("/dev/fake%1").arg(m_port) : m_path; }
    void setOutputsAtOpen(bool high, bool rtsHigh) override
    {
        m_dtrAtOpen = high;
        m_rtsAtOpen = rtsHigh;
    }
    void setPortOpen(bool open) override
    {
        if (open && m_open)
            throw PhoneHomeError(ErrorCode::PortAlreadyOpen, QStringLiteral("already open"));
        if (open && refuseOpenWith)
            throw PhoneHomeError(ErrorCode(refuseOpenWith), QStringLiteral("refused"));
        if (open && m_path.isEmpty() && m_port < 1)
            throw PhoneHomeError(ErrorCode::InvalidPortNumber, QStringLiteral("invalid"));
        if (open && !m_open) {
            dtr = m_dtrAtOpen;
            rts = m_rtsAtOpen;
        }
        m_open = open;
    }
    bool portOpen() const override { return m_open; }
    LineState readLines() override
    {
        check();
        ++lineReads;
        if (beforeRead)
            beforeRead(*this);
        return {cts, dsr, dcd, dtr, rts};
    }
    bool ctsHolding() override { return read(cts); }
    bool dsrHolding() override { return read(dsr); }
    bool cdHolding() override { return read(dcd); }
    void setDtrEnable(bool high) override { write(dtr, high); }
    void setRtsEnable(bool high) override { write(rts, high); }
    AdapterDriver driver() const override { return m_open ? adapter : AdapterDriver(); }
    LineWatch lineWatch() const override { return m_open ? watch : LineWatch::Poll; }
    LineReading watchStart() const override { return reading(); }

    // What the watcher would post now: the lines, and the edges counted when
    // the watch counts them.
    void watched() { Q_EMIT linesWatched(reading()); }
    // An input to the other level and back before any read, as the driver
    // counts it.
    void pulse(int channel)
    {
        edges[size_t(channel)] += 2;
        watched();
    }

private:
    LineReading reading() const
    {
        LineReading r;
        r.lines = {cts, dsr, dcd, dtr, rts};
        r.counted = watch == LineWatch::WaitAndCount;
        r.taken = std::chrono::steady_clock::now();
        if (r.counted)
            r.edges = edges;
        return r;
    }
    bool read(const bool &line)
    {
        check();
        ++lineReads;
        if (beforeRead)
            beforeRead(*this);
        return line;
    }
    void write(bool &line, bool high)
    {
        check();
        ++lineWrites;
        line = high;
    }
    void check() const
    {
        if (!m_open || vanished)
            throw PhoneHomeError(ErrorCode::DeviceFailed, QStringLiteral("device vanished"));
    }

    int m_port = 1;
    QString m_path;
    bool m_dtrAtOpen = false;
    bool m_rtsAtOpen = false;
    bool m_open = false;
};
