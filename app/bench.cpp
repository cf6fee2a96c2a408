// SPDX-License-Identifier: MIT
#include "bench.h"

#include "core/line_monitor.h"
#include "core/panel.h"
#include "line_history_window.h"
#include "serial/cable_test.h"
#include "serial/line_history.h"
#include "serial/output_pulse.h"
#include "serial/serial_port.h"

#include <QAction>
#include <QApplication>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QWidget>

#include <utility>

namespace {
constexpr int kDefaultPulseMs = 500;
}

Bench::Bench(QWidget *window, Panel *panel)
    : QObject(window)
    , m_window(window)
    , m_panel(panel)
    , m_history(new LineHistory(LineHistory::kDefaultCapacity, this))
    // Without a parent: the form's controls stay the form's own.
    , m_menu(std::make_unique<QMenu>())
    , m_pulse(new OutputPulse(panel->port(), this))
    , m_test(new CableTest(panel->port(), this))
{
    m_historyAction = m_menu->addAction(tr("Line history…"), this, &Bench::showHistory);
    m_historyAction->setShortcut(QKeySequence(tr("Ctrl+H")));
    m_menu->addSeparator();
    m_pulseDtr = m_menu->addAction(tr("Pulse DTR…"), this, [this] { pulse(true); });
    m_pulseRts = m_menu->addAction(tr("Pulse RTS…"), this, [this] { pulse(false); });
    m_cableTest = m_menu->addAction(tr("Cable test…"), this, &Bench::runCableTest);
    connect(m_menu.get(), &QMenu::aboutToShow, this, &Bench::updateActions);

    window->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(window, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { m_menu->popup(m_window->mapToGlobal(at)); });
    auto *shortcut = new QShortcut(QKeySequence(tr("Ctrl+H")), window);
    connect(shortcut, &QShortcut::activated, this, &Bench::showHistory);
    // Qt opens a context menu for the Menu key; Shift+F10 is the other key
    // people know for it.
    auto *menuKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), window);
    connect(menuKey, &QShortcut::activated, this, [this] {
        QWidget *focus = m_window->focusWidget() ? m_window->focusWidget() : m_window;
        m_menu->popup(focus->mapToGlobal(focus->rect().center()));
    });

    SerialPort *port = panel->port();
    LineMonitor *monitor = panel->lineMonitor();
    connect(monitor, &LineMonitor::portOpened, this, &Bench::portOpened);
    connect(monitor, &LineMonitor::portClosed, this, [this] {
        // Closing lowered the outputs; a pulse or test under way has nothing
        // left to drive.
        m_pulse->cancel();
        if (m_test->running()) {
            m_test->cancel();
            QApplication::restoreOverrideCursor();
        }
        release();
        m_history->end(QDateTime::currentDateTime());
    });
    connect(port, &SerialPort::linesWatched, m_history,
            [this](const LineReading &reading) { m_history->add(LineHistory::wallTime(reading.taken), reading); });
    connect(port, &SerialPort::outputsSet, m_history,
            [this](bool dtr, bool rts) { m_history->addOutputs(QDateTime::currentDateTime(), dtr, rts); });
    connect(m_pulse, &OutputPulse::finished, this, &Bench::release);
    connect(m_pulse, &OutputPulse::failed, this, [this](int number, const QString &text) {
        release();
        Q_EMIT m_panel->errorOccurred(number, text);
    });
    connect(m_test, &CableTest::failed, this, [this](int number, const QString &text) {
        release();
        QApplication::restoreOverrideCursor();
        Q_EMIT m_panel->errorOccurred(number, text);
    });
    connect(m_test, &CableTest::finished, this, [this](const CableTest::Result &result) {
        release();
        QApplication::restoreOverrideCursor();
        QMessageBox box(result.passed() ? QMessageBox::Information : QMessageBox::Warning, tr("Cable test"),
                        result.wiring, QMessageBox::Ok, m_window);
        box.setInformativeText(result.verdict);
        box.setObjectName(QStringLiteral("cableTestResult"));
        box.exec();
    });
}

