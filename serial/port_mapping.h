// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Which device a port number stands for. On Linux port N is /dev/comN where an
// administrator or a udev rule made that link (so a USB adapter can have a
// number), otherwise /dev/ttyS{N-1}; on Windows it is COMN. Only names, links
// and sysfs are looked at here: nothing is opened.
class PortMapping
{
public:
    explicit PortMapping(QString deviceDir = QStringLiteral("/dev"), QString sysfsRoot = QStringLiteral("/sys"));

    QString devicePath(int port) const;
    // The name a link must have to make a device port N (/dev/comN).
    QString aliasPath(int port) const;

    // For the port list: the device, where it leads and whether it is there.
    QString describe(int port) const;

    // The device exists but the kernel found no UART behind it: a PC has
    // ttyS0-3 whether or not a chip answers at their addresses, and sysfs
    // lists such a port's type as 0 (unknown). Links are followed first.
    bool lacksUart(const QString &device) const;

    // The tty's kernel driver as sysfs names it (ftdi_sio, cdc_acm), links
    // followed afresh; empty where there is none (a pseudo-terminal).
    QString driverName(const QString &device) const;
    // The adapter's stable name under serial/by-id, where udev made one
    // ("usb-FTDI_FT232R_USB_UART_A10K-if00-port0"); empty otherwise.
    QString byIdName(const QString &device) const;

    // "/dev/com3 → /dev/ttyUSB0" for a link, the path itself otherwise.
    static QString withLinkTarget(const QString &path);

private:
    // The device's folder under class/tty in sysfs; empty where it is missing.
    QString ttyFolder(const QString &device) const;

    QString m_deviceDir;
    QString m_sysfsRoot;
};
