#include "script_launcher.h"

#include "core/error_codes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

QString ScriptLauncher::channelName(Channel channel)
{
    switch (channel) {
    case Channel::Fire:
        return QStringLiteral("fire");
    case Channel::Flood:
        return QStringLiteral("flood");
    case Channel::Intrusion:
        break;
    }
    return QStringLiteral("intrusion");
}

QString ScriptLauncher::reasonName(Reason reason)
{
    return reason == Reason::Test ? QStringLiteral("test") : QStringLiteral("alarm");
}

ProcessScriptLauncher::ProcessScriptLauncher(QString host, QString scriptDir)
    : m_host(std::move(host))
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
        break;
    }
    return QStringLiteral("Intruder") + extension;
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

void ProcessScriptLauncher::start(Channel channel, Reason reason)
{
    const QString script = arguments(channel).constFirst();
    const QFileInfo info(script);
    // The host would fail unseen on a missing script while the window says
    // a notification is on its way: refuse it here, where it can be shown.
    if (!info.isFile() || !info.isReadable()) {
        throw PhoneHomeError(ErrorCode::ScriptMissing,
                             QCoreApplication::translate("ScriptLauncher",
                                                         "Cannot send the %1 notification: the script %2 %3. "
                                                         "Install it there (see \"Setting up notifications\" in the README).")
                                 .arg(channelName(channel), script,
                                      info.exists() ? QCoreApplication::translate("ScriptLauncher", "cannot be read")
                                                    : QCoreApplication::translate("ScriptLauncher", "does not exist")));
    }

    QProcess process;
    process.setProgram(m_host);
    process.setArguments(arguments(channel));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PHONE_HOME_CHANNEL"), channelName(channel));
    env.insert(QStringLiteral("PHONE_HOME_REASON"), reasonName(reason));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(m_scriptDir);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        throw PhoneHomeError(ErrorCode::ScriptHostFailed,
                             QCoreApplication::translate("ScriptLauncher",
                                                         "Cannot send the %1 notification: the script host %2 "
                                                         "could not be started (%3). Check that it is installed.")
                                 .arg(channelName(channel), m_host, process.errorString()));
    }
}
