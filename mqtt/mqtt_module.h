// SPDX-License-Identifier: MIT
#pragma once

// Loads the MQTT client module (libmosquitto and OpenSSL) when a broker is
// named, and only then: it is looked for beside the program (a build tree),
// then in the installed module folder, found from the program's own
// (../lib/…/rs232-phone-home), so the package works under any prefix.

#include <QString>

#include <memory>

class MqttClient;

namespace MqttModule {
inline constexpr char kFileName[] = "rs232-phone-home-mqtt.so";

// A new client from the module, or null with the reason in problem.
std::unique_ptr<MqttClient> createClient(QString *problem);
}
