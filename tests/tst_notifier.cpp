#include "app/main_window.h"
#include "app/text_box.h"
#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "notify/notifier.h"
#include "serial/line_monitor.h"

#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using Channel = ScriptLauncher::Channel;
using Reason = ScriptLauncher::Reason;
using Starts = QList<QPair<Channel, Reason>>;
Q_DECLARE_METATYPE(Channel)

class TestNotifier : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void switchFlipsCaptionAndSection();
    void switchLeavesOtherCaptionsAlone();
    void dispatchOnChange_data();
    void dispatchOnChange();
    void oneStartPerAlarmOnset();
    void reArmAfterSwitchOffAndOn();
    void channelsStartInOrder();
    void testButtons_data();
    void testButtons();
    void refusedStartIsReported();

private:
    template<typename T>
    T *control(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    void pressSwitch() { QTest::mouseClick(control<QPushButton>("CmdCallEnable"), Qt::LeftButton); }
    void tick() { m_window->findChild<LineMonitor *>()->Timer1_Timer(); }
    void open()
    {
        control<QComboBox>("Combo1")->setEditText(QStringLiteral("1"));
        QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);
    }

    std::unique_ptr<MainWindow> m_window;
    FakeSerialPort *m_port = nullptr;
    FakeScriptLauncher *m_launcher = nullptr;
};

void TestNotifier::init()
{
    auto port = std::make_unique<FakeSerialPort>();
    auto launcher = std::make_unique<FakeScriptLauncher>();
    m_port = port.get();
    m_launcher = launcher.get();
    m_window = std::make_unique<MainWindow>(std::move(port), std::move(launcher));
    m_window->show();
}

void TestNotifier::cleanup()
{
    m_window.reset();
}

void TestNotifier::switchFlipsCaptionAndSection()
{
    auto button = control<QPushButton>("CmdCallEnable");
    const QList<QWidget *> section = m_window->alarmSection();

    // Record the order in which the section's controls are shown.
    struct ShowOrder : QObject {
        QStringList shown;
        QStringList hidden;
        bool eventFilter(QObject *o, QEvent *e) override
        {
            if (e->type() == QEvent::ShowToParent)
                shown << o->objectName();
            else if (e->type() == QEvent::HideToParent)
                hidden << o->objectName();
            return false;
        }
    } order;
    QStringList names;
    for (QWidget *w : section) {
        w->installEventFilter(&order);
        names << w->objectName();
    }

    pressSwitch();
    QCOMPARE(button->text(), QLatin1String("Enabled"));
    QCOMPARE(order.shown, names);
    for (QWidget *w : section)
        QVERIFY(w->isVisible());

    pressSwitch();
    QCOMPARE(button->text(), QLatin1String("Disabled"));
    QCOMPARE(order.hidden, names);
    for (QWidget *w : section)
        QVERIFY(w->isHidden());
    QVERIFY(m_launcher->starts.isEmpty());
}

void TestNotifier::switchLeavesOtherCaptionsAlone()
{
    auto button = control<QPushButton>("CmdCallEnable");
    for (const char *caption : {"enabled", "Enabled ", ""}) {
        button->setText(QLatin1String(caption));
        pressSwitch();
        QCOMPARE(button->text(), QLatin1String(caption));
        QVERIFY(control<QWidget>("Frame3")->isHidden());
    }
}

void TestNotifier::dispatchOnChange_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("starts");

    QTest::newRow("enabled, sending") << "Enabled" << "Sending Notification" << true;
    QTest::newRow("disabled, sending") << "Disabled" << "Sending Notification" << false;
    QTest::newRow("enabled, other text") << "Enabled" << "sending notification" << false;
    QTest::newRow("enabled, text cut short") << "Enabled" << "Sending Notificatio" << false;
    QTest::newRow("enabled lower case, sending") << "enabled" << "Sending Notification" << false;
}

