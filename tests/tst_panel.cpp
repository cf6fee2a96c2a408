// SPDX-License-Identifier: MIT
#include "panel_fixture.h"

#include "core/arming.h"
#include "core/panel_code.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using Channel = ScriptLauncher::Channel;
using Reason = ScriptLauncher::Reason;
using Starts = QList<QPair<Channel, Reason>>;
Q_DECLARE_METATYPE(Channel)

// The rules of the panel: opening and closing, the polling tick, the switch,
// the dispatch of scripts. No window and no Qt Gui: QCoreApplication only.
class TestPanel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void openAndClose_data();
    void openAndClose();
    void secondOpenKeepsPolling();
    void tick_data();
    void tick();
    void oneReadingPerTick_data();
    void oneReadingPerTick();
    void notificationChangesOncePerRealChange();
    void stoppedPollingKeepsState();
    void settleFromWhatThePanelShows_data();
    void settleFromWhatThePanelShows();
    void outputsOnOpen_data();
    void outputsOnOpen();
    void vanishedDeviceWhilePolling();
    void pulsesBetweenReadings_data();
    void pulsesBetweenReadings();
    void normallyClosed_data();
    void normallyClosed();
    void unreportedInputs_data();
    void unreportedInputs();
    void armingDecidesWhatIsTold_data();
    void armingDecidesWhatIsTold();
    void watchFallsBackToPolling();
    void watchLostEndsLikeAFailedRead();
    void switchFlipsOnlyItsTwoCaptions_data();
    void switchFlipsOnlyItsTwoCaptions();
    void dispatchOnChange_data();
    void dispatchOnChange();
    void oneStartPerAlarmOnset();
    void reArmAfterSwitchOffAndOn();
    void channelsStartInOrder();
    void testButtons_data();
    void testButtons();
    void refusedStartIsReported();

private:
    std::unique_ptr<PanelFixture> f;
};

void TestPanel::init()
{
    f = std::make_unique<PanelFixture>();
}

void TestPanel::cleanup()
{
    f.reset();
}

void TestPanel::openAndClose_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("shown"); // what the error quotes of the port text

    QTest::newRow("picked 7") << "7" << 7 << 0 << "";
    QTest::newRow("typed blank 1 blank 2 letters") << " 1 2abc" << 12 << 0 << "";
    QTest::newRow("2.5 rounds to 2") << "2.5" << 2 << 0 << "";
    QTest::newRow("3.5 rounds to 4") << "3.5" << 4 << 0 << "";
    QTest::newRow("design-time text is port 0")
        << "Select Port" << 0 << int(ErrorCode::InvalidPortNumber) << "\"Select Port\"";
    QTest::newRow("negative port") << "-3" << -3 << int(ErrorCode::InvalidPortNumber) << "invalid";
    QTest::newRow("beyond 16 bits") << "99999" << 1 << int(ErrorCode::Overflow) << "\"99999\"";
    QTest::newRow("beyond 16 bits below") << "-32769" << 1 << int(ErrorCode::Overflow) << "\"-32769\"";
    QTest::newRow("NUL before the number")
        << QStringLiteral("\0003") << 0 << int(ErrorCode::InvalidPortNumber) << "\"\\x003\"";
    QTest::newRow("escape sequence overflowing")
        << QStringLiteral("99999\x1b[2J") << 1 << int(ErrorCode::Overflow) << "\"99999\\x1b[2J\"";
}

void TestPanel::openAndClose()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(int, error);
    QFETCH(QString, shown);

    f->open(text);
    QCOMPARE(f->port->commPort(), port);
    QCOMPARE(f->port->portOpen(), error == 0);
    QCOMPARE(f->panel->timer()->isActive(), error == 0);
    if (error) {
        QCOMPARE(f->errors->count(), 1);
        QCOMPARE(f->firstError(), error);
        const QString message = f->errors->first().at(1).toString();
        QVERIFY2(message.contains(shown), qPrintable(message));
        // A refused open leaves the panel as it was.
        QCOMPARE(f->panel->portText(), text);
        return;
    }
    f->close();
    QVERIFY(!f->port->portOpen());
    QVERIFY(!f->panel->timer()->isActive());
    // Closing a closed port is accepted.
    f->close();
    QCOMPARE(f->errors->count(), 0);
}

