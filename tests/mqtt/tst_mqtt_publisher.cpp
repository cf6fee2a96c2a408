// SPDX-License-Identifier: MIT
// What the MQTT client makes of its options, and that a broker nobody
// answers for costs the panel nothing. What it sends is checked against a
// real broker (test_mqtt.py).

#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "core/event_log.h"
#include "core/mqtt_publisher.h"
#include "core/panel.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// A port on 127.0.0.1 that was free a moment ago: connecting is refused.
int unusedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}
}

class TestMqttPublisher : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void url_data();
    void url();
    void node_data();
    void node();
    void options_data();
    void options();
    void unreachableBrokerLogsOnceAndNeverBlocks();
};

void TestMqttPublisher::url_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("problem"); // part of the refusal, empty: accepted
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("user");

    QTest::newRow("plain host takes 1883") << "mqtt://broker.lan"
                                           << ""
                                           << "broker.lan" << 1883 << false << "";
    QTest::newRow("mqtts takes 8883") << "mqtts://broker.lan"
                                      << ""
                                      << "broker.lan" << 8883 << true << "";
    QTest::newRow("user and port") << "mqtt://panel@10.0.0.2:1884"
                                   << ""
                                   << "10.0.0.2" << 1884 << false << "panel";
    QTest::newRow("trailing slash is fine") << "mqtt://h/"
                                            << ""
                                            << "h" << 1883 << false << "";
    QTest::newRow("password in the URL refused") << "mqtt://u:pw@h"
                                                 << "no password in the URL"
                                                 << "" << 0 << false << "";
    QTest::newRow("refusal does not echo the password") << "mqtt://u:hunter2@h"
                                                        << "u@h"
                                                        << "" << 0 << false << "";
    QTest::newRow("other scheme") << "tcp://h"
                                  << "bad --mqtt"
                                  << "" << 0 << false << "";
    QTest::newRow("no host") << "mqtt://"
                             << "bad --mqtt"
                             << "" << 0 << false << "";
    QTest::newRow("bare host name, no scheme") << "broker"
                                               << "bad --mqtt"
                                               << "" << 0 << false << "";
    QTest::newRow("a path") << "mqtt://h/topic"
                            << "no path"
                            << "" << 0 << false << "";
}

void TestMqttPublisher::url()
{
    QFETCH(QString, url);
    QFETCH(QString, problem);
    MqttPublisher::Options options;
    const QString got = MqttPublisher::parseUrl(url, &options);
    if (!problem.isEmpty()) {
        QVERIFY2(got.contains(problem), qPrintable(got));
        QVERIFY2(!got.contains(u"hunter2"), qPrintable(got));
        return;
    }
    QVERIFY2(got.isEmpty(), qPrintable(got));
    QTEST(options.host, "host");
    QTEST(options.port, "port");
    QTEST(options.tls, "tls");
    QTEST(options.user, "user");
}

void TestMqttPublisher::node_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("node");

    QTest::newRow("number") << "alarmbox"
                            << "3"
                            << "alarmbox-3";
    QTest::newRow("domain dropped") << "alarmbox.example.org"
                                    << "3"
                                    << "alarmbox-3";
    QTest::newRow("device path made a topic level") << "pi"
                                                    << "/dev/ttyUSB0"
                                                    << "pi-_dev_ttyUSB0";
    QTest::newRow("wildcards never reach a topic") << "a+b"
                                                   << "#1"
                                                   << "a_b-_1";
    QTest::newRow("window without a port") << "pi"
                                           << ""
                                           << "pi";
}

void TestMqttPublisher::node()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QTEST(MqttPublisher::defaultNode(host, port), "node");
}

void TestMqttPublisher::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("environmentPassword");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("password");

    QTest::newRow("no --mqtt, nothing") << QStringList() << QByteArray("pw") << ""
                                        << "";
    QTest::newRow("password from the environment") << QStringList{"--mqtt", "mqtt://u@h"} << QByteArray("pw") << ""
                                                   << "pw";
    QTest::newRow("password without a user") << QStringList{"--mqtt", "mqtt://h"} << QByteArray("pw") << "needs a user"
                                             << "";
    QTest::newRow("keep-alive below libmosquitto's floor")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-keepalive", "4"} << QByteArray() << "--mqtt-keepalive"
        << "";
    QTest::newRow("node of nothing usable")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-node", ""} << QByteArray() << "--mqtt-node"
        << "";
    QTest::newRow("MQTT option without --mqtt")
        << QStringList{"--mqtt-keepalive", "10"} << QByteArray() << "needs --mqtt"
        << "";
}

void TestMqttPublisher::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, environmentPassword);
    QFETCH(QString, problem);
    if (environmentPassword.isEmpty())
        qunsetenv(MqttPublisher::kPasswordVariable);
    else
        qputenv(MqttPublisher::kPasswordVariable, environmentPassword);
    QCommandLineParser parser;
    parser.addOptions(MqttPublisher::commandLineOptions());
    QVERIFY(parser.parse(QStringList{QStringLiteral("prog")} + arguments));
    MqttPublisher::Options options;
    const QString got = MqttPublisher::fromCommandLine(parser, QStringLiteral("3"), &options);
    qunsetenv(MqttPublisher::kPasswordVariable);
    if (!problem.isEmpty()) {
        QVERIFY2(got.contains(problem), qPrintable(got));
        return;
    }
    QVERIFY2(got.isEmpty(), qPrintable(got));
    QTEST(options.password, "password");
    QCOMPARE(options.host.isEmpty(), arguments.isEmpty());
}

void TestMqttPublisher::unreachableBrokerLogsOnceAndNeverBlocks()
{
    const int port = unusedPort();
    Panel panel(std::make_unique<FakeSerialPort>(), std::make_unique<FakeScriptLauncher>());
    EventLog log(nullptr);
    QStringList events;
    connect(&log, &EventLog::recorded, this,
            [&events](const QDateTime &, EventLog::Priority, const QString &event, const EventLog::Fields &) {
                events.append(event);
            });
    MqttPublisher::Options options;
    options.host = QStringLiteral("127.0.0.1");
    options.port = port;
    options.node = QStringLiteral("n");
    MqttPublisher mqtt(&panel, &log, options);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(mqtt.start());
    QVERIFY(clock.elapsed() < 100);
    QTRY_COMPARE_WITH_TIMEOUT(events.count(QStringLiteral("mqtt-error")), 1, 5000);
    // Retries meanwhile, quietly.
    QTest::qWait(2500);
    QCOMPARE(events.count(QStringLiteral("mqtt-error")), 1);
    QVERIFY(!mqtt.isConnected());
    clock.restart();
    mqtt.stop();
    QVERIFY2(clock.elapsed() < 2000, "stopping while the broker is away must not wait for it");
}

QTEST_GUILESS_MAIN(TestMqttPublisher)
#include "tst_mqtt_publisher.moc"
