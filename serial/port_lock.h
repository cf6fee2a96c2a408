// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

// The classic lock files of the system lock folder (/var/lock, /run/lock).
// Other programs write them in their own formats: Qt's (pid, program, host on
// three lines) or UUCP's (the pid as ten ASCII digits, or four binary bytes).
// Whatever the format, a lock whose process is alive means the port is busy;
// only a lock whose process has ended may be taken over.
class PortLock
{
public:
    enum class State { Free, Held, Unreadable };

    explicit PortLock(QStringList lockDirs = defaultLockDirs());

    // The lock file names used for a device: its own name, and the name of
    // what a link leads to, since other programs lock by either.
    static QStringList lockNames(const QString &device);
    static QStringList defaultLockDirs();

    // The pid a lock file names, or 0 when the contents are not a pid.
    static qint64 parsePid(const QByteArray &contents);

    // Throws 204 for a live lock (or one whose pid cannot be read) and 207
    // when a dead one cannot be removed. Dead locks are removed.
    void check(const QString &port, const QString &device) const;

    // Why a lock file could not be made in the lock folder, or empty when a
    // file can be made there.
    QString lockFolderProblem() const;

private:
    QStringList m_lockDirs;
};
