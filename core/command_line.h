// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

// What the two programs' command lines share.
namespace CommandLine {

// The reason a --port value is refused, or empty: a number from 1 to 15
// (mapped as the port box maps it) or a device path.
QString portProblem(const QString &value);

// argv as Qt strings, without starting an application (--help and
// --version must work without a display).
QStringList arguments(int argc, char *argv[]);

// Exit statuses, as sysexits-minded shells expect: 2 for a usage error.
constexpr int kUsageError = 2;

}
