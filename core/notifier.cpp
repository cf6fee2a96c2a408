// SPDX-License-Identifier: MIT
#include "notifier.h"

#include "arming.h"
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
    if (m_arming)
        return; // told in the arming's own order, below
    if (m_notifyOnClear && caption == Form::kNormal && m_panel->notificationsEnabled())
        m_panel->delivery()->notify(Channel(channel), Reason::Clear);
}

void Notifier::setArming(Arming *arming)
{
    m_arming = arming;
    connect(m_panel, &Panel::statusCaptionChanged, this, [this](int channel, const QString &caption) {
        const bool alarm = caption == Form::kAlarm;
        // Before the arming sees it: a channel that triggered the panel is
        // let go as it clears.
        const bool wasLetAlarm = m_arming->alwaysArmed(channel)
            || (m_arming->state() == Arming::State::Triggered && m_arming->triggeredBy()[size_t(channel)]);
        if (!alarm && m_notifyOnClear && wasLetAlarm && m_panel->notificationsEnabled())
            m_panel->delivery()->notify(Channel(channel), Reason::Clear);
        m_arming->input(channel, alarm);
    });
    connect(arming, &Arming::notify, this, [this](int channel) {
        if (m_panel->notificationsEnabled() && !m_panel->delivery()->notify(Channel(channel), Reason::Alarm))
            m_arming->notDurable();
    });
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
    if (m_arming)
        return; // the arming's notify() starts it, or holds it back
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
