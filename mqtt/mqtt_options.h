// SPDX-License-Identifier: MIT
#pragma once

// Where the panel's MQTT broker is and who it is there: read from the
// command line (--mqtt and its companions) before anything connects, so a
// bad URL or an unreadable password file is a usage error at start. Needs no
// MQTT library: a program that names no broker never loads one.

#include <QByteArray>
#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

struct MqttOptions {
    static constexpr int kDefaultPort = 1883;
    static constexpr int kDefaultTlsPort = 8883;
    static constexpr int kDefaultKeepAlive = 30;
    static constexpr int kMinKeepAlive = 5; // libmosquitto's floor
    static constexpr char kPasswordVariable[] = "PHONE_HOME_MQTT_PASSWORD";
    // Every topic of ours starts with it; the client id and the Home
    // Assistant ids too.
    static constexpr char kPrefix[] = "rs232-phone-home";

    QString host; // empty: no --mqtt
    int port = kDefaultPort;
    bool tls = false;
    QString caFile; // mqtts without one: the system's CAs
    QString user;
    QString password;
    QString node;
    int keepAlive = kDefaultKeepAlive;
    // --mqtt-control: arm and disarm from the broker (…/panel/set).
    bool control = false;
    QStringList warnings; // told once the log runs (a password file others can read)

    // host:port, as every message about the broker names it.
    QString broker() const;

    // --mqtt, --mqtt-ca, --mqtt-password-file, --mqtt-node, --mqtt-keepalive,
    // --mqtt-control.
    static QList<QCommandLineOption> commandLineOptions();
    // The usage text's lines for them.
    static const char *usage();
    // Fills options from a parsed command line; the reason it cannot, or
    // empty. Not set (no --mqtt): returns empty and leaves host empty.
    // The password comes from the file or the environment, never argv.
    static QString fromCommandLine(const QCommandLineParser &parser, const QString &port, MqttOptions *options);

    // mqtt://[user@]host[:port] or mqtts://…; the reason it is refused, or empty.
    static QString parseUrl(const QString &url, MqttOptions *options);
    // Host name, port and a short mark of the machine, as a topic level:
    // [A-Za-z0-9_-] only, e.g. alarmbox-3-1a2b.
    static QString defaultNode(const QString &host, const QString &port, const QByteArray &machineId);
    static QString sanitised(const QString &text);
};
