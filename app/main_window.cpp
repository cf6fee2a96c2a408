#include "main_window.h"
#include "ui_main_window.h"

#include "colours.h"
#include "core/panel.h"
#include "error_reporter.h"
#include "notify/notifier.h"
#include "notify/script_launcher.h"
#include "serial/line_monitor.h"
#include "serial/serial_port.h"

#include <QCheckBox>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QScreen>
#include <QTimer>

namespace {
// Design position of the client area's top-left corner on the screen.
constexpr QPoint kDesignPosition(609, 193);
constexpr int kPortCount = 15;

// Designer keeps whole points; the form's 8 and 10 stand for these sizes.
qreal designPointSize(int wholePoints)
{
    switch (wholePoints) {
    case 8:
        return 8.25;
    case 10:
        return 9.75;
    default:
        return wholePoints;
    }
}

// A picture drawn from its SVG source when the program was built. Read as PNG
// and nothing else: told the format but left to detect it, Qt first asks every
// image plugin, and so loads the SVG one with Qt's SVG library.
QPixmap builtPicture(const QString &name)
{
    QImageReader reader(QStringLiteral(":/resources/") + name, "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

// At the sizes window managers ask a scalable icon for; the build draws the same.
QIcon builtIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 64, 128})
        icon.addPixmap(builtPicture(QStringLiteral("icon-%1.png").arg(size)));
    return icon;
}
}

MainWindow::MainWindow(std::unique_ptr<SerialPort> port, std::unique_ptr<ScriptLauncher> launcher, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::Form1>())
    , m_panel(new Panel(std::move(port), std::move(launcher), this))
{
    ui->setupUi(this);
    setWindowIcon(builtIcon());
    ui->Picture1->setPicture(builtPicture(QStringLiteral("pinout.png")));
    applyFonts();
    setGeometry(QRect(kDesignPosition, size()));
    m_errors = new ErrorReporter(this);
    bindPanel();
    Form_Load();
}

void MainWindow::bindPanel()
{
    const std::array<CircleShape *, Form::kChannels> indicators{ui->Shape1, ui->Shape2, ui->Shape3};
    const std::array<QLabel *, Form::kChannels> statuses{ui->Label13, ui->Label14, ui->Label15};
    const std::array<TextBox *, Form::kChannels> notifications{ui->TxtFire, ui->TxtFlood, ui->TxtIntrusion};
    Panel *panel = m_panel;

    // The panel paints the widgets. Each write is left out where it would not
    // change the picture, so a steady tick repaints nothing.
    const auto paintIndicator = [=](int c, quint32 colour) { indicators[c]->setFillColor(Form::colourFromValue(colour)); };
    const auto paintCaption = [=](int c, const QString &caption) {
        if (statuses[c]->text() != caption)
            statuses[c]->setText(caption);
    };
    const auto paintStatusColour = [=](int c, quint32 colour) {
        QLabel *label = statuses[c];
        if (Form::valueFromColour(label->palette().color(QPalette::Window)) == colour)
            return;
        QPalette p = label->palette();
        p.setColor(QPalette::Window, Form::colourFromValue(colour));
        label->setPalette(p);
    };
    const auto paintNotification = [=](int c, const QString &text) { notifications[c]->setText(text); };
    const auto paintCheck = [](QCheckBox *box, bool checked) {
        // A grey (partly checked) box counts as not ticked: leave it grey.
        if ((box->checkState() == Qt::Checked) != checked)
            box->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    };
    connect(panel, &Panel::indicatorColourChanged, this, paintIndicator);
    connect(panel, &Panel::statusCaptionChanged, this, paintCaption);
    connect(panel, &Panel::statusColourChanged, this, paintStatusColour);
    connect(panel, &Panel::notificationTextChanged, this, paintNotification);
    connect(panel, &Panel::switchCaptionChanged, ui->CmdCallEnable, &QPushButton::setText);
    connect(panel, &Panel::alarmSectionVisibleChanged, this, &MainWindow::showAlarmSection);
    connect(panel, &Panel::dtrCheckedChanged, this, [=](bool checked) { paintCheck(ui->Check1, checked); });
    connect(panel, &Panel::rtsCheckedChanged, this, [=](bool checked) { paintCheck(ui->Check2, checked); });
    connect(panel, &Panel::portTextChanged, this, [this](const QString &text) {
        if (ui->Combo1->currentText() != text)
            ui->Combo1->setEditText(text);
    });
    connect(panel, &Panel::errorOccurred, m_errors, &ErrorReporter::report);
    connect(panel, &Panel::warning, m_errors, &ErrorReporter::warn);

    // The operator sets the panel.
    connect(ui->Check1, &QCheckBox::stateChanged, panel, [panel](int state) { panel->setDtrChecked(state == Qt::Checked); });
    connect(ui->Check2, &QCheckBox::stateChanged, panel, [panel](int state) { panel->setRtsChecked(state == Qt::Checked); });
    connect(ui->Combo1, &QComboBox::currentTextChanged, panel, &Panel::setPortText);
    connect(ui->Combo1, &QComboBox::editTextChanged, panel, &Panel::setPortText);
    for (int c = 0; c < Form::kChannels; ++c) {
        TextBox *box = notifications[c];
        connect(box, &TextBox::changed, panel, [panel, box, c] { panel->setNotificationText(c, box->text()); });
    }

    // ... and presses its buttons.
    LineMonitor *monitor = panel->lineMonitor();
    Notifier *notifier = panel->notifier();
    connect(ui->Command1, &QPushButton::clicked, monitor, &LineMonitor::Command1_Click);
    connect(ui->Command2, &QPushButton::clicked, monitor, &LineMonitor::Command2_Click);
    connect(ui->CmdCallEnable, &QPushButton::clicked, notifier, &Notifier::CmdCallEnable_Click);
    connect(ui->cmdSmoke, &QPushButton::clicked, notifier, &Notifier::cmdSmoke_Click);
    connect(ui->cmdFlood, &QPushButton::clicked, notifier, &Notifier::cmdFlood_Click);
    connect(ui->cmdIntrusion, &QPushButton::clicked, notifier, &Notifier::cmdIntrusion_Click);

    // Start from the panel's state (the design's own, so nothing changes).
    for (int c = 0; c < Form::kChannels; ++c) {
        paintIndicator(c, panel->indicatorColour(c));
        paintCaption(c, panel->statusCaption(c));
        paintStatusColour(c, panel->statusColour(c));
        paintNotification(c, panel->notificationText(c));
    }
    ui->CmdCallEnable->setText(panel->switchCaption());
    paintCheck(ui->Check1, panel->dtrChecked());
    paintCheck(ui->Check2, panel->rtsChecked());
}

