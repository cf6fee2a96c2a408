#include "app/circle_shape.h"
#include "app/error_reporter.h"
#include "app/main_window.h"
#include "app/text_box.h"
#include "window_fixture.h"
#include "serial/line_monitor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);
}

// The handlers of the port buttons and the polling cycle, driven through the
// real window with a fake serial component.
class TestLineMonitor : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void openAndClose_data();
    void openAndClose();
    void secondOpenKeepsPolling();
    void cycle_data();
    void cycle();
    void lineRisesBetweenReads();
    void labelsFollowOwnLine();
    void notificationChangesOncePerRealChange();
    void stoppedPollingKeepsState();
    void vanishedDeviceWhilePolling();
    void steadyCycleRepaintsNothing();

private:
    QTimer *timer() const { return f->control<QTimer>("Timer1"); }
    QSignalSpy *errors() const { return m_errors.get(); }

    std::unique_ptr<WindowFixture> f;
    std::unique_ptr<QSignalSpy> m_errors;
};

void TestLineMonitor::init()
{
    f = std::make_unique<WindowFixture>();
    m_errors = std::make_unique<QSignalSpy>(f->window()->findChild<LineMonitor *>(), &LineMonitor::errorOccurred);
}

void TestLineMonitor::cleanup()
{
    m_errors.reset();
    f.reset();
}

void TestLineMonitor::openAndClose_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("shown"); // what the error quotes of the box

    QTest::newRow("picked 7") << "7" << 7 << 0;
    QTest::newRow("typed blank 1 blank 2 letters") << " 1 2abc" << 12 << 0;
    QTest::newRow("2.5 rounds to 2") << "2.5" << 2 << 0;
    QTest::newRow("3.5 rounds to 4") << "3.5" << 4 << 0;
    QTest::newRow("design-time text is port 0") << "Select Port" << 0 << int(ErrorCode::InvalidPortNumber) << "\"Select Port\"";
    QTest::newRow("negative port") << "-3" << -3 << int(ErrorCode::InvalidPortNumber) << "Error 201";
    QTest::newRow("beyond 16 bits") << "99999" << 1 << int(ErrorCode::Overflow) << "\"99999\"";
    QTest::newRow("beyond 16 bits below") << "-32769" << 1 << int(ErrorCode::Overflow) << "\"-32769\"";
    QTest::newRow("NUL before the number") << QStringLiteral("\0003") << 0 << int(ErrorCode::InvalidPortNumber) << "\"\\x003\"";
    QTest::newRow("escape sequence overflowing") << QStringLiteral("99999\x1b[2J") << 1 << int(ErrorCode::Overflow) << "\"99999\\x1b[2J\"";
}

void TestLineMonitor::openAndClose()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(int, error);

    f->window()->show();
    f->open(text);
    QCOMPARE(f->port->commPort(), port);
    QCOMPARE(f->port->portOpen(), error == 0);
    QCOMPARE(timer()->isActive(), error == 0);
    if (error) {
        QCOMPARE(errors()->count(), 1);
        QCOMPARE(errors()->first().at(0).toInt(), error);
        // The operator sees the number and the text, and the program goes on.
        auto box = f->window()->errorReporter()->currentBox();
        QVERIFY(box && box->isVisible());
        QVERIFY(box->text().contains(QString::number(error)));
        QFETCH(QString, shown);
        QVERIFY2(box->text().contains(shown), qPrintable(box->text()));
        QVERIFY(box->windowTitle().startsWith(QStringLiteral("Error %1 - ").arg(error)));
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        // A refused open leaves the window as it was.
        QCOMPARE(f->control<QComboBox>("Combo1")->currentText(), text);
        return;
    }
    f->click("Command2");
    QVERIFY(!f->port->portOpen());
    QVERIFY(!timer()->isActive());
    // Closing a closed port is accepted.
    f->click("Command2");
    QCOMPARE(errors()->count(), 0);
}

void TestLineMonitor::secondOpenKeepsPolling()
{
    f->window()->show();
    f->open(QStringLiteral("3"));
    f->open(QStringLiteral("5"));
    QCOMPARE(errors()->count(), 1);
    QCOMPARE(errors()->first().at(0).toInt(), int(ErrorCode::PortAlreadyOpen));
    QVERIFY(f->port->portOpen());
    QCOMPARE(f->port->commPort(), 3);
    QVERIFY(timer()->isActive());
    // Many refusals while one box is up add to it rather than stacking boxes.
    f->open(QStringLiteral("6"));
    QCOMPARE(f->window()->findChildren<QMessageBox *>().count(), 1);
}

