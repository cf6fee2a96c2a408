// SPDX-License-Identifier: MIT
#pragma once

// The history's timeline: one lane per line (CTS, DSR, DCD, RI, DTR, RTS)
// with a step at each change, a tick for each pulse the counters caught
// (drawn at least two pixels wide, so it shows at any zoom), and a grey lane
// for a line the adapter does not report. The left column names each line
// with its level now, its changes and its shortest and longest high.

#include <QWidget>

class LineHistory;

class LineTimeline : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kLaneHeight = 34;
    static constexpr int kLabelWidth = 230;
    static constexpr int kAxisHeight = 22;

    explicit LineTimeline(const LineHistory *history, QWidget *parent = nullptr);

    // What is drawn: span milliseconds ending at end (ms since the epoch).
    void setView(qint64 end, qint64 span);
    qint64 viewEnd() const { return m_end; }
    qint64 span() const { return m_span; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // Each lane's summary, for a screen reader and the window's text.
    static QString laneSummary(const LineHistory &history, int line);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const LineHistory *m_history;
    qint64 m_end = 0;
    qint64 m_span = 60000;
};
