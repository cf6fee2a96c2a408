#pragma once

// Form1, the program's one window. It is built from the Designer form with all
// its controls in their design-time state, then Form_Load fills the port list
// and hides the alarm section. The window owns the serial component (MSComm1),
// the polling timer (Timer1) and the script launcher, and wires the controls'
// signals to the handlers: LineMonitor for the port and the polling cycle,
// Notifier for the notification switch and the scripts.

#include <QWidget>

#include <memory>

namespace Ui {
class Form1;
}
class ErrorReporter;
class PortMapping;
class ScriptLauncher;
class SerialPort;

class MainWindow : public QWidget
{
    Q_OBJECT
public:
    MainWindow(std::unique_ptr<SerialPort> port, std::unique_ptr<ScriptLauncher> launcher,
               QWidget *parent = nullptr);
    ~MainWindow() override;

    // The alarm section, in the order it is hidden and shown.
    QList<QWidget *> alarmSection() const;
    ErrorReporter *errorReporter() const { return m_errors; }
    void setPortMapping(const PortMapping &mapping);

    // Where a frame of this size goes: the design position, moved just enough
    // to lie inside the available area (and no more).
    static QRect fitInside(const QRect &frame, const QRect &available);

public Q_SLOTS:
    void Form_Load();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void applyFonts();
    void keepOnScreen();

    std::unique_ptr<Ui::Form1> ui;
    std::unique_ptr<ScriptLauncher> m_launcher;
    ErrorReporter *m_errors;
    bool m_placed = false;
};
