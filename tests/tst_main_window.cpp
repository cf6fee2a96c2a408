// SPDX-License-Identifier: MIT
#include "app/announcer.h"
#include "app/circle_shape.h"
#include "app/error_reporter.h"
#include "app/main_window.h"
#include "app/picture_box.h"
#include "app/straight_line.h"
#include "app/text_box.h"
#include "window_fixture.h"
#include "serial/port_mapping.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>

namespace {
// What the window's table says of one control. Positions in twips.
struct Row {
    const char *name;
    const char *kind;
    const char *in;
    const char *text;
    int left, top, width, height;
    const char *family; // nullptr: the window's default font
    double points;
    bool bold, italic;
    QRgb foreground, background; // 0: the standard colours of the kind
    bool shownAfterStartUp;
};

constexpr QRgb kBlue = 0xff0000ff, kGreen = 0xff00ff00, kRed = 0xffff0000;

// One row per control, as the form's table lists them.
// clang-format off
const Row kControls[] = {
    {"Label7", "QLabel", "Form1", "Choose Port First", 480, 480, 1575, 255, nullptr, 0, false, false, 0, 0, true},
    {"Combo1", "QComboBox", "Form1", "Select Port", 480, 840, 1575, 315, nullptr, 0, false, false, 0, 0, true},
    {"Label8", "QLabel", "Form1", "Open The Port", 2520, 480, 1215, 255, nullptr, 0, false, false, 0, 0, true},
    {"Command1", "QPushButton", "Form1", "Open Port", 2400, 840, 1335, 375, nullptr, 0, false, false, 0, 0, true},
    {"Label9", "QLabel", "Form1", "Close The Port", 4200, 480, 1215, 375, nullptr, 0, false, false, 0, 0, true},
    {"Command2", "QPushButton", "Form1", "Close Port", 4080, 840, 1335, 375, nullptr, 0, false, false, 0, 0, true},
    {"Frame1", "QGroupBox", "Form1", "INPUTS", 360, 1560, 3975, 1695, nullptr, 0, false, false, 0, 0, true},
    {"Label1", "QLabel", "Frame1", "CTS Pin 8", 240, 240, 855, 255, nullptr, 0, false, false, 0, 0, true},
    {"Label2", "QLabel", "Frame1", "DSR Pin 6", 1440, 240, 855, 255, nullptr, 0, false, false, 0, 0, true},
    {"Label3", "QLabel", "Frame1", "DCD Pin 1", 2760, 240, 855, 255, nullptr, 0, false, false, 0, 0, true},
    {"Shape1", "CircleShape", "Frame1", "", 240, 600, 735, 495, nullptr, 0, false, false, 0, 0, true},
    {"Shape2", "CircleShape", "Frame1", "", 1440, 600, 735, 495, nullptr, 0, false, false, 0, 0, true},
    {"Shape3", "CircleShape", "Frame1", "", 2760, 600, 735, 495, nullptr, 0, false, false, 0, 0, true},
    {"Label4", "QLabel", "Frame1", "Green is Low and Red is High", 240, 1320, 3495, 255, "MS Sans Serif", 9.75, true, false, 0, 0, true},
    {"Frame2", "QGroupBox", "Form1", "Outputs", 360, 3360, 3975, 1335, nullptr, 0, false, false, 0, 0, true},
    {"Check1", "QCheckBox", "Frame2", "DTR", 240, 360, 735, 255, nullptr, 0, false, false, 0, 0, true},
    {"Label5", "QLabel", "Frame2", "Check Pin 4 High", 1080, 360, 2055, 255, nullptr, 0, false, false, 0, 0, true},
    {"Check2", "QCheckBox", "Frame2", "RTS", 240, 840, 735, 315, nullptr, 0, false, false, 0, 0, true},
    {"Label6", "QLabel", "Frame2", "Check Pin 7 High", 1080, 840, 1455, 255, nullptr, 0, false, false, 0, 0, true},
    {"Label10", "QLabel", "Form1", "Choose Com Port before opening the port!", 360, 4920, 5055, 495, "Arial", 12, true, false, kBlue, 0, true},
    {"Label11", "QLabel", "Form1", "RS232 Port Pinout Illustration", 5760, 960, 5655, 375, "Arial", 12, true, false, 0, 0, true},
    {"Picture1", "PictureBox", "Form1", "", 5760, 1320, 5655, 3855, nullptr, 0, false, false, 0, 0, true},
    {"Label19", "QLabel", "Form1", "Automatically Send SMS Text or Email to Cellular Phone", 1920, 5880, 7215, 375, "Arial", 12, true, true, kBlue, 0, true},
    {"Label12", "QLabel", "Form1", "Phone Home ", 9840, 5640, 1575, 375, "Arial", 12, false, false, 0, 0, true},
    {"CmdCallEnable", "QPushButton", "Form1", "Disabled", 9840, 6000, 1575, 495, "MS Sans Serif", 9.75, true, false, 0, 0, true},
    {"Label16", "QLabel", "Form1", "SMOKE or FIRE DETECTED", 600, 6960, 1575, 375, "MS Sans Serif", 8.25, true, false, 0, 0, false},
    {"Label17", "QLabel", "Form1", "FLOODING DETECTED", 2880, 6960, 1335, 375, "MS Sans Serif", 8.25, true, false, 0, 0, false},
    {"Label18", "QLabel", "Form1", "INTRUSION DETECTED", 4920, 6960, 1335, 375, "MS Sans Serif", 8.25, true, false, 0, 0, false},
    {"Label13", "QLabel", "Form1", "NORMAL", 600, 7440, 1575, 375, "Arial", 12, true, false, 0, kGreen, false},
    {"Label14", "QLabel", "Form1", "NORMAL", 2760, 7440, 1575, 375, "Arial", 12, true, false, 0, kGreen, false},
    {"Label15", "QLabel", "Form1", "NORMAL", 4800, 7440, 1575, 375, "Arial", 12, true, false, 0, kGreen, false},
    {"TxtFire", "TextBox", "Form1", "", 600, 7800, 1575, 615, "MS Sans Serif", 8.25, true, false, 0, kRed, false},
    {"TxtFlood", "TextBox", "Form1", "", 2760, 7800, 1575, 525, "MS Sans Serif", 8.25, true, false, 0, kRed, false},
    {"TxtIntrusion", "TextBox", "Form1", "", 4800, 7800, 1575, 525, "MS Sans Serif", 8.25, true, false, 0, kRed, false},
    {"Frame3", "QGroupBox", "Form1", "Test Send Text and Email", 6720, 6840, 4695, 1575, "Arial", 12, false, false, kBlue, 0, false},
    {"cmdSmoke", "QPushButton", "Frame3", "Smoke Fire", 240, 720, 1095, 615, "MS Sans Serif", 9.75, false, false, 0, 0, false},
    {"cmdFlood", "QPushButton", "Frame3", "Flooding", 1800, 720, 1095, 615, "MS Sans Serif", 9.75, false, false, 0, 0, false},
    {"cmdIntrusion", "QPushButton", "Frame3", "Intrusion", 3360, 720, 1095, 615, "MS Sans Serif", 9.75, false, false, 0, 0, false},
};
// clang-format on

QRect twipsToPixels(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QString textOf(const QWidget *w)
{
    if (auto label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    if (auto frame = qobject_cast<const QGroupBox *>(w))
        return frame->title();
    if (auto combo = qobject_cast<const QComboBox *>(w))
        return combo->currentText();
    if (auto box = qobject_cast<const TextBox *>(w))
        return box->text();
    return QString();
}

// Which palette roles carry a kind's text and background colour.
QPalette::ColorRole foregroundRole(const QWidget *w)
{
    if (qobject_cast<const QAbstractButton *>(w))
        return QPalette::ButtonText;
    return qobject_cast<const TextBox *>(w) ? QPalette::Text : QPalette::WindowText;
}

QPalette::ColorRole backgroundRole(const QWidget *w)
{
    return qobject_cast<const TextBox *>(w) ? QPalette::Base : QPalette::Window;
}
}

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void controlTable_data();
    void controlTable();
    void windowItself();
    void linesAndShapes();
    void startUpState();
    void tabOrder();
    void portListTooltips();
    void picture();
    void fitInside_data();
    void fitInside();
    void closingEndsTheProgram();
    void panelPaintsTheWidgets_data();
    void panelPaintsTheWidgets();
    void switchShowsTheSectionInOrder();
    void operatorInputReachesThePanel();
    void refusalsShowOneBox();
    void steadyTickRepaintsNothing();
    void launcherReportsReachTheOperator();
    void accessibleNames_data();
    void accessibleNames();
    void unreportedLineSaysWhy();
    void portBoxIsNamed();
    void statesInWords_data();
    void statesInWords();
    void enterKeepsThePortList_data();
    void enterKeepsThePortList();
    void switchSaysItsState();
    void tabSelectsThePortText();
    void announcements_data();
    void announcements();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestMainWindow::initTestCase()
{
    // The pictures were drawn from SVG when the program was built and are
    // read as PNG alone. Looked at before any test paints: Qt's own style
    // reads its pictures in a way that loads every image plugin, SVG included.
    const MainWindow window(std::make_unique<FakeSerialPort>(), std::make_unique<FakeScriptLauncher>());
    QVERIFY(!window.windowIcon().isNull());
    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    for (const char *library : {"libQt6Svg", "/imageformats/", "/iconengines/"})
        QVERIFY2(!mapped.contains(library), library);
}

void TestMainWindow::init()
{
    f = std::make_unique<WindowFixture>();
}

void TestMainWindow::cleanup()
{
    f.reset();
}

void TestMainWindow::controlTable_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(kControls)); ++i)
        QTest::newRow(kControls[i].name) << i;
}

