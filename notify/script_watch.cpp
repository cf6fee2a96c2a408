// SPDX-License-Identifier: MIT
#include "script_watch.h"

#ifdef Q_OS_LINUX

#include "common/error_codes.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// How much of the script's output is kept for the report.
constexpr off_t kTailBytes = 2048;
constexpr int kTailLines = 2;
// Without pidfds (kernels before 5.3) the end of a script is polled.
constexpr std::chrono::milliseconds kReapPollInterval{100};

QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(std::chrono::duration<double>(duration).count());
}

QString signalName(int signal)
{
    const char *abbreviation = ::sigabbrev_np(signal);
    return abbreviation ? QStringLiteral("SIG") + QLatin1String(abbreviation) : QString::number(signal);
}

// The last lines the script wrote, from the end of its capture file.
QStringList lastLines(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size == 0)
        return {};
    const off_t from = std::max<off_t>(0, st.st_size - kTailBytes);
    QByteArray tail(st.st_size - from, Qt::Uninitialized);
    const ssize_t got = ::pread(fd, tail.data(), tail.size(), from);
    if (got <= 0)
        return {};
    tail.truncate(got);
    // A line cut by the window is not shown.
    if (from > 0)
        tail.remove(0, tail.indexOf('\n') + 1);
    QStringList lines;
    for (const QByteArray &line : tail.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty())
            lines.append(text);
    }
    return lines.mid(std::max<qsizetype>(0, lines.size() - kTailLines));
}

// The capture files live in memory: a script that talks for hours must not
// use it up. Frees all but the tail; the script's offset runs on, past a hole.
void trimToTail(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return;
    const off_t page = ::sysconf(_SC_PAGESIZE);
    const off_t end = (st.st_size - kTailBytes) / page * page;
    if (end > 0)
        ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, end);
}
}

ScriptWatch::ScriptWatch(ScriptLauncher::Channel channel, pid_t pid, QString script, UniqueFd out, UniqueFd err,
                         const Limits &limits, QObject *parent)
    : QObject(parent)
    , m_channel(channel)
    , m_pid(pid)
    , m_script(std::move(script))
    , m_limits(limits)
    , m_out(std::move(out))
    , m_err(std::move(err))
    , m_pidfd(int(::syscall(SYS_pidfd_open, pid, 0)))
{
    if (m_pidfd.valid()) {
        m_ended = new QSocketNotifier(m_pidfd.get(), QSocketNotifier::Read, this);
        connect(m_ended, &QSocketNotifier::activated, this, &ScriptWatch::reap);
    } else {
        auto *poll = new QTimer(this);
        poll->setInterval(kReapPollInterval);
        connect(poll, &QTimer::timeout, this, &ScriptWatch::reap);
        poll->start();
    }
    auto *stillRunning = new QTimer(this);
    stillRunning->setSingleShot(true);
    connect(stillRunning, &QTimer::timeout, this, [this] {
        Q_EMIT warning(ProcessScriptLauncher::tr("The %1 notification script %2 (process %3) is still running after "
                                                 "%4 s. It is left alone; if it hangs, run it by hand to see what it "
                                                 "waits for: PHONE_HOME_REASON=test sh %2")
                           .arg(ScriptLauncher::channelName(m_channel), m_script, QString::number(m_pid),
                                seconds(m_limits.stillRunningAfter)));
    });
    stillRunning->start(m_limits.stillRunningAfter);
    auto *trim = new QTimer(this);
    connect(trim, &QTimer::timeout, this, [this] {
        trimToTail(m_out.get());
        trimToTail(m_err.get());
    });
    trim->start(m_limits.trimInterval);
    if (m_limits.timeout.count() > 0) {
        m_timeout = new QTimer(this);
        m_timeout->setSingleShot(true);
        connect(m_timeout, &QTimer::timeout, this, &ScriptWatch::endForTime);
        m_timeout->start(m_limits.timeout);
    }
}

void ScriptWatch::endForTime()
{
    // The script is its session's leader: its group holds what it started
    // (a curl that hangs), and the whole group is ended.
    if (!m_timedOut) {
        m_timedOut = true;
        ::kill(-m_pid, SIGTERM);
        m_timeout->start(ProcessScriptLauncher::kKillAfter);
    } else {
        ::kill(-m_pid, SIGKILL);
    }
}

void ScriptWatch::reap()
{
    int status = 0;
    const pid_t reaped = ::waitpid(m_pid, &status, WNOHANG);
    if (reaped == 0)
        return;
    const int error = errno;

    const ScriptLauncher::Channel channel = m_channel;
    const qint64 pid = m_pid;
    // The signals go last: a receiver may delete the launcher, and this
    // watch with it.
    const QPointer<ScriptWatch> alive(this);
    if (reaped < 0) {
        // Someone else reaped it (SIGCHLD ignored, or a stray wait): how it
        // ended is lost.
        const QString text =
            ProcessScriptLauncher::tr("How the %1 notification script %2 (process %3) ended is unknown (%4).")
                .arg(ScriptLauncher::channelName(channel), m_script, QString::number(pid), systemError(error));
        retire();
        Q_EMIT finished(channel, pid, -1, 0);
        if (alive)
            Q_EMIT warning(text);
        return;
    }

    int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    // Stopped for its time, it failed even if it then exited cleanly; 124 as
    // timeout(1) says so.
    if (m_timedOut && exitStatus == 0)
        exitStatus = ProcessScriptLauncher::kTimedOutStatus;
    const QString text = exitStatus != 0 ? failureText(exitStatus, signal) : QString();
    retire();
    Q_EMIT finished(channel, pid, exitStatus, signal);
    if (alive && !text.isEmpty())
        Q_EMIT errorOccurred(int(ErrorCode::ScriptFailed), text);
}

QString ScriptWatch::failureText(int exitStatus, int signal) const
{
    QStringList said = lastLines(m_err.get());
    if (said.isEmpty())
        said = lastLines(m_out.get());
    const QString how = m_timedOut
        ? ProcessScriptLauncher::tr("no end after %1 s, so it was stopped (%2)")
              .arg(seconds(m_limits.timeout),
                   signal ? signalName(signal) : ProcessScriptLauncher::tr("exit status %1").arg(exitStatus))
        : signal ? ProcessScriptLauncher::tr("killed by signal %1").arg(signalName(signal))
                 : ProcessScriptLauncher::tr("exit status %1").arg(exitStatus);
    const QString words = said.isEmpty()
        ? ProcessScriptLauncher::tr("It wrote nothing.")
        : ProcessScriptLauncher::tr("It wrote: \"%1\".").arg(said.join(QStringLiteral("\" \"")));
    return ProcessScriptLauncher::tr("The %1 notification may not have been sent: the script %2 ended with %3. %4 "
                                     "Run it by hand to see why: PHONE_HOME_REASON=test sh %2")
        .arg(ScriptLauncher::channelName(m_channel), m_script, how, words);
}

void ScriptWatch::retire()
{
    for (QObject *watcher : children())
        watcher->blockSignals(true);
    if (m_ended)
        m_ended->setEnabled(false);
    m_out = UniqueFd();
    m_err = UniqueFd();
    m_pidfd = UniqueFd();
    deleteLater();
}

#endif
