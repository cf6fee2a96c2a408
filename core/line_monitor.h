// SPDX-License-Identifier: MIT
#pragma once

// Port selection and the polling cycle, on the panel. "Open Port" turns the
// port box's text into a number, opens that port and starts Timer1; every
// tick then reads CTS, DSR and DCD into the indicators, writes DTR and RTS
// from the check boxes, sets each channel's status and finally its
// notification text, whose change starts the notification dispatch. All state
// lives in the panel; this class keeps none between ticks.

#include "serial/serial_port.h"

#include <QObject>

#include <array>
#include <chrono>
#include <optional>

class Panel;

class LineMonitor : public QObject
{
    Q_OBJECT
public:
    explicit LineMonitor(Panel *panel);

    // How long an input must hold a new level before its channel follows
    // (a bouncing contact makes one alarm, not ten). 0: at once.
    void setSettleTime(std::chrono::milliseconds time) { m_settleTime = time; }
    // Write DTR and RTS from the boxes as soon as the port opens, a tick
    // before the first reading, so that a contact fed from an output reads
    // as it is. Off (the window): the outputs stay low until the first tick.
    void setOutputsOnOpen(bool on) { m_outputsOnOpen = on; }

    // The port box may hold a device path instead of a number.
    static bool isDevicePath(const QString &text);

    // Opens the port the port box names and starts polling, as Open Port
    // does; a refusal is reported only when asked (a retry that keeps
    // failing must not report every try).
    bool open(bool reportRefusals);

public Q_SLOTS:
    void Command1_Click();
    void Command2_Click();
    void Timer1_Timer();

Q_SIGNALS:
    void errorOccurred(int number, const QString &text);
    void portOpened();
    void portClosed();
    // The tick's reading, before settling, when it differs from the last
    // one (the first reading after an open always does).
    void linesChanged(const LineState &lines);
    void outputsWritten(bool dtr, bool rts);
    // Reading or writing a line failed: polling stopped and the port is closed.
    void deviceFailed();

private:
    LineState settle(const LineState &reading);
    void writeOutputs(const LineState &lines);
    // Reading or writing a line failed: close and tell.
    void failed(int number, const QString &text);

    Panel *m_panel;
    std::chrono::milliseconds m_settleTime{0};
    bool m_outputsOnOpen = false;
    std::optional<LineState> m_settled;
    std::optional<LineState> m_lastReading;
    std::array<std::optional<std::chrono::steady_clock::time_point>, 3> m_pendingSince;
};