void TestMainWindow::controlTable()
{
    QFETCH(int, row);
    const Row &r = kControls[row];
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window()));

    auto w = f->window()->findChild<QWidget *>(QLatin1String(r.name));
    QVERIFY(w);
    QVERIFY2(w->inherits(r.kind), w->metaObject()->className());
    QCOMPARE(w->parentWidget()->objectName(), QLatin1String(r.in));
    QCOMPARE(textOf(w), QString::fromUtf8(r.text));
    QCOMPARE(w->geometry(), twipsToPixels(r.left, r.top, r.width, r.height));

    const QFont font = w->font();
    QCOMPARE(font.families().constFirst(), QLatin1String(r.family ? r.family : "MS Sans Serif"));
    QCOMPARE(font.pointSizeF(), r.family ? r.points : 8.25);
    QCOMPARE(font.bold(), r.bold);
    QCOMPARE(font.italic(), r.italic);
    // Where the face is missing, a sans-serif stands in at the same size.
    QVERIFY(font.families().contains(QLatin1String("Liberation Sans")));
    QCOMPARE(QFontInfo(font).italic(), r.italic);

    const QPalette standard = QApplication::palette(w);
    const QRgb foreground = w->palette().color(foregroundRole(w)).rgba();
    const QRgb background = w->palette().color(backgroundRole(w)).rgba();
    QCOMPARE(foreground, r.foreground ? r.foreground : standard.color(foregroundRole(w)).rgba());
    QCOMPARE(background, r.background ? r.background : standard.color(backgroundRole(w)).rgba());
    if (r.background && backgroundRole(w) == QPalette::Window)
        QVERIFY(w->autoFillBackground());

    QCOMPARE(w->isVisible(), r.shownAfterStartUp);
}

