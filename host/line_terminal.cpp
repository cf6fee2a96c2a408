// SPDX-License-Identifier: MIT
#include "line_terminal.h"

#include "core/constants.h"
#include "core/line_monitor.h"
#include "serial/qt_serial_port.h"

#include <QDateTime>

namespace {
QString plural(quint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}
}

LineTerminal::LineTerminal(SerialPort *port, const Options &options, std::FILE *out, std::FILE *err, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_options(options)
    , m_out(out)
    , m_err(err)
{
    m_poll.setInterval(Form::kPollInterval);
    connect(&m_poll, &QTimer::timeout, this, &LineTerminal::poll);
    connect(&m_history, &LineHistory::appended, this, &LineTerminal::printRows);
    connect(port, &SerialPort::linesWatched, this,
            [this](const LineReading &reading) { m_history.add(LineHistory::wallTime(reading.taken), reading); });
    connect(port, &SerialPort::outputsSet, this,
            [this](bool dtr, bool rts) { m_history.addOutputs(QDateTime::currentDateTime(), dtr, rts); });
    connect(port, &SerialPort::lineWatchChanged, this, [this](LineWatch watch) {
        if (watch == LineWatch::Poll)
            m_poll.start();
    });
    connect(port, &SerialPort::watchFailed, this, &LineTerminal::fail);
    if (auto *qtPort = qobject_cast<QtSerialPort *>(port))
        connect(qtPort, &QtSerialPort::noticed, this, [this](const QString &text) { print(m_err, text); });
}

LineTerminal::~LineTerminal()
{
    reportRefusal([&] { m_port->setPortOpen(false); }, [](int, const QString &) {});
}

void LineTerminal::print(std::FILE *to, const QString &text)
{
    std::fprintf(to, "%s\n", text.toUtf8().constData());
    std::fflush(to);
}

bool LineTerminal::start()
{
    const bool opened = reportRefusal(
        [&] {
            if (LineMonitor::isDevicePath(m_options.port))
                m_port->setDevicePath(m_options.port.trimmed());
            else
                m_port->setCommPort(m_options.port.toInt());
            m_port->setOutputsAtOpen(m_options.dtr, m_options.rts);
            m_port->setPortOpen(true);
        },
        [this](int number, const QString &text) {
            print(m_err, tr("rs232-phone-homed: error %1: %2").arg(number).arg(text));
            m_status = kFailed;
        });
    if (!opened)
        return false;

    const AdapterDriver driver = m_port->driver();
    const LineWatch watch = m_port->lineWatch();
    print(m_err,
          tr("%1 open (driver %2, %3); Ctrl+C ends.")
              .arg(m_port->device(), driver.name.isEmpty() ? tr("unknown") : driver.name, lineWatchName(watch)));
    for (int c = 0; c < 3; ++c) {
        if (!driver.reports[size_t(c)])
            print(m_err, driver.unreportedText(c));
    }
    if (!driver.reportsRing)
        print(m_err, driver.unreportedRingText());

    if (m_options.lines) {
        if (m_options.csv)
            print(m_out, LineHistory::csvHeader());
        LineReading start = watch == LineWatch::Poll ? LineReading() : m_port->watchStart();
        start.lines.dtr = m_options.dtr;
        start.lines.rts = m_options.rts;
        if (watch == LineWatch::Poll) {
            LineState lines;
            if (!reportRefusal([&] { lines = m_port->readLines(); },
                               [this](int number, const QString &text) { fail(number, text); }))
                return true; // told, and done() is on its way
            start.lines.cts = lines.cts;
            start.lines.dsr = lines.dsr;
            start.lines.dcd = lines.dcd;
            start.lines.ri = lines.ri;
            start.taken = std::chrono::steady_clock::now();
        }
        m_history.start(QDateTime::currentDateTime(), start, driver);
        printRows(0, m_history.size());
        // Where the driver cannot wait, or wakes no one as RI rises (the
        // 8250 counts only a ring's end), the lines are read at the tick too.
        if (watch == LineWatch::Poll || driver.ringFallsOnly)
            m_poll.start();
    }
    for (const auto &[output, length] : std::as_const(m_options.pulses)) {
        auto *pulse = new OutputPulse(m_port, this);
        m_pulses.append(pulse);
        connect(pulse, &OutputPulse::finished, this, &LineTerminal::pulseEnded);
        connect(pulse, &OutputPulse::failed, this, &LineTerminal::fail);
        ++m_pulsesRunning;
        pulse->start(output, length, output == OutputPulse::Output::Dtr ? m_options.dtr : m_options.rts);
    }
    if (m_options.cableTest) {
        m_cableTest = std::make_unique<CableTest>(m_port);
        connect(m_cableTest.get(), &CableTest::failed, this, &LineTerminal::fail);
        connect(m_cableTest.get(), &CableTest::finished, this, [this](const CableTest::Result &result) {
            print(m_out, result.text());
            finish(result.passed() ? 0 : kFailed);
        });
        m_cableTest->start();
    }
    return true;
}

void LineTerminal::pulseEnded()
{
    // A pulse alone is a job that ends; with --lines the watch goes on.
    if (--m_pulsesRunning == 0 && !m_options.lines && !m_options.cableTest)
        finish(0);
}

void LineTerminal::poll()
{
    LineReading reading;
    if (!reportRefusal([&] { reading.lines = m_port->readLines(); },
                       [this](int number, const QString &text) { fail(number, text); }))
        return;
    reading.taken = std::chrono::steady_clock::now();
    m_history.add(QDateTime::currentDateTime(), reading);
}

void LineTerminal::printRows(int first, int count)
{
    for (int i = first; i < first + count; ++i) {
        const LineHistory::Change &change = m_history.at(i);
        print(m_out, m_options.csv ? LineHistory::csvRow(change) : changeText(change));
    }
}

QString LineTerminal::changeText(const LineHistory::Change &change)
{
    QString text = QStringLiteral("%1  %2 (%3)  %4")
                       .arg(LineHistory::timeText(change), LineHistory::lineName(change.line))
                       .arg(LineHistory::pin(change.line))
                       .arg(LineHistory::levelName(change.level), -5);
    if (change.atOpen)
        text += tr("  at the open");
    else if (change.level == LineHistory::Level::Pulse)
        text += tr("  %1 between two readings").arg(plural(quint64(change.pulses), "pulse", "pulses"));
    else if (change.widthMs >= 0)
        text += tr("  after %1 ms %2")
                    .arg(change.widthMs)
                    .arg(change.level == LineHistory::Level::High ? tr("low") : tr("high"));
    if (change.count >= 0)
        text += tr("  (count %1)").arg(change.count);
    return text;
}

QString LineTerminal::summaryText(const LineHistory &history)
{
    QStringList lines{tr("Since the open:")};
    for (int i = 0; i < LineHistory::kLines; ++i) {
        const auto line = LineHistory::Line(i);
        const LineHistory::Summary &s = history.summary(line);
        QString text = QStringLiteral("  %1 (%2): ").arg(LineHistory::lineName(line)).arg(LineHistory::pin(line));
        if (!s.reported) {
            const AdapterDriver &driver = history.driver();
            lines.append(text + tr("not reported by this adapter (%1)").arg(driver.name));
            continue;
        }
        text += plural(s.changes, "change", "changes") + QStringLiteral(", ") + plural(s.pulses, "pulse", "pulses");
        if (s.shortestHighMs)
            text += tr(", shortest high %1 ms, longest high %2 ms").arg(*s.shortestHighMs).arg(*s.longestHighMs);
        else
            text += tr(", no whole high seen");
        text += tr(", now %1").arg(s.level ? tr("high") : tr("low"));
        lines.append(text);
    }
    if (history.dropped() > 0)
        lines.append(tr("The oldest %1 changes were dropped from the history (it keeps %2).")
                         .arg(history.dropped())
                         .arg(history.capacity()));
    return lines.join(u'\n');
}

void LineTerminal::interrupt()
{
    if (m_options.lines && m_history.started())
        print(m_err, summaryText(m_history));
    finish(0);
}

void LineTerminal::fail(int number, const QString &text)
{
    print(m_err, tr("rs232-phone-homed: error %1: %2").arg(number).arg(text));
    if (m_options.lines && m_history.started())
        print(m_err, summaryText(m_history));
    finish(kFailed);
}

void LineTerminal::finish(int status)
{
    if (std::exchange(m_finished, true))
        return;
    m_poll.stop();
    m_status = status;
    Q_EMIT done(status);
}