Bench::~Bench() = default;

void Bench::portOpened()
{
    SerialPort *port = m_panel->port();
    // Where the lines are watched the history starts from the open's own
    // reading; polled, from the first reading while the window is open.
    m_startAtFirstTick = port->lineWatch() == LineWatch::Poll;
    if (!m_startAtFirstTick)
        m_history->start(QDateTime::currentDateTime(), port->watchStart(), port->driver());
    else if (m_historyWindow && m_historyWindow->isVisible())
        readNow();
}

// The tick's readings feed the history only while its window is shown, and
// only where the watcher cannot: a driver that cannot wait, or RI on the
// 8250, whose rise wakes no one. So the polling path does nothing for it
// while the window is closed.
void Bench::followTicks(bool follow)
{
    disconnect(m_tickFeed);
    if (!follow)
        return;
    m_tickFeed = connect(m_panel->lineMonitor(), &LineMonitor::linesChanged, m_history,
                         [this](const LineState &lines) { take(lines); });
    if (m_panel->port()->portOpen())
        readNow();
}

void Bench::readNow()
{
    reportRefusal([&] { take(m_panel->port()->readLines()); }, [](int, const QString &) {});
}

void Bench::take(const LineState &lines)
{
    SerialPort *port = m_panel->port();
    LineReading reading;
    reading.lines = lines;
    reading.taken = std::chrono::steady_clock::now();
    const QDateTime now = QDateTime::currentDateTime();
    if (std::exchange(m_startAtFirstTick, false))
        m_history->start(now, reading, port->driver());
    else if (port->lineWatch() == LineWatch::Poll || port->driver().ringFallsOnly)
        m_history->add(now, reading);
}

LineHistoryWindow *Bench::historyWindow()
{
    if (!m_historyWindow) {
        m_historyWindow = std::make_unique<LineHistoryWindow>(m_history);
        connect(m_historyWindow.get(), &LineHistoryWindow::visibilityChanged, this, &Bench::followTicks);
    }
    return m_historyWindow.get();
}

void Bench::showHistory()
{
    LineHistoryWindow *window = historyWindow();
    window->show();
    window->raise();
    window->activateWindow();
}

void Bench::updateActions()
{
    const bool free = m_panel->port()->portOpen() && !m_pulse->running() && !m_test->running();
    m_pulseDtr->setEnabled(free);
    m_pulseRts->setEnabled(free);
    m_cableTest->setEnabled(free);
}

void Bench::pulse(bool dtr)
{
    updateActions();
    if (!m_pulseDtr->isEnabled())
        return;
    const QString name = dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
    const bool restingHigh = dtr ? m_panel->dtrChecked() : m_panel->rtsChecked();
    bool ok = false;
    const int ms = QInputDialog::getInt(m_window, tr("Pulse %1").arg(name),
                                        restingHigh ? tr("Lower %1 for (ms, %2 to %3):")
                                                          .arg(name)
                                                          .arg(OutputPulse::kShortest.count())
                                                          .arg(OutputPulse::kLongest.count())
                                                    : tr("Raise %1 for (ms, %2 to %3):")
                                                          .arg(name)
                                                          .arg(OutputPulse::kShortest.count())
                                                          .arg(OutputPulse::kLongest.count()),
                                        kDefaultPulseMs, int(OutputPulse::kShortest.count()),
                                        int(OutputPulse::kLongest.count()), 10, &ok);
    if (!ok || !m_panel->port()->portOpen())
        return;
    // The tick would put the output back from its box at once.
    m_panel->lineMonitor()->setOutputsHeld(true);
    m_pulse->start(dtr ? OutputPulse::Output::Dtr : OutputPulse::Output::Rts, std::chrono::milliseconds(ms),
                   restingHigh);
}

void Bench::runCableTest()
{
    updateActions();
    if (!m_cableTest->isEnabled())
        return;
    m_panel->lineMonitor()->setOutputsHeld(true);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    m_test->start();
}

void Bench::release()
{
    m_panel->lineMonitor()->setOutputsHeld(false);
}
