// SPDX-License-Identifier: MIT
// The floor for the service's idle CPU time and memory: a bare event loop
// that opens a port with the settings rs232-phone-homed uses and asks for its
// lines once every 100 ms, as a steady polling tick does. No panel, no log, no
// scripts, no lock check.
//
//     minimal_service [DEVICE]        (default /dev/com3)

#include <QCoreApplication>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace {
int g_stopPipe[2] = {-1, -1};

void onTerminate(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &byte, 1);
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString device = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/dev/com3");

    QSerialPort port;
    port.setPortName(device);
    port.setBaudRate(QSerialPort::Baud9600);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "minimal_service: cannot open %s: %s\n", qPrintable(device),
                     qPrintable(port.errorString()));
        return 1;
    }

    // Stopped with SIGTERM, as the service is: closing the port on the way
    // out removes its lock file, so the next run finds none.
    if (::pipe(g_stopPipe) != 0) {
        std::perror("minimal_service: pipe");
        return 1;
    }
    QSocketNotifier stop(g_stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);

    QTimer tick;
    tick.setInterval(100);
    QObject::connect(&tick, &QTimer::timeout, [&port] {
        // A floor that went on polling a dead port would flatter the program.
        if (!port.pinoutSignals() && port.error() != QSerialPort::NoError) {
            std::fprintf(stderr, "minimal_service: lost %s: %s\n", qPrintable(port.portName()),
                         qPrintable(port.errorString()));
            QCoreApplication::exit(1);
        }
    });
    tick.start();
    const int status = QCoreApplication::exec();
    port.close();
    return status;
}
