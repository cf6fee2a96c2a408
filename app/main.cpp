#include "main_window.h"
#include "notify/script_launcher.h"
#include "serial/qt_serial_port.h"
#include "core/termination_signals.h"

#include <QApplication>

#include <cstdlib>

namespace {
QtMessageHandler s_defaultHandler = nullptr;

// Losing the display ends the program from deep inside Qt; the port is
// closed first, so its outputs do not stay high and its lock goes.
void closePortsOnFatal(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg)
        QtSerialPort::closeAllOpen();
    if (s_defaultHandler)
        s_defaultHandler(type, context, message);
}
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rs232-phone-home"));
    QApplication::setDesktopFileName(QStringLiteral("rs232-phone-home"));
    s_defaultHandler = qInstallMessageHandler(closePortsOnFatal);
    std::atexit(QtSerialPort::closeAllOpen);

    // A signal ends the program the way the close button does; the window
    // and with it the port are destroyed on the way out of main().
    TerminationSignals terminations;
    QObject::connect(&terminations, &TerminationSignals::received, &app, [] { QApplication::quit(); });

    MainWindow window(std::make_unique<QtSerialPort>(), std::make_unique<ProcessScriptLauncher>());
    window.show();
    return QApplication::exec();
}
