// SPDX-License-Identifier: MIT
#pragma once

// The notification switch and the dispatch of notification scripts, on the
// panel. The switch's caption ("Disabled"/"Enabled") is the only record of
// whether notifications are on; pressing it shows or hides the alarm section.
// A real change of a channel's notification text to "Sending Notification",
// or a press of a test button, starts that channel's script through the
// launcher while the switch reads "Enabled".

#include "notify/script_launcher.h"

#include <QObject>

class Arming;
class Panel;

class Notifier : public QObject
{
    Q_OBJECT
public:
    explicit Notifier(Panel *panel);

    // Set after the log watches the panel, so that its "normal" comes before
    // the clear notification it causes.
    void setNotifyOnClear(bool on);
    // From then on the arming decides which alarms start their script (the
    // service): each status change is its input, and its notify() starts the
    // script. A clear is told only for a channel the arming let alarm.
    void setArming(Arming *arming);

public Q_SLOTS:
    void CmdCallEnable_Click();
    void TxtFire_Change();
    void TxtFlood_Change();
    void TxtIntrusion_Change();
    void cmdSmoke_Click();
    void cmdFlood_Click();
    void cmdIntrusion_Click();

    // The panel's notificationTextChanged, dispatched to the three above.
    void notificationChanged(int channel);
    // The panel's statusCaptionChanged: with notifyOnClear, a channel back
    // to NORMAL starts its script too (reason "clear").
    void statusChanged(int channel, const QString &caption);

Q_SIGNALS:
    void errorOccurred(int number, const QString &text);

private:
    void textChanged(ScriptLauncher::Channel channel);
    void testPressed(ScriptLauncher::Channel channel);
    void start(ScriptLauncher::Channel channel, ScriptLauncher::Reason reason);

    Panel *m_panel;
    Arming *m_arming = nullptr;
    bool m_notifyOnClear = false;
};
