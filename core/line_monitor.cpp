// SPDX-License-Identifier: MIT
#include "line_monitor.h"

#include "panel.h"
#include "notify/script_launcher.h"
#include "serial/port_number.h"
#include "serial/rfc2217_port.h"
#include "serial/serial_port.h"

#include <QTimer>

#include <algorithm>
#include <utility>

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
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, &LineMonitor::show);
    m_firstReading.setSingleShot(true);
    m_firstReading.setInterval(0);
    connect(&m_firstReading, &QTimer::timeout, this, &LineMonitor::firstReading);
    SerialPort *port = panel->port();
    connect(port, &SerialPort::linesWatched, this, &LineMonitor::watched);
    connect(port, &SerialPort::watchFailed, this, &LineMonitor::failed);
    connect(port, &SerialPort::lineWatchChanged, this, [this](LineWatch watch) {
        if (watch == LineWatch::Poll)
            m_panel->timer()->setInterval(Form::kPollInterval);
        Q_EMIT watching(watch);
    });
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
            // The service holds its outputs from the open on; the window
            // keeps them low until its first tick.
            m_panel->port()->setOutputsAtOpen(m_outputsOnOpen && m_panel->dtrChecked(),
                                              m_outputsOnOpen && m_panel->rtsChecked());
            m_panel->port()->setPortOpen(true);
            const bool polled = m_panel->port()->lineWatch() == LineWatch::Poll;
            m_panel->timer()->setInterval(polled ? Form::kPollInterval : m_watchInterval);
            m_panel->timer()->start();
        },
        [&](int number, const QString &error) {
            // Where the box holds more than the number that was read from it
            // (a stray character, a NUL), show what it holds.
            const bool plain =
                number == int(ErrorCode::Overflow) || isDevicePath(text) || text.trimmed() == QString::number(port);
            m_lastRefusal = number;
            m_lastRefusalText = plain ? error : tr("%1 (The port box reads \"%2\".)").arg(error, shownPortText(text));
            if (reportRefusals)
                reportLastRefusal();
        });
    if (!opened)
        return false;
    if (!takeDriver(reportRefusals))
        return false;
    m_lastRefusal = 0;
    m_lastRefusalText.clear();
    m_settled.reset();
    m_lastReading.reset();
    m_latest.reset();
    m_latestTaken = {};
    m_lastWatched.reset();
    m_held = {};
    m_alarmShown = {};
    m_firstShowPending = true;
    SerialPort *serial = m_panel->port();
    const LineWatch watch = serial->lineWatch();
    if (watch != LineWatch::Poll)
        m_lastWatched = serial->watchStart();
    Q_EMIT portOpened();
    Q_EMIT watching(watch);
    // The open set the outputs from the boxes already (setOutputsAtOpen).
    if (m_outputsOnOpen && (m_panel->dtrChecked() || m_panel->rtsChecked()))
        Q_EMIT outputsWritten(m_panel->dtrChecked(), m_panel->rtsChecked());
    // The watcher tells only of changes, and the next tick may be a second
    // away: the first reading follows at once, after the outputs, and after
    // whoever opened has done what an open means to it (told of a device
    // that came back, before the alarms it brings).
    if (watch != LineWatch::Poll)
        m_firstReading.start();
    return true;
}

// What the driver cannot report is never read as a level: its channel
// neither alarms nor starts its script from a reading (its test button still
// does). A normally closed contact there could never be seen cut, so that is
// refused.
bool LineMonitor::takeDriver(bool reportRefusals)
{
    SerialPort *port = m_panel->port();
    const AdapterDriver driver = port->driver();
    for (int c = 0; c < Form::kChannels; ++c)
        m_panel->setUnreported(c, driver.unreportedText(c));
    for (int c = 0; c < Form::kChannels; ++c) {
        if (!m_normallyClosed[size_t(c)] || driver.reports[size_t(c)])
            continue;
        const auto channel = ScriptLauncher::Channel(c);
        const QString text =
            tr("Cannot watch %1 as a normally closed contact on %2: %3, so a cut wire could never be seen. "
               "Wire the contact to a line this adapter reports (%4), use an adapter that reports %5, or "
               "leave %1 out of --normally-closed.")
                .arg(ScriptLauncher::channelName(channel), port->device(), driver.unreportedText(c),
                     driver.reportedLinesText(), ScriptLauncher::lineName(channel));
        reportRefusal([&] { port->setPortOpen(false); }, [](int, const QString &) {});
        m_lastRefusal = int(ErrorCode::LineNotReported);
        m_lastRefusalText = text;
        if (reportRefusals)
            reportLastRefusal();
        return false;
    }
    return true;
}

void LineMonitor::reportLastRefusal()
{
    if (m_lastRefusal != 0)
        Q_EMIT errorOccurred(m_lastRefusal, m_lastRefusalText);
}

void LineMonitor::firstReading()
{
    if (!m_panel->port()->portOpen())
        return;
    const auto taken = std::chrono::steady_clock::now();
    const bool read = reportRefusal([&] { take(m_panel->port()->readLines(), taken); },
                                    [&](int number, const QString &error) { failed(number, error); });
    if (read)
        show();
}

