// SPDX-License-Identifier: MIT
#include "event_log.h"

#include "core/arming.h"
#include "core/delivery.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "core/panel_code.h"
#include "notify/script_launcher.h"
#include "serial/serial_port.h"

#include <QFileInfo>

namespace {
const char *level(bool high)
{
    return high ? "high" : "low";
}

}

EventLog::EventLog(std::FILE *out, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_journal(qEnvironmentVariableIsSet("JOURNAL_STREAM"))
{
}

void EventLog::setPort(const QString &port, const QString &device)
{
    m_port = port;
    m_device = device;
}

QString EventLog::quoted(const QString &value)
{
    bool plain = !value.isEmpty();
    for (const QChar c : value)
        plain = plain && c.isPrint() && !c.isSpace() && c != u'"' && c != u'\\' && c != u'=';
    if (plain)
        return value;
    QString out = QStringLiteral("\"");
    for (const QChar c : value) {
        if (c == u'"' || c == u'\\')
            out += u'\\' + QString(c);
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (!c.isPrint() && c != u' ')
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + u'"';
}

QString EventLog::line(const QDateTime &time, const QString &port, const QString &device, const QString &event,
                       const Fields &fields)
{
    QString text = time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
    if (!port.isEmpty())
        text += QStringLiteral(" port=") + quoted(port);
    if (!device.isEmpty())
        text += QStringLiteral(" device=") + quoted(device);
    text += QStringLiteral(" event=") + event;
    for (const auto &[key, value] : fields)
        text += u' ' + key + u'=' + quoted(value);
    return text;
}

void EventLog::record(Priority priority, const QString &event, const Fields &fields)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray text = line(now, m_port, m_device, event, fields).toUtf8();
    if (m_out) {
        if (m_journal)
            std::fprintf(m_out, "<%d>", int(priority));
        std::fprintf(m_out, "%s\n", text.constData());
        std::fflush(m_out);
    }
    Q_EMIT recorded(now, priority, event, fields);
}

void EventLog::watch(Arming *arming)
{
    connect(arming, &Arming::stateChanged, this, [this](Arming::State state, Arming::By by) {
        record(Priority::Notice, QStringLiteral("panel"),
               {{QStringLiteral("state"), Arming::stateName(state)}, {QStringLiteral("by"), Arming::byName(by)}});
    });
    connect(arming->code(), &PanelCode::lockedOut, this, [this](const QDateTime &until) {
        record(Priority::Warning, QStringLiteral("lockout"),
               {{QStringLiteral("until"), until.toUTC().toString(Qt::ISODate)}});
    });
    const auto warn = [this](const QString &text) {
        record(Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), text}});
    };
    connect(arming, &Arming::warning, this, warn);
    connect(arming->code(), &PanelCode::warning, this, warn);
    connect(arming, &Arming::mended, this, [this](const QString &text) {
        record(Priority::Notice, QStringLiteral("mended"), {{QStringLiteral("text"), text}});
    });
}

