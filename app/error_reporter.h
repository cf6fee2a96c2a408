#pragma once

#include <QObject>
#include <QPointer>

class QMessageBox;
class QWidget;

// Shows an error's number and text in a window-modal box without a nested
// event loop, so no handler runs inside another. While a box is up, later
// errors are added to it rather than stacking a box per polling tick.
class ErrorReporter : public QObject
{
    Q_OBJECT
public:
    explicit ErrorReporter(QWidget *window);

    QMessageBox *currentBox() const;

public Q_SLOTS:
    void report(int number, const QString &text);

private:
    QWidget *m_window;
    QPointer<QMessageBox> m_box;
};