void TestMainWindow::windowItself()
{
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window()));
    QCOMPARE(f->window()->objectName(), QLatin1String("Form1"));
    QCOMPARE(f->window()->windowTitle(), QLatin1String("RS232 In Out Port Test and Phone Home"));
    QCOMPARE(f->window()->size(), QSize(779, 651));
    QVERIFY(!f->window()->windowIcon().isNull());
    // Resizing moves and resizes nothing.
    const QRect before = f->window()->findChild<QWidget *>(QStringLiteral("Frame3"))->geometry();
    f->window()->resize(400, 300);
    QCOMPARE(f->window()->findChild<QWidget *>(QStringLiteral("Frame3"))->geometry(), before);
}

void TestMainWindow::linesAndShapes()
{
    for (const char *name : {"Line1", "Line2"}) {
        auto line = f->window()->findChild<StraightLine *>(QLatin1String(name));
        QVERIFY(line);
        const int y = QByteArray(name) == "Line1" ? 5520 / 15 : 6600 / 15;
        QCOMPARE(line->point1(), QPoint(360 / 15, y));
        QCOMPARE(line->point2(), QPoint(11400 / 15, y));
        QCOMPARE(line->lineColor(), QColor(Qt::blue));
        QCOMPARE(line->lineWidth(), 3);
    }
    for (const char *name : {"Shape1", "Shape2", "Shape3"}) {
        auto shape = f->window()->findChild<CircleShape *>(QLatin1String(name));
        QCOMPARE(shape->fillColor(), QColor(Qt::black));
        QCOMPARE(shape->borderWidth(), 3);
    }
    auto timer = f->window()->findChild<QTimer *>(QStringLiteral("Timer1"));
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 100);
    QVERIFY(!timer->isActive());
    auto port = f->window()->findChild<SerialPort *>(QStringLiteral("MSComm1"));
    QCOMPARE(port, static_cast<SerialPort *>(f->port));
    QVERIFY(!port->portOpen());
}

void TestMainWindow::startUpState()
{
    auto combo = f->window()->findChild<QComboBox *>(QStringLiteral("Combo1"));
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->count(), 15);
    for (int i = 0; i < 15; ++i)
        QCOMPARE(combo->itemText(i), QString::number(i + 1));
    QCOMPARE(combo->currentText(), QLatin1String("Select Port"));
    QCOMPARE(combo->currentIndex(), -1);
    for (const char *name : {"Check1", "Check2"})
        QCOMPARE(f->window()->findChild<QCheckBox *>(QLatin1String(name))->checkState(), Qt::Unchecked);

    const QList<QWidget *> section = f->window()->alarmSection();
    const QStringList expected{"Label13",  "Label14",      "Label15",  "Label16",  "Label17",      "Label18", "TxtFire",
                               "TxtFlood", "TxtIntrusion", "cmdSmoke", "cmdFlood", "cmdIntrusion", "Frame3"};
    QCOMPARE(section.size(), expected.size());
    for (int i = 0; i < section.size(); ++i) {
        QCOMPARE(section[i]->objectName(), expected[i]);
        QVERIFY(section[i]->isHidden());
    }
    QVERIFY(f->launcher->starts.isEmpty());
}

void TestMainWindow::tabOrder()
{
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowActive(f->window()));
    QCOMPARE(QApplication::focusWidget()->objectName(), QLatin1String("Command1"));

    auto walk = [this](int steps) {
        QStringList seen;
        for (int i = 0; i < steps; ++i) {
            seen << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        return seen;
    };
    const QStringList shown{"Command1", "Command2", "Combo1", "Check1", "Check2", "Picture1", "CmdCallEnable"};
    QCOMPARE(walk(8), shown + QStringList{"Command1"});

    QTest::mouseClick(f->window()->findChild<QPushButton *>(QStringLiteral("CmdCallEnable")), Qt::LeftButton);
    f->window()->findChild<QWidget *>(QStringLiteral("Command1"))->setFocus();
    QCOMPARE(
        walk(14),
        (shown
         + QStringList{"TxtFire", "TxtFlood", "TxtIntrusion", "cmdSmoke", "cmdFlood", "cmdIntrusion", "Command1"}));
}

