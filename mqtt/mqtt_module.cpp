// SPDX-License-Identifier: MIT
#include "mqtt_module.h"

#include "mqtt_client.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace MqttModule {

std::unique_ptr<MqttClient> createClient(QString *problem)
{
    const QDir programDir(QCoreApplication::applicationDirPath());
    const QStringList places{programDir.path(),
                             QDir::cleanPath(programDir.filePath(QStringLiteral(PHONE_HOME_MODULE_DIR)))};
    QString path;
    for (const QString &place : std::as_const(places)) {
        const QString candidate = QDir(place).filePath(QLatin1String(kFileName));
        if (QFileInfo::exists(candidate)) {
            path = candidate;
            break;
        }
    }
    if (path.isEmpty()) {
        *problem = QStringLiteral("the MQTT module %1 is in none of %2; reinstall the package; the panel goes on "
                                  "without MQTT")
                       .arg(QLatin1String(kFileName), places.join(QStringLiteral(", ")));
        return nullptr;
    }
    // Never unloaded: a network thread left in a name lookup at a stop may
    // still run in it until the process ends.
    QLibrary library(path);
    const auto create = reinterpret_cast<PhoneHomeMqttCreate>(library.resolve(kPhoneHomeMqttCreate));
    if (!create) {
        *problem = QStringLiteral("cannot load the MQTT module %1: %2; reinstall the package; the panel goes on "
                                  "without MQTT")
                       .arg(path, library.errorString());
        return nullptr;
    }
    std::unique_ptr<MqttClient> client(create(MqttClient::kInterfaceVersion));
    if (!client)
        *problem = QStringLiteral("the MQTT module %1 belongs to another version of the program; reinstall the "
                                  "package; the panel goes on without MQTT")
                       .arg(path);
    return client;
}

}
