// SPDX-License-Identifier: MIT
#pragma once

// The technician's bench in a terminal, for a machine without a screen:
// rs232-phone-homed --port PORT --lines [--csv] | --cable-test | --pulse.
// It opens the port as the service does (the same lock and refusals, the
// driver's truth) but runs no script and keeps no state. With --lines every
// change goes to standard output as it happens (LineHistory), and SIGINT or
// SIGTERM ends it with a summary per line on standard error.

#include "serial/cable_test.h"
#include "serial/line_history.h"
#include "serial/output_pulse.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>

#include <cstdio>
#include <memory>

class SerialPort;

class LineTerminal : public QObject
{
    Q_OBJECT
public:
    struct Options {
        QString port; // a number 1-15 or a device path
        bool lines = false;
        bool csv = false;
        bool cableTest = false;
        bool dtr = false;
        bool rts = false;
        QList<QPair<OutputPulse::Output, std::chrono::milliseconds>> pulses;
    };

    // Exit statuses: a refused open or a lost device is 1, as is a cable
    // test that finds no standard plug.
    static constexpr int kFailed = 1;

    LineTerminal(SerialPort *port, const Options &options, std::FILE *out = stdout, std::FILE *err = stderr,
                 QObject *parent = nullptr);
    ~LineTerminal() override;

    // Opens the port and begins; false (with the refusal on err) where it
    // cannot, then status() says how to exit.
    bool start();
    // SIGINT or SIGTERM: the summary, then done(0).
    void interrupt();
    int status() const { return m_status; }
    LineHistory *history() { return &m_history; }

    // The per-line summary as printed at the end.
    static QString summaryText(const LineHistory &history);
    // One change as the terminal shows it without --csv.
    static QString changeText(const LineHistory::Change &change);

Q_SIGNALS:
    void done(int status);

private:
    void printRows(int first, int count);
    void poll();
    void fail(int number, const QString &text);
    void finish(int status);
    void pulseEnded();
    void print(std::FILE *to, const QString &text);

    SerialPort *m_port;
    Options m_options;
    std::FILE *m_out;
    std::FILE *m_err;
    LineHistory m_history;
    QTimer m_poll;
    std::unique_ptr<CableTest> m_cableTest;
    QList<OutputPulse *> m_pulses;
    int m_pulsesRunning = 0;
    int m_status = 0;
    bool m_finished = false;
};
