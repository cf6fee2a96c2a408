// SPDX-License-Identifier: MIT
#include "app/error_reporter.h"

#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QWidget>

// Error floods: a failing script or a cycling line must not grow the box or
// the memory behind it.
class TestErrorReporter : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void floods_data();
    void floods();
    void markupStaysText();

private:
    std::unique_ptr<QWidget> m_window;
    ErrorReporter *m_reporter = nullptr;
};

void TestErrorReporter::init()
{
    m_window = std::make_unique<QWidget>();
    m_window->setWindowTitle(QStringLiteral("Panel"));
    m_window->show();
    m_reporter = new ErrorReporter(m_window.get());
}

void TestErrorReporter::cleanup()
{
    m_window.reset();
}

void TestErrorReporter::floods_data()
{
    QTest::addColumn<int>("distinct");
    QTest::addColumn<int>("textLength");
    QTest::addColumn<QString>("expectedTail");

    QTest::newRow("one error 1000 times") << 1 << 120 << "(1000 times, last at";
    QTest::newRow("1000 different errors") << 1000 << 120 << "and 990 more";
    QTest::newRow("1000 different huge errors") << 1000 << 100000 << "and 990 more";
}

void TestErrorReporter::floods()
{
    QFETCH(int, distinct);
    QFETCH(int, textLength);
    QFETCH(QString, expectedTail);

    const auto flood = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            m_reporter->report(303, QString::number(i % distinct).leftJustified(textLength, u'x'));
    };
    flood(0, 11);
    QTRY_VERIFY(m_reporter->currentBox()->text().count(u'x') > 0);
    QTest::qWait(300);
    const qsizetype sizeAfterEleven = m_reporter->currentBox()->text().size();
    flood(11, 1000);
    QMessageBox *box = m_reporter->currentBox();
    QVERIFY(box);
    QTRY_VERIFY2(box->text().contains(expectedTail), qPrintable(box->text().right(200)));
    // One box for all of them, and its text stopped growing (only the count's
    // digits may add up).
    QCOMPARE(m_window->findChildren<QMessageBox *>().size(), 1);
    QVERIFY(box->text().size() <= sizeAfterEleven + 8);
    QVERIFY(box->text().count(QLatin1String("Error 303")) <= ErrorReporter::kMaxLines);

    QTRY_VERIFY(box->isVisible());
    const QRect available = box->screen()->availableGeometry();
    QVERIFY2(box->frameGeometry().height() <= available.height(),
             qPrintable(QStringLiteral("box %1 px tall on a %2 px screen")
                            .arg(box->frameGeometry().height())
                            .arg(available.height())));
}

void TestErrorReporter::markupStaysText()
{
    const QString hostile = QStringLiteral("<a href=\"file:///etc/shadow\">click</a> <b>bold</b>");
    m_reporter->report(202, hostile);
    QMessageBox *box = m_reporter->currentBox();
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QVERIFY(box->text().contains(hostile));
}

QTEST_MAIN(TestErrorReporter)
#include "tst_error_reporter.moc"
