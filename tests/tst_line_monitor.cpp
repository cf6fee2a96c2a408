#include "app/circle_shape.h"
#include "app/error_reporter.h"
#include "app/main_window.h"
#include "app/text_box.h"
#include "fake_script_launcher.h"
#include "fake_serial_port.h"
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
    template<typename T>
    T *control(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    void open(const QString &text = QStringLiteral("3"));
    void tick() { m_window->findChild<LineMonitor *>()->Timer1_Timer(); }
    QTimer *timer() const { return control<QTimer>("Timer1"); }
    QSignalSpy *errors() const { return m_errors.get(); }

    std::unique_ptr<MainWindow> m_window;
    FakeSerialPort *m_port = nullptr;
    FakeScriptLauncher *m_launcher = nullptr;
    std::unique_ptr<QSignalSpy> m_errors;
};

void TestLineMonitor::init()
{
    auto port = std::make_unique<FakeSerialPort>();
    auto launcher = std::make_unique<FakeScriptLauncher>();
    m_port = port.get();
    m_launcher = launcher.get();
    m_window = std::make_unique<MainWindow>(std::move(port), std::move(launcher));
    m_errors = std::make_unique<QSignalSpy>(m_window->findChild<LineMonitor *>(), &LineMonitor::errorOccurred);
}

void TestLineMonitor::cleanup()
{
    m_errors.reset();
    m_window.reset();
}

void TestLineMonitor::open(const QString &text)
{
    control<QComboBox>("Combo1")->setEditText(text);
    QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);
}

void TestLineMonitor::openAndClose_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("error");

    QTest::newRow("picked 7") << "7" << 7 << 0;
    QTest::newRow("typed blank 1 blank 2 letters") << " 1 2abc" << 12 << 0;
    QTest::newRow("2.5 rounds to 2") << "2.5" << 2 << 0;
    QTest::newRow("3.5 rounds to 4") << "3.5" << 4 << 0;
    QTest::newRow("design-time text is port 0") << "Select Port" << 0 << int(ErrorCode::InvalidPortNumber);
    QTest::newRow("negative port") << "-3" << -3 << int(ErrorCode::InvalidPortNumber);
    QTest::newRow("beyond 16 bits") << "99999" << 1 << int(ErrorCode::Overflow);
    QTest::newRow("beyond 16 bits below") << "-32769" << 1 << int(ErrorCode::Overflow);
}

void TestLineMonitor::openAndClose()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QFETCH(int, error);

    m_window->show();
    open(text);
    QCOMPARE(m_port->commPort(), port);
    QCOMPARE(m_port->portOpen(), error == 0);
    QCOMPARE(timer()->isActive(), error == 0);
    if (error) {
        QCOMPARE(errors()->count(), 1);
        QCOMPARE(errors()->first().at(0).toInt(), error);
        // The operator sees the number and the text, and the program goes on.
        auto box = m_window->errorReporter()->currentBox();
        QVERIFY(box && box->isVisible());
        QVERIFY(box->text().contains(QString::number(error)));
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        // A refused open leaves the window as it was.
        QCOMPARE(control<QComboBox>("Combo1")->currentText(), text);
        return;
    }
    QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
    QVERIFY(!m_port->portOpen());
    QVERIFY(!timer()->isActive());
    // Closing a closed port is accepted.
    QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
    QCOMPARE(errors()->count(), 0);
}

void TestLineMonitor::secondOpenKeepsPolling()
{
    m_window->show();
    open(QStringLiteral("3"));
    open(QStringLiteral("5"));
    QCOMPARE(errors()->count(), 1);
    QCOMPARE(errors()->first().at(0).toInt(), int(ErrorCode::PortAlreadyOpen));
    QVERIFY(m_port->portOpen());
    QCOMPARE(m_port->commPort(), 3);
    QVERIFY(timer()->isActive());
    // Many refusals while one box is up add to it rather than stacking boxes.
    open(QStringLiteral("6"));
    QCOMPARE(m_window->findChildren<QMessageBox *>().count(), 1);
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
        QTest::mouseClick(control<QPushButton>("CmdCallEnable"), Qt::LeftButton);
    control<QCheckBox>("Check1")->setTristate(true);
    control<QCheckBox>("Check1")->setCheckState(check1);
    control<QCheckBox>("Check2")->setTristate(true);
    control<QCheckBox>("Check2")->setCheckState(check2);
    open();
    m_port->cts = cts;
    m_port->dsr = dsr;
    m_port->dcd = dcd;
    m_port->dtr = m_port->rts = true;
    tick();

    const bool lines[] = {cts, dsr, dcd};
    const char *shapes[] = {"Shape1", "Shape2", "Shape3"};
    const char *labels[] = {"Label13", "Label14", "Label15"};
    const char *boxes[] = {"TxtFire", "TxtFlood", "TxtIntrusion"};
    for (int c = 0; c < 3; ++c) {
        QCOMPARE(control<CircleShape>(shapes[c])->fillColor(), lines[c] ? kRed : kGreen);
        auto label = control<QLabel>(labels[c]);
        QCOMPARE(label->text(), lines[c] ? QLatin1String("ALARM") : QLatin1String("NORMAL"));
        QCOMPARE(label->palette().color(QPalette::Window), lines[c] ? kRed : kGreen);
        QCOMPARE(control<TextBox>(boxes[c])->text(),
                 lines[c] && enabled ? QLatin1String("Sending Notification") : QLatin1String(""));
    }
    QCOMPARE(m_port->dtr, check1 == Qt::Checked);
    QCOMPARE(m_port->rts, check2 == Qt::Checked);
    QCOMPARE(errors()->count(), 0);
}

