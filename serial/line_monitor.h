#pragma once

// Port selection and the polling cycle, on the panel. "Open Port" turns the
// port box's text into a number, opens that port and starts Timer1; every
// tick then reads CTS, DSR and DCD into the indicators, writes DTR and RTS
// from the check boxes, sets each channel's status and finally its
// notification text, whose change starts the notification dispatch. All state
// lives in the panel; this class keeps none between ticks.

#include <QObject>

class Panel;

class LineMonitor : public QObject
{
    Q_OBJECT
public:
    explicit LineMonitor(Panel *panel);

public Q_SLOTS:
    void Command1_Click();
    void Command2_Click();
    void Timer1_Timer();

Q_SIGNALS:
    void errorOccurred(int number, const QString &text);

private:
    Panel *m_panel;
};
