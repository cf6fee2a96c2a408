#pragma once

#include <QString>

// Which device a port number stands for. On Linux port N is /dev/comN where an
// administrator or a udev rule made that link (so a USB adapter can have a
// number), otherwise /dev/ttyS{N-1}; on Windows it is COMN. Only names and
// links are looked at here: nothing is opened.
class PortMapping
{
public:
    explicit PortMapping(QString deviceDir = QStringLiteral("/dev"));

    QString devicePath(int port) const;

    // For the port list: the device, where it leads and whether it is there.
    QString describe(int port) const;

    // "/dev/com3 → /dev/ttyUSB0" for a link, the path itself otherwise.
    static QString withLinkTarget(const QString &path);

private:
    QString m_deviceDir;
};
