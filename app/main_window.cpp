// SPDX-License-Identifier: MIT
#include "main_window.h"
#include "ui_main_window.h"

#include "announcer.h"
#include "bench.h"
#include "channel_words.h"
#include "colours.h"
#include "core/line_monitor.h"
#include "core/notifier.h"
#include "core/panel.h"
#include "error_reporter.h"
#include "notification_switch.h"
#include "notify/script_launcher.h"
#include "serial/port_mapping.h"
#include "serial/serial_port.h"

#include <QAccessibleWidget>
#include <QCheckBox>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
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

// A notification box as one phrase: "Smoke or fire notification: Sending
// Notification". Read line by line, as Qt offers its text, three boxes side
// by side with a wrapped text come out as "Sending Sending Sending", then
// "Notification Notification Notification". While the port is open the
// program writes the text back at every tick: there is nothing to edit.
class NotificationBoxInterface : public QAccessibleWidget
{
public:
    explicit NotificationBoxInterface(TextBox *box)
        : QAccessibleWidget(box, QAccessible::EditableText)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        const QString own = QAccessibleWidget::text(t);
        const QString shown = static_cast<TextBox *>(widget())->text().simplified();
        if (t != QAccessible::Name || shown.isEmpty())
            return own;
        return QStringLiteral("%1: %2").arg(own, shown);
    }
};

QAccessibleInterface *widgetInterface(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    // Left to Qt, both would be anonymous boxes. AT-SPI has no role for a
    // state light (Indicator arrives as "unknown"): a disc is a picture.
    if (className == QLatin1String("CircleShape") || className == QLatin1String("PictureBox"))
        return new QAccessibleWidget(widget, QAccessible::Graphic);
    if (className == QLatin1String("TextBox"))
        return new NotificationBoxInterface(static_cast<TextBox *>(widget));
    return nullptr;
}

// A line's state as its disc shows it; black is before the first reading.
QString lineState(quint32 indicatorColour)
{
    switch (indicatorColour) {
    case Form::kRed:
        return QStringLiteral("high");
    case Form::kGreen:
        return QStringLiteral("low");
    default:
        return QStringLiteral("unknown");
    }
}

QString withState(const char *what, const QString &state)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), state);
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
    // Before any widget of the form is asked for its interface.
    static const bool factoryInstalled = (QAccessible::installFactory(widgetInterface), true);
    Q_UNUSED(factoryInstalled);
    NotificationSwitch::installAccessibleInterface();
    Announcer::installAccessibleInterface();
    ui->setupUi(this);
    setWindowIcon(builtIcon());
    ui->Picture1->setPicture(builtPicture(QStringLiteral("pinout.png")));
    applyFonts();
    setGeometry(QRect(kDesignPosition, size()));
    m_errors = new ErrorReporter(this);
    // First, so a control's new name or state is in place before its new
    // text or colour is painted.
    describeForScreenReaders();
    bindPanel();
    // After the panel's painters: a message reads the state they show.
    m_announcer = new Announcer(m_panel, m_errors, this);
    // The technician's bench: a context menu and windows of its own.
    m_bench = new Bench(this, m_panel);
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
    const auto paintIndicator = [=](int c, quint32 colour) {
        indicators[c]->setFillColor(Form::colourFromValue(colour));
    };
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
    connect(ui->Check1, &QCheckBox::stateChanged, panel,
            [panel](int state) { panel->setDtrChecked(state == Qt::Checked); });
    connect(ui->Check2, &QCheckBox::stateChanged, panel,
            [panel](int state) { panel->setRtsChecked(state == Qt::Checked); });
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

    // What the adapter can do, for the technician: on the open port's box.
    connect(monitor, &LineMonitor::watching, this, [this](LineWatch watch) {
        const QString device = m_panel->port()->device();
        ui->Combo1->setToolTip(watchToolTip(device, PortMapping().byIdName(device), m_panel->port()->driver(), watch));
    });
    connect(monitor, &LineMonitor::portClosed, this, [this] { ui->Combo1->setToolTip(QString()); });

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

QString MainWindow::watchToolTip(const QString &device, const QString &byId, const AdapterDriver &driver,
                                 LineWatch watch)
{
    const QString how = watch == LineWatch::WaitAndCount
        ? tr("its driver wakes the program on every edge and counts them, so no pulse is lost")
        : watch == LineWatch::Wait ? tr("its driver wakes the program on every edge but keeps no count, so a pulse "
                                        "shorter than a few milliseconds may be lost")
        : watch == LineWatch::Server
        ? tr("%1 tells every change it sees over RFC 2217, and %2")
              .arg(driver.signature.isEmpty() ? tr("the server") : driver.signature, driver.samplingText())
        : tr("its driver cannot wait for edges, so the lines are read every %1 ms and a "
             "shorter pulse may be lost")
              .arg(Form::kPollInterval.count());
    // A USB adapter by the name that stays when it moves to another socket.
    const QString shown = byId.isEmpty() ? device : tr("%1 (%2)").arg(device, byId);
    QString text = tr("%1 is watched by %2: %3.").arg(shown, lineWatchName(watch), how);
    if (!driver.name.isEmpty() && !driver.remote) {
        text += u' '
            + (driver.reportsAll()
                   ? tr("Its driver, %1, reports CTS, DSR and DCD.").arg(driver.name)
                   : tr("Its driver, %1, reports only %2.").arg(driver.name, driver.reportedLinesText()));
    }
    return PortComboBox::asToolTip(text);
}

