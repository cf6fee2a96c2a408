// SPDX-License-Identifier: MIT
#include "error_reporter.h"

#include <QMessageBox>

namespace {
constexpr std::chrono::milliseconds kRefreshDelay{200};

// A text from outside (a device name, typed text) can be of any length.
constexpr int kMaxTextLength = 400;

QString bounded(const QString &text)
{
    return text.size() <= kMaxTextLength ? text : text.left(kMaxTextLength) + QStringLiteral("\u2026");
}
}

ErrorReporter::ErrorReporter(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(kRefreshDelay);
    connect(&m_refresh, &QTimer::timeout, this, [this] {
        if (m_box)
            m_box->setText(boxText());
    });
}

QMessageBox *ErrorReporter::currentBox() const
{
    return m_box.data();
}

void ErrorReporter::report(int number, const QString &text)
{
    add(number, text);
    // The number in the title shows in the task bar and lets scripts read it.
    m_box->setWindowTitle(tr("Error %1 - %2").arg(number).arg(m_window->windowTitle()));
}

void ErrorReporter::warn(const QString &text)
{
    add(0, text);
}

void ErrorReporter::add(int number, const QString &text)
{
    const QString shown = bounded(text);
    const bool fresh = !m_box;
    if (fresh) {
        m_entries.clear();
        m_more = 0;
        m_box = new QMessageBox(QMessageBox::Critical, m_window->windowTitle(), QString(), QMessageBox::Ok, m_window);
        m_box->setObjectName(QStringLiteral("errorBox"));
        // Device names and typed text end up in here: never render them.
        m_box->setTextFormat(Qt::PlainText);
        m_box->setAttribute(Qt::WA_DeleteOnClose);
        m_box->open();
    }
    auto same = std::find_if(m_entries.begin(), m_entries.end(),
                             [&](const Entry &e) { return e.number == number && e.text == shown; });
    if (same != m_entries.end()) {
        ++same->count;
        same->last = QDateTime::currentDateTime();
    } else if (m_entries.size() < kMaxLines) {
        m_entries.append({number, shown, 1, QDateTime::currentDateTime()});
        if (!fresh)
            Q_EMIT joined(lineText(m_entries.constLast()));
    } else {
        ++m_more;
    }
    if (fresh)
        m_box->setText(boxText());
    else if (!m_refresh.isActive())
        m_refresh.start();
}

QString ErrorReporter::lineText(const Entry &e)
{
    return e.number ? tr("Error %1: %2").arg(e.number).arg(e.text) : tr("Warning: %1").arg(e.text);
}

QString ErrorReporter::boxText() const
{
    QStringList lines;
    for (const Entry &e : m_entries) {
        QString line = lineText(e);
        if (e.count > 1)
            line +=
                u' ' + tr("(%n times, last at %1)", nullptr, e.count).arg(e.last.toString(QStringLiteral("HH:mm:ss")));
        lines << line;
    }
    if (m_more > 0)
        lines << tr("and %n more", nullptr, int(qMin<qint64>(m_more, INT_MAX)));
    return lines.join(QStringLiteral("\n\n"));
}
