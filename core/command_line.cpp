// SPDX-License-Identifier: MIT
#include "command_line.h"

#include "line_monitor.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace CommandLine {

QString portProblem(const QString &value)
{
    if (LineMonitor::isDevicePath(value))
        return QString();
    static const QRegularExpression number(QStringLiteral("^[0-9]+$"));
    bool ok = false;
    const int port = value.toInt(&ok);
    if (!number.match(value).hasMatch() || !ok || port < 1 || port > 15) {
        return QCoreApplication::translate("CommandLine",
                                           "bad port \"%1\": give a number from 1 to 15 or a device path such as "
                                           "/dev/ttyUSB0")
            .arg(value);
    }
    return QString();
}

QStringList arguments(int argc, char *argv[])
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

void printUsage(std::FILE *out, const char *own, const char *shared)
{
    std::fprintf(out, "%s%s  --help, --version\n", own, shared);
}

int usageError(const char *program, const QString &reason, const char *own, const char *shared)
{
    std::fprintf(stderr, "%s: %s\n\n", program, qPrintable(reason));
    printUsage(stderr, own, shared);
    return kUsageError;
}

}