void TestLineMonitor::cycle_data()
{
    QTest::addColumn<bool>("cts");
    QTest::addColumn<bool>("dsr");
    QTest::addColumn<bool>("dcd");
    QTest::addColumn<Qt::CheckState>("check1");
    QTest::addColumn<Qt::CheckState>("check2");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("all low, disabled") << false << false << false << Qt::Unchecked << Qt::Unchecked << false;
    QTest::newRow("fire while disabled stays quiet") << true << false << false << Qt::Unchecked << Qt::Unchecked << false;
    QTest::newRow("fire while enabled notifies") << true << false << false << Qt::Checked << Qt::Unchecked << true;
    QTest::newRow("flood and intrusion") << false << true << true << Qt::Unchecked << Qt::Checked << true;
    QTest::newRow("all high, both outputs") << true << true << true << Qt::Checked << Qt::Checked << true;
    QTest::newRow("grey check boxes are low") << true << true << false << Qt::PartiallyChecked << Qt::PartiallyChecked << false;
}

void TestLineMonitor::cycle()
{
    QFETCH(bool, cts);
    QFETCH(bool, dsr);
    QFETCH(bool, dcd);
    QFETCH(Qt::CheckState, check1);
    QFETCH(Qt::CheckState, check2);
    QFETCH(bool, enabled);

    if (enabled)
        f->click("CmdCallEnable");
    f->control<QCheckBox>("Check1")->setTristate(true);
    f->control<QCheckBox>("Check1")->setCheckState(check1);
    f->control<QCheckBox>("Check2")->setTristate(true);
    f->control<QCheckBox>("Check2")->setCheckState(check2);
    f->open();
    f->port->cts = cts;
    f->port->dsr = dsr;
    f->port->dcd = dcd;
    f->port->dtr = f->port->rts = true;
    f->tick();

    const bool lines[] = {cts, dsr, dcd};
    const char *shapes[] = {"Shape1", "Shape2", "Shape3"};
    const char *labels[] = {"Label13", "Label14", "Label15"};
    const char *boxes[] = {"TxtFire", "TxtFlood", "TxtIntrusion"};
    for (int c = 0; c < 3; ++c) {
        QCOMPARE(f->control<CircleShape>(shapes[c])->fillColor(), lines[c] ? kRed : kGreen);
        auto label = f->control<QLabel>(labels[c]);
        QCOMPARE(label->text(), lines[c] ? QLatin1String("ALARM") : QLatin1String("NORMAL"));
        QCOMPARE(label->palette().color(QPalette::Window), lines[c] ? kRed : kGreen);
        QCOMPARE(f->control<TextBox>(boxes[c])->text(),
                 lines[c] && enabled ? QLatin1String("Sending Notification") : QLatin1String(""));
    }
    QCOMPARE(f->port->dtr, check1 == Qt::Checked);
    QCOMPARE(f->port->rts, check2 == Qt::Checked);
    QCOMPARE(errors()->count(), 0);
}

void TestLineMonitor::lineRisesBetweenReads()
{
    f->open();
    f->tick();
    QCOMPARE(f->control<QLabel>("Label13")->text(), QLatin1String("NORMAL"));
    // CTS reads low for the indicator and the label's first read, then high
    // on the label's second read: the label stays as it was this cycle.
    int reads = 0;
    f->port->beforeRead = [&reads](FakeSerialPort &port) {
        // Order of reads: CTS, DSR, DCD (indicators), then CTS, CTS again.
        port.cts = ++reads >= 5;
    };
    f->control<QLabel>("Label13")->setText(QStringLiteral("unchanged"));
    f->tick();
    QCOMPARE(f->control<QLabel>("Label13")->text(), QLatin1String("unchanged"));
    QCOMPARE(f->control<CircleShape>("Shape1")->fillColor(), kGreen);
    f->port->beforeRead = nullptr;
    f->tick();
    QCOMPARE(f->control<QLabel>("Label13")->text(), QLatin1String("ALARM"));
}

