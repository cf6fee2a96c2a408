// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QElapsedTimer>

#include <chrono>

// Tells systemd how the service is doing (Type=notify): READY=1 once it
// watches, WATCHDOG=1 from the polling tick, STOPPING=1 on the way out. A
// datagram to $NOTIFY_SOCKET, as sd_notify(3) sends it; without that variable
// (not started by systemd) every call does nothing.
class SystemdNotify
{
public:
    SystemdNotify();

    void notify(const QByteArray &state);
    // WATCHDOG=1, at most every quarter of WatchdogSec.
    void feedWatchdog();
    bool watchdogEnabled() const { return m_watchdog.count() > 0; }

private:
    QByteArray m_socket;
    std::chrono::microseconds m_watchdog{0};
    QElapsedTimer m_sinceFed;
};
