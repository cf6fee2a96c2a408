// SPDX-License-Identifier: MIT
// The floor for start-up time and memory: a Qt Widgets window of the same size
// and position as the program's, with the same number and kinds of child
// widgets at the same places, but only stock widgets: no form file, no
// pictures, no fonts of its own, no serial port, no timer.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

namespace {
template<typename W>
W *place(QWidget *parent, int x, int y, int w, int h)
{
    auto *widget = new W(parent);
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel *label(QWidget *parent, int x, int y, int w, int h, const char *text)
{
    auto *l = place<QLabel>(parent, x, y, w, h);
    l->setText(QString::fromLatin1(text));
    return l;
}

QPushButton *button(QWidget *parent, int x, int y, int w, int h, const char *text)
{
    auto *b = place<QPushButton>(parent, x, y, w, h);
    b->setText(QString::fromLatin1(text));
    return b;
}

QFrame *frame(QWidget *parent, int x, int y, int w, int h)
{
    auto *f = place<QFrame>(parent, x, y, w, h);
    f->setFrameShape(QFrame::Box);
    return f;
}
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("RS232 Minimal Widgets Window"));
    window.setGeometry(609, 193, 779, 651);

    label(&window, 32, 32, 105, 17, "Choose Port First");
    auto *combo = place<QComboBox>(&window, 32, 56, 105, 21);
    combo->setEditable(true);
    for (int port = 1; port <= 15; ++port)
        combo->addItem(QString::number(port));
    label(&window, 168, 32, 81, 17, "Open The Port");
    button(&window, 160, 56, 89, 25, "Open Port");
    label(&window, 280, 32, 81, 25, "Close The Port");
    button(&window, 272, 56, 89, 25, "Close Port");

    auto *inputs = place<QGroupBox>(&window, 24, 104, 265, 113);
    inputs->setTitle(QStringLiteral("INPUTS"));
    label(inputs, 16, 16, 57, 17, "CTS Pin 8");
    label(inputs, 96, 16, 57, 17, "DSR Pin 6");
    label(inputs, 184, 16, 57, 17, "DCD Pin 1");
    for (int x : {16, 96, 184})
        frame(inputs, x, 40, 49, 33);
    label(inputs, 16, 88, 233, 17, "Green is Low and Red is High");

    auto *outputs = place<QGroupBox>(&window, 24, 224, 265, 89);
    outputs->setTitle(QStringLiteral("Outputs"));
    place<QCheckBox>(outputs, 16, 24, 49, 17)->setText(QStringLiteral("DTR"));
    label(outputs, 72, 24, 137, 17, "Check Pin 4 High");
    place<QCheckBox>(outputs, 16, 56, 49, 21)->setText(QStringLiteral("RTS"));
    label(outputs, 72, 56, 97, 17, "Check Pin 7 High");

    label(&window, 24, 328, 337, 33, "Choose Com Port before opening the port!");
    label(&window, 384, 64, 377, 25, "RS232 Port Pinout Illustration");
    frame(&window, 384, 88, 377, 257);
    frame(&window, 24, 368, 737, 1);
    label(&window, 128, 392, 481, 25, "Automatically Send SMS Text or Email to Cellular Phone");
    label(&window, 656, 376, 105, 25, "Phone Home ");
    button(&window, 656, 400, 105, 33, "Disabled");
    frame(&window, 24, 440, 737, 1);

    // The alarm section starts hidden, as in the program.
    QList<QWidget *> hidden{
        label(&window, 40, 464, 105, 25, "SMOKE or FIRE DETECTED"),
        label(&window, 192, 464, 89, 25, "FLOODING DETECTED"),
        label(&window, 328, 464, 89, 25, "INTRUSION DETECTED"),
        label(&window, 40, 496, 105, 25, "NORMAL"),
        label(&window, 184, 496, 105, 25, "NORMAL"),
        label(&window, 320, 496, 105, 25, "NORMAL"),
        place<QTextEdit>(&window, 40, 520, 105, 41),
        place<QTextEdit>(&window, 184, 520, 105, 35),
        place<QTextEdit>(&window, 320, 520, 105, 35),
    };
    auto *tests = place<QGroupBox>(&window, 448, 456, 313, 105);
    tests->setTitle(QStringLiteral("Test Send Text and Email"));
    button(tests, 16, 48, 73, 41, "Smoke Fire");
    button(tests, 120, 48, 73, 41, "Flooding");
    button(tests, 224, 48, 73, 41, "Intrusion");
    hidden.append(tests);
    for (QWidget *w : hidden)
        w->hide();

    window.show();
    return QApplication::exec();
}
