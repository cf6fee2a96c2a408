// SPDX-License-Identifier: MIT
#pragma once

// The panel run without a window, as the service rs232-phone-homed does:
// notifications armed, DTR and RTS held as asked, the port reopened every
// 2 s while its device is away (a port on another machine with a back-off up
// to 16 s; Fault.sh told when it goes and comes back),
// and systemd told that it is ready and alive. Alarms come from the port's
// watcher as the lines move; the tick, once a second, only puts DTR and RTS
// back and feeds the watchdog (every 100 ms where the driver cannot wait).

#include "core/arming.h"
#include "core/constants.h"
#include "systemd_notify.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <chrono>

class EventLog;
class Panel;

class Unattended : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::seconds kRetryInterval{2};
    // A port on another machine is retried less and less often while it
    // fails, up to this: each try may wait seconds for a silent server.
    static constexpr std::chrono::seconds kMaxRemoteRetryInterval{16};
    static constexpr std::chrono::seconds kWatchTick{1};

    struct Options {
        QString port; // a number 1-15 or a device path
        bool dtr = false;
        bool rts = false;
        std::chrono::milliseconds settle{0};
        bool notifyClear = false;
        std::array<bool, Form::kChannels> normallyClosed{};
        // The alarm panel: which channels alarm in every state, the delays,
        // and where its state is kept (empty: nowhere).
        std::array<bool, Form::kChannels> alwaysArmed = Arming::defaultAlwaysArmed();
        std::chrono::milliseconds exitDelay{0};
        std::chrono::milliseconds entryDelay{0};
        QString stateDir;
    };

    Unattended(Panel *panel, EventLog *log, const Options &options, QObject *parent = nullptr);

    // Arms the panel and opens the port (or schedules the first retry).
    // false where the options cannot work on this port (a normally closed
    // contact on a line its driver does not report): the reason is recorded.
    bool start();
    // Closes the port as Close Port does (outputs lowered first).
    void stop();

    bool deviceAway() const { return m_away; }
    // Its code is read (PanelCode::readFile) before start().
    Arming *arming() { return &m_arming; }

private:
    void deviceLost();
    void retry();
    void runFaultScript(bool lost);
    void warnUnreported();
    QByteArray watchingStatus() const;

    Panel *m_panel;
    EventLog *m_log;
    Options m_options;
    QTimer m_retry;
    bool m_away = false;
    bool m_warnedUnreported = false;
    bool m_refusalTold = false;
    SystemdNotify m_systemd;
    Arming m_arming;
};