void MainWindow::describeForScreenReaders()
{
    const std::array<QWidget *, Form::kChannels> discs{ui->Shape1, ui->Shape2, ui->Shape3};
    const std::array<QWidget *, Form::kChannels> statuses{ui->Label13, ui->Label14, ui->Label15};
    const std::array<QWidget *, Form::kChannels> notifications{ui->TxtFire, ui->TxtFlood, ui->TxtIntrusion};
    const std::array<QWidget *, Form::kChannels> testButtons{ui->cmdSmoke, ui->cmdFlood, ui->cmdIntrusion};
    Panel *panel = m_panel;

    // The state goes into the name too: a screen reader repeats a changed
    // name, and many never read a description unasked.
    const auto nameDisc = [=](int c, quint32 colour) {
        // A line the adapter does not report says so, in the tooltip's words.
        const QString unreported = panel->unreported(c);
        const QString state = unreported.isEmpty() ? lineState(colour) : unreported;
        discs[c]->setAccessibleName(unreported.isEmpty() ? withState(kChannelWords[c].line, state) : unreported);
        discs[c]->setAccessibleDescription(state);
        if (discs[c]->toolTip() != unreported)
            discs[c]->setToolTip(unreported);
    };
    const auto nameStatus = [=](int c, const QString &caption) {
        statuses[c]->setAccessibleName(withState(kChannelWords[c].sensor, caption));
    };
    // The switch is a check box to a screen reader, ticked while enabled:
    // its state is spoken, its name stays.
    const auto setSwitch = [this] { ui->CmdCallEnable->setOn(m_panel->notificationsEnabled()); };
    connect(panel, &Panel::indicatorColourChanged, this, nameDisc);
    connect(panel, &Panel::unreportedChanged, this, [=](int c) { nameDisc(c, panel->indicatorColour(c)); });
    connect(panel, &Panel::statusCaptionChanged, this, nameStatus);
    connect(panel, &Panel::switchCaptionChanged, this, setSwitch);
    for (int c = 0; c < Form::kChannels; ++c) {
        nameDisc(c, panel->indicatorColour(c));
        nameStatus(c, panel->statusCaption(c));
        const QString notification = QLatin1String(kChannelWords[c].notification);
        notifications[c]->setAccessibleName(notification);
        testButtons[c]->setAccessibleDescription(
            QStringLiteral("Runs the %1 script once, as a test").arg(notification.toLower()));
    }
    ui->CmdCallEnable->setAccessibleName(QStringLiteral("Phone home notifications"));
    setSwitch();

    // The captions above the status labels read "… DETECTED" also while all
    // is well; the status label beside each says which it is.
    const std::array<QWidget *, Form::kChannels> headings{ui->Label16, ui->Label17, ui->Label18};
    for (int c = 0; c < Form::kChannels; ++c)
        headings[c]->setAccessibleName(QLatin1String(kChannelWords[c].heading));

    // On Linux a combo box is named by its text: the label above names it
    // through the buddy relation, and its edit field is named itself.
    ui->Label7->setBuddy(ui->Combo1);
    ui->Label7->setAccessibleName(QStringLiteral("Port number"));
    ui->Label7->setAccessibleDescription(ui->Label7->text());
    ui->Combo1->lineEdit()->setAccessibleName(QStringLiteral("Port number"));
    ui->Combo1->setAccessibleDescription(QStringLiteral("A port number from 1 to 15, or the path of a device"));

    // The boxes' texts name the lines; the labels beside them say what a tick does.
    ui->Check1->setAccessibleDescription(ui->Label5->text());
    ui->Check2->setAccessibleDescription(ui->Label6->text());

    ui->Picture1->setAccessibleName(QStringLiteral("RS-232 9-pin connector pinout"));
    ui->Picture1->setAccessibleDescription(
        QStringLiteral("DCD 1, RxD 2, TxD 3, DTR 4, GND 5, DSR 6, RTS 7, CTS 8, RI 9"));
}

void MainWindow::showAlarmSection(bool visible)
{
    for (QWidget *w : alarmSection())
        w->setVisible(visible);
}

MainWindow::~MainWindow() = default;

QList<QWidget *> MainWindow::alarmSection() const
{
    return {ui->Label13,  ui->Label14,      ui->Label15,  ui->Label16,  ui->Label17,      ui->Label18, ui->TxtFire,
            ui->TxtFlood, ui->TxtIntrusion, ui->cmdSmoke, ui->cmdFlood, ui->cmdIntrusion, ui->Frame3};
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
    // Enter takes the typed port as it is; the list stays the fifteen numbers.
    ui->Combo1->setInsertPolicy(QComboBox::NoInsert);

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
