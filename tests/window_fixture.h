#pragma once

#include "app/main_window.h"
#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "serial/line_monitor.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QTest>

// The real window wired to a fake serial component and a fake launcher, with
// short hands for what an operator does.
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

    template<typename T>
    T *control(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }

    void click(const char *button) { QTest::mouseClick(control<QAbstractButton>(button), Qt::LeftButton); }

    void open(const QString &text = QStringLiteral("3"))
    {
        control<QComboBox>("Combo1")->setEditText(text);
        click("Command1");
    }

    // One polling cycle, without waiting for the timer.
    void tick() { m_window->findChild<LineMonitor *>()->Timer1_Timer(); }

    FakeSerialPort *port = nullptr;
    FakeScriptLauncher *launcher = nullptr;

private:
    std::unique_ptr<MainWindow> m_window;
};