void TestLineMonitor::lineRisesBetweenReads()
{
    open();
    tick();
    QCOMPARE(control<QLabel>("Label13")->text(), QLatin1String("NORMAL"));
    // CTS reads low for the indicator and the label's first read, then high
    // on the label's second read: the label stays as it was this cycle.
    int reads = 0;
    m_port->beforeRead = [&reads](FakeSerialPort &port) {
        // Order of reads: CTS, DSR, DCD (indicators), then CTS, CTS again.
        port.cts = ++reads >= 5;
    };
    control<QLabel>("Label13")->setText(QStringLiteral("unchanged"));
    tick();
    QCOMPARE(control<QLabel>("Label13")->text(), QLatin1String("unchanged"));
    QCOMPARE(control<CircleShape>("Shape1")->fillColor(), kGreen);
    m_port->beforeRead = nullptr;
    tick();
    QCOMPARE(control<QLabel>("Label13")->text(), QLatin1String("ALARM"));
}

void TestLineMonitor::labelsFollowOwnLine()
{
    open();
    m_port->cts = m_port->dsr = true;
    tick();
    m_port->dsr = false;
    tick();
    QCOMPARE(control<QLabel>("Label13")->text(), QLatin1String("ALARM"));
    QCOMPARE(control<QLabel>("Label14")->text(), QLatin1String("NORMAL"));
    QCOMPARE(control<QLabel>("Label14")->palette().color(QPalette::Window), kGreen);
}

void TestLineMonitor::notificationChangesOncePerRealChange()
{
    QSignalSpy fireChanges(control<TextBox>("TxtFire"), &TextBox::changed);
    QSignalSpy floodChanges(control<TextBox>("TxtFlood"), &TextBox::changed);
    open();
    QTest::mouseClick(control<QPushButton>("CmdCallEnable"), Qt::LeftButton);
    m_port->cts = true;
    for (int i = 0; i < 20; ++i)
        tick();
    QCOMPARE(fireChanges.count(), 1);
    QCOMPARE(control<TextBox>("TxtFire")->text(), QLatin1String("Sending Notification"));

    // Switching off empties the box in the next cycle, on again fills it.
    QTest::mouseClick(control<QPushButton>("CmdCallEnable"), Qt::LeftButton);
    tick();
    tick();
    QCOMPARE(control<TextBox>("TxtFire")->text(), QString());
    QTest::mouseClick(control<QPushButton>("CmdCallEnable"), Qt::LeftButton);
    tick();
    QCOMPARE(fireChanges.count(), 3);

    m_port->cts = false;
    tick();
    tick();
    QCOMPARE(fireChanges.count(), 4);
    QCOMPARE(control<TextBox>("TxtFire")->text(), QString());
    QCOMPARE(floodChanges.count(), 0);
}

void TestLineMonitor::stoppedPollingKeepsState()
{
    open();
    control<QCheckBox>("Check1")->setChecked(true);
    m_port->cts = true;
    tick();
    QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
    QVERIFY(!timer()->isActive());
    const int writes = m_port->lineWrites;
    m_port->cts = false;
    control<QCheckBox>("Check1")->setChecked(false);
    QTest::qWait(350);
    QCOMPARE(m_port->lineWrites, writes);
    QVERIFY(m_port->dtr);
    QCOMPARE(control<CircleShape>("Shape1")->fillColor(), kRed);
    QCOMPARE(control<QLabel>("Label13")->text(), QLatin1String("ALARM"));
}

void TestLineMonitor::vanishedDeviceWhilePolling()
{
    m_window->show();
    open();
    QTest::mouseClick(control<QPushButton>("CmdCallEnable"), Qt::LeftButton);
    m_port->cts = true;
    tick();
    m_port->vanished = true;
    // Let the real timer run into it several times.
    QTest::qWait(350);
    QCOMPARE(errors()->count(), 1);
    QCOMPARE(errors()->first().at(0).toInt(), int(ErrorCode::DeviceFailed));
    QVERIFY(!timer()->isActive());
    QVERIFY(!m_port->portOpen());
    QCOMPARE(m_window->findChildren<QMessageBox *>().count(), 1);
    // Everything keeps its last state.
    QCOMPARE(control<CircleShape>("Shape1")->fillColor(), kRed);
    QCOMPARE(control<TextBox>("TxtFire")->text(), QLatin1String("Sending Notification"));
    // The device is back: open again.
    m_port->vanished = false;
    m_window->errorReporter()->currentBox()->accept();
    open();
    QVERIFY(timer()->isActive());
}

void TestLineMonitor::steadyCycleRepaintsNothing()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTest::mouseClick(control<QPushButton>("CmdCallEnable"), Qt::LeftButton);
    open();
    m_port->cts = true;
    tick();
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
    for (QWidget *w : m_window->findChildren<QWidget *>())
        w->installEventFilter(&counter);
    m_window->installEventFilter(&counter);
    for (int i = 0; i < 10; ++i) {
        tick();
        QCoreApplication::processEvents();
    }
    QCOMPARE(counter.paints, 0);
}

QTEST_MAIN(TestLineMonitor)
#include "tst_line_monitor.moc"