void MainWindow::showAlarmSection(bool visible)
{
    for (QWidget *w : alarmSection())
        w->setVisible(visible);
}

MainWindow::~MainWindow() = default;

QList<QWidget *> MainWindow::alarmSection() const
{
    return {ui->Label13, ui->Label14, ui->Label15, ui->Label16, ui->Label17,
            ui->Label18, ui->TxtFire, ui->TxtFlood, ui->TxtIntrusion, ui->cmdSmoke,
            ui->cmdFlood, ui->cmdIntrusion, ui->Frame3};
}

void MainWindow::setPortMapping(const PortMapping &mapping)
{
    ui->Combo1->setPortMapping(mapping);
}

void MainWindow::Form_Load()
{
    // Appending to an empty editable combo box selects the first entry and
    // overwrites the text: keep the design-time text and no selection.
    const QString designText = ui->Combo1->currentText();
    for (int port = 1; port <= kPortCount; ++port)
        ui->Combo1->addItem(QString::number(port));
    ui->Combo1->setCurrentIndex(-1);
    ui->Combo1->setEditText(designText);

    m_panel->setAlarmSectionVisible(false);
    showAlarmSection(false); // also when the panel already read hidden

    ui->Command1->setFocus();
}

void MainWindow::applyFonts()
{
    // Ask for the design faces first; where they are missing, the metric
    // twin of Arial, then whatever sans-serif the system has.
    const QList<QWidget *> widgets = QList<QWidget *>{this} + findChildren<QWidget *>();
    for (QWidget *w : widgets) {
        if (!w->testAttribute(Qt::WA_SetFont))
            continue;
        QFont f = w->font();
        f.setFamilies({f.family(), QStringLiteral("Liberation Sans"), QStringLiteral("sans-serif")});
        f.setStyleHint(QFont::SansSerif);
        f.setPointSizeF(designPointSize(f.pointSize()));
        w->setFont(f);
    }
}

QRect MainWindow::fitInside(const QRect &frame, const QRect &available)
{
    QRect fitted = frame;
    if (fitted.right() > available.right())
        fitted.moveRight(available.right());
    if (fitted.bottom() > available.bottom())
        fitted.moveBottom(available.bottom());
    // Where the window is larger than the area, keep its title bar reachable.
    if (fitted.left() < available.left())
        fitted.moveLeft(available.left());
    if (fitted.top() < available.top())
        fitted.moveTop(available.top());
    return fitted;
}

void MainWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_placed)
        return;
    m_placed = true;
    keepOnScreen();
    // The window manager adds its frame only after mapping; check again then.
    QTimer::singleShot(0, this, &MainWindow::keepOnScreen);
}

void MainWindow::keepOnScreen()
{
    const QScreen *where = screen();
    if (!where)
        return;
    const QRect frame = frameGeometry();
    const QRect fitted = fitInside(frame, where->availableGeometry());
    if (fitted != frame)
        move(fitted.topLeft());
}