void TestMainWindow::portListTooltips()
{
    QTemporaryDir dev;
    // A link target is anybody's text: markup in it must show as typed.
    const QString target = QStringLiteral("<a href='x'>ttyUSB0</a>");
    QVERIFY(QFile::link(target, dev.filePath(QStringLiteral("com3"))));
    f->window()->setPortMapping(PortMapping(dev.path()));
    f->window()->show();
    auto combo = f->window()->findChild<QComboBox *>(QStringLiteral("Combo1"));
    combo->showPopup();
    const auto shown = [](const QString &text) {
        return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
    };
    QCOMPARE(combo->itemData(2, Qt::ToolTipRole).toString(),
             shown(dev.filePath(QStringLiteral("com3")) + QStringLiteral(" \u2192 ") + dev.filePath(target)
                   + QStringLiteral(" (not present)")));
    QCOMPARE(combo->itemData(0, Qt::ToolTipRole).toString(),
             shown(dev.filePath(QStringLiteral("ttyS0")) + QStringLiteral(" (not present)")));
    combo->hidePopup();
    // Showing the list changes nothing else about it.
    QCOMPARE(combo->count(), 15);
    QCOMPARE(combo->currentIndex(), -1);
    QCOMPARE(combo->currentText(), QLatin1String("Select Port"));
}

void TestMainWindow::picture()
{
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window()));
    const QImage shot = f->window()->grab().toImage();

    for (const char *name : {"Shape1", "Shape2", "Shape3"}) {
        auto shape = f->window()->findChild<QWidget *>(QLatin1String(name));
        const QPoint centre = shape->mapTo(f->window(), shape->rect().center());
        QCOMPARE(shot.pixelColor(centre), QColor(Qt::black));
        // Circle, not box: the box's corner shows the frame behind it.
        QVERIFY(shot.pixelColor(shape->mapTo(f->window(), QPoint(1, 1))) != QColor(Qt::black));
    }
    // The alarm section is empty space: no green of the status labels.
    for (const char *name : {"Label13", "Label14", "Label15"}) {
        auto label = f->window()->findChild<QWidget *>(QLatin1String(name));
        QVERIFY(shot.pixelColor(label->geometry().center()) != QColor(Qt::green));
    }

    // The drawing is wider and taller than the box: its black frame shows on
    // the left and top but is cut off on the right and bottom.
    auto box = f->window()->findChild<PictureBox *>(QStringLiteral("Picture1"));
    QCOMPARE(box->picture().size(), QSize(391, 261));
    const QRect inside = box->contentsRect().translated(box->pos());
    QCOMPARE(inside.size(), QSize(373, 253));
    const QPoint midLeft(inside.left(), inside.center().y());
    const QPoint midTop(inside.center().x(), inside.top());
    QCOMPARE(shot.pixelColor(midLeft), QColor(Qt::black));
    QCOMPARE(shot.pixelColor(midTop), QColor(Qt::black));
    QCOMPARE(shot.pixelColor(QPoint(inside.right(), inside.center().y())), QColor(Qt::white));
    QCOMPARE(shot.pixelColor(QPoint(inside.center().x(), inside.bottom())), QColor(Qt::white));
}

void TestMainWindow::fitInside_data()
{
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("expected");

    const QRect design(609, 163, 781, 683);
    QTest::newRow("full HD: stays at design position") << design << QRect(0, 0, 1920, 1040) << design;
    QTest::newRow("1366x768 laptop: moved up and left just enough")
        << design << QRect(0, 0, 1366, 740) << QRect(585, 57, 781, 683);
    QTest::newRow("panel on the left: design position still inside") << design << QRect(48, 0, 1872, 1080) << design;
    QTest::newRow("smaller than the window: title bar stays reachable")
        << design << QRect(0, 24, 640, 456) << QRect(0, 24, 781, 683);
    QTest::newRow("second screen to the right") << design << QRect(1920, 0, 1280, 1024) << QRect(1920, 163, 781, 683);
}

void TestMainWindow::fitInside()
{
    QFETCH(QRect, frame);
    QFETCH(QRect, available);
    QFETCH(QRect, expected);
    QCOMPARE(MainWindow::fitInside(frame, available), expected);
}

void TestMainWindow::closingEndsTheProgram()
{
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window()));
    // Open a port with a channel in alarm and notifications on: closing
    // still starts nothing.
    f->port->cts = true;
    f->window()->findChild<QComboBox *>(QStringLiteral("Combo1"))->setEditText(QStringLiteral("3"));
    QTest::mouseClick(f->window()->findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
    QVERIFY(f->port->portOpen());
    QTimer::singleShot(0, f->window(), &QWidget::close);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(f->launcher->starts.isEmpty());
}

void TestMainWindow::panelPaintsTheWidgets_data()
{
    QTest::addColumn<bool>("cts");
    QTest::addColumn<bool>("dsr");
    QTest::addColumn<bool>("dcd");
    QTest::addColumn<Qt::CheckState>("check");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("all low, disabled") << false << false << false << Qt::Unchecked << false;
    QTest::newRow("fire and intrusion, enabled") << true << false << true << Qt::Checked << true;
    QTest::newRow("grey check boxes count as low") << true << true << false << Qt::PartiallyChecked << true;
}

