// SPDX-License-Identifier: MIT
// What the MQTT client makes of its options, and that a broker nobody
// answers for costs the panel nothing. What it sends is checked against a
// real broker (test_mqtt.py).

#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "mqtt/mosquitto_client.h"
#include "mqtt/mqtt_publisher.h"
#include "record/event_log.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// Connected at once; keeps the last payload per topic.
class RecordingClient : public MqttClient
{
public:
    explicit RecordingClient(QMap<QByteArray, QByteArray> *sent)
        : m_sent(sent)
    {
    }
    bool start(const Settings &, QObject *, Listener *listener) override
    {
        listener->mqttConnected();
        return true;
    }
    void publish(const QByteArray &topic, const QByteArray &payload, bool) override { m_sent->insert(topic, payload); }
    void stop() override { }

private:
    QMap<QByteArray, QByteArray> *m_sent;
};

class TestMqttPublisher : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void url_data();
    void url();
    void node_data();
    void node();
    void options_data();
    void options();
    void unreachableBrokerLogsOnceAndNeverBlocks();
    void unreportedChannelIsUnavailable();

private:
    QTemporaryDir m_files;
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
    MqttOptions options;
    const QString got = MqttOptions::parseUrl(url, &options);
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
    QTest::addColumn<QByteArray>("machineId");
    QTest::addColumn<QString>("node");

    const QByteArray site1 = "0123456789abcdef0123456789abcdef";
    const QByteArray site2 = "fedcba9876543210fedcba9876543210";
    // Pinned: a different mark would rename every panel in Home Assistant.
    QTest::newRow("number, with the machine's mark") << "alarmbox"
                                                     << "3" << site1 << "alarmbox-3-aabe";
    QTest::newRow("same name and port on another machine") << "alarmbox"
                                                           << "3" << site2 << "alarmbox-3-7c17";
    QTest::newRow("domain dropped, mark kept") << "alarmbox.example.org"
                                               << "3" << site1 << "alarmbox-3-aabe";
    QTest::newRow("machine id file ends in a newline") << "alarmbox"
                                                       << "3" << site1 + '\n'
                                                       << "alarmbox-3-aabe";
    QTest::newRow("no machine id: site1's full host name") << "alarmbox.site1"
                                                           << "3" << QByteArray() << "alarmbox-3-d538";
    QTest::newRow("no machine id: site2's full host name") << "alarmbox.site2"
                                                           << "3" << QByteArray() << "alarmbox-3-0e34";
    QTest::newRow("device path made a topic level") << "pi"
                                                    << "/dev/ttyUSB0" << site1 << "pi-_dev_ttyUSB0-aabe";
    QTest::newRow("wildcards never reach a topic") << "a+b"
                                                   << "#1" << site1 << "a_b-_1-aabe";
    QTest::newRow("window without a port") << "pi"
                                           << "" << site1 << "pi-aabe";
}

void TestMqttPublisher::node()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QByteArray, machineId);
    QTEST(MqttOptions::defaultNode(host, port, machineId), "node");
}

