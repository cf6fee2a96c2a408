// SPDX-License-Identifier: MIT
#include "script_launcher.h"

#include "script_start.h"
#include "script_trust.h"
#include "script_watch.h"

#include <QDateTime>

#include <utility>

QString ScriptLauncher::channelName(Channel channel)
{
    switch (channel) {
    case Channel::Fire:
        return QStringLiteral("fire");
    case Channel::Flood:
        return QStringLiteral("flood");
    case Channel::Intrusion:
        return QStringLiteral("intrusion");
    case Channel::Device:
        return QStringLiteral("device");
    case Channel::Heartbeat:
        break;
    }
    return QStringLiteral("heartbeat");
}

bool ScriptLauncher::channelFromName(const QString &name, Channel *channel)
{
    for (Channel c : {Channel::Fire, Channel::Flood, Channel::Intrusion, Channel::Device, Channel::Heartbeat}) {
        if (channelName(c) == name) {
            *channel = c;
            return true;
        }
    }
    return false;
}

bool ScriptLauncher::reasonFromName(const QString &name, Reason *reason)
{
    for (Reason r : {Reason::Alarm, Reason::Test, Reason::Clear, Reason::Lost, Reason::Restored, Reason::Heartbeat}) {
        if (reasonName(r) == name) {
            *reason = r;
            return true;
        }
    }
    return false;
}

QString ScriptLauncher::reasonName(Reason reason)
{
    switch (reason) {
    case Reason::Alarm:
        return QStringLiteral("alarm");
    case Reason::Test:
        return QStringLiteral("test");
    case Reason::Clear:
        return QStringLiteral("clear");
    case Reason::Lost:
        return QStringLiteral("lost");
    case Reason::Restored:
        return QStringLiteral("restored");
    case Reason::Heartbeat:
        break;
    }
    return QStringLiteral("heartbeat");
}

QString ScriptLauncher::lineName(Channel channel)
{
    switch (channel) {
    case Channel::Fire:
        return QStringLiteral("CTS");
    case Channel::Flood:
        return QStringLiteral("DSR");
    case Channel::Intrusion:
        return QStringLiteral("DCD");
    case Channel::Device:
    case Channel::Heartbeat:
        break;
    }
    return QString();
}

QString ScriptLauncher::timeText(const QDateTime &time)
{
    // A time kept with its offset keeps it: a retry after a change of summer
    // time tells the event in the words of the moment it happened.
    if (time.timeSpec() == Qt::OffsetFromUTC)
        return time.toString(Qt::ISODateWithMs);
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

ScriptLauncher::Environment ScriptLauncher::environment(Channel channel, Reason reason, const Details &details) const
{
    Environment env{{QStringLiteral("PHONE_HOME_CHANNEL"), channelName(channel)},
                    {QStringLiteral("PHONE_HOME_REASON"), reasonName(reason)},
                    {QStringLiteral("PHONE_HOME_PORT"), m_port},
                    {QStringLiteral("PHONE_HOME_DEVICE"), m_device},
                    {QStringLiteral("PHONE_HOME_LINE"), lineName(channel)},
                    {QStringLiteral("PHONE_HOME_TIME"),
                     timeText(details.time.isValid() ? details.time : QDateTime::currentDateTime())},
                    {QStringLiteral("PHONE_HOME_ATTEMPT"), QString::number(details.attempt)},
                    {QStringLiteral("PHONE_HOME_STATE_DIR"), m_stateDir}};
    env += details.extra;
    return env;
}

ProcessScriptLauncher::ProcessScriptLauncher(QString host, QString scriptDir, QObject *parent)
    : ScriptLauncher(parent)
    , m_host(std::move(host))
    , m_scriptDir(std::move(scriptDir))
{
}
QString ProcessScriptLauncher::defaultHost()
{
#ifdef Q_OS_WIN
    return QStringLiteral("Wscript.exe");
#else
    return QStringLiteral("/bin/sh");
#endif
}

QString ProcessScriptLauncher::defaultScriptDir()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\Notifications");
#else
    return QStringLiteral("/etc/rs232-phone-home");
#endif
}

QString ProcessScriptLauncher::scriptFileName(Channel channel)
{
#ifdef Q_OS_WIN
    const QString extension = QStringLiteral(".vbs");
#else
    const QString extension = QStringLiteral(".sh");
#endif
    switch (channel) {
    case Channel::Fire:
        return QStringLiteral("Fire") + extension;
    case Channel::Flood:
        return QStringLiteral("Flood") + extension;
    case Channel::Intrusion:
        return QStringLiteral("Intruder") + extension;
    case Channel::Device:
        return QStringLiteral("Fault") + extension;
    case Channel::Heartbeat:
        break;
    }
    return QStringLiteral("Heartbeat") + extension;
}

QStringList ProcessScriptLauncher::arguments(Channel channel) const
{
#ifdef Q_OS_WIN
    const QChar separator = u'\\';
#else
    const QChar separator = u'/';
#endif
    return {m_scriptDir + separator + scriptFileName(channel)};
}

// Scripts still running are not killed: they keep their own copies of the
// capture files and run to their end.
ProcessScriptLauncher::~ProcessScriptLauncher() = default;

qint64 ProcessScriptLauncher::start(Channel channel, Reason reason, const Details &details)
{
    const QString script = arguments(channel).constFirst();
    ScriptTrust::Checked checked = ScriptTrust::check(m_scriptDir, script, channel);
    ScriptStart::Started run =
        ScriptStart::detached(channel, m_host, script, std::move(checked), environment(channel, reason, details));
#ifdef Q_OS_LINUX
    auto *watch = new ScriptWatch(channel, pid_t(run.pid), script, std::move(run.out), std::move(run.err),
                                  {m_stillRunningAfter, m_trimInterval, m_timeout}, this);
    connect(watch, &ScriptWatch::finished, this, &ScriptLauncher::finished);
    connect(watch, &ScriptWatch::errorOccurred, this, &ScriptLauncher::errorOccurred);
    connect(watch, &ScriptWatch::warning, this, &ScriptLauncher::warning);
    Q_EMIT started(channel, reason, script, run.pid, details.attempt);
    return run.pid;
#else
    Q_EMIT started(channel, reason, script, run.pid, details.attempt);
    return 0; // started and forgotten: no end will be reported
#endif
}

QString ProcessScriptLauncher::problem(Channel channel) const
{
    return ScriptTrust::problem(m_scriptDir, arguments(channel).constFirst(), channel);
}