void TestPanel::secondOpenKeepsPolling()
{
    f->open(QStringLiteral("3"));
    f->open(QStringLiteral("5"));
    QCOMPARE(f->errors->count(), 1);
    QCOMPARE(f->firstError(), int(ErrorCode::PortAlreadyOpen));
    QVERIFY(f->port->portOpen());
    QCOMPARE(f->port->commPort(), 3);
    QVERIFY(f->panel->timer()->isActive());
}

void TestPanel::tick_data()
{
    QTest::addColumn<bool>("cts");
    QTest::addColumn<bool>("dsr");
    QTest::addColumn<bool>("dcd");
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("all low, disabled") << false << false << false << false << false << false;
    QTest::newRow("fire while disabled stays quiet") << true << false << false << false << false << false;
    QTest::newRow("fire while enabled notifies") << true << false << false << true << false << true;
    QTest::newRow("flood and intrusion") << false << true << true << false << true << true;
    QTest::newRow("all high, both outputs") << true << true << true << true << true << true;
}

void TestPanel::tick()
{
    QFETCH(bool, cts);
    QFETCH(bool, dsr);
    QFETCH(bool, dcd);
    QFETCH(bool, dtr);
    QFETCH(bool, rts);
    QFETCH(bool, enabled);

    if (enabled)
        f->pressSwitch();
    f->panel->setDtrChecked(dtr);
    f->panel->setRtsChecked(rts);
    f->open();
    f->port->cts = cts;
    f->port->dsr = dsr;
    f->port->dcd = dcd;
    f->port->dtr = f->port->rts = !dtr;
    f->tick();

    const bool lines[] = {cts, dsr, dcd};
    for (int c = 0; c < Form::kChannels; ++c) {
        QCOMPARE(f->panel->indicatorColour(c), lines[c] ? Form::kRed : Form::kGreen);
        QCOMPARE(f->panel->statusCaption(c), lines[c] ? QLatin1String("ALARM") : QLatin1String("NORMAL"));
        QCOMPARE(f->panel->statusColour(c), lines[c] ? Form::kRed : Form::kGreen);
        QCOMPARE(f->panel->notificationText(c),
                 lines[c] && enabled ? QLatin1String("Sending Notification") : QLatin1String(""));
    }
    QCOMPARE(f->port->dtr, dtr);
    QCOMPARE(f->port->rts, rts);
    QCOMPARE(f->errors->count(), 0);
}

void TestPanel::oneReadingPerTick_data()
{
    QTest::addColumn<bool>("dtrBox");
    QTest::addColumn<bool>("rtsBox");
    QTest::addColumn<bool>("dtrOnPort"); // as someone left it before the tick
    QTest::addColumn<bool>("rtsOnPort");
    QTest::addColumn<int>("writes");

    QTest::newRow("steady: boxes and port agree") << false << false << false << false << 0;
    QTest::newRow("steady with both high") << true << true << true << true << 0;
    QTest::newRow("DTR ticked") << true << false << false << false << 1;
    QTest::newRow("RTS raised behind our back is put back") << false << false << false << true << 1;
    QTest::newRow("both differ") << true << true << false << false << 2;
}

void TestPanel::oneReadingPerTick()
{
    QFETCH(bool, dtrBox);
    QFETCH(bool, rtsBox);
    QFETCH(bool, dtrOnPort);
    QFETCH(bool, rtsOnPort);
    QFETCH(int, writes);

    f->open();
    f->panel->setDtrChecked(dtrBox);
    f->panel->setRtsChecked(rtsBox);
    f->port->dtr = dtrOnPort;
    f->port->rts = rtsOnPort;
    // CTS flips before every reading: each tick shows the one reading, in
    // the indicator and the status alike.
    f->port->beforeRead = [](FakeSerialPort &port) { port.cts = !port.cts; };
    const int readsBefore = f->port->lineReads;
    const int writesBefore = f->port->lineWrites;
    f->tick();
    QCOMPARE(f->port->lineReads - readsBefore, 1);
    QCOMPARE(f->port->lineWrites - writesBefore, writes);
    QCOMPARE(f->port->dtr, dtrBox);
    QCOMPARE(f->port->rts, rtsBox);
    QCOMPARE(f->panel->indicatorColour(0), Form::kRed);
    QCOMPARE(f->panel->statusColour(0), Form::kRed);
    f->tick();
    QCOMPARE(f->panel->indicatorColour(0), Form::kGreen);
    QCOMPARE(f->panel->statusCaption(0), QLatin1String("NORMAL"));
}

