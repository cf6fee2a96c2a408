// SPDX-License-Identifier: MIT
#pragma once

// The panel on an MQTT broker, found by Home Assistant (--mqtt URL).
//
// Under rs232-phone-home/<node>: availability (online, or offline as the
// broker's last will and on an orderly stop), fire, flood and intrusion
// (ON in ALARM) each with its own availability (offline where the adapter
// does not report the input), notifications (armed/disarmed), lines (the five levels as
// JSON) and event (every event of the log as JSON). Discovery configs go to
// homeassistant/binary_sensor/<node>/<channel>/config. With an Arming
// (setArming), panel carries its state and Home Assistant sees an alarm
// panel (--mqtt-control: it may arm and disarm, with the code, through
// panel/set) or else a sensor of the state. States, availability and configs
// are retained and published again on every (re)connect. A command is taken
// only live (never the broker's retained copy), on the connection the
// configured user authenticated; a refusal is logged as command-refused with
// its reason, never the code.
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
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

class Arming;
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
    // The arming panel: with control an alarm_control_panel Home Assistant
    // can command, else a sensor of the state (Home Assistant's alarm panel
    // must have a command topic, and buttons nobody listens to would mislead).
    static QByteArray panelConfig(const QString &node, bool control);
    static QString panelDiscoveryTopic(const QString &node, bool control);
    static QString commandTopic(const QString &node);

    // A larger command is refused unread.
    static constexpr qsizetype kMaxCommand = 1024;
    // Each reason for refusing a command is logged at most this often.
    static constexpr std::chrono::minutes kRefusalQuiet{1};
    // A non-retained message waits this long after retained ones: a broker
    // may take it past them when both come in one read (aedes stores a
    // retained message first, asynchronously, then drops it as a duplicate
    // for a subscriber that already had the later one).
    static constexpr std::chrono::milliseconds kAfterRetained{100};

    // Without a client, start() loads the module's.
    MqttPublisher(Panel *panel, EventLog *log, const MqttOptions &options, std::unique_ptr<MqttClient> client = nullptr,
                  QObject *parent = nullptr);
    // Stops as stop() does.
    ~MqttPublisher() override;

    // The panel's arming, shown and (with --mqtt-control) commanded; set
    // before start(). None: no panel entity.
    void setArming(Arming *arming);

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
    void mqttMessage(const QByteArray &topic, const QByteArray &payload, bool retained) override;
    // Why the command is refused, or empty once carried out.
    QString runCommand(const QByteArray &payload, bool retained);
    void refuse(const QString &reason);
    void publishAll();
    // The channel's input can be seen: its device is there and reports it.
    bool available(int channel) const;
    void publishPanel();
    std::array<bool, Form::kChannels> reported() const;
    void publish(const QString &leaf, const QByteArray &payload, bool retain);
    void publishTo(const QString &topic, const QByteArray &payload, bool retain);
    void send(const QByteArray &topic, const QByteArray &payload, bool retain);
    void flush();
    // How long a non-retained message must still wait; zero: none.
    std::chrono::steady_clock::duration quietLeft() const;

    struct Message {
        QByteArray topic;
        QByteArray payload;
        bool retain = false;
    };

    Panel *m_panel;
    EventLog *m_log;
    MqttOptions m_options;
    QString m_base;
    std::unique_ptr<MqttClient> m_client;
    bool m_connected = false;
    bool m_deviceLost = false;
    QSet<QString> m_toldFailures; // since the last connect
    bool m_stopped = false;
    std::optional<LineState> m_lines;
    Arming *m_arming = nullptr;
    QHash<QString, std::chrono::steady_clock::time_point> m_refusals; // when each reason was last logged
    // Held while a non-retained message must wait for kAfterRetained.
    QList<Message> m_held;
    QTimer m_release;
    std::optional<std::chrono::steady_clock::time_point> m_lastRetained;
};
