// SPDX-License-Identifier: MIT
#pragma once

// The technician's bench, reached from the main window without changing it:
// its context menu (right-click, the Menu key or Shift+F10) offers "Line
// history…" (also Ctrl+H), "Pulse DTR…", "Pulse RTS…" and "Cable test…".
//
// The line history is kept from each open of the port, fed by the port's
// watcher; the tick's readings feed it only while its window is shown and
// only where the watcher cannot (a driver that cannot wait; RI's rise on the
// 8250). So the polling path does no work for it while the window is
// closed. The window is made on first use and draws only while shown.

#include <QObject>

#include <memory>

class CableTest;
class LineHistory;
class LineHistoryWindow;
class OutputPulse;
class Panel;
class QAction;
class QMenu;
class QWidget;
struct LineState;

class Bench : public QObject
{
    Q_OBJECT
public:
    Bench(QWidget *window, Panel *panel);
    ~Bench() override;

    LineHistory *history() const { return m_history; }
    QMenu *menu() const { return m_menu.get(); }
    // Made on first use.
    LineHistoryWindow *historyWindow();

public Q_SLOTS:
    void showHistory();
    void pulse(bool dtr);
    void runCableTest();

private:
    void portOpened();
    void followTicks(bool follow);
    void readNow();
    void take(const LineState &lines);
    void updateActions();
    void release();

    QWidget *m_window;
    Panel *m_panel;
    LineHistory *m_history;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<LineHistoryWindow> m_historyWindow;
    QAction *m_historyAction;
    QAction *m_pulseDtr;
    QAction *m_pulseRts;
    QAction *m_cableTest;
    OutputPulse *m_pulse;
    CableTest *m_test;
    bool m_startAtFirstTick = false;
    QMetaObject::Connection m_tickFeed;
};
