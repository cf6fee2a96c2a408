// SPDX-License-Identifier: MIT
#include "notifier.h"

#include "common/error_codes.h"
#include "delivery.h"
#include "panel.h"

using Channel = ScriptLauncher::Channel;
using Reason = ScriptLauncher::Reason;

Notifier::Notifier(Panel *panel)
    : QObject(panel)
    , m_panel(panel)
{
}

void Notifier::CmdCallEnable_Click()
{
    if (m_panel->switchCaption() == Form::kDisabled)
        m_panel->setSwitchCaption(Form::kEnabled);
    else if (m_panel->switchCaption() == Form::kEnabled)
        m_panel->setSwitchCaption(Form::kDisabled);

    if (m_panel->switchCaption() == Form::kEnabled)
        m_panel->setAlarmSectionVisible(true);
    else if (m_panel->switchCaption() == Form::kDisabled)
        m_panel->setAlarmSectionVisible(false);
}

void Notifier::setNotifyOnClear(bool on)
{
    if (on == m_notifyOnClear)
        return;
    m_notifyOnClear = on;
    if (on)
        connect(m_panel, &Panel::statusCaptionChanged, this, &Notifier::statusChanged);
    else
        disconnect(m_panel, &Panel::statusCaptionChanged, this, &Notifier::statusChanged);
}

void Notifier::statusChanged(int channel, const QString &caption)
{
    if (m_notifyOnClear && caption == Form::kNormal && m_panel->notificationsEnabled())
        m_panel->delivery()->notify(Channel(channel), Reason::Clear);
}

void Notifier::notificationChanged(int channel)
{
    switch (channel) {
    case 0:
        TxtFire_Change();
        break;
    case 1:
        TxtFlood_Change();
        break;
    default:
        TxtIntrusion_Change();
        break;
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
    const bool enabled = m_panel->notificationsEnabled();
    const bool sending = m_panel->notificationText(int(channel)) == Form::kSendingNotification;
    if (sending && enabled)
        m_panel->delivery()->notify(channel, Reason::Alarm);
}

void Notifier::testPressed(Channel channel)
{
    // The buttons are hidden while disabled, but a click can still be sent.
    if (m_panel->notificationsEnabled())
        start(channel, Reason::Test);
}

// A test run is shown, never retried.
void Notifier::start(Channel channel, Reason reason)
{
    reportRefusal([&] { m_panel->launcher()->start(channel, reason); },
                  [&](int number, const QString &text) { Q_EMIT errorOccurred(number, text); });
}
