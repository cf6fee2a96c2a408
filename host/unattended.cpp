// SPDX-License-Identifier: MIT
#include "unattended.h"

#include "core/delivery.h"
#include "core/line_monitor.h"
#include "core/notifier.h"
#include "core/panel.h"
#include "notify/script_launcher.h"
#include "record/event_log.h"
#include "serial/rfc2217_port.h"
#include "serial/serial_port.h"

#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <utility>

using Channel = ScriptLauncher::Channel;
using Reason = ScriptLauncher::Reason;

Unattended::Unattended(Panel *panel, EventLog *log, const Options &options, QObject *parent)
    : QObject(parent)
    , m_panel(panel)
    , m_log(log)
    , m_options(options)
{
    m_retry.setInterval(kRetryInterval);
    connect(&m_retry, &QTimer::timeout, this, &Unattended::retry);
    connect(panel->lineMonitor(), &LineMonitor::deviceFailed, this, &Unattended::deviceLost);
    // The watchdog is fed from the tick, and from the retries while the
    // device is away: a hung event loop feeds nothing and gets restarted.
    connect(panel->timer(), &QTimer::timeout, this, [this] { m_systemd.feedWatchdog(); });
    connect(&m_retry, &QTimer::timeout, this, [this] { m_systemd.feedWatchdog(); });
}

bool Unattended::start()
{
    m_panel->lineMonitor()->setSettleTime(m_options.settle);
    m_panel->lineMonitor()->setWatchInterval(kWatchTick);
    // No one looks at a status here: a pulse starts its script and is over.
    m_panel->lineMonitor()->setPulsesHeldForTick(false);
    m_panel->lineMonitor()->setNormallyClosed(m_options.normallyClosed);
    // A contact fed from DTR or RTS reads as it is from the first reading
    // on, at start and at every return of the device.
    m_panel->lineMonitor()->setOutputsOnOpen(true);
    m_panel->notifier()->setNotifyOnClear(m_options.notifyClear);
    // The arming decides which alarms are told; restored before the first
    // reading, so a restart never tells what the saved state holds back.
    m_arming.setAlwaysArmed(m_options.alwaysArmed);
    m_arming.setDelays(m_options.exitDelay, m_options.entryDelay);
    for (const QString &text : m_arming.start(m_options.stateDir))
        m_log->record(EventLog::Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), text}});
    m_panel->notifier()->setArming(&m_arming);
    m_panel->setPortText(m_options.port);
    m_panel->setDtrChecked(m_options.dtr);
    m_panel->setRtsChecked(m_options.rts);
    m_panel->notifier()->CmdCallEnable_Click(); // "Disabled" -> "Enabled": armed

    // A device that is not there at start is as good as lost: the watch is
    // not on, and someone should know.
    if (m_panel->lineMonitor()->open(true)) {
        warnUnreported();
    } else {
        if (m_panel->lineMonitor()->lastRefusal() == int(ErrorCode::LineNotReported))
            return false;
        deviceLost();
    }
    m_systemd.notify("READY=1\n" + watchingStatus());
    return true;
}

// Once: the adapter stays what it is while the service runs.
void Unattended::warnUnreported()
{
    if (std::exchange(m_warnedUnreported, true))
        return;
    for (int c = 0; c < Form::kChannels; ++c) {
        if (m_panel->reported(c))
            continue;
        const auto channel = Channel(c);
        m_log->record(EventLog::Priority::Warning, QStringLiteral("warning"),
                      {{QStringLiteral("text"),
                        tr("The %1 channel cannot alarm on %2: %3. Its test still runs its script; wire the "
                           "contact to a line this adapter reports (%4), or use another adapter.")
                            .arg(ScriptLauncher::channelName(channel), m_panel->port()->device(),
                                 m_panel->unreported(c), m_panel->port()->driver().reportedLinesText())}});
    }
}

QByteArray Unattended::watchingStatus() const
{
    return "STATUS=" + QStringLiteral("Watching port %1").arg(m_options.port).toUtf8();
}

void Unattended::stop()
{
    m_systemd.notify("STOPPING=1");
    m_retry.stop();
    m_panel->lineMonitor()->Command2_Click();
}

void Unattended::deviceLost()
{
    if (m_away)
        return;
    m_away = true;
    m_log->record(EventLog::Priority::Warning, QStringLiteral("device-lost"),
                  {{QStringLiteral("retry"), QStringLiteral("%1s").arg(kRetryInterval.count())}});
    m_systemd.notify("STATUS=Device lost, retrying");
    runFaultScript(true);
    m_retry.start();
}

void Unattended::retry()
{
    LineMonitor *monitor = m_panel->lineMonitor();
    if (!monitor->open(false)) {
        // An absent device is retried quietly; an adapter that came back but
        // cannot watch a normally closed contact is told, once, or the log
        // would say only that the device is lost while it is plugged in.
        const bool refused = monitor->lastRefusal() == int(ErrorCode::LineNotReported);
        if (refused && !std::exchange(m_refusalTold, true)) {
            monitor->reportLastRefusal();
            m_systemd.notify("STATUS="
                             + QStringLiteral("Port %1 is back but cannot be watched as asked; see the log")
                                   .arg(m_options.port)
                                   .toUtf8());
        }
        m_refusalTold = refused;
        if (Rfc2217Port::isAddress(m_options.port))
            m_retry.setInterval(
                std::min<std::chrono::milliseconds>(2 * m_retry.intervalAsDuration(), kMaxRemoteRetryInterval));
        return;
    }
    m_refusalTold = false;
    m_retry.stop();
    m_retry.setInterval(kRetryInterval);
    m_away = false;
    m_log->record(EventLog::Priority::Notice, QStringLiteral("device-back"));
    warnUnreported();
    m_systemd.notify(watchingStatus());
    runFaultScript(false);
}

void Unattended::runFaultScript(bool lost)
{
    // Fault.sh is optional: without it the log is the only word.
    auto *launcher = qobject_cast<ProcessScriptLauncher *>(m_panel->launcher());
    if (launcher && !QFileInfo::exists(launcher->arguments(Channel::Device).constFirst()))
        return;
    m_panel->delivery()->notify(Channel::Device, lost ? Reason::Lost : Reason::Restored);
}