void TestMainWindow::panelPaintsTheWidgets()
{
    QFETCH(bool, cts);
    QFETCH(bool, dsr);
    QFETCH(bool, dcd);
    QFETCH(Qt::CheckState, check);
    QFETCH(bool, enabled);

    if (enabled)
        f->pressSwitch();
    for (QCheckBox *box : {f->dtrBox(), f->rtsBox()}) {
        box->setTristate(true);
        box->setCheckState(check);
    }
    f->open();
    f->port->cts = cts;
    f->port->dsr = dsr;
    f->port->dcd = dcd;
    f->port->dtr = f->port->rts = true;
    f->tick();

    const bool lines[] = {cts, dsr, dcd};
    for (int c = 0; c < 3; ++c) {
        const QColor colour = QColor::fromRgb(lines[c] ? kRed : kGreen);
        QCOMPARE(f->indicator(c)->fillColor(), colour);
        QCOMPARE(f->status(c)->text(), lines[c] ? QLatin1String("ALARM") : QLatin1String("NORMAL"));
        QCOMPARE(f->status(c)->palette().color(QPalette::Window), colour);
        QCOMPARE(f->notification(c)->text(),
                 lines[c] && enabled ? QLatin1String("Sending Notification") : QLatin1String(""));
    }
    QCOMPARE(f->port->dtr, check == Qt::Checked);
    QCOMPARE(f->port->rts, check == Qt::Checked);
    // The panel never repaints a box the operator left grey.
    QCOMPARE(f->dtrBox()->checkState(), check);
}

void TestMainWindow::switchShowsTheSectionInOrder()
{
    f->window()->show();
    const QList<QWidget *> section = f->window()->alarmSection();
    struct ShowOrder : QObject {
        QStringList shown;
        QStringList hidden;
        bool eventFilter(QObject *o, QEvent *e) override
        {
            if (e->type() == QEvent::ShowToParent)
                shown << o->objectName();
            else if (e->type() == QEvent::HideToParent)
                hidden << o->objectName();
            return false;
        }
    } order;
    QStringList names;
    for (QWidget *w : section) {
        w->installEventFilter(&order);
        names << w->objectName();
    }

    f->pressSwitch();
    QCOMPARE(f->notificationSwitch()->text(), QLatin1String("Enabled"));
    QCOMPARE(order.shown, names);
    f->pressSwitch();
    QCOMPARE(f->notificationSwitch()->text(), QLatin1String("Disabled"));
    QCOMPARE(order.hidden, names);
    for (QWidget *w : section)
        QVERIFY(w->isHidden());
}

void TestMainWindow::operatorInputReachesThePanel()
{
    f->window()->show();
    // A click sent to a hidden test button is still a press: disabled, it
    // starts nothing.
    f->testButton(2)->click();
    QVERIFY(f->launcher->starts.isEmpty());

    f->pressSwitch();
    f->dtrBox()->setChecked(true);
    QVERIFY(f->panel()->dtrChecked());
    f->portBox()->setEditText(QStringLiteral("4"));
    QCOMPARE(f->panel()->portText(), QLatin1String("4"));

    // Typing into a notification box is a change like the tick's own.
    TextBox *box = f->notification(1);
    box->setFocus();
    QTest::keyClicks(box, QStringLiteral("Sending Notification"));
    QCOMPARE(f->panel()->notificationText(1), QLatin1String("Sending Notification"));
    f->testButton(0)->click();
    using Channel = ScriptLauncher::Channel;
    using Reason = ScriptLauncher::Reason;
    QCOMPARE(f->launcher->starts,
             (QList<QPair<Channel, Reason>>{{Channel::Flood, Reason::Alarm}, {Channel::Fire, Reason::Test}}));

    f->click(f->openButton());
    QCOMPARE(f->port->commPort(), 4);
    QVERIFY(f->port->portOpen());
    f->click(f->closeButton());
    QVERIFY(!f->port->portOpen());
}

void TestMainWindow::refusalsShowOneBox()
{
    f->window()->show();
    f->launcher->refuseWith = int(ErrorCode::ScriptMissing);
    f->open(QStringLiteral("Select Port"));
    auto box = f->window()->errorReporter()->currentBox();
    QVERIFY(box && box->isVisible());
    QVERIFY(box->windowTitle().startsWith(QStringLiteral("Error 201 - ")));
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    // More refusals while it is up join it instead of stacking boxes.
    f->open();
    f->open();
    f->pressSwitch();
    f->click(f->testButton(1));
    QCOMPARE(f->window()->findChildren<QMessageBox *>().count(), 1);
    QVERIFY(f->port->portOpen());
    QCOMPARE(f->portBox()->currentText(), QLatin1String("3"));
}

void TestMainWindow::steadyTickRepaintsNothing()
{
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window()));
    f->pressSwitch();
    f->open();
    f->port->cts = true;
    f->tick();
    QCoreApplication::processEvents();

    // Count paint, style, layout and palette events of every control across
    // ten steady ticks.
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint || e->type() == QEvent::UpdateRequest || e->type() == QEvent::StyleChange
                || e->type() == QEvent::LayoutRequest || e->type() == QEvent::PaletteChange)
                ++paints;
            return false;
        }
    } counter;
    for (QWidget *w : f->window()->findChildren<QWidget *>())
        w->installEventFilter(&counter);
    f->window()->installEventFilter(&counter);
    for (int i = 0; i < 10; ++i) {
        f->tick();
        QCoreApplication::processEvents();
    }
    QCOMPARE(counter.paints, 0);
}

