#include "line_monitor.h"

#include "core/panel.h"
#include "port_number.h"
#include "serial_port.h"

#include <QTimer>

namespace {
// The port box's text as the operator can read it in an error: control and
// other invisible characters escaped (a NUL shows nothing in the box), and
// bounded, since anything can be pasted there.
QString shownPortText(const QString &text)
{
    constexpr int kMaxShown = 40;
    QString shown;
    for (const QChar c : text.left(kMaxShown)) {
        if (c.isPrint() && c != u'\\')
            shown += c;
        else if (c == u'\\')
            shown += QStringLiteral("\\\\");
        else if (c.unicode() < 0x100)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    if (text.size() > kMaxShown)
        shown += QStringLiteral("\u2026");
    return shown;
}

int convertPortText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const double number = PortNumber::leadingNumber(std::string_view(utf8.constData(), size_t(utf8.size())));
    std::int16_t port = 0;
    if (!PortNumber::roundToInt16(number, &port)) {
        throw PhoneHomeError(ErrorCode::Overflow,
                             QObject::tr("Cannot use \"%1\" as a port number: it lies outside "
                                         "-32768 to 32767. Pick a port from 1 to 15 from the list.")
                                 .arg(shownPortText(text)));
    }
    return port;
}
}

LineMonitor::LineMonitor(Panel *panel)
    : QObject(panel)
    , m_panel(panel)
{
}

void LineMonitor::Command1_Click()
{
    const QString text = m_panel->portText();
    int port = 0;
    reportRefusal(
        [&] {
            port = convertPortText(text);
            m_panel->port()->setCommPort(port);
            m_panel->port()->setPortOpen(true);
            m_panel->timer()->start();
        },
        [&](int number, const QString &error) {
            // Where the box holds more than the number that was read from it
            // (a stray character, a NUL), show what it holds.
            const bool plain = number == int(ErrorCode::Overflow) || text.trimmed() == QString::number(port);
            Q_EMIT errorOccurred(number, plain ? error
                                               : tr("%1 (The port box reads \"%2\".)").arg(error, shownPortText(text)));
        });
}

void LineMonitor::Command2_Click()
{
    reportRefusal([&] { m_panel->port()->setPortOpen(false); },
                  [&](int number, const QString &text) { Q_EMIT errorOccurred(number, text); });
    m_panel->timer()->stop();
}

void LineMonitor::Timer1_Timer()
{
    SerialPort *port = m_panel->port();
    const bool ok = reportRefusal(
        [&] {
            // One reading serves the whole tick, so an indicator and its
            // status always agree, and a USB adapter gets one request.
            const LineState lines = port->readLines();
            for (int c = 0; c < Form::kChannels; ++c)
                m_panel->setIndicatorColour(c, lines.input(c) ? Form::kRed : Form::kGreen);

            // Written only where the port differs from the boxes; an output
            // someone else changed is put back here too.
            if (lines.dtr != m_panel->dtrChecked())
                port->setDtrEnable(m_panel->dtrChecked());
            if (lines.rts != m_panel->rtsChecked())
                port->setRtsEnable(m_panel->rtsChecked());

            for (int c = 0; c < Form::kChannels; ++c) {
                const bool high = lines.input(c);
                m_panel->setStatusCaption(c, high ? Form::kAlarm : Form::kNormal);
                m_panel->setStatusColour(c, high ? Form::kRed : Form::kGreen);
            }
        },
        [&](int number, const QString &text) {
            // Stop first so no tick can run into the failed device while the
            // error is on screen.
            m_panel->timer()->stop();
            port->setPortOpen(false);
            Q_EMIT errorOccurred(number, text);
        });
    if (!ok)
        return;

    // Order matters: the notification texts come last so their change
    // handlers see this tick's statuses.
    for (int c = 0; c < Form::kChannels; ++c) {
        const bool alarm = m_panel->inAlarm(c);
        const bool enabled = m_panel->notificationsEnabled();
        m_panel->setNotificationText(c, alarm && enabled ? QString(Form::kSendingNotification) : QString());
    }
}