void TestPanel::notificationChangesOncePerRealChange()
{
    QSignalSpy changes(f->panel.get(), &Panel::notificationTextChanged);
    f->open();
    f->pressSwitch();
    f->port->cts = true;
    for (int i = 0; i < 20; ++i)
        f->tick();
    QCOMPARE(changes.count(), 1);
    QCOMPARE(f->panel->notificationText(0), QLatin1String("Sending Notification"));

    // Switching off empties the text in the next tick, on again fills it.
    f->pressSwitch();
    f->tick();
    f->tick();
    QCOMPARE(f->panel->notificationText(0), QString());
    f->pressSwitch();
    f->tick();
    QCOMPARE(changes.count(), 3);

    f->port->cts = false;
    f->tick();
    f->tick();
    QCOMPARE(changes.count(), 4);
    for (const QList<QVariant> &change : changes)
        QCOMPARE(change.at(0).toInt(), 0); // flood never changed
}

void TestPanel::stoppedPollingKeepsState()
{
    f->open();
    f->panel->setDtrChecked(true);
    f->port->cts = true;
    f->tick();
    f->close();
    QVERIFY(!f->panel->timer()->isActive());
    const int writes = f->port->lineWrites;
    f->port->cts = false;
    f->panel->setDtrChecked(false);
    QTest::qWait(350);
    QCOMPARE(f->port->lineWrites, writes);
    QVERIFY(f->port->dtr);
    QCOMPARE(f->panel->indicatorColour(0), Form::kRed);
    QCOMPARE(f->panel->statusCaption(0), QLatin1String("ALARM"));
}

void TestPanel::vanishedDeviceWhilePolling()
{
    f->open();
    f->pressSwitch();
    f->port->cts = true;
    f->tick();
    f->port->vanished = true;
    // Let the real timer run into it several times.
    QTest::qWait(350);
    QCOMPARE(f->errors->count(), 1);
    QCOMPARE(f->firstError(), int(ErrorCode::DeviceFailed));
    QVERIFY(!f->panel->timer()->isActive());
    QVERIFY(!f->port->portOpen());
    // Everything keeps its last state.
    QCOMPARE(f->panel->indicatorColour(0), Form::kRed);
    QCOMPARE(f->panel->notificationText(0), QLatin1String("Sending Notification"));
    // The device is back: open again.
    f->port->vanished = false;
    f->open();
    QVERIFY(f->panel->timer()->isActive());
}

void TestPanel::switchFlipsOnlyItsTwoCaptions_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("sectionShown");

    QTest::newRow("Disabled to Enabled") << "Disabled"
                                         << "Enabled" << true;
    QTest::newRow("Enabled to Disabled") << "Enabled"
                                         << "Disabled" << false;
    QTest::newRow("lower case left alone") << "enabled"
                                           << "enabled" << true;
    QTest::newRow("trailing blank left alone") << "Enabled "
                                               << "Enabled " << true;
    QTest::newRow("empty left alone") << ""
                                      << "" << true;
}

void TestPanel::switchFlipsOnlyItsTwoCaptions()
{
    QFETCH(QString, caption);
    QFETCH(QString, after);
    QFETCH(bool, sectionShown);

    f->panel->setSwitchCaption(caption);
    f->pressSwitch();
    QCOMPARE(f->panel->switchCaption(), after);
    // A caption that is neither leaves the section as it was (design: shown).
    QCOMPARE(f->panel->alarmSectionVisible(), sectionShown);
    QVERIFY(f->launcher->starts.isEmpty());
}

void TestPanel::dispatchOnChange_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("starts");

    QTest::newRow("enabled, sending") << "Enabled"
                                      << "Sending Notification" << true;
    QTest::newRow("disabled, sending") << "Disabled"
                                       << "Sending Notification" << false;
    QTest::newRow("enabled, other text") << "Enabled"
                                         << "sending notification" << false;
    QTest::newRow("enabled, text cut short") << "Enabled"
                                             << "Sending Notificatio" << false;
    QTest::newRow("enabled lower case, sending") << "enabled"
                                                 << "Sending Notification" << false;
}

