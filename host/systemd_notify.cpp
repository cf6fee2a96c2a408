// SPDX-License-Identifier: MIT
#include "systemd_notify.h"

#include <QCoreApplication>

#ifdef Q_OS_LINUX
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

SystemdNotify::SystemdNotify()
    : m_socket(qgetenv("NOTIFY_SOCKET"))
{
    bool ok = false;
    const qint64 usec = qEnvironmentVariableIntValue("WATCHDOG_USEC", &ok);
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    // WATCHDOG_PID, when set, names the process meant.
    if (ok && usec > 0 && (pid.isEmpty() || pid.toLongLong() == QCoreApplication::applicationPid()))
        m_watchdog = std::chrono::microseconds(usec);
}

void SystemdNotify::notify(const QByteArray &state)
{
#ifdef Q_OS_LINUX
    if (m_socket.isEmpty())
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(m_socket.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, m_socket.constData(), size_t(m_socket.size()));
    // A leading '@' names an abstract socket.
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_socket.size()));
    ::sendto(fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&address), length);
    ::close(fd);
#else
    Q_UNUSED(state)
#endif
}

void SystemdNotify::feedWatchdog()
{
    if (!watchdogEnabled())
        return;
    if (m_sinceFed.isValid() && std::chrono::microseconds(m_sinceFed.nsecsElapsed() / 1000) < m_watchdog / 4)
        return;
    m_sinceFed.start();
    notify("WATCHDOG=1");
}
