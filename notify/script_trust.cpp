// SPDX-License-Identifier: MIT
#include "script_trust.h"

#include "common/error_codes.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("ScriptLauncher", text);
}

PhoneHomeError missing(ScriptLauncher::Channel channel, const QString &script, const QString &what)
{
    return PhoneHomeError(ErrorCode::ScriptMissing,
                          tr("Cannot send the %1 notification: the script %2 %3. "
                             "Install it there (see \"Setting up notifications\" in docs/notifications.md).")
                              .arg(ScriptLauncher::channelName(channel), script, what));
}

PhoneHomeError unreadable(ScriptLauncher::Channel channel, const QString &script, const QString &what)
{
    return PhoneHomeError(ErrorCode::ScriptMissing,
                          tr("Cannot send the %1 notification: the script %2 %3. Let the user this program "
                             "runs as read it (see \"Setting up notifications\" in docs/notifications.md).")
                              .arg(ScriptLauncher::channelName(channel), script, what));
}
}

#ifndef Q_OS_LINUX

ScriptTrust::Checked ScriptTrust::check(const QString &scriptDir, const QString &script,
                                        ScriptLauncher::Channel channel)
{
    const QFileInfo info(script);
    // The host would fail unseen on a missing script while the window says
    // a notification is on its way: refuse it here, where it can be shown.
    if (!info.isFile() || !info.isReadable()) {
        if (info.exists())
            throw unreadable(channel, script, ProcessScriptLauncher::tr("cannot be read"));
        throw missing(channel, script, ProcessScriptLauncher::tr("does not exist"));
    }
    return {scriptDir};
}

QString ScriptTrust::problem(const QString &, const QString &script, ScriptLauncher::Channel)
{
    const QFileInfo info(script);
    if (info.isFile() && info.isReadable())
        return QString();
    return info.exists() ? ProcessScriptLauncher::tr("cannot be read") : ProcessScriptLauncher::tr("does not exist");
}

#else

namespace {
QString userName(uid_t uid)
{
    const passwd *pw = ::getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QStringLiteral("uid %1").arg(uid);
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
            : writable == S_IWGRP                           ? tr("its group")
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
std::optional<UniqueFd> openChecked(const QByteArray &dir, const QString &name, bool required,
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
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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
}

ScriptTrust::Checked ScriptTrust::check(const QString &scriptDir, const QString &script,
                                        ScriptLauncher::Channel channel)
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

    std::optional<UniqueFd> opened =
        openChecked(dir, ProcessScriptLauncher::scriptFileName(channel), true, channel, script);
    // The examples source this file with the rights the script has.
    openChecked(dir, ProcessScriptLauncher::commonFileName(), false, channel, script);
    return {std::move(*opened), dir};
}

QString ScriptTrust::problem(const QString &scriptDir, const QString &script, ScriptLauncher::Channel channel)
{
    try {
        check(scriptDir, script, channel);
    } catch (const PhoneHomeError &e) {
        return e.text();
    }
    return QString();
}

#endif
