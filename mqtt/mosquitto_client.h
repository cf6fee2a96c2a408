// SPDX-License-Identifier: MIT
#pragma once

// The MQTT client on libmosquitto, built into the module that --mqtt loads.
//
// The network runs on a thread of its own that drives libmosquitto
// (connect, loop, reconnect with back-off): the broker going away or a name
// server that never answers never holds up polling, a script or a stop.
// What it learns comes back to the listener's thread queued. A TLS failure
// is explained by a handshake of our own (tls_check.h).

#include "mqtt_client.h"

#include <memory>
#include <thread>

struct mosquitto;

class MosquittoClient final : public MqttClient
{
public:
    MosquittoClient() = default;
    // Stops as stop() does.
    ~MosquittoClient() override;

    bool start(const Settings &settings, QObject *context, Listener *listener) override;
    void publish(const QByteArray &topic, const QByteArray &payload, bool retain) override;
    void stop() override;

private:
    struct Link;
    static void runNetwork(const std::shared_ptr<Link> &link);
    QString broker() const;

    Settings m_settings;
    mosquitto *m_mosq = nullptr;
    std::shared_ptr<Link> m_link;
    std::thread m_network;
    Listener *m_listener = nullptr;
    bool m_connected = false; // as last told to the listener
    bool m_stopped = false;
};
