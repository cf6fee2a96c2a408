// SPDX-License-Identifier: MIT
#include "panel.h"

#include "delivery.h"
#include "line_monitor.h"
#include "notifier.h"
#include "notify/script_launcher.h"
#include "serial/serial_port.h"

#include <QTimer>

namespace {
template<typename T>
bool change(T &value, const T &to)
{
    if (value == to)
        return false;
    value = to;
    return true;
}
}

Panel::Panel(std::unique_ptr<SerialPort> port, std::unique_ptr<ScriptLauncher> launcher, QObject *parent)
    : QObject(parent)
    , m_port(port.release())
    , m_launcher(std::move(launcher))
    , m_timer(new QTimer(this))
{
    m_port->setParent(this);
    m_port->setObjectName(QStringLiteral("MSComm1"));
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(Form::kPollInterval);
    m_monitor = new LineMonitor(this);
    m_delivery = new Delivery(m_launcher.get(), this);
    m_notifier = new Notifier(this);
    connect(m_timer, &QTimer::timeout, m_monitor, &LineMonitor::Timer1_Timer);
    connect(this, &Panel::notificationTextChanged, m_notifier, &Notifier::notificationChanged);
    connect(m_monitor, &LineMonitor::errorOccurred, this, &Panel::errorOccurred);
    // Scripts say which port they speak of.
    connect(m_monitor, &LineMonitor::portOpened, this,
            [this] { m_launcher->setPort(m_portText.trimmed(), m_port->device()); });
    connect(m_notifier, &Notifier::errorOccurred, this, &Panel::errorOccurred);
    // Scripts are watched after their start: how they end comes from here.
    connect(m_launcher.get(), &ScriptLauncher::errorOccurred, this, &Panel::errorOccurred);
    connect(m_launcher.get(), &ScriptLauncher::warning, this, &Panel::warning);
    connect(m_delivery, &Delivery::errorOccurred, this, &Panel::errorOccurred);
    connect(m_delivery, &Delivery::warning, this, &Panel::warning);
    connect(m_delivery, &Delivery::mended, this, &Panel::mended);
}

Panel::~Panel() = default;

void Panel::setIndicatorColour(int channel, quint32 colour)
{
    if (change(m_channels[channel].indicator, colour))
        Q_EMIT indicatorColourChanged(channel, colour);
}

void Panel::setStatusCaption(int channel, const QString &caption)
{
    if (change(m_channels[channel].caption, caption))
        Q_EMIT statusCaptionChanged(channel, caption);
}

void Panel::setUnreported(int channel, const QString &why)
{
    if (change(m_channels[channel].unreported, why))
        Q_EMIT unreportedChanged(channel, why);
}

void Panel::setStatusColour(int channel, quint32 colour)
{
    if (change(m_channels[channel].statusColour, colour))
        Q_EMIT statusColourChanged(channel, colour);
}

void Panel::setNotificationText(int channel, const QString &text)
{
    if (change(m_channels[channel].notification, text))
        Q_EMIT notificationTextChanged(channel, text);
}

void Panel::setSwitchCaption(const QString &caption)
{
    if (change(m_switchCaption, caption))
        Q_EMIT switchCaptionChanged(caption);
}

void Panel::setAlarmSectionVisible(bool visible)
{
    if (change(m_alarmSectionVisible, visible))
        Q_EMIT alarmSectionVisibleChanged(visible);
}

void Panel::setDtrChecked(bool checked)
{
    if (change(m_dtr, checked))
        Q_EMIT dtrCheckedChanged(checked);
}

void Panel::setRtsChecked(bool checked)
{
    if (change(m_rts, checked))
        Q_EMIT rtsCheckedChanged(checked);
}

void Panel::setPortText(const QString &text)
{
    if (change(m_portText, text))
        Q_EMIT portTextChanged(text);
}
