// SPDX-License-Identifier: MIT
#pragma once

// A sign of life: every interval, counted from start, Heartbeat.sh runs
// through the delivery (so it is retried like an alarm) with a summary of
// the panel in its environment: uptime, the lines' levels, the channels in
// alarm, and the alarms and failed notifications since the last heartbeat.

#include "notify/script_launcher.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

class Arming;
class Panel;

class Heartbeat : public QObject
{
    Q_OBJECT
public:
    Heartbeat(Panel *panel, std::chrono::seconds interval, QObject *parent = nullptr);

    void start();
    // The alarm panel whose state it tells (PHONE_HOME_PANEL); none in the window.
    void setArming(const Arming *arming) { m_arming = arming; }
    // What the next heartbeat tells; counting starts again after it.
    ScriptLauncher::Environment summary() const;

private:
    void beat();

    Panel *m_panel;
    const Arming *m_arming = nullptr;
    QTimer m_timer;
    QElapsedTimer m_up;
    int m_alarms = 0;
    int m_failed = 0;
};