void TestMqttPublisher::initTestCase()
{
    QVERIFY(m_files.isValid());
    const auto write = [this](const char *name, const QByteArray &text, QFile::Permissions mode) {
        QFile file(m_files.filePath(QLatin1String(name)));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.setPermissions(mode);
    };
    QVERIFY(write("secret", "s3cret\nsecond line\n", QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(write("shared", "pw\r\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(write("endless", QByteArray(5000, 'x'), QFile::ReadOwner));
    QVERIFY(mkfifo(QFile::encodeName(m_files.filePath(QStringLiteral("fifo"))).constData(), 0600) == 0);
}

void TestMqttPublisher::options_data()
{
    QTest::addColumn<QStringList>("arguments"); // %D: a folder of the test's files
    QTest::addColumn<QByteArray>("environmentPassword");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("warning");

    const QStringList url{"--mqtt", "mqtt://u@h"};
    QTest::newRow("no --mqtt, nothing") << QStringList() << QByteArray("pw") << ""
                                        << ""
                                        << "";
    QTest::newRow("password from the environment") << url << QByteArray("pw") << ""
                                                   << "pw"
                                                   << "";
    QTest::newRow("password without a user") << QStringList{"--mqtt", "mqtt://h"} << QByteArray("pw") << "needs a user"
                                             << ""
                                             << "";
    QTest::newRow("keep-alive below libmosquitto's floor")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-keepalive", "4"} << QByteArray() << "--mqtt-keepalive"
        << ""
        << "";
    QTest::newRow("node of nothing usable")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-node", ""} << QByteArray() << "--mqtt-node"
        << ""
        << "";
    QTest::newRow("node with a topic separator")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-node", "a/b"} << QByteArray() << "bad --mqtt-node \"a/b\""
        << ""
        << "";
    QTest::newRow("node that is a wildcard")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-node", "#"} << QByteArray() << "bad --mqtt-node"
        << ""
        << "";
    QTest::newRow("node of the allowed characters")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-node", "Box_2-a"} << QByteArray() << ""
        << ""
        << "";
    QTest::newRow("MQTT option without --mqtt")
        << QStringList{"--mqtt-keepalive", "10"} << QByteArray() << "needs --mqtt"
        << ""
        << "";
    QTest::newRow("password file: first line, private")
        << url + QStringList{"--mqtt-password-file", "%D/secret"} << QByteArray("not this") << ""
        << "s3cret"
        << "";
    QTest::newRow("password file others can read: used, with a warning")
        << url + QStringList{"--mqtt-password-file", "%D/shared"} << QByteArray() << ""
        << "pw"
        << "mode 0644); make it chmod 640";
    QTest::newRow("password file that never ends") << url + QStringList{"--mqtt-password-file", "/dev/zero"}
                                                   << QByteArray() << "\"/dev/zero\" is not a regular file"
                                                   << ""
                                                   << "";
    QTest::newRow("password file a FIFO nobody writes")
        << url + QStringList{"--mqtt-password-file", "%D/fifo"} << QByteArray() << "fifo\" is not a regular file"
        << ""
        << "";
    QTest::newRow("CA file a FIFO nobody writes")
        << QStringList{"--mqtt", "mqtts://h", "--mqtt-ca", "%D/fifo"} << QByteArray()
        << "--mqtt-ca \"" + m_files.filePath(QStringLiteral("fifo")) + "\" is not a regular file"
        << ""
        << "";
    QTest::newRow("password file without a line end in reach")
        << url + QStringList{"--mqtt-password-file", "%D/endless"} << QByteArray() << "no line end in its first 4096"
        << ""
        << "";
}

void TestMqttPublisher::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, environmentPassword);
    QFETCH(QString, problem);
    QFETCH(QString, warning);
    arguments.replaceInStrings(QStringLiteral("%D"), m_files.path());
    if (environmentPassword.isEmpty())
        qunsetenv(MqttOptions::kPasswordVariable);
    else
        qputenv(MqttOptions::kPasswordVariable, environmentPassword);
    QCommandLineParser parser;
    parser.addOptions(MqttOptions::commandLineOptions());
    QVERIFY(parser.parse(QStringList{QStringLiteral("prog")} + arguments));
    MqttOptions options;
    QElapsedTimer clock;
    clock.start();
    const QString got = MqttOptions::fromCommandLine(parser, QStringLiteral("3"), &options);
    qunsetenv(MqttOptions::kPasswordVariable);
    QVERIFY2(clock.elapsed() < 1000, "reading the options must not wait on a file");
    if (!problem.isEmpty()) {
        QVERIFY2(got.contains(problem), qPrintable(got));
        return;
    }
    QVERIFY2(got.isEmpty(), qPrintable(got));
    QTEST(options.password, "password");
    QCOMPARE(options.host.isEmpty(), arguments.isEmpty());
    const QString warnings = options.warnings.join(u'\n');
    QVERIFY2(warning.isEmpty() ? warnings.isEmpty() : warnings.contains(warning), qPrintable(warnings));
    if (!warning.isEmpty())
        QVERIFY2(warnings.contains(m_files.filePath(QStringLiteral("shared"))), qPrintable(warnings));
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
    MqttOptions options;
    options.host = QStringLiteral("127.0.0.1");
    options.port = port;
    options.node = QStringLiteral("n");
    MqttPublisher mqtt(&panel, &log, options, std::make_unique<MosquittoClient>());
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

// A channel whose input the adapter does not report is unavailable to Home
// Assistant, never OFF; the others stay available.
void TestMqttPublisher::unreportedChannelIsUnavailable()
{
    auto port = std::make_unique<FakeSerialPort>();
    port->adapter = AdapterDriver::named(QStringLiteral("cdc_acm"));
    port->cts = true;
    Panel panel(std::move(port), std::make_unique<FakeScriptLauncher>());
    EventLog log;
    MqttOptions options;
    options.node = QStringLiteral("cupboard");
    QMap<QByteArray, QByteArray> sent;
    MqttPublisher publisher(&panel, &log, options, std::make_unique<RecordingClient>(&sent));
    QVERIFY(publisher.start());
    const QByteArray fire = "rs232-phone-home/cupboard/fire/availability";
    QCOMPARE(sent.value(fire), QByteArray("online"));

    panel.setPortText(QStringLiteral("3"));
    panel.lineMonitor()->Command1_Click();
    panel.lineMonitor()->Timer1_Timer();
    QCOMPARE(sent.value(fire), QByteArray("offline"));
    QCOMPARE(sent.value("rs232-phone-home/cupboard/flood/availability"), QByteArray("online"));
    QCOMPARE(sent.value("rs232-phone-home/cupboard/fire"), QByteArray("OFF"));
    const QJsonObject lines = QJsonDocument::fromJson(sent.value("rs232-phone-home/cupboard/lines")).object();
    QVERIFY(lines.value(QStringLiteral("cts")).isNull());

    // Both the panel's and the channel's own availability must be online.
    const QJsonObject config =
        QJsonDocument::fromJson(sent.value("homeassistant/binary_sensor/cupboard/fire/config")).object();
    QCOMPARE(config.value(QStringLiteral("availability_mode")).toString(), QLatin1String("all"));
    QStringList topics;
    for (const QJsonValue &entry : config.value(QStringLiteral("availability")).toArray())
        topics << entry.toObject().value(QStringLiteral("topic")).toString();
    QCOMPARE(topics, (QStringList{"rs232-phone-home/cupboard/availability", QString::fromLatin1(fire)}));
}

QTEST_GUILESS_MAIN(TestMqttPublisher)
#include "tst_mqtt_publisher.moc"
