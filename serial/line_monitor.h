#pragma once

// Port selection and the polling cycle. "Open Port" turns the port box's text
// into a number, opens that port and starts Timer1; every tick then reads
// CTS, DSR and DCD into the indicators, writes DTR and RTS from the check
// boxes, sets each channel's status label and finally its notification text
// box, whose change starts the notification dispatch. All state lives in the
// controls; this class keeps none between ticks.

#include <QObject>

#include <array>

class CircleShape;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QTimer;
class SerialPort;
class TextBox;

class LineMonitor : public QObject
{
    Q_OBJECT
public:
    // One alarm channel: fire (CTS), flood (DSR), intrusion (DCD).
    struct Channel {
        CircleShape *indicator;
        QLabel *status;
        TextBox *notification;
    };
    struct Controls {
        QComboBox *portBox;
        QTimer *timer;
        std::array<Channel, 3> channels;
        QCheckBox *dtr;
        QCheckBox *rts;
        QAbstractButton *notificationSwitch;
    };

    LineMonitor(SerialPort *port, const Controls &controls, QObject *parent = nullptr);

public Q_SLOTS:
    void Command1_Click();
    void Command2_Click();
    void Timer1_Timer();

Q_SIGNALS:
    void errorOccurred(int number, const QString &text);

private:
    bool readLine(int channel);

    SerialPort *m_port;
    Controls m_controls;
};
