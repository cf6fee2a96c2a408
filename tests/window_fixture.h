// SPDX-License-Identifier: MIT
#pragma once

#include "app/circle_shape.h"
#include "app/main_window.h"
#include "app/text_box.h"
#include "core/panel.h"
#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "core/line_monitor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

// The real window wired to a fake serial component and a fake launcher, with
// its controls by role and short hands for what an operator does.
class WindowFixture
{
public:
    WindowFixture()
    {
        auto fakePort = std::make_unique<FakeSerialPort>();
        auto fakeLauncher = std::make_unique<FakeScriptLauncher>();
        port = fakePort.get();
        launcher = fakeLauncher.get();
        m_window = std::make_unique<MainWindow>(std::move(fakePort), std::move(fakeLauncher));
    }

    MainWindow *window() const { return m_window.get(); }
    Panel *panel() const { return m_window->panel(); }

    template<typename T>
    T *control(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }

    // Channel c: 0 fire, 1 flood, 2 intrusion.
    CircleShape *indicator(int c) const { return control<CircleShape>(pick(c, "Shape1", "Shape2", "Shape3")); }
    QLabel *status(int c) const { return control<QLabel>(pick(c, "Label13", "Label14", "Label15")); }
    TextBox *notification(int c) const { return control<TextBox>(pick(c, "TxtFire", "TxtFlood", "TxtIntrusion")); }
    QPushButton *testButton(int c) const
    {
        return control<QPushButton>(pick(c, "cmdSmoke", "cmdFlood", "cmdIntrusion"));
    }
    QLabel *fireStatus() const { return status(0); }
    TextBox *fireNotification() const { return notification(0); }
    QPushButton *notificationSwitch() const { return control<QPushButton>("CmdCallEnable"); }
    QCheckBox *dtrBox() const { return control<QCheckBox>("Check1"); }
    QCheckBox *rtsBox() const { return control<QCheckBox>("Check2"); }
    QComboBox *portBox() const { return control<QComboBox>("Combo1"); }
    QPushButton *openButton() const { return control<QPushButton>("Command1"); }
    QPushButton *closeButton() const { return control<QPushButton>("Command2"); }

    static void click(QAbstractButton *button) { QTest::mouseClick(button, Qt::LeftButton); }
    void pressSwitch() { click(notificationSwitch()); }

    void open(const QString &text = QStringLiteral("3"))
    {
        portBox()->setEditText(text);
        click(openButton());
    }

    // One polling cycle, without waiting for the timer.
    void tick() { panel()->lineMonitor()->Timer1_Timer(); }

    FakeSerialPort *port = nullptr;
    FakeScriptLauncher *launcher = nullptr;

private:
    static const char *pick(int c, const char *fire, const char *flood, const char *intrusion)
    {
        return c == 0 ? fire : c == 1 ? flood : intrusion;
    }

    std::unique_ptr<MainWindow> m_window;
};
