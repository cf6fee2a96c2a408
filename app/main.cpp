#include "main_window.h"
#include "notify/script_launcher.h"
#include "serial/qt_serial_port.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rs232-phone-home"));
    QApplication::setDesktopFileName(QStringLiteral("rs232-phone-home"));

    MainWindow window(std::make_unique<QtSerialPort>(), std::make_unique<ProcessScriptLauncher>());
    window.show();
    return QApplication::exec();
}
