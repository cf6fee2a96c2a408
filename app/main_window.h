// SPDX-License-Identifier: MIT
#pragma once

// Form1, the program's one window: a face on the panel. It is built from the
// Designer form with all its controls in their design-time state, then
// Form_Load fills the port list and hides the alarm section. The window binds
// its controls to the panel both ways: the panel's changes paint the widgets,
// and the operator's clicks, ticks, port text and typing go into the panel
// and to its handlers (LineMonitor for the port and the polling cycle,
// Notifier for the notification switch and the scripts). For a screen
// reader it names every control and says in words what the discs, the status
// labels and the switch show, following the panel like the paint does; its
// Announcer says alarms and the port's events without being asked.

#include <QWidget>

#include <memory>

namespace Ui {
class Form1;
}
class Announcer;
class Bench;
class ErrorReporter;
class Panel;
class PortMapping;
class ScriptLauncher;
class SerialPort;
struct AdapterDriver;
enum class LineWatch;

class MainWindow : public QWidget
{
    Q_OBJECT
public:
    MainWindow(std::unique_ptr<SerialPort> port, std::unique_ptr<ScriptLauncher> launcher, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The alarm section, in the order it is hidden and shown.
    QList<QWidget *> alarmSection() const;
    ErrorReporter *errorReporter() const { return m_errors; }
    Announcer *announcer() const { return m_announcer; }
    Bench *bench() const { return m_bench; }
    Panel *panel() const { return m_panel; }
    void setPortMapping(const PortMapping &mapping);

    // Where a frame of this size goes: the design position, moved just enough
    // to lie inside the available area (and no more).
    static QRect fitInside(const QRect &frame, const QRect &available);
    // The port box's tooltip while open: how the device's lines are watched.
    static QString watchToolTip(const QString &device, const QString &byId, const AdapterDriver &driver,
                                LineWatch watch);

public Q_SLOTS:
    void Form_Load();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void applyFonts();
    void bindPanel();
    // Names for a screen reader, and the states shown only in colour or in
    // a bare caption put into words that follow the panel.
    void describeForScreenReaders();
    void showAlarmSection(bool visible);
    void keepOnScreen();

    std::unique_ptr<Ui::Form1> ui;
    Panel *m_panel;
    ErrorReporter *m_errors;
    Announcer *m_announcer = nullptr;
    Bench *m_bench = nullptr;
    bool m_placed = false;
};
