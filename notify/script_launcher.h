#pragma once

#include <QString>
#include <QStringList>

// Starts a channel's notification script, detached: nobody waits for it and
// it may outlive the program. A refusal is thrown as a PhoneHomeError.
class ScriptLauncher
{
public:
    enum class Channel { Fire, Flood, Intrusion };
    enum class Reason { Alarm, Test };

    virtual ~ScriptLauncher() = default;
    virtual void start(Channel channel, Reason reason) = 0;

    static QString channelName(Channel channel);
    static QString reasonName(Reason reason);
};

// The fixed command lines: a script host and one script per channel.
class ProcessScriptLauncher : public ScriptLauncher
{
public:
    // The defaults are the installed locations; tests hand in their own.
    explicit ProcessScriptLauncher(QString host = defaultHost(), QString scriptDir = defaultScriptDir());

    void start(Channel channel, Reason reason) override;

    QString program() const { return m_host; }
    QStringList arguments(Channel channel) const;

    static QString defaultHost();
    static QString defaultScriptDir();
    static QString scriptFileName(Channel channel);

private:
    QString m_host;
    QString m_scriptDir;
};
