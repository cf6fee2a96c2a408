// SPDX-License-Identifier: MIT
#pragma once

// What the window says to a screen reader without being asked: a channel
// going into ALARM or back to NORMAL, the port opening, closing or lost, and
// a notification script that failed. Errors keep their box, an alert window
// that screen readers speak at once; the lost device and the failed script
// are said here as well because a box already up takes later errors in
// silently.
//
// Orca speaks a changed name only for the focused control, and the discs and
// status labels never take the focus; Qt 6.4 has no announcement event. What
// Orca does speak unasked is an object of the notification role that becomes
// showing. So this is an empty widget of that role, named with the message
// and raised again for each one. It takes no focus, draws nothing and blocks
// nothing.
//
// Everything that happened in one pass of the event loop is said as one
// message (an Orca message interrupts the one before it), read from the
// panel when the pass ends.

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <array>

class Panel;

class Announcer : public QWidget
{
    Q_OBJECT
public:
    Announcer(Panel *panel, QWidget *window);

    // The last message said, empty before the first.
    QString message() const { return accessibleName(); }

    static void installAccessibleInterface();

Q_SIGNALS:
    void announced(const QString &message);

private:
    void say(const QString &text);
    void flush();
    QString portName() const;

    Panel *m_panel;
    QTimer m_pass;
    QStringList m_port;
    bool m_portLost = false;
    std::array<bool, 3> m_channelChanged{};
    QStringList m_failures;
    QString m_openPort;
};