void TestPanel::dispatchOnChange()
{
    QFETCH(QString, caption);
    QFETCH(QString, text);
    QFETCH(bool, starts);

    f->panel->setSwitchCaption(caption);
    f->panel->setNotificationText(1, text);
    QCOMPARE(f->launcher->starts, (starts ? Starts{{Channel::Flood, Reason::Alarm}} : Starts{}));
    // Writing the same text again is no change and starts nothing more.
    f->panel->setNotificationText(1, text);
    QCOMPARE(f->launcher->starts.size(), starts ? 1 : 0);
}

void TestPanel::oneStartPerAlarmOnset()
{
    f->pressSwitch();
    f->open();
    f->port->cts = true;
    for (int i = 0; i < 50; ++i)
        f->tick();
    QCOMPARE(f->launcher->starts, (Starts{{Channel::Fire, Reason::Alarm}}));
    f->port->cts = false;
    for (int i = 0; i < 5; ++i)
        f->tick();
    QCOMPARE(f->panel->notificationText(0), QString());
    QCOMPARE(f->launcher->starts.size(), 1);
    f->launcher->finish(0, 0); // delivered: the next onset is told anew
    f->port->cts = true;
    f->tick();
    QCOMPARE(f->launcher->starts.size(), 2);
}

void TestPanel::reArmAfterSwitchOffAndOn()
{
    f->open();
    f->port->dcd = true;
    f->tick();
    QVERIFY(f->launcher->starts.isEmpty());
    f->pressSwitch();
    f->tick();
    QCOMPARE(f->launcher->starts, (Starts{{Channel::Intrusion, Reason::Alarm}}));
    f->launcher->finish(0, 0);
    f->pressSwitch();
    f->tick();
    f->pressSwitch();
    f->tick();
    QCOMPARE(f->launcher->starts.size(), 2);
}

void TestPanel::channelsStartInOrder()
{
    f->pressSwitch();
    f->open();
    f->port->dcd = true;
    f->port->cts = true;
    f->tick();
    QCOMPARE(f->launcher->starts, (Starts{{Channel::Fire, Reason::Alarm}, {Channel::Intrusion, Reason::Alarm}}));
}

void TestPanel::testButtons_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<Channel>("channel");
    QTest::newRow("Smoke Fire") << QByteArray("cmdSmoke") << Channel::Fire;
    QTest::newRow("Flooding") << QByteArray("cmdFlood") << Channel::Flood;
    QTest::newRow("Intrusion") << QByteArray("cmdIntrusion") << Channel::Intrusion;
}

void TestPanel::testButtons()
{
    QFETCH(QByteArray, button);
    QFETCH(Channel, channel);
    const QByteArray slot = button + "_Click";

    // Disabled: a press starts nothing.
    QMetaObject::invokeMethod(f->panel->notifier(), slot.constData());
    QVERIFY(f->launcher->starts.isEmpty());

    // Enabled: every press starts it, whether the port is open or not.
    f->pressSwitch();
    QMetaObject::invokeMethod(f->panel->notifier(), slot.constData());
    QMetaObject::invokeMethod(f->panel->notifier(), slot.constData());
    QCOMPARE(f->launcher->starts, (Starts{{channel, Reason::Test}, {channel, Reason::Test}}));
}

void TestPanel::refusedStartIsReported()
{
    f->launcher->refuseWith = int(ErrorCode::ScriptMissing);
    f->pressSwitch();
    f->open();
    f->port->cts = true;
    f->tick();
    f->panel->notifier()->cmdFlood_Click();
    QCOMPARE(f->errors->count(), 2);
    QCOMPARE(f->firstError(), int(ErrorCode::ScriptMissing));
    // The panel goes on: polling continues and the text shows the state.
    QVERIFY(f->port->portOpen());
    QVERIFY(f->panel->timer()->isActive());
    QCOMPARE(f->panel->notificationText(0), QLatin1String("Sending Notification"));
}

void TestPanel::settleFromWhatThePanelShows_data()
{
    QTest::addColumn<bool>("inAlarmBefore"); // the device came back to a panel in ALARM
    QTest::addColumn<QString>("readings");   // CTS per tick: H or L, "+" first waits out the settle time
    QTest::addColumn<QString>("shown");      // the fire status after each tick: N or A

    QTest::newRow("a bounce as the port opens makes no alarm") << false << "H L +L"
                                                               << "NNN";
    QTest::newRow("a line high from the start alarms once it held") << false << "H +H"
                                                                    << "NA";
    QTest::newRow("back in alarm and still high: no NORMAL between") << true << "H +H"
                                                                     << "AA";
    QTest::newRow("back in alarm but low now: NORMAL once it held") << true << "L +L"
                                                                    << "AN";
}

