#include "notifier.h"

#include "app/constants.h"
#include "app/text_box.h"
#include "serial/error_codes.h"

#include <QAbstractButton>

using Channel = ScriptLauncher::Channel;
using Reason = ScriptLauncher::Reason;

Notifier::Notifier(ScriptLauncher *launcher, const Controls &controls, QObject *parent)
    : QObject(parent)
    , m_launcher(launcher)
    , m_controls(controls)
{
}

void Notifier::CmdCallEnable_Click()
{
    QAbstractButton *button = m_controls.notificationSwitch;
    if (button->text() == Form::kDisabled)
        button->setText(Form::kEnabled);
    else if (button->text() == Form::kEnabled)
        button->setText(Form::kDisabled);

    if (button->text() == Form::kEnabled) {
        for (QWidget *w : std::as_const(m_controls.alarmSection))
            w->setVisible(true);
    } else if (button->text() == Form::kDisabled) {
        for (QWidget *w : std::as_const(m_controls.alarmSection))
            w->setVisible(false);
    }
}

void Notifier::TxtFire_Change()
{
    textChanged(Channel::Fire);
}

void Notifier::TxtFlood_Change()
{
    textChanged(Channel::Flood);
}

void Notifier::TxtIntrusion_Change()
{
    textChanged(Channel::Intrusion);
}

void Notifier::cmdSmoke_Click()
{
    testPressed(Channel::Fire);
}

void Notifier::cmdFlood_Click()
{
    testPressed(Channel::Flood);
}

void Notifier::cmdIntrusion_Click()
{
    testPressed(Channel::Intrusion);
}

void Notifier::textChanged(Channel channel)
{
    const bool enabled = m_controls.notificationSwitch->text() == Form::kEnabled;
    const bool sending = m_controls.notifications[int(channel)]->text() == Form::kSendingNotification;
    if (sending && enabled)
        start(channel, Reason::Alarm);
}

void Notifier::testPressed(Channel channel)
{
    // The buttons are hidden while disabled, but a click can still be sent.
    if (m_controls.notificationSwitch->text() == Form::kEnabled)
        start(channel, Reason::Test);
}

void Notifier::start(Channel channel, Reason reason)
{
    try {
        m_launcher->start(channel, reason);
    } catch (const PhoneHomeError &e) {
        Q_EMIT errorOccurred(e.number(), e.text());
    }
}
