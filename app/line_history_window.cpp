// SPDX-License-Identifier: MIT
#include "line_history_window.h"

#include "line_timeline.h"
#include "serial/line_history.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

LineChangesModel::LineChangesModel(const LineHistory *history, QObject *parent)
    : QAbstractTableModel(parent)
    , m_history(history)
{
}

void LineChangesModel::setLive(bool live)
{
    for (const auto &connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    beginResetModel();
    m_rows = live ? m_history->size() : 0;
    endResetModel();
    if (!live)
        return;
    m_connections << connect(m_history, &LineHistory::reset, this, [this] {
        beginResetModel();
        m_rows = m_history->size();
        endResetModel();
    });
    m_connections << connect(m_history, &LineHistory::droppedOldest, this, [this](int count) {
        count = std::min(count, m_rows);
        if (count <= 0)
            return;
        beginRemoveRows(QModelIndex(), 0, count - 1);
        m_rows -= count;
        endRemoveRows();
    });
    m_connections << connect(m_history, &LineHistory::appended, this, [this](int, int count) {
        beginInsertRows(QModelIndex(), m_rows, m_rows + count - 1);
        m_rows += count;
        endInsertRows();
    });
}

int LineChangesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int LineChangesModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

QVariant LineChangesModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_history->size())
        return QVariant();
    const LineHistory::Change &c = m_history->at(index.row());
    switch (index.column()) {
    case Time:
        return QDateTime::fromMSecsSinceEpoch(c.msecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    case Line:
        return QStringLiteral("%1 (%2)").arg(LineHistory::lineName(c.line)).arg(LineHistory::pin(c.line));
    case Level:
        if (c.atOpen)
            return tr("%1 at the open").arg(LineHistory::levelName(c.level));
        if (c.level == LineHistory::Level::Pulse)
            return tr("pulse (%1 between two readings)").arg(c.pulses);
        return LineHistory::levelName(c.level);
    case Held:
        return c.widthMs >= 0 ? tr("%1 ms").arg(c.widthMs) : QString();
    case Count:
        return c.count >= 0 ? QString::number(c.count) : QString();
    default:
        return QVariant();
    }
}

QVariant LineChangesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Time:
        return tr("Time");
    case Line:
        return tr("Line");
    case Level:
        return tr("Level");
    case Held:
        return tr("Held before");
    case Count:
        return tr("Counter");
    default:
        return QVariant();
    }
}