// With a settle time, the first reading after an open is a change like any
// other, measured from what the panel shows.
void TestPanel::settleFromWhatThePanelShows()
{
    QFETCH(bool, inAlarmBefore);
    QFETCH(QString, readings);
    QFETCH(QString, shown);
    constexpr std::chrono::milliseconds settle{30};
    f->panel->lineMonitor()->setSettleTime(settle);
    if (inAlarmBefore) {
        f->panel->setStatusCaption(0, Form::kAlarm);
        f->panel->setStatusColour(0, Form::kRed);
    }
    QSignalSpy captions(f->panel.get(), &Panel::statusCaptionChanged);
    f->open();
    QString got;
    for (const QString &reading : readings.split(u' ')) {
        if (reading.startsWith(u'+'))
            QTest::qSleep(int(settle.count()) + 20);
        f->port->cts = reading.endsWith(u'H');
        f->tick();
        got += f->panel->inAlarm(0) ? u'A' : u'N';
    }
    QCOMPARE(got, shown);
    // Each shown change is one caption change: no NORMAL and back between.
    int changes = 0;
    for (int i = 0; i < shown.size(); ++i)
        changes += shown[i] != (i == 0 ? (inAlarmBefore ? u'A' : u'N') : shown[i - 1]);
    QCOMPARE(captions.count(), changes);
}

void TestPanel::outputsOnOpen_data()
{
    QTest::addColumn<bool>("onOpen");
    QTest::addColumn<bool>("dtrBeforeFirstTick");
    QTest::newRow("the service feeds its contacts before the first reading") << true << true;
    QTest::newRow("the window leaves the outputs to the first tick") << false << false;
}

void TestPanel::outputsOnOpen()
{
    QFETCH(bool, onOpen);
    QFETCH(bool, dtrBeforeFirstTick);
    f->panel->lineMonitor()->setOutputsOnOpen(onOpen);
    f->panel->setDtrChecked(true);
    f->open();
    QCOMPARE(f->port->dtr, dtrBeforeFirstTick);
    QCOMPARE(f->port->rts, false);
    QCOMPARE(f->port->lineReads, 0);
    f->tick();
    QVERIFY(f->port->dtr);
}

void TestPanel::pulsesBetweenReadings_data()
{
    QTest::addColumn<bool>("heldForTick"); // the window's way; else the service's
    QTest::addColumn<bool>("counted");     // the driver counts edges
    QTest::addColumn<bool>("closed");      // the flood contact is normally closed
    QTest::addColumn<bool>("level");       // DSR before and after the pulse
    QTest::addColumn<int>("settleMs");
    QTest::addColumn<bool>("alarmAfterPulse");
    QTest::addColumn<bool>("alarmAfterTick");
    QTest::addColumn<int>("starts");

    QTest::newRow("window: ALARM until a tick has shown it, one script")
        << true << true << false << false << 0 << true << true << 1;
    QTest::newRow("service: ALARM and straight back, one script")
        << false << true << false << false << 0 << false << false << 1;
    QTest::newRow("normally closed: a pulse low is an onset") << true << true << true << true << 0 << true << true << 1;
    QTest::newRow("a pulse out of an alarm is no onset") << true << true << false << true << 0 << true << true << 0;
    QTest::newRow("with a settle time a pulse is a bounce")
        << true << true << false << false << 50 << false << false << 0;
    QTest::newRow("without counters a pulse is not seen")
        << true << false << false << false << 0 << false << false << 0;
}

// Edges the driver counted between two readings, the line as before.
void TestPanel::pulsesBetweenReadings()
{
    QFETCH(bool, heldForTick);
    QFETCH(bool, counted);
    QFETCH(bool, closed);
    QFETCH(bool, level);
    QFETCH(int, settleMs);
    QFETCH(bool, alarmAfterPulse);
    QFETCH(bool, alarmAfterTick);
    QFETCH(int, starts);

    LineMonitor *monitor = f->panel->lineMonitor();
    monitor->setPulsesHeldForTick(heldForTick);
    monitor->setNormallyClosed({false, closed, false});
    monitor->setSettleTime(std::chrono::milliseconds(settleMs));
    f->port->watch = counted ? LineWatch::WaitAndCount : LineWatch::Wait;
    f->port->dsr = level;
    f->pressSwitch();
    f->open();
    // Long enough for a level to settle: the panel starts from the line.
    f->tick();
    QTest::qWait(2 * settleMs);
    f->tick();
    const qsizetype before = f->launcher->starts.size();

    f->port->pulse(1);
    QCOMPARE(f->panel->inAlarm(1), alarmAfterPulse);
    QCOMPARE(f->launcher->starts.size() - before, qsizetype(starts));
    f->tick();
    QCOMPARE(f->panel->inAlarm(1), alarmAfterTick);
    // The next tick shows the line again.
    f->tick();
    QCOMPARE(f->panel->inAlarm(1), level != closed);
    QCOMPARE(f->panel->indicatorColour(1), level ? Form::kRed : Form::kGreen);
    QCOMPARE(f->launcher->starts.size() - before, qsizetype(starts));
}

