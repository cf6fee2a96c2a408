#include "error_reporter.h"

#include <QMessageBox>

ErrorReporter::ErrorReporter(QWidget *window)
    : QObject(window)
    , m_window(window)
{
}

QMessageBox *ErrorReporter::currentBox() const
{
    return m_box.data();
}

void ErrorReporter::report(int number, const QString &text)
{
    const QString message = tr("Error %1: %2").arg(number).arg(text);
    // The number in the title shows in the task bar and lets scripts read it.
    const QString title = tr("Error %1 - %2").arg(number).arg(m_window->windowTitle());
    if (m_box) {
        m_box->setText(m_box->text() + QStringLiteral("\n\n") + message);
        m_box->setWindowTitle(title);
        return;
    }
    m_box = new QMessageBox(QMessageBox::Critical, title, message, QMessageBox::Ok, m_window);
    m_box->setObjectName(QStringLiteral("errorBox"));
    m_box->setAttribute(Qt::WA_DeleteOnClose);
    m_box->open();
}
