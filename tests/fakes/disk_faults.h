// SPDX-License-Identifier: MIT
#pragma once

// Faults of a state folder, made for real rather than faked: a disk that is
// full (every write to a file fails with EFBIG, as ENOSPC would; unlinks
// still work) and a file that can be neither replaced nor removed (a
// read-only disk). Both undo themselves when they go out of scope.

#include <QFile>
#include <QString>

#include <csignal>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

class FullDisk
{
public:
    FullDisk()
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit full = m_old;
        full.rlim_cur = 1; // not even a byte more
        ::setrlimit(RLIMIT_FSIZE, &full);
    }
    ~FullDisk()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

// Root may write anywhere a mode forbids: the immutable flag stops it too.
// active() is false where neither works (a file system without the flag).
class FrozenFolder
{
public:
    explicit FrozenFolder(const QString &path)
        : m_path(QFile::encodeName(path))
    {
        if (::geteuid() != 0) {
            m_chmod = ::chmod(m_path.constData(), 0555) == 0;
            return;
        }
        const int fd = ::open(m_path.constData(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &m_flags) == 0) {
            int frozen = m_flags | FS_IMMUTABLE_FL;
            m_ioctl = ::ioctl(fd, FS_IOC_SETFLAGS, &frozen) == 0;
        }
        ::close(fd);
    }
    ~FrozenFolder()
    {
        if (m_chmod)
            ::chmod(m_path.constData(), 0700);
        if (m_ioctl) {
            const int fd = ::open(m_path.constData(), O_RDONLY | O_DIRECTORY);
            ::ioctl(fd, FS_IOC_SETFLAGS, &m_flags);
            ::close(fd);
        }
    }
    FrozenFolder(const FrozenFolder &) = delete;
    FrozenFolder &operator=(const FrozenFolder &) = delete;
    bool active() const { return m_chmod || m_ioctl; }

private:
    QByteArray m_path;
    int m_flags = 0;
    bool m_chmod = false;
    bool m_ioctl = false;
};
