// SPDX-License-Identifier: MIT
#pragma once

// A timed pulse on DTR or RTS: the output goes to the other level for a set
// time and then back to where it rests (to reset a board, key a radio, wake
// a modem). An output resting high is lowered for the time instead.

#include "serial_port.h"

#include <QObject>
#include <QTimer>

#include <chrono>

class OutputPulse : public QObject
{
    Q_OBJECT
public:
    enum class Output { Dtr, Rts };
    static constexpr std::chrono::milliseconds kShortest{10};
    static constexpr std::chrono::milliseconds kLongest{10000};

    explicit OutputPulse(SerialPort *port, QObject *parent = nullptr);

    // "dtr:500" or "rts:20"; the reason it is refused, or empty.
    static QString parse(const QString &text, Output *output, std::chrono::milliseconds *length);
    static QString outputName(Output output)
    {
        return output == Output::Dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
    }

    // Starts the pulse from the level the output rests at; refused (with
    // the serial component's number and text, as failed()) when the write
    // fails. A pulse under way is cut short and restored first.
    void start(Output output, std::chrono::milliseconds length, bool restingHigh);
    bool running() const { return m_timer.isActive(); }
    // The port closed under the pulse: nothing is written any more.
    void cancel() { m_timer.stop(); }

Q_SIGNALS:
    void finished();
    void failed(int number, const QString &text);

private:
    void write(bool high);
    void end();

    SerialPort *m_port;
    QTimer m_timer;
    Output m_output = Output::Dtr;
    bool m_restingHigh = false;
};
