#pragma once

// The notification switch and the dispatch of notification scripts. The
// switch's caption ("Disabled"/"Enabled") is the only record of whether
// notifications are on; pressing it shows or hides the alarm section. A real
// change of a channel's notification text box to "Sending Notification", or a
// press of a test button, starts that channel's script through the launcher
// while the switch reads "Enabled".

#include "script_launcher.h"

#include <QList>
#include <QObject>

#include <array>

class QAbstractButton;
class QWidget;
class TextBox;

class Notifier : public QObject
{
    Q_OBJECT
public:
    struct Controls {
        QAbstractButton *notificationSwitch;
        // The alarm section, in the order it is shown and hidden.
        QList<QWidget *> alarmSection;
        // Fire, flood, intrusion.
        std::array<TextBox *, 3> notifications;
        std::array<QAbstractButton *, 3> testButtons;
    };

    Notifier(ScriptLauncher *launcher, const Controls &controls, QObject *parent = nullptr);

public Q_SLOTS:
    void CmdCallEnable_Click();
    void TxtFire_Change();
    void TxtFlood_Change();
    void TxtIntrusion_Change();
    void cmdSmoke_Click();
    void cmdFlood_Click();
    void cmdIntrusion_Click();

Q_SIGNALS:
    void errorOccurred(int number, const QString &text);

private:
    void textChanged(ScriptLauncher::Channel channel);
    void testPressed(ScriptLauncher::Channel channel);
    void start(ScriptLauncher::Channel channel, ScriptLauncher::Reason reason);

    ScriptLauncher *m_launcher;
    Controls m_controls;
};
