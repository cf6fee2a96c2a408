// SPDX-License-Identifier: MIT
#include "command_line.h"

#include "core/line_monitor.h"
#include "notify/script_launcher.h"
#include "serial/rfc2217_port.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

namespace CommandLine {

QString portProblem(const QString &value)
{
    if (Rfc2217Port::isAddress(value)) {
        Rfc2217Port::Address address;
        const QString problem = Rfc2217Port::parseAddress(value, &address);
        return problem.isEmpty() ? QString() : QCoreApplication::translate("CommandLine", "bad port: %1").arg(problem);
    }
    if (LineMonitor::isDevicePath(value))
        return QString();
    static const QRegularExpression number(QStringLiteral("^[0-9]+$"));
    bool ok = false;
    const int port = value.toInt(&ok);
    if (!number.match(value).hasMatch() || !ok || port < 1 || port > 15) {
        return QCoreApplication::translate("CommandLine",
                                           "bad port \"%1\": give a number from 1 to 15, a device path such as "
                                           "/dev/ttyUSB0, or rfc2217://HOST:PORT")
            .arg(value);
    }
    return QString();
}

const char kNormallyClosedUsage[] =
    "  --normally-closed CHANNELS  these channels' contacts are closed at rest (a comma list of\n"
    "                    fire, flood, intrusion): the line low, or a cut wire, is the alarm\n";

QString normallyClosedProblem(const QString &value, std::array<bool, Form::kChannels> *closed)
{
    std::array<bool, Form::kChannels> result{};
    for (const QString &name : value.split(QLatin1Char(','))) {
        ScriptLauncher::Channel channel{};
        if (!ScriptLauncher::channelFromName(name.trimmed(), &channel) || int(channel) >= Form::kChannels) {
            return QCoreApplication::translate("CommandLine",
                                               "bad --normally-closed channel \"%1\": give a comma list of fire, "
                                               "flood and intrusion")
                .arg(name.trimmed());
        }
        result[size_t(channel)] = true;
    }
    *closed = result;
    return QString();
}

QList<QCommandLineOption> sharedOptions()
{
    return QList<QCommandLineOption>{
               QCommandLineOption(QStringLiteral("normally-closed"), QString(), QStringLiteral("CHANNELS"))}
    + Delivery::commandLineOptions() + MqttOptions::commandLineOptions();
}

QString readShared(const QCommandLineParser &parser, const QString &port, const QString &defaultStateDir,
                   Shared *shared)
{
    if (parser.isSet(QStringLiteral("normally-closed"))) {
        if (const QString problem =
                normallyClosedProblem(parser.value(QStringLiteral("normally-closed")), &shared->normallyClosed);
            !problem.isEmpty())
            return problem;
    }
    if (const QString problem = Delivery::fromCommandLine(parser, defaultStateDir, &shared->delivery);
        !problem.isEmpty())
        return problem;
    return MqttOptions::fromCommandLine(parser, port, &shared->mqtt);
}

QStringList arguments(int argc, char *argv[])
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

void printUsage(std::FILE *out, const char *own)
{
    std::fprintf(out, "%s%s%s%s  --help, --version\n", own, kNormallyClosedUsage, Delivery::usage(),
                 MqttOptions::usage());
}

int usageError(const char *program, const QString &reason, const char *own)
{
    std::fprintf(stderr, "%s: %s\n\n", program, qPrintable(reason));
    printUsage(stderr, own);
    return kUsageError;
}

}
