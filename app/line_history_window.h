// SPDX-License-Identifier: MIT
#pragma once

// "Line history": the timeline of every line since the port's open, which
// follows the present and can be zoomed (10 s to 1 h across) and scrolled
// back; a table of the changes that a screen reader reads row by row;
// "Save as CSV…" and "Clear". It follows the history only while shown.

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>

class LineHistory;
class LineTimeline;
class QComboBox;
class QLabel;
class QScrollBar;
class QTableView;

// The changes as table rows: time, line, level, how long the level before
// held, the driver's counter.
class LineChangesModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Time, Line, Level, Held, Count, Columns };

    explicit LineChangesModel(const LineHistory *history, QObject *parent = nullptr);

    // Following the history's changes, or not (then it costs nothing).
    void setLive(bool live);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const LineHistory *m_history;
    QList<QMetaObject::Connection> m_connections;
    int m_rows = 0;
};

class LineHistoryWindow : public QWidget
{
    Q_OBJECT
public:
    // Zoom: how much time the timeline shows across.
    static constexpr qint64 kSpans[] = {10000, 30000, 60000, 300000, 900000, 3600000};
    static constexpr std::chrono::milliseconds kRefresh{200};

    explicit LineHistoryWindow(LineHistory *history, QWidget *parent = nullptr);

    LineTimeline *timeline() const { return m_timeline; }
    QTableView *table() const { return m_table; }
    // Saves the history to path; the reason it could not, or empty.
    QString saveCsv(const QString &path) const;

Q_SIGNALS:
    void visibilityChanged(bool visible);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refresh();
    void saveAs();
    void updateDropped();

    LineHistory *m_history;
    LineTimeline *m_timeline;
    QScrollBar *m_scroll;
    QComboBox *m_span;
    QLabel *m_dropped;
    QTableView *m_table;
    LineChangesModel *m_model;
    QTimer m_refresh;
    bool m_following = true;
};