void TestPanel::normallyClosed_data()
{
    QTest::addColumn<bool>("closed");
    QTest::addColumn<bool>("level");
    QTest::addColumn<bool>("alarm");

    QTest::newRow("open contact, line low: NORMAL") << false << false << false;
    QTest::newRow("open contact, line high: ALARM") << false << true << true;
    QTest::newRow("closed contact, line high: NORMAL") << true << true << false;
    QTest::newRow("closed contact, line low (a cut wire): ALARM") << true << false << true;
}

// The status, the script and the notification text follow the alarm; the
// disc keeps showing the line.
void TestPanel::normallyClosed()
{
    QFETCH(bool, closed);
    QFETCH(bool, level);
    QFETCH(bool, alarm);

    f->panel->lineMonitor()->setNormallyClosed({false, false, closed});
    f->port->dcd = level;
    f->pressSwitch();
    f->open();
    f->tick();
    QCOMPARE(f->panel->inAlarm(2), alarm);
    QCOMPARE(f->panel->statusCaption(2), QString(alarm ? Form::kAlarm : Form::kNormal));
    QCOMPARE(f->panel->indicatorColour(2), level ? Form::kRed : Form::kGreen);
    const Starts expected = alarm ? Starts{{Channel::Intrusion, Reason::Alarm}} : Starts{};
    QCOMPARE(f->launcher->starts, expected);
    // The other channels keep their sense.
    QVERIFY(!f->panel->inAlarm(0));
    QVERIFY(!f->panel->inAlarm(1));
}

void TestPanel::unreportedInputs_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<bool>("fireClosed"); // --normally-closed fire
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("fireWhy");
    QTest::addColumn<Starts>("starts"); // with every input high

    QTest::newRow("cdc_acm: CTS made up, DSR and DCD real")
        << "cdc_acm" << false << 0 << "CTS is not reported by this adapter (cdc_acm)"
        << Starts{{Channel::Flood, Reason::Alarm}, {Channel::Intrusion, Reason::Alarm}};
    QTest::newRow("cdc_acm with fire normally closed: refused")
        << "cdc_acm" << true << int(ErrorCode::LineNotReported) << "CTS is not reported by this adapter (cdc_acm)"
        << Starts{};
    QTest::newRow("a driver the table does not know is trusted")
        << "made_up_uart" << false << 0 << ""
        << Starts{{Channel::Fire, Reason::Alarm}, {Channel::Flood, Reason::Alarm}, {Channel::Intrusion, Reason::Alarm}};
    QTest::newRow("ftdi_sio reports every input")
        << "ftdi_sio" << true << 0 << ""
        << Starts{{Channel::Flood, Reason::Alarm}, {Channel::Intrusion, Reason::Alarm}};
}

// An input the driver does not report is never read as a level: its disc
// stays as before the first reading and its channel NORMAL; its test button
// still runs the script.
void TestPanel::unreportedInputs()
{
    QFETCH(QString, driver);
    QFETCH(bool, fireClosed);
    QFETCH(int, error);
    QFETCH(QString, fireWhy);
    QFETCH(Starts, starts);

    f->port->adapter = AdapterDriver::named(driver);
    f->port->cts = f->port->dsr = f->port->dcd = true;
    f->panel->lineMonitor()->setNormallyClosed({fireClosed, false, false});
    f->pressSwitch();
    f->open();
    QCOMPARE(f->firstError(), error);
    QCOMPARE(f->port->portOpen(), error == 0);
    QCOMPARE(f->panel->unreported(0), fireWhy);
    QVERIFY(f->panel->reported(1) && f->panel->reported(2));
    f->tick();
    QCOMPARE(f->launcher->starts, starts);
    if (error != 0)
        return;
    QCOMPARE(f->panel->indicatorColour(0), fireWhy.isEmpty() ? Form::kRed : Form::kBlack);
    QCOMPARE(f->panel->statusCaption(0), QString(fireWhy.isEmpty() && !fireClosed ? Form::kAlarm : Form::kNormal));
    f->panel->notifier()->cmdSmoke_Click();
    QCOMPARE(f->launcher->starts.last(), qMakePair(Channel::Fire, Reason::Test));
}