void TestMainWindow::launcherReportsReachTheOperator()
{
    f->window()->show();
    f->pressSwitch();
    f->click(f->testButton(0));
    QCOMPARE(f->launcher->starts.size(), 1);
    // A script that ended badly long after its start is reported then.
    f->launcher->finish(0, 1);
    const QMessageBox *box = f->window()->errorReporter()->currentBox();
    QVERIFY(box);
    QVERIFY2(box->windowTitle().contains(QLatin1String("303")), qPrintable(box->windowTitle()));
    // A slow one joins the same box as a warning.
    Q_EMIT f->launcher->warning(QStringLiteral("fake/flood is still running"));
    QTRY_VERIFY(box->text().contains(QLatin1String("Warning: fake/flood is still running")));
    QCOMPARE(f->window()->findChildren<QMessageBox *>().count(), 1);
}

void TestMainWindow::accessibleNames_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description"); // null: not checked
    QTest::addColumn<QAccessible::Role>("role");

    QTest::newRow("disc before any reading") << "Shape1"
                                             << "CTS, pin 8: unknown"
                                             << "unknown" << QAccessible::Graphic;
    QTest::newRow("disc of the intrusion line") << "Shape3"
                                                << "DCD, pin 1: unknown"
                                                << "unknown" << QAccessible::Graphic;
    QTest::newRow("status label, hidden") << "Label14"
                                          << "Flooding: NORMAL" << QString() << QAccessible::StaticText;
    QTest::newRow("notification box") << "TxtIntrusion"
                                      << "Intrusion notification" << QString() << QAccessible::EditableText;
    QTest::newRow("notification switch, a check box")
        << "CmdCallEnable"
        << "Phone home notifications" << QString() << QAccessible::CheckBox;
    QTest::newRow("caption above a status") << "Label16"
                                            << "Smoke or fire sensor" << QString() << QAccessible::StaticText;
    QTest::newRow("picture with its pins")
        << "Picture1"
        << "RS-232 9-pin connector pinout"
        << "DCD 1, RxD 2, TxD 3, DTR 4, GND 5, DSR 6, RTS 7, CTS 8, RI 9" << QAccessible::Graphic;
    QTest::newRow("check box keeps its text") << "Check1"
                                              << "DTR"
                                              << "Check Pin 4 High" << QAccessible::CheckBox;
    QTest::newRow("button keeps its text") << "Command1"
                                           << "Open Port" << QString() << QAccessible::Button;
}

void TestMainWindow::accessibleNames()
{
    QFETCH(QString, control);
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(QAccessible::Role, role);

    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(f->control<QWidget>(qPrintable(control)));
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), name);
    if (!description.isNull())
        QCOMPARE(iface->text(QAccessible::Description), description);
    QCOMPARE(iface->role(), role);
}

// A line the adapter does not report: its disc stays as before any
// reading, says why to the eye and to a screen reader, and its channel stays
// NORMAL however the made-up line reads; the port box names the driver.
void TestMainWindow::unreportedLineSaysWhy()
{
    f->port->adapter = AdapterDriver::named(QStringLiteral("cdc_acm"));
    f->port->cts = f->port->dsr = true;
    f->pressSwitch();
    f->open();
    f->tick();
    const QString why = QStringLiteral("CTS is not reported by this adapter (cdc_acm)");
    QCOMPARE(f->indicator(0)->fillColor(), QColor(Qt::black));
    QCOMPARE(f->indicator(0)->toolTip(), why);
    QCOMPARE(QAccessible::queryAccessibleInterface(f->indicator(0))->text(QAccessible::Name), why);
    QCOMPARE(f->fireStatus()->text(), QLatin1String("NORMAL"));
    QCOMPARE(f->status(1)->text(), QLatin1String("ALARM"));
    QVERIFY(f->indicator(1)->toolTip().isEmpty());
    QVERIFY2(f->portBox()->toolTip().contains(QLatin1String("Its driver, cdc_acm, reports only DSR, DCD.")),
             qPrintable(f->portBox()->toolTip()));
}

void TestMainWindow::portBoxIsNamed()
{
    // Named by the label above it and by its edit field: its own name is its text.
    QAccessibleInterface *combo = QAccessible::queryAccessibleInterface(f->portBox());
    const auto labels = combo->relations(QAccessible::Label);
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.first().first->text(QAccessible::Name), QLatin1String("Port number"));
    QCOMPARE(QAccessible::queryAccessibleInterface(f->portBox()->lineEdit())->text(QAccessible::Name),
             QLatin1String("Port number"));
}

namespace {
// Name changes as a screen reader's bridge would get them.
QStringList s_nameChanges;
void recordNameChange(QAccessibleEvent *event)
{
    // The announcer's name is its message, checked in announcements().
    if (event->type() == QAccessible::NameChanged && !qobject_cast<Announcer *>(event->object()))
        s_nameChanges << event->accessibleInterface()->text(QAccessible::Name);
}

// What a screen reader's bridge gets besides names: objects shown, checked
// states changed.
QList<QPair<QObject *, QAccessible::Event>> s_events;
void recordEvent(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::ObjectShow
        || (event->type() == QAccessible::StateChanged
            && static_cast<QAccessibleStateChangeEvent *>(event)->changedStates().checked))
        s_events.append({event->object(), event->type()});
}

