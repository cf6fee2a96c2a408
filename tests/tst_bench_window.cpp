// SPDX-License-Identifier: MIT
// The bench in the window: how "Line history" is opened, what it shows of
// the real port's changes, the timeline's lanes (a pulse at any zoom, a grey
// lane), a timed pulse and the cable test from the context menu, all on the
// real serial component and the virtual device.
//
// With PHONE_HOME_SCREENSHOT=<file.png> it also saves the guide's picture of
// the window.

#include "app/bench.h"
#include "app/error_reporter.h"
#include "app/line_history_window.h"
#include "app/line_timeline.h"
#include "app/main_window.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "fake_script_launcher.h"
#include "serial/line_history.h"
#include "serial/qt_serial_port.h"
#include "virtual_serial_device.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {
QAction *action(QMenu *menu, const QString &text)
{
    for (QAction *a : menu->actions()) {
        if (a->text() == text)
            return a;
    }
    return nullptr;
}

// Answers the next modal dialog of type T once it is up: a timer, as the
// dialog runs its own event loop.
template<typename T>
void answer(const std::function<void(T *)> &with)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, with] {
        if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            with(dialog);
        }
    });
    timer->start();
}

// A scenario for the timeline: DSR stepping, a pulse on DCD, cdc_acm's CTS.
void fillHistory(LineHistory *history, const QDateTime &open)
{
    LineReading start;
    start.counted = true;
    history->start(open, start, AdapterDriver::named(QStringLiteral("cdc_acm")));
    const auto at = [&](int ms, bool dsr, quint32 dsrCount, quint32 dcdCount) {
        LineReading r;
        r.counted = true;
        r.lines.dsr = dsr;
        r.edges = {0, dsrCount, dcdCount};
        r.taken = std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms));
        history->add(open.addMSecs(ms), r);
    };
    at(2000, true, 1, 0);
    at(4500, false, 2, 0);
    at(5200, false, 2, 2); // a pulse only the counters saw
    history->addOutputs(open.addMSecs(6000), true, false);
    at(6100, true, 3, 2);
}
}

class TstBenchWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void opensLineHistory_data();
    void opensLineHistory();
    void historyFollowsThePort();
    void timelineLanes_data();
    void timelineLanes();
    void timedPulseLeavesTheBox();
    void closingThePortEndsAPulseQuietly();
    void cableTest_data();
    void cableTest();
    void savesCsv();

private:
    void openPort();

    std::unique_ptr<VirtualSerialDevice> m_device;
    std::unique_ptr<MainWindow> m_window;
};

void TstBenchWindow::initTestCase()
{
    QVERIFY2(VirtualSerialDevice::isPreloadActive(), "run through ctest: the preload is not loaded");
}

void TstBenchWindow::init()
{
    m_device = std::make_unique<VirtualSerialDevice>();
    QVERIFY2(m_device->isValid(), qPrintable(m_device->errorString()));
    m_window = std::make_unique<MainWindow>(std::make_unique<QtSerialPort>(), std::make_unique<FakeScriptLauncher>());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TstBenchWindow::cleanup()
{
    m_window.reset();
    m_device.reset();
}

void TstBenchWindow::openPort()
{
    m_window->findChild<QComboBox *>(QStringLiteral("Combo1"))->setEditText(m_device->slavePath());
    m_window->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    QVERIFY(m_window->panel()->port()->portOpen());
}

void TstBenchWindow::opensLineHistory_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Ctrl+H") << "ctrl+h";
    QTest::newRow("right-click on the connector picture") << "mouse";
    QTest::newRow("the Menu key on the focused Open button") << "keyboard";
    QTest::newRow("Shift+F10") << "shift+f10";
}

