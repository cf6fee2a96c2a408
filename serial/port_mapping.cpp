// SPDX-License-Identifier: MIT
#include "port_mapping.h"

#include <QCoreApplication>
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
    const QString resolved = QFileInfo(device).canonicalFilePath();
    if (resolved.isEmpty())
        return false;
    QFile type(QStringLiteral("%1/class/tty/%2/type").arg(m_sysfsRoot, QFileInfo(resolved).fileName()));
    if (!type.open(QIODevice::ReadOnly))
        return false;
    return type.read(16).trimmed() == "0";
#endif
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
