// SPDX-License-Identifier: MIT
#include "line_monitor.h"

#include "panel.h"
#include "serial/port_number.h"
#include "serial/serial_port.h"

#include <QTimer>

namespace {
// The port box's text as the operator can read it in an error: control and
// other invisible characters escaped (a NUL shows nothing in the box), and
// bounded, since anything can be pasted there.
QString shownPortText(const QString &text)
{
    constexpr int kMaxShown = 40;
    QString shown;
    for (const QChar c : text.left(kMaxShown)) {
        if (c.isPrint() && c != u'\\')
            shown += c;
        else if (c == u'\\')
            shown += QStringLiteral("\\\\");
        else if (c.unicode() < 0x100)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    if (text.size() > kMaxShown)
        shown += QStringLiteral("\u2026");
    return shown;
}

int convertPortText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const double number = PortNumber::leadingNumber(std::string_view(utf8.constData(), size_t(utf8.size())));
    std::int16_t port = 0;
    if (!PortNumber::roundToInt16(number, &port)) {
        throw PhoneHomeError(ErrorCode::Overflow,
                             QObject::tr("Cannot use \"%1\" as a port number: it lies outside "
                                         "-32768 to 32767. Pick a port from 1 to 15 from the list.")
                                 .arg(shownPortText(text)));
    }
    return port;
}
}

LineMonitor::LineMonitor(Panel *panel)
    : QObject(panel)
    , m_panel(panel)
{
}

void LineMonitor::Command1_Click()
{
    open(true);
}

bool LineMonitor::open(bool reportRefusals)
{
    const QString text = m_panel->portText();
    int port = 0;
    const bool opened = reportRefusal(
        [&] {
            if (isDevicePath(text)) {
                m_panel->port()->setDevicePath(text.trimmed());
            } else {
                port = convertPortText(text);
                m_panel->port()->setCommPort(port);
            }
            m_panel->port()->setPortOpen(true);
            m_panel->timer()->start();
        },
        [&](int number, const QString &error) {
            if (!reportRefusals)
                return;
            // Where the box holds more than the number that was read from it
            // (a stray character, a NUL), show what it holds.
            const bool plain =
                number == int(ErrorCode::Overflow) || isDevicePath(text) || text.trimmed() == QString::number(port);
            Q_EMIT errorOccurred(number,
                                 plain ? error : tr("%1 (The port box reads \"%2\".)").arg(error, shownPortText(text)));
        });
    if (!opened)
        return false;
    m_settled.reset();
    m_lastReading.reset();
    Q_EMIT portOpened();
    if (m_outputsOnOpen) {
        // Opening left both outputs low; the first reading comes a tick later.
        const bool written = reportRefusal([&] { writeOutputs(LineState{}); },
                                           [&](int number, const QString &error) { failed(number, error); });
        if (!written)
            return false;
    }
    return true;
}

bool LineMonitor::isDevicePath(const QString &text)
{
#ifdef Q_OS_WIN
    Q_UNUSED(text)
    return false;
#else
    // A number never starts with a slash; a path typed by hand always does.
    return text.trimmed().startsWith(u'/');
#endif
}

LineState LineMonitor::settle(const LineState &reading)
{
    using Clock = std::chrono::steady_clock;
    if (m_settleTime.count() <= 0) {
        m_settled = reading;
        return reading;
    }
    if (!m_settled) {
        // The first reading after an open settles like any other change:
        // from what the panel shows (NORMAL at start, the last state after a
        // device came back), not from a bounce caught as the port opened.
        m_settled = reading;
        bool *settled[] = {&m_settled->cts, &m_settled->dsr, &m_settled->dcd};
        for (int c = 0; c < Form::kChannels; ++c)
            *settled[c] = m_panel->inAlarm(c);
        m_pendingSince = {};
    }
    // A change counts once the line has held its new level for the settle
    // time; a bounce back before then is forgotten.
    const auto now = Clock::now();
    LineState result = reading;
    bool *settled[] = {&m_settled->cts, &m_settled->dsr, &m_settled->dcd};
    bool *shown[] = {&result.cts, &result.dsr, &result.dcd};
    for (int c = 0; c < Form::kChannels; ++c) {
        if (reading.input(c) == *settled[c]) {
            m_pendingSince[c].reset();
        } else if (!m_pendingSince[c]) {
            m_pendingSince[c] = now;
        } else if (now - *m_pendingSince[c] >= m_settleTime) {
            *settled[c] = reading.input(c);
            m_pendingSince[c].reset();
        }
        *shown[c] = *settled[c];
    }
    return result;
}

// Written only where the port differs from the boxes; an output someone else
// changed is put back here too.
void LineMonitor::writeOutputs(const LineState &lines)
{
    SerialPort *port = m_panel->port();
    const bool dtr = m_panel->dtrChecked();
    const bool rts = m_panel->rtsChecked();
    if (lines.dtr != dtr)
        port->setDtrEnable(dtr);
    if (lines.rts != rts)
        port->setRtsEnable(rts);
    if (lines.dtr != dtr || lines.rts != rts)
        Q_EMIT outputsWritten(dtr, rts);
}

void LineMonitor::Command2_Click()
{
    const bool wasOpen = m_panel->port()->portOpen();
    reportRefusal([&] { m_panel->port()->setPortOpen(false); },
                  [&](int number, const QString &text) { Q_EMIT errorOccurred(number, text); });
    m_panel->timer()->stop();
    if (wasOpen)
        Q_EMIT portClosed();
}

void LineMonitor::failed(int number, const QString &text)
{
    // Stop first so no tick can run into the failed device while the error
    // is on screen.
    m_panel->timer()->stop();
    m_panel->port()->setPortOpen(false);
    Q_EMIT errorOccurred(number, text);
    Q_EMIT deviceFailed();
    Q_EMIT portClosed();
}

void LineMonitor::Timer1_Timer()
{
    SerialPort *port = m_panel->port();
    const bool ok = reportRefusal(
        [&] {
            // One reading serves the whole tick, so an indicator and its
            // status always agree, and a USB adapter gets one request.
            const LineState reading = port->readLines();
            if (!m_lastReading || *m_lastReading != reading) {
                m_lastReading = reading;
                Q_EMIT linesChanged(reading);
            }
            const LineState lines = settle(reading);
            for (int c = 0; c < Form::kChannels; ++c)
                m_panel->setIndicatorColour(c, lines.input(c) ? Form::kRed : Form::kGreen);

            writeOutputs(lines);

            for (int c = 0; c < Form::kChannels; ++c) {
                const bool high = lines.input(c);
                m_panel->setStatusCaption(c, high ? Form::kAlarm : Form::kNormal);
                m_panel->setStatusColour(c, high ? Form::kRed : Form::kGreen);
            }
        },
        [&](int number, const QString &text) { failed(number, text); });
    if (!ok)
        return;

    // Order matters: the notification texts come last so their change
    // handlers see this tick's statuses.
    for (int c = 0; c < Form::kChannels; ++c) {
        const bool alarm = m_panel->inAlarm(c);
        const bool enabled = m_panel->notificationsEnabled();
        m_panel->setNotificationText(c, alarm && enabled ? QString(Form::kSendingNotification) : QString());
    }
}
