// SPDX-License-Identifier: MIT
#pragma once

// The panel: what the window shows and the operator sets, without a window.
//
// Per channel (fire, flood, intrusion) an indicator colour, a status caption
// with its back colour and a notification text; the notification switch's
// caption and whether the alarm section is shown; the DTR and RTS boxes; the
// port box's text. Each property has a change signal that fires only on a
// real change, so a face (the window, or the unattended service's log) does
// work only when something changed.
//
// The handlers work on it: LineMonitor (open, close, the polling tick) and
// Notifier (the switch, the test buttons, a changed notification text, which
// starts the channel's script through Delivery, which retries it until it
// succeeds). The panel owns them, the serial component (MSComm1), the
// polling timer (Timer1) and the script launcher. A face
// reads and writes the properties and calls the handlers; it keeps no state
// of its own that the rules look at.

#include "constants.h"

#include <QObject>
#include <QString>

#include <array>
#include <memory>

class Delivery;
class LineMonitor;
class Notifier;
class QTimer;
class ScriptLauncher;
class SerialPort;

class Panel : public QObject
{
    Q_OBJECT
public:
    Panel(std::unique_ptr<SerialPort> port, std::unique_ptr<ScriptLauncher> launcher, QObject *parent = nullptr);
    ~Panel() override;

    SerialPort *port() const { return m_port; }
    ScriptLauncher *launcher() const { return m_launcher.get(); }
    QTimer *timer() const { return m_timer; }
    LineMonitor *lineMonitor() const { return m_monitor; }
    Notifier *notifier() const { return m_notifier; }
    Delivery *delivery() const { return m_delivery; }

    quint32 indicatorColour(int channel) const { return m_channels[channel].indicator; }
    void setIndicatorColour(int channel, quint32 colour);
    QString statusCaption(int channel) const { return m_channels[channel].caption; }
    void setStatusCaption(int channel, const QString &caption);
    quint32 statusColour(int channel) const { return m_channels[channel].statusColour; }
    void setStatusColour(int channel, quint32 colour);
    QString notificationText(int channel) const { return m_channels[channel].notification; }
    void setNotificationText(int channel, const QString &text);
    // Why the channel's input cannot be read on this port ("CTS is not
    // reported by this adapter (cdc_acm)"); empty where it can. Such a
    // channel's disc keeps its colour from before the first reading and its
    // status stays NORMAL.
    QString unreported(int channel) const { return m_channels[channel].unreported; }
    void setUnreported(int channel, const QString &why);
    bool reported(int channel) const { return m_channels[channel].unreported.isEmpty(); }

    QString switchCaption() const { return m_switchCaption; }
    void setSwitchCaption(const QString &caption);
    bool alarmSectionVisible() const { return m_alarmSectionVisible; }
    void setAlarmSectionVisible(bool visible);

    bool dtrChecked() const { return m_dtr; }
    void setDtrChecked(bool checked);
    bool rtsChecked() const { return m_rts; }
    void setRtsChecked(bool checked);
    QString portText() const { return m_portText; }
    void setPortText(const QString &text);

    // The two readings the rules make of the captions and colours.
    bool notificationsEnabled() const { return m_switchCaption == Form::kEnabled; }
    bool inAlarm(int channel) const { return m_channels[channel].statusColour == Form::kRed; }

Q_SIGNALS:
    void indicatorColourChanged(int channel, quint32 colour);
    void statusCaptionChanged(int channel, const QString &caption);
    void statusColourChanged(int channel, quint32 colour);
    void notificationTextChanged(int channel, const QString &text);
    void unreportedChanged(int channel, const QString &why);
    void switchCaptionChanged(const QString &caption);
    void alarmSectionVisibleChanged(bool visible);
    void dtrCheckedChanged(bool checked);
    void rtsCheckedChanged(bool checked);
    void portTextChanged(const QString &text);
    void errorOccurred(int number, const QString &text);
    // Something to know that is no failure of its own (a script still running).
    void warning(const QString &text);
    // What was warned of works again (the state folder takes writes).
    void mended(const QString &text);

private:
    struct Channel {
        quint32 indicator = Form::kBlack; // black until the first reading
        QString caption = Form::kNormal;
        quint32 statusColour = Form::kGreen;
        QString notification;
        QString unreported;
    };

    std::array<Channel, Form::kChannels> m_channels;
    QString m_switchCaption = Form::kDisabled;
    bool m_alarmSectionVisible = true;
    bool m_dtr = false;
    bool m_rts = false;
    QString m_portText = Form::kSelectPort;

    SerialPort *m_port;
    std::unique_ptr<ScriptLauncher> m_launcher;
    QTimer *m_timer;
    LineMonitor *m_monitor;
    Notifier *m_notifier;
    Delivery *m_delivery;
};
