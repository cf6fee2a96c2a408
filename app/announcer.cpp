// SPDX-License-Identifier: MIT
#include "announcer.h"

#include "channel_words.h"
#include "core/panel.h"
#include "notify/script_launcher.h"
#include "serial/line_monitor.h"

#include <QAccessibleWidget>

namespace {
QAccessibleInterface *announcerInterface(const QString &className, QObject *object)
{
    if (className == QLatin1String("Announcer") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Notification);
    return nullptr;
}
}

Announcer::Announcer(Panel *panel, QWidget *window)
    : QWidget(window)
    , m_panel(panel)
{
    setObjectName(QStringLiteral("Announcer"));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(0, 0, 0, 0);
    m_pass.setSingleShot(true);
    m_pass.setInterval(0);
    connect(&m_pass, &QTimer::timeout, this, &Announcer::flush);

    LineMonitor *monitor = panel->lineMonitor();
    connect(monitor, &LineMonitor::portOpened, this, [this] {
        m_openPort = portName();
        say(tr("Port %1 open").arg(m_openPort));
    });
    connect(monitor, &LineMonitor::deviceFailed, this, [this] {
        m_portLost = true;
        say(tr("Port %1 lost: the device stopped answering").arg(m_openPort));
    });
    connect(monitor, &LineMonitor::portClosed, this, [this] {
        // A lost device closes the port too; saying so again adds nothing.
        if (!m_portLost)
            say(tr("Port %1 closed").arg(m_openPort));
    });
    // The colour is the panel's record of an alarm; the caption changes first.
    connect(panel, &Panel::statusColourChanged, this, [this](int c) {
        m_channelChanged[size_t(c)] = true;
        m_pass.start();
    });
    connect(panel->launcher(), &ScriptLauncher::finished, this,
            [this](ScriptLauncher::Channel channel, qint64, int exitStatus, int signal) {
                // The window never starts the device's script.
                const int c = int(channel);
                if ((exitStatus == 0 && signal == 0) || c >= Form::kChannels)
                    return;
                m_failures << tr("%1 notification failed").arg(QLatin1String(kChannelWords[c].sensor));
                m_pass.start();
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
    m_pass.start();
}

void Announcer::flush()
{
    QStringList parts = m_port;
    for (int c = 0; c < Form::kChannels; ++c) {
        if (!m_channelChanged[size_t(c)])
            continue;
        const bool alarm = m_panel->inAlarm(c);
        QString part = QStringLiteral("%1: %2").arg(QLatin1String(kChannelWords[c].sensor), alarm ? Form::kAlarm : Form::kNormal);
        if (alarm && m_panel->notificationsEnabled())
            part += tr(", sending notification");
        parts << part;
    }
    parts << m_failures;
    m_port.clear();
    m_portLost = false;
    m_failures.clear();
    m_channelChanged = {};
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
