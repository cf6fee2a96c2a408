// SPDX-License-Identifier: MIT
#include "small_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSaveFile>

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

QString write(const QString &path, const QByteArray &data)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return QObject::tr("the folder %1 cannot be made").arg(folder);
    // QSaveFile syncs the file before it renames it over the old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        return file.errorString();
    // The rename itself lasts only once the folder is synced.
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return QString();
}

}
