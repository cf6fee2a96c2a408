// SPDX-License-Identifier: MIT
// rs232-phone-homed: the alarm panel without a window, for systemd.

#include "core/delivery.h"
#include "core/heartbeat.h"
#include "core/panel.h"
#include "core/panel_code.h"
#include "host/command_line.h"
#include "host/line_terminal.h"
#include "host/local_control.h"
#include "host/termination_signals.h"
#include "host/unattended.h"
#include "mqtt/mqtt_publisher.h"
#include "notify/script_launcher.h"
#include "record/event_log.h"
#include "serial/port_selector.h"
#include "serial/qt_serial_port.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {
const char kUsage[] =
    "Usage: rs232-phone-homed --port PORT [--dtr] [--rts] [--settle MS] [--notify-clear] [--script-dir DIR]\n"
    "                         [--normally-closed CHANNELS] [--always-armed CHANNELS]\n"
    "                         [--entry-delay DURATION] [--exit-delay DURATION] [--code-file FILE]\n"
    "                         [--control-socket PATH]\n"
    "                         [--state-dir DIR] [--retry-base SECONDS] [--retry-for DURATION]\n"
    "                         [--script-timeout SECONDS] [--heartbeat DURATION]\n"
    "                         [--mqtt URL [--mqtt-ca FILE] [--mqtt-password-file FILE] [--mqtt-node NAME]\n"
    "                          [--mqtt-control]]\n"
    "\n"
    "Watches CTS (fire), DSR (flooding) and DCD (intrusion) of a serial port and\n"
    "starts the channel's notification script when a line goes high.\n"
    "\n"
    "  --port PORT       port number 1-15 (/dev/comN, else /dev/ttyS{N-1}), a device path, or\n"
    "                    rfc2217://HOST:PORT for a port that ser2net or a device server offers\n"
    "  --dtr, --rts      hold that output high while the port is open\n"
    "  --settle MS       a line must keep its new level this long to count (default 0)\n"
    "  --notify-clear    also run the script when a channel returns to NORMAL\n"
    "  --script-dir DIR  the notification scripts (default /etc/rs232-phone-home)\n"
    "  --always-armed CHANNELS  channels that alarm whether the panel is armed or not\n"
    "                    (a comma list of fire, flood, intrusion; default fire,flood)\n"
    "  --entry-delay DURATION   an armed panel waits this long after an onset before it\n"
    "                    tells anyone, so that it can be disarmed (default 0)\n"
    "  --exit-delay DURATION    arming takes effect after this long (default 0)\n"
    "  --code-file FILE  the code that disarms the panel: 4 to 12 digits on the first line\n"
    "  --control-socket PATH    arm, disarm and tell the state to local users through this socket\n"
    "\n"
    "       rs232-phone-homed --control-socket PATH --panel status|arm|disarm\n"
    "\n"
    "Asks the panel running there; disarm reads the code from standard input.\n"
    "\n"
    "       rs232-phone-homed --port PORT --lines [--csv] [--dtr] [--rts] [--pulse dtr:MS|rts:MS]\n"
    "       rs232-phone-homed --port PORT --cable-test\n"
    "       rs232-phone-homed --port PORT --pulse dtr:MS|rts:MS [--dtr] [--rts]\n"
    "\n"
    "The technician's bench, for a terminal: runs no script and keeps no state.\n"
    "  --lines           print every change of CTS, DSR, DCD, RI, DTR and RTS as it\n"
    "                    happens; Ctrl+C (or SIGTERM) prints a summary per line\n"
    "  --csv             with --lines: print CSV (time,line,level,width_ms,count)\n"
    "  --pulse LINE:MS   take DTR or RTS to its other level for 10 to 10000 ms, then back\n"
    "  --cable-test      drive DTR and RTS, say which inputs follow (pin numbers) and\n"
    "                    what is plugged in; exit status 0 for a loopback plug\n"
    "\n";
// The options both programs share come after their own.
void printUsage(std::FILE *out)
{
    CommandLine::printUsage(out, kUsage);
}

int usageError(const QString &reason)
{
    return CommandLine::usageError("rs232-phone-homed", reason, kUsage);
}

// --lines, --cable-test, --pulse: the port without the panel.
int runBench(int argc, char *argv[], const LineTerminal::Options &options)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rs232-phone-homed"));
    std::atexit(QtSerialPort::closeAllOpen);
    PortSelector port;
    LineTerminal terminal(&port, options);
    TerminationSignals terminations;
    QObject::connect(&terminations, &TerminationSignals::received, &terminal, &LineTerminal::interrupt);
    // Queued: a pulse refused inside start() ends the run before exec().
    QObject::connect(&terminal, &LineTerminal::done, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    if (!terminal.start())
        return terminal.status();
    return QCoreApplication::exec();
}
}