void TstBenchWindow::opensLineHistory()
{
    QFETCH(QString, how);
    Bench *bench = m_window->bench();
    if (how == QLatin1String("ctrl+h")) {
        QTest::keyClick(m_window.get(), Qt::Key_H, Qt::ControlModifier);
    } else {
        if (how == QLatin1String("shift+f10")) {
            QTest::keyClick(m_window.get(), Qt::Key_F10, Qt::ShiftModifier);
        } else {
            const bool mouse = how == QLatin1String("mouse");
            QWidget *target = m_window->findChild<QWidget *>(mouse ? "Picture1" : "Command1");
            QContextMenuEvent event(mouse ? QContextMenuEvent::Mouse : QContextMenuEvent::Keyboard,
                                    target->rect().center(), target->mapToGlobal(target->rect().center()));
            QApplication::sendEvent(target, &event);
        }
        QTRY_VERIFY(bench->menu()->isVisible());
        QAction *open = action(bench->menu(), QStringLiteral("Line history…"));
        QVERIFY(open);
        QCOMPARE(open->shortcut(), QKeySequence(QStringLiteral("Ctrl+H")));
        open->trigger();
        bench->menu()->hide();
    }
    LineHistoryWindow *history = bench->historyWindow();
    QTRY_VERIFY(history->isVisible());
    QCOMPARE(history->windowTitle(), QStringLiteral("Line history"));
    QVERIFY(history->isWindow());
    // The form keeps its controls: the history is a window of its own.
    QVERIFY(!m_window->isAncestorOf(history));
}

void TstBenchWindow::historyFollowsThePort()
{
    openPort();
    LineHistoryWindow *window = m_window->bench()->historyWindow();
    LineHistory *history = m_window->bench()->history();
    QTRY_COMPARE(history->size(), LineHistory::kLines);
    // Closed, the window follows nothing: its table has no rows to keep up.
    QCOMPARE(window->table()->model()->rowCount(), 0);
    m_device->setLine(TIOCM_CAR, true);
    m_device->setLine(TIOCM_RNG, true);
    QTRY_COMPARE(history->size(), LineHistory::kLines + 2);

    window->show();
    QAbstractItemModel *model = window->table()->model();
    QCOMPARE(model->rowCount(), LineHistory::kLines + 2);
    m_device->setLine(TIOCM_CAR, false);
    QTRY_COMPARE(model->rowCount(), LineHistory::kLines + 3);
    const int last = model->rowCount() - 1;
    QCOMPARE(model->index(last, LineChangesModel::Line).data().toString(), QStringLiteral("DCD (1)"));
    QCOMPARE(model->index(last, LineChangesModel::Level).data().toString(), QStringLiteral("low"));
    QVERIFY(model->index(last, LineChangesModel::Held).data().toString().endsWith(QLatin1String(" ms")));
    QCOMPARE(model->index(LineHistory::kLines + 1, LineChangesModel::Line).data().toString(), QStringLiteral("RI (9)"));

    window->findChild<QPushButton *>(QStringLiteral("clear"))->click();
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(history->summary(LineHistory::Line::Dcd).changes, 0u);
}

void TstBenchWindow::timelineLanes_data()
{
    QTest::addColumn<QString>("span");
    QTest::newRow("10 s across") << "10 s";
    QTest::newRow("1 h across") << "1 h";
}

// Drawn, not restated: the pulse's tick is in DCD's lane at both zooms, the
// step in DSR's, and cdc_acm's CTS lane is grey.
void TstBenchWindow::timelineLanes()
{
    QFETCH(QString, span);
    LineHistory history;
    const QDateTime open = QDateTime::currentDateTime().addMSecs(-7000);
    fillHistory(&history, open);
    LineHistoryWindow window(&history);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    LineTimeline *timeline = window.timeline();
    auto *across = window.findChild<QComboBox *>(QStringLiteral("span"));
    across->setCurrentIndex(across->findText(span));
    QVERIFY(across->currentIndex() >= 0);
    const QImage image = timeline->grab().toImage();

    const auto laneHas = [&](int line, const QColor &colour) {
        const int top = LineTimeline::kAxisHeight + line * LineTimeline::kLaneHeight;
        for (int y = top + 2; y < top + LineTimeline::kLaneHeight - 2; ++y) {
            for (int x = LineTimeline::kLabelWidth; x < image.width(); ++x) {
                if (QColor(image.pixel(x, y)) == colour)
                    return true;
            }
        }
        return false;
    };
    const QColor pulse(0, 70, 200), high(200, 0, 0), grey(200, 200, 200);
    QVERIFY2(laneHas(int(LineHistory::Line::Dcd), pulse), "no pulse tick in DCD's lane");
    QVERIFY2(!laneHas(int(LineHistory::Line::Dsr), pulse), "a pulse tick in DSR's lane");
    QVERIFY2(laneHas(int(LineHistory::Line::Dsr), high), "DSR never drawn high");
    QVERIFY2(laneHas(int(LineHistory::Line::Cts), grey), "cdc_acm's CTS lane not grey");
    QVERIFY2(!laneHas(int(LineHistory::Line::Dsr), grey), "a reported lane drawn grey");

    if (const QByteArray path = qgetenv("PHONE_HOME_SCREENSHOT"); !path.isEmpty() && span == QLatin1String("10 s"))
        QVERIFY(window.grab().save(QString::fromLocal8Bit(path)));
}

