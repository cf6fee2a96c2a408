// SPDX-License-Identifier: MIT
#pragma once

// Watches one started script until it ends; Linux only. In: its pid and the
// parent's ends of its two capture files. While it runs the captures are cut
// to their tail, a long run is warned of once, and at its time limit its
// session gets SIGTERM, then SIGKILL. Out: the launcher's own signals, which
// it passes on; finished() at the end, errorOccurred() with the last lines
// written for a failure. Then the watch deletes itself.

#include "script_launcher.h"

#ifdef Q_OS_LINUX
#include "system_call.h"

#include <QObject>

#include <chrono>

#include <sys/types.h>

class QSocketNotifier;
class QTimer;

class ScriptWatch : public QObject
{
    Q_OBJECT
public:
    struct Limits {
        std::chrono::milliseconds stillRunningAfter;
        std::chrono::milliseconds trimInterval;
        // 0: never ended for its time.
        std::chrono::milliseconds timeout;
    };

    ScriptWatch(ScriptLauncher::Channel channel, pid_t pid, QString script, UniqueFd out, UniqueFd err,
                const Limits &limits, QObject *parent = nullptr);

Q_SIGNALS:
    void finished(ScriptLauncher::Channel channel, qint64 pid, int exitStatus, int signal);
    void errorOccurred(int number, const QString &text);
    void warning(const QString &text);

private:
    void reap();
    void endForTime();
    QString failureText(int exitStatus, int signal) const;
    // Nothing fires once the script has ended; the watch goes when control
    // is back in the event loop, as a watcher may be mid-signal.
    void retire();

    ScriptLauncher::Channel m_channel;
    pid_t m_pid;
    QString m_script;
    Limits m_limits;
    UniqueFd m_out;
    UniqueFd m_err;
    UniqueFd m_pidfd;
    QSocketNotifier *m_ended = nullptr;
    QTimer *m_timeout = nullptr;
    bool m_timedOut = false;
};

#endif
