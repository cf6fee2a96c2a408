// SPDX-License-Identifier: MIT
#include "port_lock.h"

#include "port_holder.h"

#include "common/error_codes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("PortLock", text);
}

QString lockFileName(const QString &device)
{
    // The same rule QSerialPort uses: the name below /dev, slashes as '_'.
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(u'/', u'_');
    return QStringLiteral("LCK..") + name;
}

bool processAlive(qint64 pid)
{
#ifdef Q_OS_UNIX
    // EPERM: it exists, it just is not ours.
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#else
    Q_UNUSED(pid)
    return true;
#endif
}
}

PortLock::PortLock(QStringList lockDirs)
    : m_lockDirs(std::move(lockDirs))
{
}

QStringList PortLock::defaultLockDirs()
{
    return {QStringLiteral("/var/lock"), QStringLiteral("/run/lock")};
}

QStringList PortLock::lockNames(const QString &device)
{
    QStringList names{lockFileName(device)};
    const QString target = QFileInfo(device).canonicalFilePath();
    if (!target.isEmpty() && !names.contains(lockFileName(target)))
        names << lockFileName(target);
    return names;
}

qint64 PortLock::parsePid(const QByteArray &contents)
{
    // Binary UUCP locks hold the pid as a native int and nothing else.
    if (contents.size() == int(sizeof(qint32))) {
        bool text = true;
        for (char c : contents)
            text = text && (QChar::fromLatin1(c).isDigit() || c == ' ' || c == '\n');
        if (!text) {
            qint32 pid = 0;
            std::memcpy(&pid, contents.constData(), sizeof pid);
            return pid > 0 ? pid : 0;
        }
    }
    const int end = contents.indexOf('\n');
    bool ok = false;
    const qint64 pid = contents.left(end < 0 ? contents.size() : end).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

void PortLock::check(const QString &port, const QString &device) const
{
    QStringList seen;
    for (const QString &dir : m_lockDirs) {
        // /var/lock is usually a link to /run/lock: look at each folder once.
        const QString canonical = QFileInfo(dir).canonicalFilePath();
        if (canonical.isEmpty() || seen.contains(canonical))
            continue;
        seen << canonical;
        for (const QString &name : lockNames(device)) {
            const QString path = dir + u'/' + name;
            QFile file(path);
            if (!file.exists())
                continue;
            if (!file.open(QIODevice::ReadOnly)) {
                throw PhoneHomeError(ErrorCode::DeviceBusy,
                                     tr("Cannot open %1 (%2): the lock file %3 exists but cannot be read (%4). "
                                        "If no program uses the port, remove it: sudo rm %3")
                                         .arg(port)
                                         .arg(device, path, file.errorString()));
            }
            const qint64 pid = parsePid(file.read(256));
            if (pid == 0) {
                throw PhoneHomeError(ErrorCode::DeviceBusy,
                                     tr("Cannot open %1 (%2): it is locked by %3, whose process id cannot be "
                                        "read. If no program uses the port, remove it: sudo rm %3")
                                         .arg(port)
                                         .arg(device, path));
            }
            if (processAlive(pid)) {
                const QList<PortHolder> holder{PortHolder::ofPid(pid)};
                throw PhoneHomeError(
                    ErrorCode::DeviceBusy,
                    tr("Cannot open %1 (%2): it is in use by %3, whose lock file is %4. %5")
                        .arg(port)
                        .arg(device, PortHolder::describe(holder), path, PortHolder::advice(holder, device)));
            }
            if (!file.remove()) {
                throw PhoneHomeError(ErrorCode::OpenFailed,
                                     tr("Cannot open %1 (%2): the lock file %3 was left by process %4, which "
                                        "has ended, but it cannot be removed (%5). Remove it: sudo rm %3")
                                         .arg(port)
                                         .arg(device, path)
                                         .arg(pid)
                                         .arg(file.errorString()));
            }
        }
    }
}

QString PortLock::lockFolderProblem() const
{
#ifdef Q_OS_UNIX
    for (const QString &dir : m_lockDirs) {
        if (!QFileInfo(dir).isDir())
            continue;
        const QByteArray probe = QFile::encodeName(
            dir + QStringLiteral("/.rs232-phone-home-probe-%1").arg(QCoreApplication::applicationPid()));
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        int error = fd < 0 ? errno : 0;
        if (fd >= 0) {
            // A full folder may still let an empty file be made; a lock needs bytes.
            if (::write(fd, "0000000000\n", 11) != 11)
                error = errno ? errno : ENOSPC;
            ::close(fd);
            ::unlink(probe.constData());
        }
        if (error == 0)
            return QString();
        const QString reason = error == ENOSPC                      ? tr("the file system is full")
            : (error == EACCES || error == EPERM || error == EROFS) ? tr("it is not writable for this program")
                                                                    : QString::fromLocal8Bit(std::strerror(error));
        return tr("no lock file can be made in %1: %2").arg(dir, reason);
    }
    return tr("none of the lock folders %1 exists").arg(m_lockDirs.join(QStringLiteral(", ")));
#else
    return QString();
#endif
}
