// SPDX-License-Identifier: MIT
#include "script_launcher.h"

#include "common/error_codes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#ifdef Q_OS_LINUX
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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
                    {QStringLiteral("PHONE_HOME_ATTEMPT"), QString::number(details.attempt)}};
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

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("ScriptLauncher", text);
}

PhoneHomeError missing(ScriptLauncher::Channel channel, const QString &script, const QString &what)
{
    return PhoneHomeError(ErrorCode::ScriptMissing,
                          tr("Cannot send the %1 notification: the script %2 %3. "
                             "Install it there (see \"Setting up notifications\" in the README).")
                              .arg(ScriptLauncher::channelName(channel), script, what));
}

PhoneHomeError unreadable(ScriptLauncher::Channel channel, const QString &script, const QString &what)
{
    return PhoneHomeError(ErrorCode::ScriptMissing,
                          tr("Cannot send the %1 notification: the script %2 %3. Let the user this program "
                             "runs as read it (see \"Setting up notifications\" in the README).")
                              .arg(ScriptLauncher::channelName(channel), script, what));
}
}

#ifndef Q_OS_LINUX

ProcessScriptLauncher::~ProcessScriptLauncher() = default;

qint64 ProcessScriptLauncher::start(Channel channel, Reason reason, const Details &details)
{
    const QString script = arguments(channel).constFirst();
    const QFileInfo info(script);
    // The host would fail unseen on a missing script while the window says
    // a notification is on its way: refuse it here, where it can be shown.
    if (!info.isFile() || !info.isReadable()) {
        if (info.exists())
            throw unreadable(channel, script, tr("cannot be read"));
        throw missing(channel, script, tr("does not exist"));
    }

    QProcess process;
    process.setProgram(m_host);
    process.setArguments(arguments(channel));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : environment(channel, reason, details))
        env.insert(name, value);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(m_scriptDir);
    process.setStandardInputFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        throw PhoneHomeError(ErrorCode::ScriptHostFailed,
                             tr("Cannot send the %1 notification: the script host %2 "
                                "could not be started (%3). Check that it is installed.")
                                 .arg(channelName(channel), m_host, process.errorString()));
    }
    Q_EMIT started(channel, reason, script, pid, details.attempt);
    return 0; // started and forgotten: no end will be reported
}

QString ProcessScriptLauncher::problem(Channel channel) const
{
    const QFileInfo info(arguments(channel).constFirst());
    if (info.isFile() && info.isReadable())
        return QString();
    return info.exists() ? tr("cannot be read") : tr("does not exist");
}

#else