void TstBenchWindow::timedPulseLeavesTheBox()
{
    openPort();
    auto *dtrBox = m_window->findChild<QCheckBox *>(QStringLiteral("Check1"));
    LineMonitor *monitor = m_window->panel()->lineMonitor();
    monitor->Timer1_Timer();
    QVERIFY(!m_device->dtr());
    answer<QInputDialog>([](QInputDialog *dialog) {
        dialog->setIntValue(300);
        dialog->accept();
    });
    m_window->bench()->pulse(true);
    QVERIFY(m_device->dtr());
    // The tick does not put the box's level back while the pulse runs.
    monitor->Timer1_Timer();
    QVERIFY(m_device->dtr());
    QTRY_VERIFY_WITH_TIMEOUT(!m_device->dtr(), 2000);
    QCOMPARE(dtrBox->checkState(), Qt::Unchecked);
    QVERIFY(!monitor->outputsHeld());
    const LineHistory *history = m_window->bench()->history();
    QCOMPARE(history->summary(LineHistory::Line::Dtr).changes, 2u);
    QVERIFY(qAbs(*history->summary(LineHistory::Line::Dtr).longestHighMs - 300) < 150);
}

void TstBenchWindow::closingThePortEndsAPulseQuietly()
{
    openPort();
    answer<QInputDialog>([](QInputDialog *dialog) {
        dialog->setIntValue(200);
        dialog->accept();
    });
    m_window->bench()->pulse(false);
    QVERIFY(m_device->rts());
    m_window->findChild<QPushButton *>(QStringLiteral("Command2"))->click();
    QVERIFY(!m_device->rts());
    QTest::qWait(400);
    // The pulse's end has no port to write to: no "Lost port" box.
    QCOMPARE(m_window->errorReporter()->currentBox(), nullptr);
    QVERIFY(!m_window->panel()->lineMonitor()->outputsHeld());
}

void TstBenchWindow::cableTest_data()
{
    QTest::addColumn<int>("fromDtr");
    QTest::addColumn<int>("fromRts");
    QTest::addColumn<QString>("words");

    QTest::newRow("standard plug") << (TIOCM_DSR | TIOCM_CAR) << TIOCM_CTS << "This is the standard loopback plug.";
    QTest::newRow("DCD wire broken") << TIOCM_DSR << TIOCM_CTS << "DTR (4) does not reach DCD (1)";
    QTest::newRow("no plug") << 0 << 0 << "No plug: nothing follows the outputs.";
}

void TstBenchWindow::cableTest()
{
    QFETCH(int, fromDtr);
    QFETCH(int, fromRts);
    QFETCH(QString, words);
    m_device->setLoopback(quint32(fromDtr), quint32(fromRts));
    openPort();
    m_window->findChild<QCheckBox *>(QStringLiteral("Check2"))->setChecked(true);
    m_window->panel()->lineMonitor()->Timer1_Timer();
    QVERIFY(m_device->rts());

    QString shown;
    answer<QMessageBox>([&shown](QMessageBox *box) {
        shown = box->text() + u'\n' + box->informativeText();
        box->accept();
    });
    m_window->bench()->runCableTest();
    QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty(), 5000);
    QVERIFY2(shown.contains(words), qPrintable(shown));
    // The outputs as they were found.
    QVERIFY(m_device->rts());
    QVERIFY(!m_device->dtr());
    QVERIFY(!m_window->panel()->lineMonitor()->outputsHeld());
}

void TstBenchWindow::savesCsv()
{
    LineHistory history;
    fillHistory(&history, QDateTime::currentDateTime());
    LineHistoryWindow window(&history);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.csv"));
    QCOMPARE(window.saveCsv(path), QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.first(), QByteArray("time,line,level,width_ms,count"));
    QCOMPARE(lines.size() - 2, history.size());
    // A folder that is not there: the error names the file and what to do.
    const QString bad = dir.filePath(QStringLiteral("missing/history.csv"));
    const QString problem = window.saveCsv(bad);
    QVERIFY2(problem.contains(bad), qPrintable(problem));
}

QTEST_MAIN(TstBenchWindow)
#include "tst_bench_window.moc"