LineHistoryWindow::LineHistoryWindow(LineHistory *history, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_history(history)
    , m_timeline(new LineTimeline(history, this))
    , m_scroll(new QScrollBar(Qt::Horizontal, this))
    , m_span(new QComboBox(this))
    , m_dropped(new QLabel(this))
    , m_table(new QTableView(this))
    , m_model(new LineChangesModel(history, this))
{
    setWindowTitle(tr("Line history"));
    setObjectName(QStringLiteral("lineHistory"));
    m_timeline->setObjectName(QStringLiteral("timeline"));
    m_scroll->setObjectName(QStringLiteral("timelineScroll"));
    m_scroll->setAccessibleName(tr("Scroll the timeline back"));
    m_span->setObjectName(QStringLiteral("span"));
    m_table->setObjectName(QStringLiteral("changes"));
    m_table->setAccessibleName(tr("Changes"));
    m_dropped->setObjectName(QStringLiteral("dropped"));
    m_dropped->setWordWrap(true);

    for (const qint64 span : kSpans) {
        m_span->addItem(span < 60000         ? tr("%1 s").arg(span / 1000)
                            : span < 3600000 ? tr("%1 min").arg(span / 60000)
                                             : tr("%1 h").arg(span / 3600000),
                        span);
    }
    m_span->setCurrentIndex(2);
    auto *spanLabel = new QLabel(tr("&Across:"), this);
    spanLabel->setBuddy(m_span);

    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->setColumnWidth(LineChangesModel::Time, 190);
    m_table->setColumnWidth(LineChangesModel::Level, 230);

    auto *save = new QPushButton(tr("Save as CSV…"), this);
    save->setObjectName(QStringLiteral("saveCsv"));
    auto *clear = new QPushButton(tr("Clear"), this);
    clear->setObjectName(QStringLiteral("clear"));
    connect(save, &QPushButton::clicked, this, &LineHistoryWindow::saveAs);
    connect(clear, &QPushButton::clicked, m_history, &LineHistory::clear);

    auto *controls = new QHBoxLayout;
    controls->addWidget(spanLabel);
    controls->addWidget(m_span);
    controls->addStretch();
    controls->addWidget(save);
    controls->addWidget(clear);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(m_timeline, 2);
    layout->addWidget(m_scroll);
    layout->addWidget(m_dropped);
    layout->addWidget(m_table, 3);
    resize(900, 620);

    m_refresh.setInterval(kRefresh);
    connect(&m_refresh, &QTimer::timeout, this, &LineHistoryWindow::refresh);
    connect(m_span, &QComboBox::currentIndexChanged, this, &LineHistoryWindow::refresh);
    // Moved back, the view stays where it is put; moved to the end, it
    // follows the present again.
    connect(m_scroll, &QScrollBar::sliderMoved, this, [this](int value) {
        m_following = value >= m_scroll->maximum();
        refresh();
    });
    connect(m_scroll, &QScrollBar::actionTriggered, this, [this] {
        m_following = m_scroll->sliderPosition() >= m_scroll->maximum();
        QTimer::singleShot(0, this, &LineHistoryWindow::refresh);
    });
}

void LineHistoryWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_model->setLive(true);
    m_table->scrollToBottom();
    m_refresh.start();
    refresh();
    Q_EMIT visibilityChanged(true);
}

void LineHistoryWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // Closed, it neither draws nor follows the history.
    m_refresh.stop();
    m_model->setLive(false);
    Q_EMIT visibilityChanged(false);
}

void LineHistoryWindow::refresh()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 span = m_span->currentData().toLongLong();
    const qint64 first = m_history->size() > 0 ? m_history->at(0).msecs : now;
    // The scroll bar counts seconds from the first change kept to now; its
    // value is the view's right edge.
    const int maximum = int(std::max<qint64>((now - first) / 1000, 0));
    const QSignalBlocker blocker(m_scroll);
    m_scroll->setRange(std::min(int(span / 1000), maximum), maximum);
    m_scroll->setPageStep(int(std::max<qint64>(span / 1000, 1)));
    if (m_following)
        m_scroll->setValue(maximum);
    const qint64 end = m_following ? now : first + qint64(m_scroll->value()) * 1000;
    m_timeline->setView(end, span);
    QStringList lanes;
    for (int line = 0; line < LineHistory::kLines; ++line)
        lanes << LineTimeline::laneSummary(*m_history, line);
    m_timeline->setAccessibleDescription(lanes.join(QLatin1String("; ")));
    updateDropped();
}

void LineHistoryWindow::updateDropped()
{
    const QString text = m_history->dropped() == 0
        ? QString()
        : tr("The oldest %1 changes were dropped: the history keeps the last %2.")
              .arg(m_history->dropped())
              .arg(m_history->capacity());
    if (m_dropped->text() != text)
        m_dropped->setText(text);
    m_dropped->setVisible(!text.isEmpty());
}

QString LineHistoryWindow::saveCsv(const QString &path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return tr("Cannot save the line history to %1: %2. Check that the folder exists and that you may write "
                  "there.")
            .arg(path, file.errorString());
    QString error;
    if (!m_history->writeCsv(&file, &error) || !file.commit())
        return tr("Cannot save the line history to %1: %2. Check the folder's permissions and free space.")
            .arg(path, error.isEmpty() ? file.errorString() : error);
    return QString();
}

void LineHistoryWindow::saveAs()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save as CSV"), QStringLiteral("line-history.csv"),
                                                      tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    if (const QString problem = saveCsv(path); !problem.isEmpty())
        QMessageBox::warning(this, tr("Line history"), problem);
}
