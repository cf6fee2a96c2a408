// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QMessageBox;
class QWidget;

// Shows errors in one window-modal box without a nested event loop, so no
// handler runs inside another. While the box is up, later errors join it: a
// repeat of the same number and text only counts up, at most kMaxLines
// distinct errors are listed and the rest are counted, so an error that
// recurs every tick can neither grow the box off the screen nor grow memory.
// The record on stderr is the event log's (core/event_log.h), not this.
class ErrorReporter : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxLines = 10;

    explicit ErrorReporter(QWidget *window);

    QMessageBox *currentBox() const;

public Q_SLOTS:
    void report(int number, const QString &text);
    // Something the operator should know that is not a failure of its own.
    void warn(const QString &text);

Q_SIGNALS:
    // A new line in a box that was already up, as the box shows it. A
    // screen reader speaks a box when it appears, not a change of its text.
    void joined(const QString &line);

private:
    struct Entry {
        int number; // 0 for a warning
        QString text;
        int count;
        QDateTime last;
    };
    void add(int number, const QString &text);
    static QString lineText(const Entry &e);
    QString boxText() const;

    QWidget *m_window;
    QPointer<QMessageBox> m_box;
    QList<Entry> m_entries;
    // Coalesces text updates: laying out the box costs milliseconds, and a
    // flood must not take that from every polling tick.
    QTimer m_refresh;
    qint64 m_more = 0;
};
