// SPDX-License-Identifier: MIT
#pragma once

// The connection to an MQTT broker, behind an interface: the panel's side
// (MqttPublisher) decides what to say, a client carries it. The libmosquitto
// client lives in a module loaded only when --mqtt is given (mqtt_module.h),
// so a program that names no broker maps neither libmosquitto nor OpenSSL.
//
// Header only, on purpose: the module is built against this file and needs
// no symbol of the program that loads it.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>

class MqttClient
{
public:
    // Raised on every change to this header; the loader refuses a module
    // built against another.
    static constexpr int kInterfaceVersion = 2;
    // A stop waits at most this for the network: one stuck in a name lookup
    // is left to end with the process.
    static constexpr std::chrono::milliseconds kStopWait{500};

    struct Settings {
        QByteArray clientId;
        QString host;
        int port = 0;
        bool tls = false;
        QString caFile; // with tls and none: the system's CAs
        QString user;
        QString password;
        int keepAlive = 0;
        QByteArray willTopic; // retained, told by the broker if we vanish
        QByteArray willPayload;
        // Subscribed at QoS 1 on every connect (the session is clean, so a
        // reconnect starts with none).
        QList<QByteArray> subscriptions;
    };

    // What the client learns, told queued on the thread of the context
    // object given to start().
    class Listener
    {
    public:
        virtual void mqttConnected() = 0;
        // A working connection ended: why, in words; empty for an orderly end.
        virtual void mqttLost(const QString &why) = 0;
        // A connection that could not be made or was refused, in words that
        // name the broker and say what to check.
        virtual void mqttFailed(const QString &text) = 0;
        // A message on a subscribed topic; retained: the broker's stored
        // copy, sent because we subscribed, not a message sent just now.
        virtual void mqttMessage(const QByteArray &topic, const QByteArray &payload, bool retained) = 0;

    protected:
        ~Listener() = default;
    };

    virtual ~MqttClient() = default;

    // Starts connecting in the background and returns at once; false (and
    // told through mqttFailed) only if the client cannot be set up at all.
    virtual bool start(const Settings &settings, QObject *context, Listener *listener) = 0;
    // Queued for the network; dropped while not connected.
    virtual void publish(const QByteArray &topic, const QByteArray &payload, bool retain) = 0;
    // Sends what is queued and disconnects, waiting at most kStopWait.
    virtual void stop() = 0;
};

// The module's one entry point: a new client, or null if the module was
// built against another interface version.
extern "C" {
using PhoneHomeMqttCreate = MqttClient *(*)(int interfaceVersion);
}
inline constexpr char kPhoneHomeMqttCreate[] = "phone_home_mqtt_create";