bool LineMonitor::isDevicePath(const QString &text)
{
#ifdef Q_OS_WIN
    return Rfc2217Port::isAddress(text);
#else
    // A number never starts with a slash; a path typed by hand always does.
    return text.trimmed().startsWith(u'/') || Rfc2217Port::isAddress(text);
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
            *settled[c] = m_panel->inAlarm(c) != m_normallyClosed[size_t(c)];
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
    // Without a tick to look again (the service while watching), a pending
    // change is looked at when it is due.
    for (const auto &since : m_pendingSince) {
        if (!since)
            continue;
        const auto due = std::chrono::ceil<std::chrono::milliseconds>(*since + m_settleTime - now);
        if (!m_settleTimer.isActive() || m_settleTimer.remainingTimeAsDuration() > due)
            m_settleTimer.start(std::max(due, std::chrono::milliseconds(1)));
    }
    return result;
}

// Written only where the port differs from the boxes; an output someone else
// changed is put back here too.
void LineMonitor::writeOutputs(const LineState &lines)
{
    if (m_outputsHeld)
        return;
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
    m_settleTimer.stop();
    m_firstReading.stop();
    if (wasOpen)
        Q_EMIT portClosed();
}

void LineMonitor::failed(int number, const QString &text)
{
    // Stop first so no tick can run into the failed device while the error
    // is on screen.
    m_panel->timer()->stop();
    m_settleTimer.stop();
    m_firstReading.stop();
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
            // One reading serves the whole tick, and a USB adapter gets one
            // request. While watching it is a second opinion: where a change
            // wakes no waiter (QEMU's UART in loopback) it is still seen.
            // Pulses are judged between the watcher's own readings, so this
            // one cannot hide one.
            const auto taken = std::chrono::steady_clock::now();
            const LineState reading = port->readLines();
            take(reading, taken);
            writeOutputs(reading);
        },
        [&](int number, const QString &text) { failed(number, text); });
    if (!ok)
        return;
    show();
    // A held pulse has now been shown for a tick; the next shows the line.
    m_held = {};
}

void LineMonitor::watched(const LineReading &reading)
{
    if (!m_panel->port()->portOpen())
        return;
    // A counter that moved while the line reads as before: a pulse came and
    // went between two readings. Onsets only: a pulse away from an alarm
    // changes nothing, nor one a tick's own reading has already shown. With
    // a settle time such a pulse is a bounce.
    if (reading.counted && m_lastWatched && m_lastWatched->counted && m_settleTime.count() <= 0) {
        for (int c = 0; c < Form::kChannels; ++c) {
            const quint32 moved = reading.edges[size_t(c)] - m_lastWatched->edges[size_t(c)];
            const bool level = reading.lines.input(c);
            // At least two edges: one alone is an edge the counters saw just
            // before the lines were read, whose level the last reading showed.
            if (moved >= 2 && level == m_lastWatched->lines.input(c) && !alarmAt(c, level) && !m_alarmShown[size_t(c)]
                && m_panel->reported(c)) {
                m_held[size_t(c)] = true;
                Q_EMIT pulsed(c, moved);
            }
        }
    }
    // In the window an alarm the watcher saw, however short, stays up
    // until a tick has shown it.
    const bool current = reading.taken >= m_latestTaken;
    if (current && m_pulsesHeldForTick && m_settleTime.count() <= 0) {
        for (int c = 0; c < Form::kChannels; ++c) {
            if (alarmAt(c, reading.lines.input(c)) && m_panel->reported(c))
                m_held[size_t(c)] = true;
        }
    }
    m_lastWatched = reading;
    // Queued behind a reading the tick took since, it would show the past.
    if (current)
        take(reading.lines, reading.taken);
    show();
    if (!m_pulsesHeldForTick && m_held != std::array<bool, Form::kChannels>{}) {
        m_held = {};
        show();
    }
    m_alarmShown = {};
}

void LineMonitor::take(const LineState &reading, std::chrono::steady_clock::time_point taken)
{
    m_latestTaken = taken;
    if (!m_lastReading || *m_lastReading != reading) {
        m_lastReading = reading;
        Q_EMIT linesChanged(reading);
    }
    m_latest = reading;
}

void LineMonitor::show()
{
    if (!m_latest || !m_panel->port()->portOpen())
        return;
    const LineState lines = settle(*m_latest);
    for (int c = 0; c < Form::kChannels; ++c) {
        // A held pulse shows the level it had: the alarm's. A line the
        // driver does not report stays as before the first reading.
        const bool level = m_held[size_t(c)] ? !m_normallyClosed[size_t(c)] : lines.input(c);
        m_panel->setIndicatorColour(c, !m_panel->reported(c) ? Form::kBlack : level ? Form::kRed : Form::kGreen);
    }
    for (int c = 0; c < Form::kChannels; ++c) {
        const bool alarm = m_panel->reported(c) && (m_held[size_t(c)] || alarmAt(c, lines.input(c)));
        m_alarmShown[size_t(c)] = m_alarmShown[size_t(c)] || alarm;
        m_panel->setStatusCaption(c, alarm ? Form::kAlarm : Form::kNormal);
        m_panel->setStatusColour(c, alarm ? Form::kRed : Form::kGreen);
    }

    // Order matters: the notification texts come last so their change
    // handlers see this reading's statuses.
    for (int c = 0; c < Form::kChannels; ++c) {
        const bool alarm = m_panel->inAlarm(c);
        const bool enabled = m_panel->notificationsEnabled();
        m_panel->setNotificationText(c, alarm && enabled ? QString(Form::kSendingNotification) : QString());
    }
    if (std::exchange(m_firstShowPending, false))
        Q_EMIT firstReadingShown();
}
