// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>

// Who holds a serial device that would not open (error 204), and what to do
// about it. The holder is the process a live lock file names, or a process
// that has the device open: found in /proc/*/fd by the device number, so a
// /dev/comN or by-id link names the same device as the node behind it.
// Another user's descriptors stay hidden unless we are root. What to do
// depends on who it is: ModemManager, gpsd and brltty take adapters from
// udev, a getty runs a login prompt on the port; anyone else is named.
struct PortHolder {
    qint64 pid = 0;
    QString name; // /proc/PID/comm; empty where it cannot be read

    static QString defaultProcRoot() { return QStringLiteral("/proc"); }

    static PortHolder ofPid(qint64 pid, const QString &procRoot = defaultProcRoot());
    // Every process but this one with the device open, as far as procRoot
    // lets this user see.
    static QList<PortHolder> openersOf(const QString &device, const QString &procRoot = defaultProcRoot());

    // What to do about the process pid called name that holds the device
    // called kernelName below /dev (ttyS0): the end of an error 204.
    static QString advice(const QString &name, qint64 pid, const QString &kernelName);

    // "gpsd (process 812) and agetty (process 901)"; "another program"
    // when none was found.
    static QString describe(const QList<PortHolder> &holders);
    // advice() for each kind of holder of device, or where to read how to
    // find the holder when none was found.
    static QString advice(const QList<PortHolder> &holders, const QString &device);
};
