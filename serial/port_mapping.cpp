// SPDX-License-Identifier: MIT
#include "port_mapping.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

PortMapping::PortMapping(QString deviceDir, QString sysfsRoot)
    : m_deviceDir(std::move(deviceDir))
    , m_sysfsRoot(std::move(sysfsRoot))
{
}

QString PortMapping::aliasPath(int port) const
{
    return QStringLiteral("%1/com%2").arg(m_deviceDir).arg(port);
}

QString PortMapping::devicePath(int port) const
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    // A comN link wins even when it dangles: opening it then names the missing
    // adapter instead of quietly opening some other port.
    const QString alias = aliasPath(port);
    if (QFileInfo(alias).isSymLink() || QFileInfo::exists(alias))
        return alias;
    return QStringLiteral("%1/ttyS%2").arg(m_deviceDir).arg(port - 1);
#endif
}

bool PortMapping::lacksUart(const QString &device) const
{
#ifdef Q_OS_WIN
    Q_UNUSED(device)
    return false;
#else
    // A missing device is a different fault (no such device); only serial
    // core ports have a type file, so ptys and USB adapters never match.
    const QString tty = ttyFolder(device);
    if (tty.isEmpty())
        return false;
    QFile type(tty + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly))
        return false;
    return type.read(16).trimmed() == "0";
#endif
}

QString PortMapping::ttyFolder(const QString &device) const
{
    // Links followed afresh each time: /dev/com3 or a by-id name may lead
    // elsewhere since the last look.
    const QString resolved = QFileInfo(device).canonicalFilePath();
    if (resolved.isEmpty())
        return QString();
    return QStringLiteral("%1/class/tty/%2").arg(m_sysfsRoot, QFileInfo(resolved).fileName());
}

QString PortMapping::driverName(const QString &device) const
{
#ifdef Q_OS_LINUX
    const QString tty = ttyFolder(device);
    if (tty.isEmpty())
        return QString();
    const QString target = QFileInfo(tty + QStringLiteral("/device/driver")).symLinkTarget();
    return target.isEmpty() ? QString() : QFileInfo(target).fileName();
#else
    Q_UNUSED(device)
    return QString();
#endif
}

QString PortMapping::byIdName(const QString &device) const
{
#ifdef Q_OS_LINUX
    const QString resolved = QFileInfo(device).canonicalFilePath();
    if (resolved.isEmpty())
        return QString();
    const QDir byId(m_deviceDir + QStringLiteral("/serial/by-id"));
    const QFileInfoList links = byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        if (link.canonicalFilePath() == resolved)
            return link.fileName();
    }
#else
    Q_UNUSED(device)
#endif
    return QString();
}

QString PortMapping::withLinkTarget(const QString &path)
{
    const QFileInfo info(path);
    return info.isSymLink() ? path + QStringLiteral(" \u2192 ") + info.symLinkTarget() : path;
}

QString PortMapping::describe(int port) const
{
    const QString path = devicePath(port);
#ifdef Q_OS_WIN
    return path;
#else
    QString text = withLinkTarget(path);
    if (!QFileInfo::exists(path))
        text += QCoreApplication::translate("PortMapping", " (not present)");
    else if (lacksUart(path))
        text += QCoreApplication::translate("PortMapping", " (no UART)");
    else
        text += QCoreApplication::translate("PortMapping", " (present)");
    return text;
#endif
}
