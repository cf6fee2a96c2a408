#include "port_mapping.h"

#include <QCoreApplication>
#include <QFileInfo>

PortMapping::PortMapping(QString deviceDir)
    : m_deviceDir(std::move(deviceDir))
{
}

QString PortMapping::devicePath(int port) const
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    // A comN link wins even when it dangles: opening it then names the missing
    // adapter instead of quietly opening some other port.
    const QString alias = QStringLiteral("%1/com%2").arg(m_deviceDir).arg(port);
    if (QFileInfo(alias).isSymLink() || QFileInfo::exists(alias))
        return alias;
    return QStringLiteral("%1/ttyS%2").arg(m_deviceDir).arg(port - 1);
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
    text += QFileInfo::exists(path) ? QCoreApplication::translate("PortMapping", " (present)")
                          : QCoreApplication::translate("PortMapping", " (not present)");
    return text;
#endif
}