void EventLog::watch(Panel *panel)
{
    LineMonitor *monitor = panel->lineMonitor();

    connect(monitor, &LineMonitor::portOpened, this, [this, panel] {
        setPort(panel->portText().trimmed(), panel->port()->device());
        record(Priority::Notice, QStringLiteral("opened"));
    });
    connect(monitor, &LineMonitor::portClosed, this, [this] { record(Priority::Notice, QStringLiteral("closed")); });
    // Every line's change, from the tick's own reading; the first reading
    // after an open shows them all.
    connect(monitor, &LineMonitor::portOpened, this, [this] { m_linesKnown = false; });
    connect(monitor, &LineMonitor::linesChanged, this, [this, panel](const LineState &now) {
        static const char *const names[] = {"CTS", "DSR", "DCD", "DTR", "RTS", "RI"};
        const bool levels[] = {now.cts, now.dsr, now.dcd, now.dtr, now.rts, now.ri};
        const bool before[] = {m_lines.cts, m_lines.dsr, m_lines.dcd, m_lines.dtr, m_lines.rts, m_lines.ri};
        for (int i = 0; i < 6; ++i) {
            // What the driver makes up is no level (the watch event said so).
            if (i < Form::kChannels && !panel->reported(i))
                continue;
            if (i == 5 && !panel->port()->driver().reportsRing)
                continue;
            if (!m_linesKnown || levels[i] != before[i]) {
                record(Priority::Info, QStringLiteral("line"),
                       {{QStringLiteral("line"), QLatin1String(names[i])},
                        {QStringLiteral("level"), QLatin1String(level(levels[i]))}});
            }
        }
        m_lines = now;
        m_linesKnown = true;
    });
    // Once per open (again only if the driver refuses the wait late): what
    // the adapter can do, for the technician.
    // The driver is named even where the table does not know it, so that a
    // user can report it.
    connect(monitor, &LineMonitor::watching, this, [this, panel](LineWatch watch) {
        const AdapterDriver driver = panel->port()->driver();
        Fields fields{{QStringLiteral("mode"), lineWatchName(watch)}};
        if (!driver.name.isEmpty()) {
            fields.append({QStringLiteral("driver"), driver.name});
            if (!driver.known)
                fields.append({QStringLiteral("known"), QStringLiteral("no")});
        }
        fields.append({QStringLiteral("reports"), driver.reportedLines()});
        // A server on another machine reads the lines at its own pace.
        if (driver.remote) {
            if (!driver.signature.isEmpty())
                fields.append({QStringLiteral("server"), driver.signature});
            fields.append({QStringLiteral("sampling"), driver.samplingText()});
        }
        record(Priority::Notice, QStringLiteral("watch"), fields);
    });
    connect(monitor, &LineMonitor::pulsed, this, [this](int c, quint32 edges) {
        record(Priority::Info, QStringLiteral("pulse"),
               {{QStringLiteral("channel"), ScriptLauncher::channelName(ScriptLauncher::Channel(c))},
                {QStringLiteral("line"), ScriptLauncher::lineName(ScriptLauncher::Channel(c))},
                {QStringLiteral("edges"), QString::number(edges)}});
    });
    connect(monitor, &LineMonitor::outputsWritten, this, [this](bool dtr, bool rts) {
        record(
            Priority::Info, QStringLiteral("outputs"),
            {{QStringLiteral("dtr"), QLatin1String(level(dtr))}, {QStringLiteral("rts"), QLatin1String(level(rts))}});
    });
    connect(panel, &Panel::statusCaptionChanged, this, [this](int c, const QString &caption) {
        const bool alarm = caption == Form::kAlarm;
        record(alarm ? Priority::Critical : Priority::Notice,
               alarm ? QStringLiteral("alarm") : QStringLiteral("normal"),
               {{QStringLiteral("channel"), ScriptLauncher::channelName(ScriptLauncher::Channel(c))},
                {QStringLiteral("line"), ScriptLauncher::lineName(ScriptLauncher::Channel(c))}});
    });
    connect(panel, &Panel::switchCaptionChanged, this, [this](const QString &caption) {
        record(Priority::Notice, QStringLiteral("notifications"),
               {{QStringLiteral("state"),
                 caption == Form::kEnabled ? QStringLiteral("armed") : QStringLiteral("disarmed")}});
    });

    // What the serial component found and put right (a port left in loopback).
    connect(panel->port(), &SerialPort::noticed, this, [this](const QString &text) {
        record(Priority::Warning, QStringLiteral("notice"), {{QStringLiteral("text"), text}});
    });

    ScriptLauncher *launcher = panel->launcher();
    connect(launcher, &ScriptLauncher::started, this,
            [this](ScriptLauncher::Channel channel, ScriptLauncher::Reason reason, const QString &script, qint64 pid,
                   int attempt) {
                record(Priority::Notice, QStringLiteral("notification"),
                       {{QStringLiteral("channel"), ScriptLauncher::channelName(channel)},
                        {QStringLiteral("reason"), ScriptLauncher::reasonName(reason)},
                        {QStringLiteral("script"), script},
                        {QStringLiteral("pid"), QString::number(pid)},
                        {QStringLiteral("attempt"), QString::number(attempt)}});
            });
    connect(launcher, &ScriptLauncher::finished, this,
            [this](ScriptLauncher::Channel channel, qint64 pid, int exitStatus, int signal) {
                Fields fields{{QStringLiteral("channel"), ScriptLauncher::channelName(channel)},
                              {QStringLiteral("pid"), QString::number(pid)}};
                if (signal)
                    fields.append({QStringLiteral("signal"), QString::number(signal)});
                else
                    fields.append({QStringLiteral("status"), QString::number(exitStatus)});
                const bool ok = signal == 0 && exitStatus == 0;
                record(ok ? Priority::Info : Priority::Warning, QStringLiteral("notification-ended"), fields);
            });
    connect(panel, &Panel::errorOccurred, this, [this, panel](int number, const QString &text) {
        // A refused open names the port asked for, not the last one opened.
        if (!panel->port()->portOpen() && panel->portText().trimmed() != m_port)
            setPort(panel->portText().trimmed(), QString());
        record(Priority::Error, QStringLiteral("error"),
               {{QStringLiteral("number"), QString::number(number)}, {QStringLiteral("text"), text}});
    });
    connect(panel, &Panel::warning, this, [this](const QString &text) {
        record(Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), text}});
    });
    connect(panel, &Panel::mended, this, [this](const QString &text) {
        record(Priority::Notice, QStringLiteral("mended"), {{QStringLiteral("text"), text}});
    });

    Delivery *delivery = panel->delivery();
    connect(delivery, &Delivery::retryScheduled, this,
            [this](ScriptLauncher::Channel channel, ScriptLauncher::Reason reason, int attempt,
                   std::chrono::milliseconds after) {
                record(Priority::Warning, QStringLiteral("notification-retry"),
                       {{QStringLiteral("channel"), ScriptLauncher::channelName(channel)},
                        {QStringLiteral("reason"), ScriptLauncher::reasonName(reason)},
                        {QStringLiteral("attempt"), QString::number(attempt)},
                        {QStringLiteral("in"), QStringLiteral("%1s").arg(double(after.count()) / 1000)}});
            });
    connect(delivery, &Delivery::gaveUp, this,
            [this](ScriptLauncher::Channel channel, ScriptLauncher::Reason reason, int attempts) {
                record(Priority::Critical, QStringLiteral("notification-given-up"),
                       {{QStringLiteral("channel"), ScriptLauncher::channelName(channel)},
                        {QStringLiteral("reason"), ScriptLauncher::reasonName(reason)},
                        {QStringLiteral("attempts"), QString::number(attempts)}});
            });
}

