// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include "core/constants.h"
#include "core/delivery.h"
#include "mqtt/mqtt_options.h"

#include <QCommandLineOption>
#include <QList>

#include <array>
#include <cstdio>

// What the two programs' command lines share.
namespace CommandLine {

// The reason a --port value is refused, or empty: a number from 1 to 15
// (mapped as the port box maps it), a device path, or rfc2217://HOST:PORT.
QString portProblem(const QString &value);

// The channels a --normally-closed value names (a comma list of fire, flood
// and intrusion), or the reason it is refused.
QString normallyClosedProblem(const QString &value, std::array<bool, Form::kChannels> *closed);

// The options both programs take besides their own, as read.
struct Shared {
    std::array<bool, Form::kChannels> normallyClosed{};
    Delivery::Options delivery;
    MqttOptions mqtt;
};
// --normally-closed, the delivery's and MQTT's options.
QList<QCommandLineOption> sharedOptions();
// Fills shared from a parsed command line; the reason it cannot, or empty.
QString readShared(const QCommandLineParser &parser, const QString &port, const QString &defaultStateDir,
                   Shared *shared);

// argv as Qt strings, without starting an application (--help and
// --version must work without a display).
QStringList arguments(int argc, char *argv[]);

// Prints a program's own usage, then the shared options (--normally-closed,
// delivery, MQTT), then --help and --version.
void printUsage(std::FILE *out, const char *own);
// The reason and the usage on stderr; returns kUsageError.
int usageError(const char *program, const QString &reason, const char *own);

// Exit statuses, as sysexits-minded shells expect: 2 for a usage error.
constexpr int kUsageError = 2;

}
