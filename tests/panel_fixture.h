// SPDX-License-Identifier: MIT
#pragma once

#include "core/panel.h"
#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "core/notifier.h"
#include "core/line_monitor.h"

#include <QSignalSpy>

// The panel on a fake serial component and a fake launcher, with what an
// operator does as short hands. No window.
class PanelFixture
{
public:
    PanelFixture()
    {
        auto fakePort = std::make_unique<FakeSerialPort>();
        auto fakeLauncher = std::make_unique<FakeScriptLauncher>();
        port = fakePort.get();
        launcher = fakeLauncher.get();
        panel = std::make_unique<Panel>(std::move(fakePort), std::move(fakeLauncher));
        errors = std::make_unique<QSignalSpy>(panel.get(), &Panel::errorOccurred);
    }

    void open(const QString &text = QStringLiteral("3"))
    {
        panel->setPortText(text);
        panel->lineMonitor()->Command1_Click();
    }
    void close() { panel->lineMonitor()->Command2_Click(); }
    void tick() { panel->lineMonitor()->Timer1_Timer(); }
    void pressSwitch() { panel->notifier()->CmdCallEnable_Click(); }
    int firstError() const { return errors->isEmpty() ? 0 : errors->first().at(0).toInt(); }

    FakeSerialPort *port = nullptr;
    FakeScriptLauncher *launcher = nullptr;
    std::unique_ptr<Panel> panel;
    std::unique_ptr<QSignalSpy> errors;
};
