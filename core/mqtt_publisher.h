// SPDX-License-Identifier: MIT
#pragma once

// The panel on an MQTT broker, found by Home Assistant (--mqtt URL).
//
// Under rs232-phone-home/<node>: availability (online, or offline as the
// broker's last will and on an orderly stop), fire, flood and intrusion
// (ON in ALARM), notifications (armed/disarmed), lines (the five levels as
// JSON) and event (every event of the log as JSON). Discovery configs go to
// homeassistant/binary_sensor/<node>/<channel>/config. States, availability
// and configs are retained and published again on every (re)connect.
//
// The network runs on a thread of its own that drives libmosquitto
// (connect, loop, reconnect with back-off): the broker going away or a name
// server that never answers never holds up polling, a script or a stop.
// What it learns comes back to this object's thread queued, as
// mqtt-connected, mqtt-lost and mqtt-error (each distinct reason once).

#include "event_log.h"
#include "serial/serial_port.h"

#include <QCommandLineOption>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

class Panel;
class QCommandLineParser;
struct mosquitto;

class MqttPublisher : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultPort = 1883;
    static constexpr int kDefaultTlsPort = 8883;
    static constexpr int kDefaultKeepAlive = 30;
    static constexpr char kPasswordVariable[] = "PHONE_HOME_MQTT_PASSWORD";

    struct Options {
        QString host;
        int port = kDefaultPort;
        bool tls = false;
        QString caFile; // mqtts without one: the system's CAs
        QString user;
        QString password;
        QString node;
        int keepAlive = kDefaultKeepAlive;
        QStringList warnings; // told once the log runs (a password file others can read)
    };

    // --mqtt, --mqtt-ca, --mqtt-password-file, --mqtt-node, --mqtt-keepalive.
    static QList<QCommandLineOption> commandLineOptions();
    // The usage text's lines for them.
    static const char *usage();
    // Fills options from a parsed command line; the reason it cannot, or
    // empty. Not set (no --mqtt): returns empty and leaves host empty.
    // The password comes from the file or the environment, never argv.
    static QString fromCommandLine(const QCommandLineParser &parser, const QString &port, Options *options);

    // mqtt://[user@]host[:port] or mqtts://…; the reason it is refused, or empty.
    static QString parseUrl(const QString &url, Options *options);
    // Host name, port and a short mark of the machine, as a topic level:
    // [A-Za-z0-9_-] only, e.g. alarmbox-3-1a2b.
    static QString defaultNode(const QString &host, const QString &port, const QByteArray &machineId);
    static QString sanitised(const QString &text);

    static QByteArray linesJson(const LineState &lines);
    static QByteArray eventJson(const QDateTime &time, const QString &event, const EventLog::Fields &fields);
    static QByteArray discoveryConfig(const QString &node, int channel);
    static QString baseTopic(const QString &node);
    static QString discoveryTopic(const QString &node, int channel);

    MqttPublisher(Panel *panel, EventLog *log, const Options &options, QObject *parent = nullptr);
    // Stops as stop() does.
    ~MqttPublisher() override;

    // Starts connecting in the background; false (and logged) only if the
    // client cannot be set up at all (a CA file libmosquitto refuses).
    bool start();
    // Publishes offline and disconnects, waiting for the network thread at
    // most kStopWait: one stuck in a name lookup is left to end with the
    // process, so a stop never waits on the network.
    void stop();
    static constexpr std::chrono::milliseconds kStopWait{500};

    bool isConnected() const { return m_connected; }

private:
    struct Link;
    static void runNetwork(const std::shared_ptr<Link> &link);
    void connected(int code);
    void disconnected(int code);
    void connectFailed(const QString &text);
    void publishAll();
    void publish(const QString &leaf, const QByteArray &payload, bool retain);
    void publishTo(const QString &topic, const QByteArray &payload, bool retain);
    QString broker() const;

    Panel *m_panel;
    EventLog *m_log;
    Options m_options;
    QString m_base;
    mosquitto *m_mosq = nullptr;
    std::shared_ptr<Link> m_link;
    std::thread m_network;
    bool m_connected = false;
    QSet<QString> m_toldFailures; // since the last connect
    bool m_stopped = false;
    std::optional<LineState> m_lines;
};
