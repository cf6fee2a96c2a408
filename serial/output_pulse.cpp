// SPDX-License-Identifier: MIT
#include "output_pulse.h"

#include <QCoreApplication>

OutputPulse::OutputPulse(SerialPort *port, QObject *parent)
    : QObject(parent)
    , m_port(port)
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire 5 % late; a pulse that resets a board is timed.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &OutputPulse::end);
}

QString OutputPulse::parse(const QString &text, Output *output, std::chrono::milliseconds *length)
{
    const QString line = text.section(u':', 0, 0).trimmed().toLower();
    bool ok = false;
    const qlonglong ms = text.section(u':', 1).trimmed().toLongLong(&ok);
    if ((line != QLatin1String("dtr") && line != QLatin1String("rts")) || !text.contains(u':') || !ok
        || ms < kShortest.count() || ms > kLongest.count()) {
        return QCoreApplication::translate("OutputPulse",
                                           "bad --pulse \"%1\": give dtr:MS or rts:MS with MS from %2 to %3")
            .arg(text)
            .arg(kShortest.count())
            .arg(kLongest.count());
    }
    *output = line == QLatin1String("dtr") ? Output::Dtr : Output::Rts;
    *length = std::chrono::milliseconds(ms);
    return QString();
}

void OutputPulse::start(Output output, std::chrono::milliseconds length, bool restingHigh)
{
    if (m_timer.isActive()) {
        m_timer.stop();
        write(m_restingHigh);
    }
    m_output = output;
    m_restingHigh = restingHigh;
    if (!reportRefusal([&] { write(!restingHigh); },
                       [this](int number, const QString &text) { Q_EMIT failed(number, text); }))
        return;
    m_timer.start(length);
}

void OutputPulse::write(bool high)
{
    if (m_output == Output::Dtr)
        m_port->setDtrEnable(high);
    else
        m_port->setRtsEnable(high);
}

void OutputPulse::end()
{
    if (reportRefusal([&] { write(m_restingHigh); },
                      [this](int number, const QString &text) { Q_EMIT failed(number, text); }))
        Q_EMIT finished();
}
