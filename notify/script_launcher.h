// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <vector>

// What one start of a script is told besides channel and reason. A retry is
// the same event told again: the event's time, a higher attempt.
struct ScriptDetails {
    int attempt = 1;
    QDateTime time; // of the event; invalid: now
    QList<QPair<QString, QString>> extra;
};

// Starts a channel's notification script without waiting for it; it may
// outlive the program. A refusal is thrown as a PhoneHomeError. What the
// script does later arrives as signals: every end as finished(), a failed
// one also as errorOccurred(), one still running for long as warning().
class ScriptLauncher : public QObject
{
    Q_OBJECT
public:
    // Device is the port itself (Fault.sh): lost and back again. Heartbeat
    // is the periodic sign of life (Heartbeat.sh).
    enum class Channel { Fire, Flood, Intrusion, Device, Heartbeat };
    enum class Reason { Alarm, Test, Clear, Lost, Restored, Heartbeat };
    using Environment = QList<QPair<QString, QString>>;
    using Details = ScriptDetails;

    explicit ScriptLauncher(QObject *parent = nullptr)
        : QObject(parent)
    {
    }
    // Returns the started script's pid, whose end finished() reports; 0
    // where the script is started and not watched.
    virtual qint64 start(Channel channel, Reason reason, const Details &details = {}) = 0;

    // Which port the scripts speak of (PHONE_HOME_PORT, PHONE_HOME_DEVICE).
    void setPort(const QString &port, const QString &device)
    {
        m_port = port;
        m_device = device;
    }
    QString port() const { return m_port; }
    QString device() const { return m_device; }
    // Where scripts may keep what outlives one run, such as which messages of
    // an event already went out (PHONE_HOME_STATE_DIR); empty: none.
    void setStateDir(const QString &dir) { m_stateDir = dir; }

    static QString channelName(Channel channel);
    static QString reasonName(Reason reason);
    // CTS, DSR or DCD; empty for the device channel.
    static QString lineName(Channel channel);
    static bool channelFromName(const QString &name, Channel *channel);
    static bool reasonFromName(const QString &name, Reason *reason);
    // What a script finds in its environment besides the system's own.
    Environment environment(Channel channel, Reason reason, const Details &details = {}) const;
    static QString timeText(const QDateTime &time);

Q_SIGNALS:
    void started(ScriptLauncher::Channel channel, ScriptLauncher::Reason reason, const QString &script, qint64 pid,
                 int attempt);
    // exitStatus is meaningful when signal is 0.
    void finished(ScriptLauncher::Channel channel, qint64 pid, int exitStatus, int signal);
    void errorOccurred(int number, const QString &text);
    void warning(const QString &text);

private:
    QString m_port;
    QString m_device;
    QString m_stateDir;
};

// The fixed command lines: a script host and one script per channel. On
// Linux each script is checked before it runs (owner, mode, where it lives)
// and watched until it ends; elsewhere it is started and forgotten.
class ProcessScriptLauncher : public ScriptLauncher
{
    Q_OBJECT
public:
    // The defaults are the installed locations; tests hand in their own.
    explicit ProcessScriptLauncher(QString host = defaultHost(), QString scriptDir = defaultScriptDir(),
                                   QObject *parent = nullptr);
    ~ProcessScriptLauncher() override;

    qint64 start(Channel channel, Reason reason, const Details &details = {}) override;
    // Why the channel's script would be refused now, or empty when it would
    // run (the start-up log lists this for every script).
    QString problem(Channel channel) const;

    QString program() const { return m_host; }
    QStringList arguments(Channel channel) const;

    // How long a script may run before warning() says it still does.
    void setStillRunningAfter(std::chrono::milliseconds after) { m_stillRunningAfter = after; }
    // How long a script may run before it is ended (SIGTERM to its session,
    // SIGKILL kKillAfter later) and counts as failed. 0: never.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    // How often the output of a running script is cut down to its tail.
    void setTrimInterval(std::chrono::milliseconds interval) { m_trimInterval = interval; }

    static QString defaultHost();
    static QString defaultScriptDir();
    static QString scriptFileName(Channel channel);
    // Sourced by the example scripts from their own folder.
    static QString commonFileName() { return QStringLiteral("phone-home-common.sh"); }

    static constexpr std::chrono::seconds kStillRunningAfter{120};
    static constexpr std::chrono::seconds kTrimInterval{10};
    static constexpr std::chrono::seconds kTimeout{300};
    static constexpr std::chrono::seconds kKillAfter{5};
    static constexpr int kTimedOutStatus = 124;

private:
    QString m_host;
    QString m_scriptDir;
    std::chrono::milliseconds m_stillRunningAfter = kStillRunningAfter;
    std::chrono::milliseconds m_trimInterval = kTrimInterval;
    std::chrono::milliseconds m_timeout = kTimeout;
};
