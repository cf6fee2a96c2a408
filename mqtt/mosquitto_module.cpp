// SPDX-License-Identifier: MIT
// The module --mqtt loads (rs232-phone-home-mqtt.so): the libmosquitto
// client and, through it, OpenSSL, mapped only by a program that asks.

#include "mosquitto_client.h"

extern "C" Q_DECL_EXPORT MqttClient *phone_home_mqtt_create(int interfaceVersion)
{
    if (interfaceVersion != MqttClient::kInterfaceVersion)
        return nullptr;
    return new MosquittoClient;
}
