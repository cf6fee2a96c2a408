// SPDX-License-Identifier: MIT
#include "heartbeat.h"

#include "arming.h"
#include "constants.h"
#include "delivery.h"
#include "panel.h"
#include "serial/serial_port.h"

Heartbeat::Heartbeat(Panel *panel, std::chrono::seconds interval, QObject *parent)
    : QObject(parent)
    , m_panel(panel)
{
    m_timer.setInterval(interval);
    connect(&m_timer, &QTimer::timeout, this, &Heartbeat::beat);
    connect(panel, &Panel::statusCaptionChanged, this, [this](int, const QString &caption) {
        if (caption == Form::kAlarm)
            ++m_alarms;
    });
    connect(panel->delivery(), &Delivery::attemptFailed, this, [this] { ++m_failed; });
}

void Heartbeat::start()
{
    m_up.start();
    m_timer.start();
}

ScriptLauncher::Environment Heartbeat::summary() const
{
    using Channel = ScriptLauncher::Channel;
    QStringList levels;
    QStringList inAlarm;
    for (int c = 0; c < Form::kChannels; ++c) {
        const quint32 colour = m_panel->indicatorColour(c);
        const QString level = !m_panel->port()->portOpen() ? QStringLiteral("closed")
            : colour == Form::kRed                         ? QStringLiteral("high")
            : colour == Form::kGreen                       ? QStringLiteral("low")
                                                           : QStringLiteral("unknown");
        levels.append(ScriptLauncher::lineName(Channel(c)) + u'=' + level);
        if (m_panel->inAlarm(c))
            inAlarm.append(ScriptLauncher::channelName(Channel(c)));
    }
    ScriptLauncher::Environment told{
        {QStringLiteral("PHONE_HOME_UPTIME"), QString::number(m_up.isValid() ? m_up.elapsed() / 1000 : 0)},
        {QStringLiteral("PHONE_HOME_LINES"), levels.join(u' ')},
        {QStringLiteral("PHONE_HOME_IN_ALARM"), inAlarm.join(u' ')},
        {QStringLiteral("PHONE_HOME_ALARMS"), QString::number(m_alarms)},
        {QStringLiteral("PHONE_HOME_FAILED"), QString::number(m_failed)}};
    if (m_arming)
        told.append({QStringLiteral("PHONE_HOME_PANEL"), Arming::stateName(m_arming->state())});
    return told;
}

void Heartbeat::beat()
{
    const ScriptLauncher::Environment told = summary();
    m_alarms = 0;
    m_failed = 0;
    m_panel->delivery()->notify(ScriptLauncher::Channel::Heartbeat, ScriptLauncher::Reason::Heartbeat, told);
}
