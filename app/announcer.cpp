// SPDX-License-Identifier: MIT
#include "announcer.h"

#include "channel_words.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "error_reporter.h"

#include <QAccessibleWidget>

#include <utility>

namespace {
QAccessibleInterface *announcerInterface(const QString &className, QObject *object)
{
    if (className == QLatin1String("Announcer") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Notification);
    return nullptr;
}
}

Announcer::Announcer(Panel *panel, ErrorReporter *errors, QWidget *window)
    : QWidget(window)
    , m_panel(panel)
{
    setObjectName(QStringLiteral("Announcer"));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(0, 0, 0, 0);
    m_gather.setSingleShot(true);
    m_gather.setInterval(kGatherTime);
    connect(&m_gather, &QTimer::timeout, this, &Announcer::flush);

    LineMonitor *monitor = panel->lineMonitor();
    connect(monitor, &LineMonitor::portOpened, this, [this] {
        m_openPort = portName();
        say(tr("Port %1 open").arg(m_openPort));
    });
    // A lost device closes the port too: its error says so.
    connect(monitor, &LineMonitor::deviceFailed, this, [this] { m_portLost = true; });
    connect(monitor, &LineMonitor::portClosed, this, [this] {
        if (!std::exchange(m_portLost, false))
            say(tr("Port %1 closed").arg(m_openPort));
    });
    // The colour is the panel's record of an alarm; the caption changes first.
    connect(panel, &Panel::statusColourChanged, this, [this](int c) {
        m_channelChanged[size_t(c)] = true;
        m_sawAlarm[size_t(c)] = m_sawAlarm[size_t(c)] || m_panel->inAlarm(c);
        gather();
    });
    // A new box is spoken as it appears (a failed notification, a lost
    // device); an error joining a box already up would go unheard.
    connect(errors, &ErrorReporter::joined, this, [this](const QString &line) {
        m_errors << line;
        gather();
    });
}

void Announcer::installAccessibleInterface()
{
    static const bool installed = (QAccessible::installFactory(announcerInterface), true);
    Q_UNUSED(installed);
}

QString Announcer::portName() const
{
    return m_panel->portText().trimmed();
}

void Announcer::say(const QString &text)
{
    m_port << text;
    gather();
}

void Announcer::gather()
{
    // From the first event on, not restarted by later ones: a flickering
    // line must not hold the message back.
    if (!m_gather.isActive())
        m_gather.start();
}

void Announcer::flush()
{
    QStringList parts = m_port;
    for (int c = 0; c < Form::kChannels; ++c) {
        if (!m_channelChanged[size_t(c)])
            continue;
        const bool alarm = m_panel->inAlarm(c);
        QString part = QLatin1String(kChannelWords[c].sensor) + QLatin1String(": ");
        if (alarm)
            part += Form::kAlarm;
        else if (m_sawAlarm[size_t(c)])
            part += tr("%1, then %2").arg(Form::kAlarm, Form::kNormal);
        else
            part += Form::kNormal;
        if (alarm && m_panel->notificationsEnabled())
            part += tr(", sending notification");
        parts << part;
    }
    parts << m_errors;
    m_port.clear();
    m_errors.clear();
    m_channelChanged = {};
    m_sawAlarm = {};
    if (parts.isEmpty())
        return;

    const QString text = parts.join(QStringLiteral(". "));
    setAccessibleName(text);
    // Showing again is what the screen reader speaks. Said as events alone:
    // really hiding and showing the widget would make the window lay out.
    for (const QAccessible::Event type : {QAccessible::ObjectHide, QAccessible::ObjectShow}) {
        QAccessibleEvent event(this, type);
        QAccessible::updateAccessibility(&event);
    }
    Q_EMIT announced(text);
}
