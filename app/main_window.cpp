#include "main_window.h"
#include "ui_main_window.h"

#include "constants.h"
#include "error_reporter.h"
#include "notify/notifier.h"
#include "serial/line_monitor.h"
#include "serial/serial_port.h"

#include <QDebug>
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
}

MainWindow::MainWindow(std::unique_ptr<SerialPort> port, std::unique_ptr<ScriptLauncher> launcher, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::Form1>())
    , m_launcher(std::move(launcher))
{
    ui->setupUi(this);
    applyFonts();
    setGeometry(QRect(kDesignPosition, size()));

    SerialPort *MSComm1 = port.release();
    MSComm1->setParent(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    auto Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(Form::kPollInterval);
    m_errors = new ErrorReporter(this);

    auto monitor = new LineMonitor(MSComm1,
                                   {ui->Combo1,
                                    Timer1,
                                    {{{ui->Shape1, ui->Label13, ui->TxtFire},
                                      {ui->Shape2, ui->Label14, ui->TxtFlood},
                                      {ui->Shape3, ui->Label15, ui->TxtIntrusion}}},
                                    ui->Check1,
                                    ui->Check2,
                                    ui->CmdCallEnable},
                                   this);
    auto notifier = new Notifier(m_launcher.get(),
                                 {ui->CmdCallEnable,
                                  alarmSection(),
                                  {ui->TxtFire, ui->TxtFlood, ui->TxtIntrusion},
                                  {ui->cmdSmoke, ui->cmdFlood, ui->cmdIntrusion}},
                                 this);

    connect(ui->Command1, &QPushButton::clicked, monitor, &LineMonitor::Command1_Click);
    connect(ui->Command2, &QPushButton::clicked, monitor, &LineMonitor::Command2_Click);
    connect(Timer1, &QTimer::timeout, monitor, &LineMonitor::Timer1_Timer);
    connect(ui->CmdCallEnable, &QPushButton::clicked, notifier, &Notifier::CmdCallEnable_Click);
    connect(ui->TxtFire, &TextBox::changed, notifier, &Notifier::TxtFire_Change);
    connect(ui->TxtFlood, &TextBox::changed, notifier, &Notifier::TxtFlood_Change);
    connect(ui->TxtIntrusion, &TextBox::changed, notifier, &Notifier::TxtIntrusion_Change);
    connect(ui->cmdSmoke, &QPushButton::clicked, notifier, &Notifier::cmdSmoke_Click);
    connect(ui->cmdFlood, &QPushButton::clicked, notifier, &Notifier::cmdFlood_Click);
    connect(ui->cmdIntrusion, &QPushButton::clicked, notifier, &Notifier::cmdIntrusion_Click);
    connect(monitor, &LineMonitor::errorOccurred, m_errors, &ErrorReporter::report);
    connect(notifier, &Notifier::errorOccurred, m_errors, &ErrorReporter::report);
    connect(m_launcher.get(), &ScriptLauncher::errorOccurred, m_errors, &ErrorReporter::report);
    connect(m_launcher.get(), &ScriptLauncher::warning, this,
            [](const QString &text) { qWarning().noquote() << text; });

    Form_Load();
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

    for (QWidget *w : alarmSection())
        w->hide();

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
