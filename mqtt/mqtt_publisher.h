// SPDX-License-Identifier: MIT
#pragma once

// The panel on an MQTT broker, found by Home Assistant (--mqtt URL).
//
// Under rs232-phone-home/<node>: availability (online, or offline as the
// broker's last will and on an orderly stop), fire, flood and intrusion
// (ON in ALARM) each with its own availability (offline where the adapter
// does not report the input), notifications (armed/disarmed), lines (the five levels as
// JSON) and event (every event of the log as JSON). Discovery configs go to
// homeassistant/binary_sensor/<node>/<channel>/config. States, availability
// and configs are retained and published again on every (re)connect.
//
// This side decides what to say; an MqttClient carries it (by default the
// libmosquitto client, from the module loaded at start()). What the client
// learns is logged as mqtt-connected, mqtt-lost and mqtt-error (each
// distinct reason once).

#include "mqtt_client.h"
#include "mqtt_options.h"

#include "core/constants.h"
#include "record/event_log.h"
#include "serial/serial_port.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>

#include <array>
#include <memory>
#include <optional>

class Panel;

class MqttPublisher : public QObject, private MqttClient::Listener
{
    Q_OBJECT
public:
    // Inputs not reported are null.
    static QByteArray linesJson(const LineState &lines, const std::array<bool, Form::kChannels> &reported);
    static QByteArray eventJson(const QDateTime &time, const QString &event, const EventLog::Fields &fields);
    static QByteArray discoveryConfig(const QString &node, int channel);
    static QString baseTopic(const QString &node);
    static QString discoveryTopic(const QString &node, int channel);
    // The channel's own availability: offline where the adapter does not
    // report its input.
    static QString availabilityTopic(const QString &node, int channel);

    // Without a client, start() loads the module's.
    MqttPublisher(Panel *panel, EventLog *log, const MqttOptions &options,
                  std::unique_ptr<MqttClient> client = nullptr, QObject *parent = nullptr);
    // Stops as stop() does.
    ~MqttPublisher() override;

    // Starts connecting in the background; false (and logged) only if the
    // client cannot be set up at all (no module, a CA file libmosquitto
    // refuses).
    bool start();
    // Publishes offline and disconnects, waiting for the network at most
    // MqttClient::kStopWait, so a stop never waits on the broker.
    void stop();

    bool isConnected() const { return m_connected; }

private:
    void mqttConnected() override;
    void mqttLost(const QString &why) override;
    void mqttFailed(const QString &text) override;
    void publishAll();
    std::array<bool, Form::kChannels> reported() const;
    void publish(const QString &leaf, const QByteArray &payload, bool retain);
    void publishTo(const QString &topic, const QByteArray &payload, bool retain);

    Panel *m_panel;
    EventLog *m_log;
    MqttOptions m_options;
    QString m_base;
    std::unique_ptr<MqttClient> m_client;
    bool m_connected = false;
    QSet<QString> m_toldFailures; // since the last connect
    bool m_stopped = false;
    std::optional<LineState> m_lines;
};