void TestNotifier::dispatchOnChange()
{
    QFETCH(QString, caption);
    QFETCH(QString, text);
    QFETCH(bool, starts);

    control<QPushButton>("CmdCallEnable")->setText(caption);
    // An operator typing into the box is a change like any other.
    auto box = control<TextBox>("TxtFlood");
    box->setVisible(true);
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    QCOMPARE(box->text(), text);
    QCOMPARE(m_launcher->starts, (starts ? Starts{{Channel::Flood, Reason::Alarm}} : Starts{}));
}

void TestNotifier::oneStartPerAlarmOnset()
{
    pressSwitch();
    open();
    m_port->cts = true;
    for (int i = 0; i < 50; ++i)
        tick();
    QCOMPARE(m_launcher->starts, (Starts{{Channel::Fire, Reason::Alarm}}));
    m_port->cts = false;
    for (int i = 0; i < 5; ++i)
        tick();
    QCOMPARE(control<TextBox>("TxtFire")->text(), QString());
    QCOMPARE(m_launcher->starts.size(), 1);
    m_port->cts = true;
    tick();
    QCOMPARE(m_launcher->starts.size(), 2);
}

void TestNotifier::reArmAfterSwitchOffAndOn()
{
    open();
    m_port->dcd = true;
    tick();
    QVERIFY(m_launcher->starts.isEmpty());
    pressSwitch();
    tick();
    QCOMPARE(m_launcher->starts, (Starts{{Channel::Intrusion, Reason::Alarm}}));
    pressSwitch();
    tick();
    pressSwitch();
    tick();
    QCOMPARE(m_launcher->starts.size(), 2);
}

void TestNotifier::channelsStartInOrder()
{
    pressSwitch();
    open();
    m_port->dcd = true;
    m_port->cts = true;
    tick();
    QCOMPARE(m_launcher->starts, (Starts{{Channel::Fire, Reason::Alarm}, {Channel::Intrusion, Reason::Alarm}}));
}

void TestNotifier::testButtons_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<Channel>("channel");
    QTest::newRow("Smoke Fire") << QByteArray("cmdSmoke") << Channel::Fire;
    QTest::newRow("Flooding") << QByteArray("cmdFlood") << Channel::Flood;
    QTest::newRow("Intrusion") << QByteArray("cmdIntrusion") << Channel::Intrusion;
}

void TestNotifier::testButtons()
{
    QFETCH(QByteArray, button);
    QFETCH(Channel, channel);
    auto notifier = m_window->findChild<Notifier *>();
    const QByteArray slot = button + "_Click";

    // Disabled: hidden, and a click sent all the same starts nothing.
    QMetaObject::invokeMethod(notifier, slot.constData());
    QVERIFY(m_launcher->starts.isEmpty());

    pressSwitch();
    QTest::mouseClick(control<QPushButton>(button.constData()), Qt::LeftButton);
    QTest::mouseClick(control<QPushButton>(button.constData()), Qt::LeftButton);
    QCOMPARE(m_launcher->starts, (Starts{{channel, Reason::Test}, {channel, Reason::Test}}));
}

void TestNotifier::refusedStartIsReported()
{
    m_launcher->refuseWith = ErrorCode::ScriptMissing;
    QSignalSpy errors(m_window->findChild<Notifier *>(), &Notifier::errorOccurred);
    pressSwitch();
    open();
    m_port->cts = true;
    tick();
    QTest::mouseClick(control<QPushButton>("cmdFlood"), Qt::LeftButton);
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(0).at(0).toInt(), int(ErrorCode::ScriptMissing));
    // The window goes on: polling continues and the box shows the state.
    QVERIFY(m_port->portOpen());
    QCOMPARE(control<TextBox>("TxtFire")->text(), QLatin1String("Sending Notification"));
    QCOMPARE(m_window->findChildren<QMessageBox *>().count(), 1);
}

QTEST_MAIN(TestNotifier)
#include "tst_notifier.moc"
