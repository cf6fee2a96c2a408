// SPDX-License-Identifier: MIT
#include "adapter_driver.h"

#include <QCoreApplication>
#include <QStringList>

namespace {
struct Entry {
    const char *name;
    std::array<bool, 3> reports;
    bool canWait;
    bool countsEdges;
    bool reportsRing;
    bool ringFallsOnly;
};

// Read from Linux 6.1's drivers; ftdi_sio and cdc_acm also measured on the
// real drivers (docs/using-the-window.md lists the sources).
constexpr Entry kTable[] = {
    {"serial", {true, true, true}, true, true, true, true}, // 8250 found through PnP or ACPI
    {"serial8250", {true, true, true}, true, true, true, true},
    {"ftdi_sio", {true, true, true}, true, true, true, false},
    {"pl2303", {true, true, true}, true, false, true, false},
    {"ch341-uart", {true, true, true}, true, false, true, false},
    {"cp210x", {true, true, true}, false, false, true, false},
    {"cdc_acm", {false, true, true}, true, true, true, false},
};

const char *const kLineNames[] = {"CTS", "DSR", "DCD"};
}

AdapterDriver AdapterDriver::named(const QString &name)
{
    AdapterDriver driver;
    driver.name = name;
    for (const Entry &entry : kTable) {
        if (name == QLatin1String(entry.name)) {
            driver.known = true;
            driver.reports = entry.reports;
            driver.canWait = entry.canWait;
            driver.countsEdges = entry.countsEdges;
            driver.reportsRing = entry.reportsRing;
            driver.ringFallsOnly = entry.ringFallsOnly;
            break;
        }
    }
    return driver;
}

QString AdapterDriver::reportedLines() const
{
    QStringList lines;
    for (size_t c = 0; c < reports.size(); ++c) {
        if (reports[c])
            lines.append(QString::fromLatin1(kLineNames[c]).toLower());
    }
    return lines.join(u',');
}

QString AdapterDriver::unreportedText(int channel) const
{
    if (reports[size_t(channel)])
        return QString();
    return QCoreApplication::translate("AdapterDriver", "%1 is not reported by this adapter (%2)")
        .arg(QLatin1String(kLineNames[channel]), name);
}

QString AdapterDriver::unreportedRingText() const
{
    if (reportsRing)
        return QString();
    return QCoreApplication::translate("AdapterDriver", "%1 is not reported by this adapter (%2)")
        .arg(QLatin1String("RI"), name);
}

QString AdapterDriver::samplingText() const
{
    if (!remote)
        return QString();
    // ser2net (through gensio) reads TIOCMGET on a one-second timer.
    if (signature.startsWith(QLatin1String("ser2net")))
        return QCoreApplication::translate("AdapterDriver",
                                           "the server samples the lines (ser2net: once a second), so a pulse "
                                           "shorter than that may be missed");
    return QCoreApplication::translate("AdapterDriver",
                                       "the server samples the lines at its own pace, so a short pulse may be "
                                       "missed");
}