void TestLineMonitor::labelsFollowOwnLine()
{
    f->open();
    f->port->cts = f->port->dsr = true;
    f->tick();
    f->port->dsr = false;
    f->tick();
    QCOMPARE(f->control<QLabel>("Label13")->text(), QLatin1String("ALARM"));
    QCOMPARE(f->control<QLabel>("Label14")->text(), QLatin1String("NORMAL"));
    QCOMPARE(f->control<QLabel>("Label14")->palette().color(QPalette::Window), kGreen);
}

void TestLineMonitor::notificationChangesOncePerRealChange()
{
    QSignalSpy fireChanges(f->control<TextBox>("TxtFire"), &TextBox::changed);
    QSignalSpy floodChanges(f->control<TextBox>("TxtFlood"), &TextBox::changed);
    f->open();
    f->click("CmdCallEnable");
    f->port->cts = true;
    for (int i = 0; i < 20; ++i)
        f->tick();
    QCOMPARE(fireChanges.count(), 1);
    QCOMPARE(f->control<TextBox>("TxtFire")->text(), QLatin1String("Sending Notification"));

    // Switching off empties the box in the next cycle, on again fills it.
    f->click("CmdCallEnable");
    f->tick();
    f->tick();
    QCOMPARE(f->control<TextBox>("TxtFire")->text(), QString());
    f->click("CmdCallEnable");
    f->tick();
    QCOMPARE(fireChanges.count(), 3);

    f->port->cts = false;
    f->tick();
    f->tick();
    QCOMPARE(fireChanges.count(), 4);
    QCOMPARE(f->control<TextBox>("TxtFire")->text(), QString());
    QCOMPARE(floodChanges.count(), 0);
}

void TestLineMonitor::stoppedPollingKeepsState()
{
    f->open();
    f->control<QCheckBox>("Check1")->setChecked(true);
    f->port->cts = true;
    f->tick();
    f->click("Command2");
    QVERIFY(!timer()->isActive());
    const int writes = f->port->lineWrites;
    f->port->cts = false;
    f->control<QCheckBox>("Check1")->setChecked(false);
    QTest::qWait(350);
    QCOMPARE(f->port->lineWrites, writes);
    QVERIFY(f->port->dtr);
    QCOMPARE(f->control<CircleShape>("Shape1")->fillColor(), kRed);
    QCOMPARE(f->control<QLabel>("Label13")->text(), QLatin1String("ALARM"));
}

void TestLineMonitor::vanishedDeviceWhilePolling()
{
    f->window()->show();
    f->open();
    f->click("CmdCallEnable");
    f->port->cts = true;
    f->tick();
    f->port->vanished = true;
    // Let the real timer run into it several times.
    QTest::qWait(350);
    QCOMPARE(errors()->count(), 1);
    QCOMPARE(errors()->first().at(0).toInt(), int(ErrorCode::DeviceFailed));
    QVERIFY(!timer()->isActive());
    QVERIFY(!f->port->portOpen());
    QCOMPARE(f->window()->findChildren<QMessageBox *>().count(), 1);
    // Everything keeps its last state.
    QCOMPARE(f->control<CircleShape>("Shape1")->fillColor(), kRed);
    QCOMPARE(f->control<TextBox>("TxtFire")->text(), QLatin1String("Sending Notification"));
    // The device is back: open again.
    f->port->vanished = false;
    f->window()->errorReporter()->currentBox()->accept();
    f->open();
    QVERIFY(timer()->isActive());
}

void TestLineMonitor::steadyCycleRepaintsNothing()
{
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window()));
    f->click("CmdCallEnable");
    f->open();
    f->port->cts = true;
    f->tick();
    QCoreApplication::processEvents();

    // Count paint events of every control across ten steady cycles.
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint || e->type() == QEvent::UpdateRequest || e->type() == QEvent::StyleChange
                || e->type() == QEvent::LayoutRequest || e->type() == QEvent::PaletteChange)
                ++paints;
            return false;
        }
    } counter;
    for (QWidget *w : f->window()->findChildren<QWidget *>())
        w->installEventFilter(&counter);
    f->window()->installEventFilter(&counter);
    for (int i = 0; i < 10; ++i) {
        f->tick();
        QCoreApplication::processEvents();
    }
    QCOMPARE(counter.paints, 0);
}

QTEST_MAIN(TestLineMonitor)
#include "tst_line_monitor.moc"
