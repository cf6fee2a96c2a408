#include "line_monitor.h"

#include "app/circle_shape.h"
#include "app/constants.h"
#include "app/text_box.h"
#include "port_number.h"
#include "serial_port.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTimer>

namespace {
quint32 backColour(const QWidget *w)
{
    return Form::valueFromColour(w->palette().color(QPalette::Window));
}

// Palette and caption are written only when they differ from what is shown,
// so a steady tick repaints nothing.
void setBackColour(QWidget *w, quint32 value)
{
    if (backColour(w) == value)
        return;
    QPalette p = w->palette();
    p.setColor(QPalette::Window, Form::colourFromValue(value));
    w->setPalette(p);
}

void setCaption(QLabel *label, QLatin1StringView caption)
{
    if (label->text() != caption)
        label->setText(caption);
}

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

LineMonitor::LineMonitor(SerialPort *port, const Controls &controls, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_controls(controls)
{
}

void LineMonitor::Command1_Click()
{
    const QString text = m_controls.portBox->currentText();
    int port = 0;
    try {
        port = convertPortText(text);
        m_port->setCommPort(port);
        m_port->setPortOpen(true);
        m_controls.timer->start();
    } catch (const PhoneHomeError &e) {
        // Where the box holds more than the number that was read from it
        // (a stray character, a NUL), show what it holds.
        const bool plain = e.number() == ErrorCode::Overflow || text.trimmed() == QString::number(port);
        Q_EMIT errorOccurred(e.number(), plain ? e.text()
                                               : tr("%1 (The port box reads \"%2\".)").arg(e.text(), shownPortText(text)));
    }
}

void LineMonitor::Command2_Click()
{
    try {
        m_port->setPortOpen(false);
    } catch (const PhoneHomeError &e) {
        Q_EMIT errorOccurred(e.number(), e.text());
    }
    m_controls.timer->stop();
}

bool LineMonitor::readLine(int channel)
{
    switch (channel) {
    case 0:
        return m_port->ctsHolding();
    case 1:
        return m_port->dsrHolding();
    default:
        return m_port->cdHolding();
    }
}

void LineMonitor::Timer1_Timer()
{
    try {
        for (int c = 0; c < 3; ++c) {
            const bool high = readLine(c);
            m_controls.channels[c].indicator->setFillColor(Form::colourFromValue(high ? Form::kRed : Form::kGreen));
        }

        m_port->setDtrEnable(m_controls.dtr->checkState() == Qt::Checked);
        m_port->setRtsEnable(m_controls.rts->checkState() == Qt::Checked);

        for (int c = 0; c < 3; ++c) {
            QLabel *status = m_controls.channels[c].status;
            if (readLine(c)) {
                setCaption(status, Form::kAlarm);
                setBackColour(status, Form::kRed);
            } else if (!readLine(c)) {
                setCaption(status, Form::kNormal);
                setBackColour(status, Form::kGreen);
            }
            // Otherwise the line rose between the two reads: the next tick
            // catches it.
        }
    } catch (const PhoneHomeError &e) {
        // Stop first so no tick can run into the failed device while the
        // error is on screen.
        m_controls.timer->stop();
        m_port->setPortOpen(false);
        Q_EMIT errorOccurred(e.number(), e.text());
        return;
    }

    // Order matters: the boxes come last so their change handlers see this
    // tick's labels.
    for (const Channel &channel : m_controls.channels) {
        const bool alarm = backColour(channel.status) == Form::kRed;
        const bool enabled = m_controls.notificationSwitch->text() == Form::kEnabled;
        channel.notification->setText(alarm && enabled ? QString(Form::kSendingNotification) : QString());
    }
}