int main(int argc, char *argv[])
{
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("PORT"));
    const QCommandLineOption dtr(QStringLiteral("dtr"));
    const QCommandLineOption rts(QStringLiteral("rts"));
    const QCommandLineOption settle(QStringLiteral("settle"), QString(), QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption notifyClear(QStringLiteral("notify-clear"));
    const QCommandLineOption scriptDir(QStringLiteral("script-dir"), QString(), QStringLiteral("DIR"),
                                       ProcessScriptLauncher::defaultScriptDir());
    const QCommandLineOption alwaysArmed(QStringLiteral("always-armed"), QString(), QStringLiteral("CHANNELS"));
    const QCommandLineOption entryDelay(QStringLiteral("entry-delay"), QString(), QStringLiteral("DURATION"),
                                        QStringLiteral("0"));
    const QCommandLineOption exitDelay(QStringLiteral("exit-delay"), QString(), QStringLiteral("DURATION"),
                                       QStringLiteral("0"));
    const QCommandLineOption codeFile(QStringLiteral("code-file"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption controlSocket(QStringLiteral("control-socket"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption panelCommand(QStringLiteral("panel"), QString(), QStringLiteral("COMMAND"));
    const QCommandLineOption lines(QStringLiteral("lines"));
    const QCommandLineOption csv(QStringLiteral("csv"));
    const QCommandLineOption cableTest(QStringLiteral("cable-test"));
    const QCommandLineOption pulse(QStringLiteral("pulse"), QString(), QStringLiteral("LINE:MS"));
    const QCommandLineOption help(QStringLiteral("help"));
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({port, dtr, rts, settle, notifyClear, scriptDir, alwaysArmed, entryDelay, exitDelay, codeFile,
                       controlSocket, panelCommand, lines, csv, cableTest, pulse, help, version});
    parser.addOptions(CommandLine::sharedOptions());
    if (!parser.parse(CommandLine::arguments(argc, argv)))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        printUsage(stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("rs232-phone-homed %s\n", PHONE_HOME_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));
    // A command to a running panel, not a panel of its own.
    if (parser.isSet(panelCommand))
        return LocalControl::runClient(parser.value(controlSocket), parser.value(panelCommand));
    if (!parser.isSet(port))
        return usageError(QStringLiteral("--port is required"));
    if (const QString problem = CommandLine::portProblem(parser.value(port)); !problem.isEmpty())
        return usageError(problem);
    if (parser.isSet(csv) && !parser.isSet(lines))
        return usageError(QStringLiteral("--csv goes with --lines"));
    if (parser.isSet(lines) || parser.isSet(cableTest) || parser.isSet(pulse)) {
        if (parser.isSet(lines) && parser.isSet(cableTest))
            return usageError(QStringLiteral("--lines and --cable-test cannot run at once: the test drives the "
                                             "outputs"));
        LineTerminal::Options options;
        options.port = parser.value(port);
        options.lines = parser.isSet(lines);
        options.csv = parser.isSet(csv);
        options.cableTest = parser.isSet(cableTest);
        options.dtr = parser.isSet(dtr);
        options.rts = parser.isSet(rts);
        for (const QString &value : parser.values(pulse)) {
            OutputPulse::Output output{};
            std::chrono::milliseconds length{};
            if (const QString problem = OutputPulse::parse(value, &output, &length); !problem.isEmpty())
                return usageError(problem);
            options.pulses.append({output, length});
        }
        if (options.cableTest && !options.pulses.isEmpty())
            return usageError(QStringLiteral("--pulse and --cable-test cannot run at once: both drive the outputs"));
        return runBench(argc, argv, options);
    }
    bool ok = false;
    const int settleMs = parser.value(settle).toInt(&ok);
    if (!ok || settleMs < 0)
        return usageError(
            QStringLiteral("bad --settle \"%1\": give milliseconds, 0 or more").arg(parser.value(settle)));
    Arming::Channels armedAlways = Arming::defaultAlwaysArmed();
    if (parser.isSet(alwaysArmed)) {
        if (const QString problem = Arming::alwaysArmedProblem(parser.value(alwaysArmed), &armedAlways);
            !problem.isEmpty())
            return usageError(problem);
    }
    std::chrono::seconds delays[2];
    const QCommandLineOption *delayOptions[] = {&entryDelay, &exitDelay};
    for (int i = 0; i < 2; ++i) {
        if (!Delivery::parseDuration(parser.value(*delayOptions[i]), &delays[i]))
            return usageError(QStringLiteral("bad --%1 \"%2\": give a duration such as 30s, 2m or 0")
                                  .arg(delayOptions[i]->names().constFirst(), parser.value(*delayOptions[i])));
    }
    CommandLine::Shared shared;
    if (const QString problem =
            CommandLine::readShared(parser, parser.value(port), Delivery::defaultServiceStateDir(), &shared);
        !problem.isEmpty())
        return usageError(problem);

    // A panel that takes commands must be able to check the code.
    if (shared.mqtt.control && !parser.isSet(codeFile))
        return usageError(QStringLiteral("--mqtt-control needs --code-file: without a code anyone on the broker "
                                         "could disarm the panel"));

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rs232-phone-homed"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PHONE_HOME_VERSION));
    std::atexit(QtSerialPort::closeAllOpen);

    Panel panel(std::make_unique<PortSelector>(),
                std::make_unique<ProcessScriptLauncher>(ProcessScriptLauncher::defaultHost(), parser.value(scriptDir)));
    EventLog log;
    log.setPort(parser.value(port), QString());
    log.watch(&panel);
    log.record(EventLog::Priority::Notice, QStringLiteral("start"),
               {{QStringLiteral("program"), QStringLiteral("rs232-phone-homed")},
                {QStringLiteral("version"), QStringLiteral(PHONE_HOME_VERSION)},
                {QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid())}});
    log.checkScripts(panel.launcher());
    if (const QString problem = panel.delivery()->setOptions(shared.delivery); !problem.isEmpty())
        log.record(EventLog::Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), problem}});

    Unattended::Options options;
    options.port = parser.value(port);
    options.dtr = parser.isSet(dtr);
    options.rts = parser.isSet(rts);
    options.settle = std::chrono::milliseconds(settleMs);
    options.notifyClear = parser.isSet(notifyClear);
    options.normallyClosed = shared.normallyClosed;
    options.alwaysArmed = armedAlways;
    options.entryDelay = delays[0];
    options.exitDelay = delays[1];
    options.stateDir = shared.delivery.stateDir;
    Unattended service(&panel, &log, options);
    log.watch(service.arming());
    if (parser.isSet(codeFile)) {
        QStringList warnings;
        if (const QString problem = service.arming()->code()->readFile(parser.value(codeFile), &warnings);
            !problem.isEmpty())
            return usageError(problem);
        for (const QString &text : std::as_const(warnings))
            log.record(EventLog::Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), text}});
    }
    std::unique_ptr<MqttPublisher> mqtt;
    if (!shared.mqtt.host.isEmpty()) {
        mqtt = std::make_unique<MqttPublisher>(&panel, &log, shared.mqtt);
        mqtt->setArming(service.arming());
        mqtt->start();
    }

    TerminationSignals terminations;
    int stoppedBy = 0;
    QObject::connect(&terminations, &TerminationSignals::received, &app, [&stoppedBy](int signal) {
        stoppedBy = signal;
        QCoreApplication::quit();
    });
    if (!service.start()) {
        log.record(EventLog::Priority::Notice, QStringLiteral("stop"),
                   {{QStringLiteral("status"), QStringLiteral("2")}});
        return 2;
    }
    // After the open, so that resumed scripts are told the port's device.
    panel.delivery()->resume();
    std::unique_ptr<Heartbeat> heartbeat;
    if (shared.delivery.heartbeat.count() > 0) {
        heartbeat = std::make_unique<Heartbeat>(&panel, shared.delivery.heartbeat);
        heartbeat->setArming(service.arming());
        heartbeat->start();
    }
    // Someone at the machine may arm, disarm and ask; without the socket
    // the panel still watches.
    std::unique_ptr<LocalControl> control;
    if (parser.isSet(controlSocket)) {
        control = std::make_unique<LocalControl>(service.arming(), &log);
        if (const QString problem = control->listen(parser.value(controlSocket)); !problem.isEmpty()) {
            log.record(EventLog::Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), problem}});
            control.reset();
        }
    }
    // A signal that came while the port was being opened (a port on another
    // machine waits for its server) found no event loop of its own to end.
    const int status = stoppedBy ? 0 : QCoreApplication::exec();
    service.stop();
    if (mqtt)
        mqtt->stop();
    log.record(EventLog::Priority::Notice, QStringLiteral("stop"),
               {{QStringLiteral("signal"), QString::number(stoppedBy)}});
    return status;
}
