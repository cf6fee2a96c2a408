// SPDX-License-Identifier: MIT
#pragma once

// Port selection and the line cycle, on the panel. "Open Port" turns the
// port box's text into a number, opens that port and starts Timer1.
//
// Readings come from the port's watcher as the lines move (where the driver
// can wait for edges), or from each tick (where it cannot: polling). Each
// reading sets the indicators, each channel's status and finally its
// notification text, whose change starts the notification dispatch. A pulse
// the driver counted but no reading saw is an onset: the channel shows ALARM
// until the next tick (the window) or goes to ALARM and straight back (the
// service). Every tick writes DTR and RTS from the check boxes.
//
// A channel is normally open (its line high is the alarm) or normally closed
// (its line low is the alarm, so a cut wire is one); the indicators always
// show the line. What the panel shows lives in the panel.

#include "constants.h"
#include "serial/serial_port.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <optional>

class Panel;

class LineMonitor : public QObject
{
    Q_OBJECT
public:
    explicit LineMonitor(Panel *panel);

    // How long an input must hold a new level before its channel follows
    // (a bouncing contact makes one alarm, not ten). 0: at once.
    void setSettleTime(std::chrono::milliseconds time) { m_settleTime = time; }
    // Write DTR and RTS from the boxes as soon as the port opens, a tick
    // before the first reading, so that a contact fed from an output reads
    // as it is. Off (the window): the outputs stay low until the first tick.
    void setOutputsOnOpen(bool on) { m_outputsOnOpen = on; }
    // Timer1's interval while the watcher brings the readings (the window
    // keeps its display tick; the service needs the tick only for the outputs
    // and the watchdog). While polling it is always Form::kPollInterval.
    void setWatchInterval(std::chrono::milliseconds interval) { m_watchInterval = interval; }
    // Whether a pulse shows ALARM until the next tick (the window: someone
    // should see it) or only for the moment that starts its script.
    void setPulsesHeldForTick(bool held) { m_pulsesHeldForTick = held; }
    // Per channel (fire, flood, intrusion): the contact is closed at rest.
    void setNormallyClosed(const std::array<bool, Form::kChannels> &closed) { m_normallyClosed = closed; }
    bool normallyClosed(int channel) const { return m_normallyClosed[size_t(channel)]; }

    // While held, the tick leaves DTR and RTS alone: a timed pulse or the
    // cable test drives them, and the boxes are not changed. Released, the
    // next tick writes them from the boxes again.
    void setOutputsHeld(bool held) { m_outputsHeld = held; }
    bool outputsHeld() const { return m_outputsHeld; }

    // The port box may hold a device path, or a port on another machine
    // (rfc2217://HOST:PORT), instead of a number.
    static bool isDevicePath(const QString &text);

    // Opens the port the port box names and starts polling, as Open Port
    // does; a refusal is reported only when asked (a retry that keeps
    // failing must not report every try).
    bool open(bool reportRefusals);
    // The number of the last open's refusal; 0 after an open went through.
    int lastRefusal() const { return m_lastRefusal; }
    // Reports the last open's refusal after all, as an open that was asked
    // to would have: for a retry whose refusal a person must now hear.
    void reportLastRefusal();

public Q_SLOTS:
    void Command1_Click();
    void Command2_Click();
    void Timer1_Timer();

Q_SIGNALS:
    void errorOccurred(int number, const QString &text);
    void portOpened();
    void portClosed();
    // The tick's reading, before settling, when it differs from the last
    // one (the first reading after an open always does).
    void linesChanged(const LineState &lines);
    void outputsWritten(bool dtr, bool rts);
    // How the open port is watched: after the open, and again on a fallback.
    void watching(LineWatch watch);
    // A pulse the driver counted between two readings (edges: how many).
    void pulsed(int channel, quint32 edges);
    // Reading or writing a line failed: polling stopped and the port is closed.
    void deviceFailed();
    // The first reading after an open is on the panel: each status is now
    // the line's, not what the panel held before (an alarm panel restored
    // as triggered learns here that its contact closed while it was off).
    void firstReadingShown();

private:
    void watched(const LineReading &reading);
    bool takeDriver(bool reportRefusals);
    void firstReading();
    void take(const LineState &reading, std::chrono::steady_clock::time_point taken);
    // Indicators, statuses, then the notification texts, from the latest reading.
    void show();
    bool alarmAt(int channel, bool level) const { return level != m_normallyClosed[size_t(channel)]; }
    LineState settle(const LineState &reading);
    void writeOutputs(const LineState &lines);
    // Reading or writing a line failed: close and tell.
    void failed(int number, const QString &text);

    Panel *m_panel;
    std::chrono::milliseconds m_settleTime{0};
    bool m_outputsOnOpen = false;
    bool m_firstShowPending = false;
    std::chrono::milliseconds m_watchInterval = Form::kPollInterval;
    bool m_pulsesHeldForTick = true;
    bool m_outputsHeld = false;
    std::array<bool, Form::kChannels> m_normallyClosed{};
    std::optional<LineState> m_latest;
    int m_lastRefusal = 0;
    QString m_lastRefusalText;
    std::chrono::steady_clock::time_point m_latestTaken;
    std::optional<LineReading> m_lastWatched;
    std::array<bool, Form::kChannels> m_held{};
    // Per channel: an alarm shown since the watcher's last reading.
    std::array<bool, Form::kChannels> m_alarmShown{};
    // Shows a change once it has held for the settle time, with no tick needed.
    QTimer m_settleTimer;
    QTimer m_firstReading;
    std::optional<LineState> m_settled;
    std::optional<LineState> m_lastReading;
    std::array<std::optional<std::chrono::steady_clock::time_point>, 3> m_pendingSince;
};