void TestPanel::armingDecidesWhatIsTold_data()
{
    QTest::addColumn<bool>("disarmed");
    QTest::addColumn<bool>("notifyClear");
    QTest::addColumn<Starts>("starts"); // fire and intrusion high, then both low

    QTest::newRow("armed: both told") << false << false
                                      << Starts{{Channel::Fire, Reason::Alarm}, {Channel::Intrusion, Reason::Alarm}};
    QTest::newRow("disarmed: fire alone, armed around the clock")
        << true << false << Starts{{Channel::Fire, Reason::Alarm}};
    QTest::newRow("disarmed with --notify-clear: no clear for what was never told")
        << true << true << Starts{{Channel::Fire, Reason::Alarm}, {Channel::Fire, Reason::Clear}};
    QTest::newRow("armed with --notify-clear: both cleared") << false << true
                                                             << Starts{{Channel::Fire, Reason::Alarm},
                                                                       {Channel::Intrusion, Reason::Alarm},
                                                                       {Channel::Fire, Reason::Clear},
                                                                       {Channel::Intrusion, Reason::Clear}};
}

// With an arming, it decides which alarms start their scripts; the lines and
// statuses show everything either way.
void TestPanel::armingDecidesWhatIsTold()
{
    QFETCH(bool, disarmed);
    QFETCH(bool, notifyClear);
    QFETCH(Starts, starts);

    QTemporaryDir code;
    QFile file(code.filePath(QStringLiteral("code")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("2468\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    Arming arming;
    QStringList warnings;
    QCOMPARE(arming.code()->readFile(file.fileName(), &warnings), QString());
    arming.start(QString());
    if (disarmed)
        QCOMPARE(arming.disarm(QStringLiteral("2468"), Arming::By::Local), Arming::Result::Accepted);
    f->panel->notifier()->setNotifyOnClear(notifyClear);
    f->panel->notifier()->setArming(&arming);
    f->pressSwitch();
    f->open();
    f->port->cts = f->port->dcd = true;
    f->tick();
    QCOMPARE(f->panel->statusCaption(2), QString(Form::kAlarm));
    f->port->cts = f->port->dcd = false;
    f->tick();
    QCOMPARE(f->launcher->starts, starts);
}

// A driver that refuses the wait after the open: ticks at the polling rate.
void TestPanel::watchFallsBackToPolling()
{
    f->panel->lineMonitor()->setWatchInterval(std::chrono::seconds(1));
    f->port->watch = LineWatch::WaitAndCount;
    QSignalSpy watching(f->panel->lineMonitor(), &LineMonitor::watching);
    f->open();
    QCOMPARE(f->panel->timer()->intervalAsDuration(), std::chrono::milliseconds(1000));
    f->port->watch = LineWatch::Poll;
    Q_EMIT f->port->lineWatchChanged(LineWatch::Poll);
    QCOMPARE(f->panel->timer()->intervalAsDuration(), Form::kPollInterval);
    QCOMPARE(watching.count(), 2);
    QCOMPARE(watching.at(0).at(0).value<LineWatch>(), LineWatch::WaitAndCount);
    QCOMPARE(watching.at(1).at(0).value<LineWatch>(), LineWatch::Poll);
}

void TestPanel::watchLostEndsLikeAFailedRead()
{
    f->port->watch = LineWatch::WaitAndCount;
    QSignalSpy failed(f->panel->lineMonitor(), &LineMonitor::deviceFailed);
    f->open();
    Q_EMIT f->port->watchFailed(int(ErrorCode::DeviceFailed), QStringLiteral("lost while waiting"));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(f->firstError(), int(ErrorCode::DeviceFailed));
    QVERIFY(!f->port->portOpen());
    QVERIFY(!f->panel->timer()->isActive());
}

QTEST_GUILESS_MAIN(TestPanel)
#include "tst_panel.moc"