// Switches Qt's accessibility on, as a screen reader would, for one test.
auto listenAsAScreenReader(QAccessible::UpdateHandler handler)
{
    QPlatformAccessibility *platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
    platform->setActive(true);
    QAccessible::installUpdateHandler(handler);
    return qScopeGuard([platform] {
        QAccessible::installUpdateHandler(nullptr);
        platform->setActive(false);
    });
}
}

void TestMainWindow::statesInWords_data()
{
    QTest::addColumn<bool>("cts");
    QTest::addColumn<bool>("dcd");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("announced");

    QTest::newRow("all low: the discs become known, the captions stay")
        << false << false << false << QStringList{"CTS, pin 8: low", "DSR, pin 6: low", "DCD, pin 1: low"};
    QTest::newRow("fire line high: disc and status")
        << true << false << false
        << QStringList{"CTS, pin 8: high", "Smoke or fire: ALARM", "DSR, pin 6: low", "DCD, pin 1: low"};
    QTest::newRow("switched on, intrusion high")
        << false << true << true
        << QStringList{"Phone home notifications", "CTS, pin 8: low", "DSR, pin 6: low", "DCD, pin 1: high",
                       "Intrusion: ALARM"};
}

void TestMainWindow::statesInWords()
{
    QFETCH(bool, cts);
    QFETCH(bool, dcd);
    QFETCH(bool, enabled);
    QFETCH(QStringList, announced);

    // Without a screen reader Qt drops the events before any handler sees
    // them; switch it on the way Qt's own tests do.
    s_nameChanges.clear();
    const auto restore = listenAsAScreenReader(recordNameChange);

    if (enabled)
        f->pressSwitch();
    f->open();
    f->port->cts = cts;
    f->port->dcd = dcd;
    f->tick();
    const qsizetype announcedByFirstTick = s_nameChanges.size();
    f->tick();
    QCOMPARE(s_nameChanges.size(), announcedByFirstTick); // a steady tick says nothing

    // Captions that did not change (a NORMAL staying NORMAL) are not announced.
    QStringList got = s_nameChanges;
    got.removeAll(QStringLiteral("Select Port")); // the port box, named by its text
    got.removeAll(QStringLiteral("3"));
    // The switch announces its text change too, under the same name.
    got.removeDuplicates();
    got.sort();
    announced.sort();
    QCOMPARE(got, announced);

    // The state word alone, for a reader that asks for the description.
    const bool lines[] = {cts, false, dcd};
    for (int c = 0; c < 3; ++c)
        QCOMPARE(QAccessible::queryAccessibleInterface(f->indicator(c))->text(QAccessible::Description),
                 QLatin1String(lines[c] ? "high" : "low"));
    // A notification box's text is part of its name, read as one phrase.
    QCOMPARE(QAccessible::queryAccessibleInterface(f->notification(2))->text(QAccessible::Name),
             QLatin1String(enabled && dcd ? "Intrusion notification: Sending Notification" : "Intrusion notification"));
}

void TestMainWindow::enterKeepsThePortList_data()
{
    QTest::addColumn<QString>("typed");

    QTest::newRow("a number of the list") << "7";
    QTest::newRow("a number beyond the list") << "16";
    QTest::newRow("a device name") << "ttyUSB0";
}

void TestMainWindow::enterKeepsThePortList()
{
    QFETCH(QString, typed);
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowActive(f->window()));
    QComboBox *box = f->portBox();
    box->setFocus();
    box->lineEdit()->selectAll();
    QTest::keyClicks(box->lineEdit(), typed);
    QTest::keyClick(box->lineEdit(), Qt::Key_Return);

    QCOMPARE(box->count(), 15);
    for (int i = 0; i < 15; ++i)
        QCOMPARE(box->itemText(i), QString::number(i + 1));
    QCOMPARE(box->currentText(), typed);
    QCOMPARE(f->panel()->portText(), typed);

    // Open Port takes what was typed, as without the Enter.
    f->click(f->openButton());
    WindowFixture without;
    without.open(typed);
    QCOMPARE(f->port->portOpen(), without.port->portOpen());
    QCOMPARE(f->port->commPort(), without.port->commPort());
    QCOMPARE(bool(f->window()->errorReporter()->currentBox()), bool(without.window()->errorReporter()->currentBox()));
}

void TestMainWindow::switchSaysItsState()
{
    s_events.clear();
    const auto restore = listenAsAScreenReader(recordEvent);
    QPushButton *button = f->notificationSwitch();
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(button);
    QVERIFY(iface->state().checkable);
    QVERIFY(!iface->state().checked);

    for (const bool on : {true, false}) {
        s_events.clear();
        f->pressSwitch();
        QCOMPARE(button->text(), on ? Form::kEnabled : Form::kDisabled);
        QCOMPARE(iface->state().checked, on);
        QCOMPARE(s_events.count({button, QAccessible::StateChanged}), 1);
        QCOMPARE(iface->text(QAccessible::Name), QLatin1String("Phone home notifications"));
        // Drawn as before: a plain button never shows pressed in.
        QVERIFY(!button->isCheckable());
    }

    // A screen reader's own "press" works the switch too.
    iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QVERIFY(f->panel()->notificationsEnabled());
}

