// SPDX-License-Identifier: MIT
#include "host/command_line.h"
#include "core/delivery.h"
#include "record/event_log.h"
#include "core/heartbeat.h"
#include "core/line_monitor.h"
#include "mqtt/mqtt_publisher.h"
#include "core/notifier.h"
#include "core/panel.h"
#include "host/termination_signals.h"
#include "main_window.h"
#include "notify/script_launcher.h"
#include "serial/port_selector.h"
#include "serial/qt_serial_port.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {
const char kUsage[] =
    "Usage: rs232-phone-home [--port PORT] [--open] [--notify] [--dtr] [--rts] [--normally-closed CHANNELS]\n"
    "                        [--state-dir DIR] [--retry-base SECONDS] [--retry-for DURATION]\n"
    "                        [--script-timeout SECONDS] [--heartbeat DURATION]\n"
    "                        [--mqtt URL [--mqtt-ca FILE] [--mqtt-password-file FILE] [--mqtt-node NAME]]\n"
    "\n"
    "Tests the control lines of an RS-232 port and phones home when CTS (fire),\n"
    "DSR (flooding) or DCD (intrusion) goes high. The options start it as if the\n"
    "operator had typed the port, pressed Open Port, switched notifications on\n"
    "and ticked the boxes (for an autostart entry).\n"
    "\n"
    "  --port PORT   port number 1-15 (/dev/comN, else /dev/ttyS{N-1}), a device path, or\n"
    "                rfc2217://HOST:PORT for a port that ser2net or a device server offers\n"
    "  --open        open the port\n"
    "  --notify      switch notifications on (\"Enabled\")\n"
    "  --dtr, --rts  tick DTR or RTS\n";
// The options both programs share come after their own.
void printUsage(std::FILE *out)
{
    CommandLine::printUsage(out, kUsage);
}

int usageError(const QString &reason)
{
    return CommandLine::usageError("rs232-phone-home", reason, kUsage);
}

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
    // Read before the application starts: --help needs no display.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("PORT"));
    const QCommandLineOption open(QStringLiteral("open"));
    const QCommandLineOption notify(QStringLiteral("notify"));
    const QCommandLineOption dtr(QStringLiteral("dtr"));
    const QCommandLineOption rts(QStringLiteral("rts"));
    const QCommandLineOption help(QStringLiteral("help"));
    const QCommandLineOption version(QStringLiteral("version"));
    // Qt's own options, handed on to the application.
    const QCommandLineOption platform(QStringLiteral("platform"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption display(QStringLiteral("display"), QString(), QStringLiteral("DISPLAY"));
    const QCommandLineOption style(QStringLiteral("style"), QString(), QStringLiteral("STYLE"));
    parser.addOptions({port, open, notify, dtr, rts, help, version, platform, display, style});
    parser.addOptions(CommandLine::sharedOptions());
    if (!parser.parse(CommandLine::arguments(argc, argv)))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        printUsage(stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("rs232-phone-home %s\n", PHONE_HOME_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(port)) {
        if (const QString problem = CommandLine::portProblem(parser.value(port)); !problem.isEmpty())
            return usageError(problem);
    }
    CommandLine::Shared shared;
    if (const QString problem =
            CommandLine::readShared(parser, parser.value(port), Delivery::defaultUserStateDir(), &shared);
        !problem.isEmpty())
        return usageError(problem);
    // The window's switch is the operator's; the broker does not arm it.
    if (shared.mqtt.control)
        return usageError(QStringLiteral("--mqtt-control is for the service rs232-phone-homed; the window is armed "
                                         "with its own switch"));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rs232-phone-home"));
    QApplication::setApplicationVersion(QStringLiteral(PHONE_HOME_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("rs232-phone-home"));
    s_defaultHandler = qInstallMessageHandler(closePortsOnFatal);
    std::atexit(QtSerialPort::closeAllOpen);

    // A signal ends the program the way the close button does; the window
    // and with it the port are destroyed on the way out of main().
    TerminationSignals terminations;
    int stoppedBy = 0;
    QObject::connect(&terminations, &TerminationSignals::received, &app, [&stoppedBy](int signal) {
        stoppedBy = signal;
        QApplication::quit();
    });

    MainWindow window(std::make_unique<PortSelector>(), std::make_unique<ProcessScriptLauncher>());
    Panel *panel = window.panel();
    panel->lineMonitor()->setNormallyClosed(shared.normallyClosed);
    EventLog log;
    log.watch(panel);
    log.record(EventLog::Priority::Notice, QStringLiteral("start"),
               {{QStringLiteral("program"), QStringLiteral("rs232-phone-home")},
                {QStringLiteral("version"), QStringLiteral(PHONE_HOME_VERSION)},
                {QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid())}});
    log.checkScripts(panel->launcher());
    if (const QString problem = panel->delivery()->setOptions(shared.delivery); !problem.isEmpty())
        Q_EMIT panel->warning(problem);
    window.show();

    // What the first picture does not need waits until it is up: the MQTT
    // module and its connection, the spool scan and the heartbeat. The
    // options act from here too, as if the operator had typed the port,
    // pressed Open Port, pressed "Disabled" and ticked the boxes.
    std::unique_ptr<MqttPublisher> mqtt;
    std::unique_ptr<Heartbeat> heartbeat;
    QTimer::singleShot(0, &window, [&] {
        if (!shared.mqtt.host.isEmpty()) {
            mqtt = std::make_unique<MqttPublisher>(panel, &log, shared.mqtt);
            mqtt->start();
        }
        if (parser.isSet(port))
            panel->setPortText(parser.value(port));
        if (parser.isSet(open))
            panel->lineMonitor()->Command1_Click();
        if (parser.isSet(notify))
            panel->notifier()->CmdCallEnable_Click();
        if (parser.isSet(dtr))
            panel->setDtrChecked(true);
        if (parser.isSet(rts))
            panel->setRtsChecked(true);
        // After the open, so that resumed scripts are told the port's device.
        panel->delivery()->resume();
        if (shared.delivery.heartbeat.count() > 0) {
            heartbeat = std::make_unique<Heartbeat>(panel, shared.delivery.heartbeat);
            heartbeat->start();
        }
    });

    // A signal that came while the port was being opened (a port on another
    // machine waits for its server) found no event loop of its own to end.
    const int status = stoppedBy ? 0 : QApplication::exec();
    if (mqtt)
        mqtt->stop();
    log.record(EventLog::Priority::Notice, QStringLiteral("stop"),
               {{QStringLiteral("signal"), QString::number(stoppedBy)}});
    return status;
}
