// SPDX-License-Identifier: MIT
#include "app/main_window.h"
#include "app/picture_box.h"
#include "fake_script_launcher.h"
#include "fake_serial_port.h"

#include <QIcon>
#include <QImageReader>
#include <QTest>

// The window's pictures are drawn from their SVG sources when the program is
// built. Here Qt draws the sources the way the program once did at start-up
// (SVG image plugin, SVG icon engine), and the pictures must match.
class TestPictures : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void matchesSource_data();
    void matchesSource();

private:
    std::unique_ptr<MainWindow> m_window;
};

namespace {
QString source(const char *name)
{
    return QStringLiteral(PHONE_HOME_SOURCE_DIR "/resources/") + QLatin1String(name);
}

// Pixels whose colour or alpha differ by more than `tolerance`, and the first of them.
int differences(const QImage &a, const QImage &b, int tolerance, QPoint *first)
{
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int row = 0; row < x.height(); ++row) {
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row);
            const QRgb q = y.pixel(col, row);
            if (qAbs(qRed(p) - qRed(q)) > tolerance || qAbs(qGreen(p) - qGreen(q)) > tolerance
                || qAbs(qBlue(p) - qBlue(q)) > tolerance || qAbs(qAlpha(p) - qAlpha(q)) > tolerance) {
                if (count++ == 0)
                    *first = QPoint(col, row);
            }
        }
    }
    return count;
}
}

void TestPictures::initTestCase()
{
    if (!QImageReader::supportedImageFormats().contains("svg"))
        QSKIP("Qt's SVG plugins are not installed (Debian package libqt6svg6): nothing to compare with");
    m_window = std::make_unique<MainWindow>(std::make_unique<FakeSerialPort>(), std::make_unique<FakeScriptLauncher>());
}

void TestPictures::cleanupTestCase()
{
    m_window.reset();
}

void TestPictures::matchesSource_data()
{
    QTest::addColumn<QImage>("built");
    QTest::addColumn<QImage>("drawn");
    QTest::addColumn<int>("tolerance");

    const QPixmap pinout = m_window->findChild<PictureBox *>(QStringLiteral("Picture1"))->picture();
    QTest::newRow("connector picture at the size it declares") << pinout.toImage() << QImage(source("pinout.svg")) << 0;

    // Semi-transparent edges go through premultiplied alpha and back: one step of rounding.
    const QIcon icon = m_window->windowIcon();
    const QIcon scalable(source("icon.svg"));
    for (const int size : {16, 32, 64, 128}) {
        QTest::addRow("icon at %d px, a size window managers ask for", size)
            << icon.pixmap(QSize(size, size)).toImage() << scalable.pixmap(QSize(size, size)).toImage() << 1;
    }
}

void TestPictures::matchesSource()
{
    QFETCH(QImage, built);
    QFETCH(QImage, drawn);
    QFETCH(int, tolerance);
    QVERIFY(!drawn.isNull());
    QCOMPARE(built.size(), drawn.size());
    QPoint first;
    const int count = differences(built, drawn, tolerance, &first);
    const QString where =
        QStringLiteral("%1 pixels differ, the first at (%2, %3)").arg(count).arg(first.x()).arg(first.y());
    QVERIFY2(count == 0, qPrintable(where));
}

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
