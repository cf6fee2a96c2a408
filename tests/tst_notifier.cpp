#include "app/error_reporter.h"
#include "app/main_window.h"
#include "app/text_box.h"
#include "window_fixture.h"
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
    void launcherReportsReachTheOperator();

private:

    std::unique_ptr<WindowFixture> f;
};

void TestNotifier::init()
{
    f = std::make_unique<WindowFixture>();
    f->window()->show();
}

void TestNotifier::cleanup()
{
    f.reset();
}

void TestNotifier::switchFlipsCaptionAndSection()
{
    auto button = f->control<QPushButton>("CmdCallEnable");
    const QList<QWidget *> section = f->window()->alarmSection();

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

    f->click("CmdCallEnable");
    QCOMPARE(button->text(), QLatin1String("Enabled"));
    QCOMPARE(order.shown, names);
    for (QWidget *w : section)
        QVERIFY(w->isVisible());

    f->click("CmdCallEnable");
    QCOMPARE(button->text(), QLatin1String("Disabled"));
    QCOMPARE(order.hidden, names);
    for (QWidget *w : section)
        QVERIFY(w->isHidden());
    QVERIFY(f->launcher->starts.isEmpty());
}

void TestNotifier::switchLeavesOtherCaptionsAlone()
{
    auto button = f->control<QPushButton>("CmdCallEnable");
    for (const char *caption : {"enabled", "Enabled ", ""}) {
        button->setText(QLatin1String(caption));
        f->click("CmdCallEnable");
        QCOMPARE(button->text(), QLatin1String(caption));
        QVERIFY(f->control<QWidget>("Frame3")->isHidden());
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

    f->control<QPushButton>("CmdCallEnable")->setText(caption);
    // An operator typing into the box is a change like any other.
    auto box = f->control<TextBox>("TxtFlood");
    box->setVisible(true);
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    QCOMPARE(box->text(), text);
    QCOMPARE(f->launcher->starts, (starts ? Starts{{Channel::Flood, Reason::Alarm}} : Starts{}));
}

void TestNotifier::oneStartPerAlarmOnset()
{
    f->click("CmdCallEnable");
    f->open();
    f->port->cts = true;
    for (int i = 0; i < 50; ++i)
        f->tick();
    QCOMPARE(f->launcher->starts, (Starts{{Channel::Fire, Reason::Alarm}}));
    f->port->cts = false;
    for (int i = 0; i < 5; ++i)
        f->tick();
    QCOMPARE(f->control<TextBox>("TxtFire")->text(), QString());
    QCOMPARE(f->launcher->starts.size(), 1);
    f->port->cts = true;
    f->tick();
    QCOMPARE(f->launcher->starts.size(), 2);
}

void TestNotifier::reArmAfterSwitchOffAndOn()
{
    f->open();
    f->port->dcd = true;
    f->tick();
    QVERIFY(f->launcher->starts.isEmpty());
    f->click("CmdCallEnable");
    f->tick();
    QCOMPARE(f->launcher->starts, (Starts{{Channel::Intrusion, Reason::Alarm}}));
    f->click("CmdCallEnable");
    f->tick();
    f->click("CmdCallEnable");
    f->tick();
    QCOMPARE(f->launcher->starts.size(), 2);
}

void TestNotifier::channelsStartInOrder()
{
    f->click("CmdCallEnable");
    f->open();
    f->port->dcd = true;
    f->port->cts = true;
    f->tick();
    QCOMPARE(f->launcher->starts, (Starts{{Channel::Fire, Reason::Alarm}, {Channel::Intrusion, Reason::Alarm}}));
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
    auto notifier = f->window()->findChild<Notifier *>();
    const QByteArray slot = button + "_Click";

    // Disabled: hidden, and a click sent all the same starts nothing.
    QMetaObject::invokeMethod(notifier, slot.constData());
    QVERIFY(f->launcher->starts.isEmpty());

    f->click("CmdCallEnable");
    QTest::mouseClick(f->control<QPushButton>(button.constData()), Qt::LeftButton);
    QTest::mouseClick(f->control<QPushButton>(button.constData()), Qt::LeftButton);
    QCOMPARE(f->launcher->starts, (Starts{{channel, Reason::Test}, {channel, Reason::Test}}));
}

void TestNotifier::refusedStartIsReported()
{
    f->launcher->refuseWith = ErrorCode::ScriptMissing;
    QSignalSpy errors(f->window()->findChild<Notifier *>(), &Notifier::errorOccurred);
    f->click("CmdCallEnable");
    f->open();
    f->port->cts = true;
    f->tick();
    f->click("cmdFlood");
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(0).at(0).toInt(), int(ErrorCode::ScriptMissing));
    // The window goes on: polling continues and the box shows the state.
    QVERIFY(f->port->portOpen());
    QCOMPARE(f->control<TextBox>("TxtFire")->text(), QLatin1String("Sending Notification"));
    QCOMPARE(f->window()->findChildren<QMessageBox *>().count(), 1);
}

void TestNotifier::launcherReportsReachTheOperator()
{
    f->click("CmdCallEnable");
    f->click("cmdSmoke");
    QCOMPARE(f->launcher->starts.size(), 1);
    // A script that ended badly long after its start gets a box of its own.
    f->launcher->finish(0, 1);
    const QMessageBox *box = f->window()->errorReporter()->currentBox();
    QVERIFY(box);
    QVERIFY2(box->windowTitle().contains(QLatin1String("303")), qPrintable(box->windowTitle()));
    // A slow one is only logged.
    QTest::ignoreMessage(QtWarningMsg, "fake/flood is still running");
    Q_EMIT f->launcher->warning(QStringLiteral("fake/flood is still running"));
    QCOMPARE(f->window()->findChildren<QMessageBox *>().count(), 1);
}

QTEST_MAIN(TestNotifier)
#include "tst_notifier.moc"
