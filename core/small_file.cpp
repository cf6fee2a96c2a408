// SPDX-License-Identifier: MIT
#include "small_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SmallFile {

Contents read(const QString &path, qsizetype maxSize)
{
    Contents c;
    const auto systemError = [] { return QString::fromLocal8Bit(std::strerror(errno)); };
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        c.missing = errno == ENOENT;
        c.problem = systemError();
        return c;
    }
    struct stat st {
    };
    if (::fstat(fd, &st) != 0) {
        c.problem = systemError();
    } else if (!S_ISREG(st.st_mode)) {
        c.problem = QObject::tr("not a regular file");
    } else {
        c.mode = st.st_mode & 07777;
        // One byte more than allowed tells a file that is too large.
        c.data.resize(maxSize + 1);
        qsizetype got = 0;
        while (got < c.data.size()) {
            const ssize_t n = ::read(fd, c.data.data() + got, size_t(c.data.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                c.problem = systemError();
                break;
            }
            if (n == 0)
                break;
            got += n;
        }
        c.data.truncate(got);
        if (c.problem.isEmpty() && got > maxSize)
            c.problem = QObject::tr("larger than %1 bytes").arg(maxSize);
    }
    ::close(fd);
    if (!c.problem.isEmpty())
        c.data.clear();
    return c;
}

namespace {
QString systemError(const char *call)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(call), QString::fromLocal8Bit(std::strerror(errno)));
}

bool writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}
}

QString syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return systemError("open");
    const bool synced = ::fsync(fd) == 0;
    const QString problem = synced ? QString() : systemError("fsync");
    ::close(fd);
    return problem;
}

QString write(const QString &path, const QByteArray &data)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return QObject::tr("the folder %1 cannot be made").arg(folder);
    const QByteArray part = QFile::encodeName(path + kPartSuffix);
    // Each step's fault survived: a crash before the rename leaves the old
    // file (and a .part that the next start removes); the data is on disk
    // before the rename, so a power cut never leaves the name on an empty
    // or half-written file; the folder's sync makes the rename itself last.
    const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return systemError("open");
    QString problem;
    if (!writeAll(fd, data))
        problem = systemError("write");
    else if (::fdatasync(fd) != 0)
        problem = systemError("fdatasync");
    if (::close(fd) != 0 && problem.isEmpty())
        problem = systemError("close");
    if (problem.isEmpty() && ::rename(part.constData(), QFile::encodeName(path).constData()) != 0)
        problem = systemError("rename");
    if (!problem.isEmpty()) {
        ::unlink(part.constData());
        return problem;
    }
    return syncFolder(folder);
}

QString remove(const QString &path)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0) {
        if (errno == ENOENT)
            return QString();
        return systemError("unlink");
    }
    return syncFolder(QFileInfo(path).absolutePath());
}

}
