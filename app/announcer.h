// SPDX-License-Identifier: MIT
#pragma once

// What the window says to a screen reader without being asked: a channel
// going into ALARM or back to NORMAL, the port opening and closing, and an
// error that joins an error box already up. A new error box (a lost device,
// a failed notification, a refused port) is an alert window, which screen
// readers speak at once; saying it here too would cut that short.
//
// Orca speaks a changed name only for the focused control, and the discs and
// status labels never take the focus; Qt 6.4 has no announcement event. What
// Orca does speak unasked is an object of the notification role that becomes
// showing. So this is an empty widget of that role, named with the message
// and raised again for each one. It takes no focus, draws nothing and blocks
// nothing.
//
// What happens within kGatherTime of a first event is said as one message,
// read from the panel when that time is up: an opened port and its first
// reading, or two channels, come as one. Orca cuts a message short with the
// next, and drops a second showing of the same object that arrives before it
// handled the first.

#include "core/constants.h"

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <array>
#include <chrono>

class ErrorReporter;
class Panel;

class Announcer : public QWidget
{
    Q_OBJECT
public:
    // Two and a half polling ticks; well within the second a message may take.
    static constexpr std::chrono::milliseconds kGatherTime{250};

    Announcer(Panel *panel, ErrorReporter *errors, QWidget *window);

    // The last message said, empty before the first.
    QString message() const { return accessibleName(); }

    static void installAccessibleInterface();

Q_SIGNALS:
    void announced(const QString &message);

private:
    void say(const QString &text);
    void gather();
    void flush();
    QString portName() const;

    Panel *m_panel;
    QTimer m_gather;
    QStringList m_port;
    bool m_portLost = false;
    std::array<bool, Form::kChannels> m_channelChanged{};
    // In alarm at some time while gathering, though maybe no longer.
    std::array<bool, Form::kChannels> m_sawAlarm{};
    QStringList m_errors;
    QString m_openPort;
};