void TestMainWindow::tabSelectsThePortText()
{
    // The port box keeps the edit field's selection on Tab, though it hides
    // that change from screen readers.
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowActive(f->window()));
    f->closeButton()->setFocus();
    QTest::keyClick(f->closeButton(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), f->portBox());
    QCOMPARE(f->portBox()->lineEdit()->selectedText(), QLatin1String("Select Port"));
    QTest::keyClicks(f->portBox()->lineEdit(), QStringLiteral("4"));
    QCOMPARE(f->panel()->portText(), QLatin1String("4"));
}

void TestMainWindow::announcements_data()
{
    // Steps: open, close, switch, lines <cts><dsr><dcd> then a tick, vanish
    // (the device fails at the next tick), fail (the first script started
    // ends with status 1), box (an error box comes up), and wait: until what
    // was gathered is said.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("said");

    QTest::newRow("port opens and closes") << QStringList{"open", "wait", "lines 000", "wait", "close", "wait"}
                                           << QStringList{"Port 3 open", "Port 3 closed"};
    QTest::newRow("opened port and its first reading, one message")
        << QStringList{"open", "lines 100", "wait"} << QStringList{"Port 3 open. Smoke or fire: ALARM"};
    QTest::newRow("a steady tick says nothing")
        << QStringList{"open", "lines 000", "wait", "lines 000", "wait"} << QStringList{"Port 3 open"};
    QTest::newRow("alarm and back, notifications off")
        << QStringList{"open", "wait", "lines 100", "wait", "lines 000", "wait"}
        << QStringList{"Port 3 open", "Smoke or fire: ALARM", "Smoke or fire: NORMAL"};
    QTest::newRow("alarm with notifications on") << QStringList{"switch", "open", "wait", "lines 010", "wait"}
                                                 << QStringList{"Port 3 open", "Flooding: ALARM, sending notification"};
    QTest::newRow("two channels, one message") << QStringList{"open", "wait", "lines 100", "lines 101", "wait"}
                                               << QStringList{"Port 3 open", "Smoke or fire: ALARM. Intrusion: ALARM"};
    QTest::newRow("an alarm over before it is said is still said")
        << QStringList{"open", "wait", "lines 010", "lines 000", "wait"}
        << QStringList{"Port 3 open", "Flooding: ALARM, then NORMAL"};
    // Their new error box is spoken as it appears; nothing more is said.
    QTest::newRow("device lost, not also said as closed")
        << QStringList{"open", "wait", "lines 000", "vanish", "wait", "close", "open", "wait", "close", "wait"}
        << QStringList{"Port 3 open", "Port 3 open", "Port 3 closed"};
    QTest::newRow("a notification that failed")
        << QStringList{"switch", "open", "wait", "lines 001", "wait", "fail", "wait"}
        << QStringList{"Port 3 open", "Intrusion: ALARM, sending notification"};
    // A box already up takes them in silently: they are said.
    QTest::newRow("device lost while a box is up") << QStringList{"open", "wait", "lines 000", "box", "vanish", "wait"}
                                                   << QStringList{"Port 3 open", "Error 206: device vanished"};
    QTest::newRow("a notification failed while a box is up")
        << QStringList{"switch", "open", "wait", "lines 001", "wait", "box", "fail", "wait"}
        << QStringList{"Port 3 open", "Intrusion: ALARM, sending notification", "Error 303: fake/intrusion failed"};
}

void TestMainWindow::announcements()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, said);
    f->window()->show();
    QVERIFY(QTest::qWaitForWindowActive(f->window()));
    s_events.clear();
    const auto restore = listenAsAScreenReader(recordEvent);
    QSignalSpy spy(f->window()->announcer(), &Announcer::announced);

    for (const QString &step : steps) {
        if (step == QLatin1String("open")) {
            f->open();
        } else if (step == QLatin1String("close")) {
            f->click(f->closeButton());
        } else if (step == QLatin1String("switch")) {
            f->pressSwitch();
        } else if (step.startsWith(QLatin1String("lines "))) {
            f->port->cts = step.at(6) == u'1';
            f->port->dsr = step.at(7) == u'1';
            f->port->dcd = step.at(8) == u'1';
            f->tick();
        } else if (step == QLatin1String("vanish")) {
            f->port->vanished = true;
            f->tick();
            f->port->vanished = false;
        } else if (step == QLatin1String("fail")) {
            f->launcher->finish(0, 1);
        } else if (step == QLatin1String("box")) {
            f->window()->errorReporter()->report(201, QStringLiteral("an earlier error"));
        } else if (step == QLatin1String("wait")) {
            // Said when the gathering ends, taking no focus.
            QWidget *focused = f->window()->focusWidget();
            QTest::qWait(int(Announcer::kGatherTime.count()) + 50);
            QCOMPARE(f->window()->focusWidget(), focused);
        }
    }

    QStringList got;
    for (const QList<QVariant> &args : spy)
        got << args.first().toString();
    QCOMPARE(got, said);
    Announcer *announcer = f->window()->announcer();
    QCOMPARE(announcer->message(), said.constLast());
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(announcer);
    QCOMPARE(iface->role(), QAccessible::Notification);
    QCOMPARE(iface->text(QAccessible::Name), said.constLast());
    // Each message is an object shown, which the screen reader speaks.
    QCOMPARE(s_events.count({announcer, QAccessible::ObjectShow}), said.size());
    QCOMPARE(announcer->focusPolicy(), Qt::NoFocus);
    QVERIFY(announcer->size().isEmpty());
}

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