namespace {
// Descriptors the script gets: stdin, stdout, stderr and the script itself.
constexpr int kScriptFd = 3;
// Where the parent keeps its own copies, clear of 0..3 so that no dup2 in
// the child overwrites one it still has to hand on.
constexpr int kFirstHighFd = 10;
// How much of the script's output is kept for the report.
constexpr off_t kTailBytes = 2048;
constexpr int kTailLines = 2;
// Without pidfds (kernels before 5.3) the end of a script is polled.
constexpr std::chrono::milliseconds kReapPollInterval{100};

class Fd
{
public:
    explicit Fd(int fd = -1)
        : m_fd(fd)
    {
    }
    Fd(Fd &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    Fd &operator=(Fd &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Moves fd above the descriptors the child's file actions write to.
Fd high(int fd)
{
    Fd original(fd);
    if (fd < 0)
        return Fd();
    return Fd(::fcntl(fd, F_DUPFD_CLOEXEC, kFirstHighFd));
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString userName(uid_t uid)
{
    const passwd *pw = ::getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QStringLiteral("uid %1").arg(uid);
}

QString signalName(int signal)
{
    const char *abbreviation = ::sigabbrev_np(signal);
    return abbreviation ? QStringLiteral("SIG") + QLatin1String(abbreviation) : QString::number(signal);
}

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

QString display(const QByteArray &path)
{
    return QFile::decodeName(path);
}

// What makes a folder on the script's path, or a file the shell reads,
// unsafe to trust with this program's rights; empty if nothing.
QString unsafe(const struct stat &st, const QString &path)
{
    const uid_t self = ::geteuid();
    if (st.st_uid != 0 && st.st_uid != self) {
        return tr("%1 belongs to %2, not to root or to %3 (the user this program runs as); "
                  "fix it with: sudo chown root: %1")
            .arg(path, userName(st.st_uid), userName(self));
    }
    // Others may create entries in a sticky folder of root's such as /tmp,
    // but not remove or rename ones they do not own, so nothing below it
    // can be swapped by them.
    if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && st.st_uid == 0)
        return QString();
    const mode_t writable = st.st_mode & (S_IWGRP | S_IWOTH);
    if (writable) {
        const QString who = writable == (S_IWGRP | S_IWOTH) ? tr("group and others")
            : writable == S_IWGRP ? tr("its group")
                                  : tr("others");
        return tr("%1 is writable by %2 (mode %3), so they could change what runs with this program's "
                  "rights; fix it with: sudo chmod go-w %1")
            .arg(path, who, QString::number(st.st_mode & 07777, 8).rightJustified(4, u'0'));
    }
    return QString();
}

PhoneHomeError refused(ScriptLauncher::Channel channel, const QString &script, const QString &why)
{
    return PhoneHomeError(ErrorCode::ScriptRefused,
                          tr("Refusing to run the %1 notification script %2: %3.")
                              .arg(ScriptLauncher::channelName(channel), script, why));
}

// Opens `name` in the (canonical) script folder `dir` the way the shell will
// read it, and checks the file behind the descriptor, so that what was
// checked is what runs. A link is followed only to a file in the folder.
// Returns nothing when the file is absent and not `required`.
std::optional<Fd> openChecked(const QByteArray &dir, const QString &name, bool required,
                              ScriptLauncher::Channel channel, const QString &script)
{
    QByteArray path = dir + '/' + QFile::encodeName(name);
    const QString shown = display(path);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT && !required)
            return std::nullopt;
        if (error == ENOENT)
            throw missing(channel, shown, tr("does not exist"));
        throw unreadable(channel, shown, tr("cannot be read (%1)").arg(systemError(error)));
    }
    if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        if (!::realpath(path.constData(), target))
            throw missing(channel, shown, tr("is a link to %1, which does not exist").arg(QFile::symLinkTarget(shown)));
        if (parentOf(target) != dir) {
            throw refused(channel, script,
                          tr("%1 is a symbolic link to %2, outside the script folder %3; put the file itself "
                             "there instead: sudo cp --remove-destination %2 %1")
                              .arg(shown, display(target), display(dir)));
        }
        path = target;
    }
    Fd fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        const int error = errno;
        if (error == ENOENT)
            throw missing(channel, display(path), tr("does not exist"));
        throw unreadable(channel, display(path), tr("cannot be read (%1)").arg(systemError(error)));
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw missing(channel, display(path), tr("is not a regular file"));
    if (const QString why = unsafe(st, display(path)); !why.isEmpty())
        throw refused(channel, script, why);
    return fd;
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

Fd captureFile(const char *name)
{
    return high(::memfd_create(name, MFD_CLOEXEC));
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

struct ProcessScriptLauncher::Child {
    Channel channel;
    pid_t pid;
    QString script;
    Fd pidfd;
    Fd out;
    Fd err;
    QSocketNotifier *ended = nullptr;
    QTimer *poll = nullptr;
    QTimer *stillRunning = nullptr;
    QTimer *trim = nullptr;
    QTimer *timeout = nullptr;
    bool timedOut = false;

    ~Child()
    {
        // The watchers may be mid-signal: let them go once control is back
        // in the event loop, and silence them until then.
        for (QObject *watcher :
             {static_cast<QObject *>(ended), static_cast<QObject *>(poll), static_cast<QObject *>(stillRunning),
              static_cast<QObject *>(trim), static_cast<QObject *>(timeout)}) {
            if (watcher) {
                watcher->blockSignals(true);
                watcher->deleteLater();
            }
        }
        if (ended)
            ended->setEnabled(false);
    }
};

// Scripts still running are not killed: they keep their own copies of the
// capture files and run to their end.
ProcessScriptLauncher::~ProcessScriptLauncher() = default;

namespace {
// The checks a script passes before it runs; returns its open descriptor
// (the very file checked) and the canonical script folder.
Fd checkedScript(const QString &scriptDir, const QString &script, ScriptLauncher::Channel channel,
                 QByteArray *folderOut)
{

    // The host would fail unseen on a missing script while the window says
    // a notification is on its way: refuse it here, where it can be shown.
    char canonical[PATH_MAX];
    if (!::realpath(QFile::encodeName(scriptDir).constData(), canonical)) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            throw missing(channel, script, tr("does not exist"));
        throw unreadable(channel, script,
                         tr("cannot be read: its folder %1 cannot be read (%2)").arg(scriptDir, systemError(error)));
    }
    const QByteArray dir(canonical);
    if (::faccessat(AT_FDCWD, canonical, R_OK | X_OK, AT_EACCESS) != 0) {
        throw unreadable(channel, script,
                         tr("cannot be read: its folder %1 cannot be read (%2)").arg(display(dir), systemError(errno)));
    }
    // Whoever may change a folder on the way may swap the script.
    for (QByteArray folder = dir;; folder = parentOf(folder)) {
        struct stat st;
        if (::stat(folder.constData(), &st) != 0) {
            throw unreadable(
                channel, script,
                tr("cannot be read: the folder %1 cannot be read (%2)").arg(display(folder), systemError(errno)));
        }
        if (const QString why = unsafe(st, display(folder)); !why.isEmpty())
            throw refused(channel, script, why);
        if (folder == "/")
            break;
    }

    const std::optional<Fd> opened =
        openChecked(dir, ProcessScriptLauncher::scriptFileName(channel), true, channel, script);
    Fd scriptFd(::fcntl(opened->get(), F_DUPFD_CLOEXEC, kFirstHighFd));
    // The examples source this file with the rights the script has.
    openChecked(dir, ProcessScriptLauncher::commonFileName(), false, channel, script);
    *folderOut = dir;
    return scriptFd;
}
}

QString ProcessScriptLauncher::problem(Channel channel) const
{
    try {
        QByteArray folder;
        checkedScript(m_scriptDir, arguments(channel).constFirst(), channel, &folder);
    } catch (const PhoneHomeError &e) {
        return e.text();
    }
    return QString();
}

qint64 ProcessScriptLauncher::start(Channel channel, Reason reason, const Details &details)
{
    const QString script = arguments(channel).constFirst();
    QByteArray dir;
    const Fd scriptFd = checkedScript(m_scriptDir, script, channel, &dir);

    Fd out = captureFile("phone-home-stdout");
    Fd err = captureFile("phone-home-stderr");
    if (!out.valid() || !err.valid() || !scriptFd.valid()) {
        throw PhoneHomeError(ErrorCode::ScriptHostFailed,
                             tr("Cannot send the %1 notification: no file for the script's output could be made "
                                "(%2). Free some memory or descriptors and try again.")
                                 .arg(channelName(channel), systemError(errno)));
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.get(), STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, scriptFd.get(), kScriptFd);
    // Whatever else the program holds open without close-on-exec is not the
    // script's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, kScriptFd + 1);
    posix_spawn_file_actions_addchdir_np(&actions, dir.constData());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Its own session: closing the program's terminal does not hang it up.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

    // The shell reads the checked descriptor, never the path again; $0 stays
    // the script's name for its messages and for finding its folder.
    const QByteArray host = QFile::encodeName(m_host);
    const QByteArray name = QFile::encodeName(script);
    // /proc/self/fd rather than /dev/fd: a minimal system (a container, a
    // chroot without udev) may lack the /dev/fd link.
    const QByteArray command = ". /proc/self/fd/" + QByteArray::number(kScriptFd);
    char *argv[] = {const_cast<char *>(host.constData()), const_cast<char *>("-c"),
                    const_cast<char *>(command.constData()), const_cast<char *>(name.constData()), nullptr};

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : environment(channel, reason, details))
        env.insert(name, value);
    QByteArrayList entries;
    for (const QString &entry : env.toStringList())
        entries.append(entry.toLocal8Bit());
    std::vector<char *> envp;
    envp.reserve(entries.size() + 1);
    for (QByteArray &entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, host.constData(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        throw PhoneHomeError(ErrorCode::ScriptHostFailed,
                             tr("Cannot send the %1 notification: the script host %2 "
                                "could not be started (%3). Check that it is installed.")
                                 .arg(channelName(channel), m_host, systemError(error)));
    }

    auto child = std::make_unique<Child>();
    child->channel = channel;
    child->pid = pid;
    child->script = script;
    child->out = std::move(out);
    child->err = std::move(err);
    watch(std::move(child));
    Q_EMIT started(channel, reason, script, pid, details.attempt);
    return pid;
}

void ProcessScriptLauncher::watch(std::unique_ptr<Child> child)
{
    Child *c = child.get();
    c->pidfd = Fd(int(::syscall(SYS_pidfd_open, c->pid, 0)));
    if (c->pidfd.valid()) {
        c->ended = new QSocketNotifier(c->pidfd.get(), QSocketNotifier::Read, this);
        connect(c->ended, &QSocketNotifier::activated, this, [this, c] { childEnded(c); });
    } else {
        c->poll = new QTimer(this);
        c->poll->setInterval(kReapPollInterval);
        connect(c->poll, &QTimer::timeout, this, [this, c] { childEnded(c); });
        c->poll->start();
    }
    c->stillRunning = new QTimer(this);
    c->stillRunning->setSingleShot(true);
    connect(c->stillRunning, &QTimer::timeout, this, [this, c] {
        Q_EMIT warning(tr("The %1 notification script %2 (process %3) is still running after %4 s. It is left "
                          "alone; if it hangs, run it by hand to see what it waits for: "
                          "PHONE_HOME_REASON=test sh %2")
                           .arg(channelName(c->channel), c->script, QString::number(c->pid),
                                QString::number(std::chrono::duration<double>(m_stillRunningAfter).count())));
    });
    c->stillRunning->start(m_stillRunningAfter);
    c->trim = new QTimer(this);
    connect(c->trim, &QTimer::timeout, this, [c] {
        trimToTail(c->out.get());
        trimToTail(c->err.get());
    });
    c->trim->start(m_trimInterval);
    if (m_timeout.count() > 0) {
        // The script is its session's leader: its group holds what it started
        // (a curl that hangs), and the whole group is ended.
        c->timeout = new QTimer(this);
        c->timeout->setSingleShot(true);
        connect(c->timeout, &QTimer::timeout, this, [c] {
            if (!c->timedOut) {
                c->timedOut = true;
                ::kill(-c->pid, SIGTERM);
                c->timeout->start(kKillAfter);
            } else {
                ::kill(-c->pid, SIGKILL);
            }
        });
        c->timeout->start(m_timeout);
    }
    m_children.push_back(std::move(child));
}

void ProcessScriptLauncher::childEnded(Child *c)
{
    int status = 0;
    const pid_t reaped = ::waitpid(c->pid, &status, WNOHANG);
    if (reaped == 0)
        return;

    const auto it = std::find_if(m_children.begin(), m_children.end(),
                                 [c](const std::unique_ptr<Child> &owned) { return owned.get() == c; });
    std::unique_ptr<Child> child = std::move(*it);
    m_children.erase(it);

    const Channel channel = child->channel;
    const qint64 pid = child->pid;
    if (reaped < 0) {
        // Someone else reaped it (SIGCHLD ignored, or a stray wait): how it
        // ended is lost.
        const QString text = tr("How the %1 notification script %2 (process %3) ended is unknown (%4).")
                                 .arg(channelName(channel), child->script, QString::number(pid), systemError(errno));
        child.reset();
        Q_EMIT finished(channel, pid, -1, 0);
        Q_EMIT warning(text);
        return;
    }

    int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    // Stopped for its time, it failed even if it then exited cleanly; 124 as
    // timeout(1) says so.
    if (child->timedOut && exitStatus == 0)
        exitStatus = kTimedOutStatus;
    QString failure;
    if (exitStatus != 0) {
        QStringList said = lastLines(child->err.get());
        if (said.isEmpty())
            said = lastLines(child->out.get());
        const QString how = child->timedOut
            ? tr("no end after %1 s, so it was stopped (%2)")
                  .arg(QString::number(std::chrono::duration<double>(m_timeout).count()),
                       signal ? signalName(signal) : tr("exit status %1").arg(exitStatus))
            : signal ? tr("killed by signal %1").arg(signalName(signal))
                     : tr("exit status %1").arg(exitStatus);
        const QString words =
            said.isEmpty() ? tr("It wrote nothing.") : tr("It wrote: \"%1\".").arg(said.join(QStringLiteral("\" \"")));
        failure = tr("The %1 notification may not have been sent: the script %2 ended with %3. %4 "
                     "Run it by hand to see why: PHONE_HOME_REASON=test sh %2")
                      .arg(channelName(channel), child->script, how, words);
    }
    child.reset();
    // Last: a receiver may delete this launcher.
    const QPointer<ProcessScriptLauncher> alive(this);
    Q_EMIT finished(channel, pid, exitStatus, signal);
    if (alive && !failure.isEmpty())
        Q_EMIT errorOccurred(int(ErrorCode::ScriptFailed), failure);
}

#endif