void EventLog::checkScripts(ScriptLauncher *launcher)
{
    auto *scripts = qobject_cast<ProcessScriptLauncher *>(launcher);
    if (!scripts)
        return;
    using Channel = ScriptLauncher::Channel;
    for (Channel channel : {Channel::Fire, Channel::Flood, Channel::Intrusion, Channel::Device, Channel::Heartbeat}) {
        const QString script = scripts->arguments(channel).constFirst();
        Fields fields{{QStringLiteral("channel"), ScriptLauncher::channelName(channel)},
                      {QStringLiteral("script"), script}};
        const QString problem = scripts->problem(channel);
        if (problem.isEmpty()) {
            fields.append({QStringLiteral("state"), QStringLiteral("ready")});
            record(Priority::Info, QStringLiteral("script"), fields);
        } else if ((channel == Channel::Device || channel == Channel::Heartbeat) && !QFileInfo::exists(script)) {
            // Fault.sh and Heartbeat.sh are optional.
            fields.append({QStringLiteral("state"), QStringLiteral("absent")});
            record(Priority::Info, QStringLiteral("script"), fields);
        } else {
            fields.append({QStringLiteral("state"), QStringLiteral("unusable")});
            fields.append({QStringLiteral("text"), problem});
            record(Priority::Warning, QStringLiteral("script"), fields);
        }
    }
}
