// SPDX-License-Identifier: MIT
// What the MQTT client makes of its options, and that a broker nobody
// answers for costs the panel nothing. What it sends is checked against a
// real broker (test_mqtt.py).

#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "core/arming.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "core/panel_code.h"
#include "mqtt/mosquitto_client.h"
#include "mqtt/mqtt_publisher.h"
#include "record/event_log.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
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

// Connected at once; keeps the last payload per topic and every payload.
// deliver() is the broker passing a message on to each subscription.
class RecordingClient : public MqttClient
{
public:
    explicit RecordingClient(QMap<QByteArray, QByteArray> *sent, QByteArrayList *all = nullptr)
        : m_sent(sent)
        , m_all(all)
    {
    }
    bool start(const Settings &settings, QObject *, Listener *listener) override
    {
        m_subscriptions = settings.subscriptions;
        m_listener = listener;
        listener->mqttConnected();
        return true;
    }
    void publish(const QByteArray &topic, const QByteArray &payload, bool) override
    {
        m_sent->insert(topic, payload);
        if (m_all)
            m_all->append(payload);
    }
    void stop() override { }
    void deliver(const QByteArray &payload, bool retained)
    {
        for (const QByteArray &topic : std::as_const(m_subscriptions))
            m_listener->mqttMessage(topic, payload, retained);
    }

private:
    QMap<QByteArray, QByteArray> *m_sent;
    QByteArrayList *m_all;
    QList<QByteArray> m_subscriptions;
    Listener *m_listener = nullptr;
};

// A connected publisher with a real Arming: code 000042, no delays, armed_away.
struct Rig {
    Panel panel{std::make_unique<FakeSerialPort>(), std::make_unique<FakeScriptLauncher>()};
    EventLog log{nullptr};
    Arming arming;
    QMap<QByteArray, QByteArray> sent;
    QByteArrayList all;
    QStringList lines; // the log's
    RecordingClient *client = nullptr;
    std::unique_ptr<MqttPublisher> publisher;

    Rig(bool control, const QString &user)
    {
        QObject::connect(&log, &EventLog::recorded, &log,
                         [this](const QDateTime &t, EventLog::Priority, const QString &e, const EventLog::Fields &f) {
                             lines << EventLog::line(t, QString(), QString(), e, f);
                         });
        arming.code()->setCode(QStringLiteral("000042"));
        arming.start(QString());
        MqttOptions options;
        options.node = QStringLiteral("hall");
        options.user = user;
        options.password = QStringLiteral("pw");
        options.control = control;
        auto recording = std::make_unique<RecordingClient>(&sent, &all);
        client = recording.get();
        publisher = std::make_unique<MqttPublisher>(&panel, &log, options, std::move(recording));
        publisher->setArming(&arming);
        publisher->start();
    }
    QByteArray state() const { return sent.value("rs232-phone-home/hall/panel"); }
};

// Home Assistant's MQTT discovery rules for what a panel sends, from its
// alarm_control_panel and sensor platforms and the schema all MQTT entities
// share: per key its JSON type and, for a closed set, the values allowed (for
// a list, its items). It drops keys it does not know without a word, so one
// here is a mistake. A sensor with options must be of class enum.
namespace HomeAssistant {
const QMap<QString, QStringList> kShared{{"name", {"string"}},        {"unique_id", {"string"}},
                                         {"state_topic", {"string"}}, {"availability", {"array"}},
                                         {"device", {"object"}},      {"qos", {"number", "0", "1", "2"}}};
const QMap<QString, QStringList> kAlarmPanel{
    {"command_topic", {"string"}},
    {"command_template", {"string"}},
    {"code", {"string"}},
    {"code_arm_required", {"bool"}},
    {"code_disarm_required", {"bool"}},
    {"retain", {"bool"}},
    {"payload_arm_away", {"string"}},
    {"payload_disarm", {"string"}},
    {"supported_features",
     {"array", "arm_home", "arm_away", "arm_night", "arm_vacation", "arm_custom_bypass", "trigger"}}};
const QMap<QString, QStringList> kSensor{{"device_class", {"string", "enum"}}, {"options", {"array"}}};
// What an alarm panel's state topic may say.
const QStringList kAlarmStates{
    "disarmed", "armed_home", "armed_away", "armed_night", "armed_vacation", "armed_custom_bypass",
    "pending",  "triggered",  "arming",     "disarming"};

QString problem(const QJsonObject &config, bool alarmPanel)
{
    const QStringList required = alarmPanel ? QStringList{"state_topic", "command_topic"}
                                            : QStringList{"state_topic", "options", "device_class"};
    for (const QString &key : required) {
        if (!config.contains(key))
            return key + " is required";
    }
    const QStringList types{"null", "bool", "number", "string", "array", "object"};
    for (auto it = config.begin(); it != config.end(); ++it) {
        const QStringList rule = (alarmPanel ? kAlarmPanel : kSensor).value(it.key(), kShared.value(it.key()));
        if (rule.value(0) != types.value(int(it->type())))
            return it.key() + " is no key, or of another type";
        for (const QJsonValue &item : it->isArray() ? it->toArray() : QJsonArray{*it}) {
            if (rule.size() > 1 && !rule.contains(item.isDouble() ? QString::number(item.toInt()) : item.toString()))
                return it.key() + " may not be " + item.toVariant().toString();
        }
        if (it.key().endsWith("_topic") && it->toString().contains(QRegularExpression("^$|[+#]")))
            return it.key() + " is no topic to publish on";
    }
    for (const QJsonValue &entry : config.value("availability").toArray()) {
        if (!entry.toObject().value("topic").isString())
            return "an availability without a topic";
    }
    return config.value("device").toObject().value("identifiers").toArray().isEmpty() ? "a device without ids"
                                                                                      : QString();
}
}

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
    void panelFollowsHomeAssistantRules_data();
    void panelFollowsHomeAssistantRules();
    void commands_data();
    void commands();

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
        << "%D/shared\" can be read by other users (mode 0644); make it chmod 640";
    QTest::newRow("commands from an anonymous connection")
        << QStringList{"--mqtt", "mqtt://h", "--mqtt-control"} << QByteArray() << "--mqtt-control needs"
        << ""
        << "";
    QTest::newRow("commands over plain MQTT to another host: told")
        << url + QStringList{"--mqtt-control"} << QByteArray("pw") << ""
        << "pw"
        << "disarm code to h unencrypted";
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
    warning.replace(QStringLiteral("%D"), m_files.path());
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
    // Not right after the retained states: kAfterRetained later.
    QVERIFY(!sent.contains("rs232-phone-home/cupboard/lines"));
    QTRY_VERIFY(sent.contains("rs232-phone-home/cupboard/lines"));
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

    // A lost device hides every channel until it is back; then each is as its adapter reports it.
    auto *fake = static_cast<FakeSerialPort *>(panel.port());
    fake->vanished = true;
    panel.lineMonitor()->Timer1_Timer();
    QCOMPARE(sent.value("rs232-phone-home/cupboard/flood/availability"), QByteArray("offline"));
    fake->vanished = false;
    QVERIFY(panel.lineMonitor()->open(false));
    QCOMPARE(sent.value("rs232-phone-home/cupboard/flood/availability"), QByteArray("online"));
    QCOMPARE(sent.value(fire), QByteArray("offline"));
}

void TestMqttPublisher::panelFollowsHomeAssistantRules_data()
{
    QTest::addColumn<bool>("control");
    QTest::newRow("alarm panel, with --mqtt-control") << true;
    QTest::newRow("state sensor, without") << false;
}

// Published on connect, within Home Assistant's rules, every state shown, the
// other kind removed; the alarm panel's template renders commands it takes.
void TestMqttPublisher::panelFollowsHomeAssistantRules()
{
    QFETCH(bool, control);
    Rig rig(control, QStringLiteral("panel"));
    const QByteArray config = rig.sent.value(MqttPublisher::panelDiscoveryTopic("hall", control).toUtf8());
    QCOMPARE(rig.sent.value(MqttPublisher::panelDiscoveryTopic("hall", !control).toUtf8(), "none"), QByteArray());
    const QJsonObject o = QJsonDocument::fromJson(config).object();
    const QString why = HomeAssistant::problem(o, control);
    QVERIFY2(why.isEmpty(), qPrintable(why + u'\n' + config));
    QCOMPARE(o.value("state_topic").toString(), "rs232-phone-home/hall/panel");
    QCOMPARE(rig.state(), QByteArray("armed_away"));
    const QStringList shown = control ? HomeAssistant::kAlarmStates : o.value("options").toVariant().toStringList();
    for (auto state : {Arming::State::Disarmed, Arming::State::Arming, Arming::State::ArmedAway, Arming::State::Pending,
                       Arming::State::Triggered})
        QVERIFY2(shown.contains(Arming::stateName(state)), qPrintable(Arming::stateName(state)));
    if (!control)
        return;
    QCOMPARE(o.value("code").toString(), "REMOTE_CODE");
    QCOMPARE(o.value("supported_features").toArray(), QJsonArray{"arm_away"});
    // As Home Assistant renders it: None where no code was typed.
    const auto render = [&o](const char *action, const char *code) {
        return o.value("command_template").toString().replace("{{ action }}", action).replace("{{ code }}", code);
    };
    rig.client->deliver(render("DISARM", "000042").toUtf8(), false);
    QCOMPARE(rig.state(), QByteArray("disarmed"));
    rig.client->deliver(render("ARM_AWAY", "None").toUtf8(), false);
    QCOMPARE(rig.state(), QByteArray("armed_away"));
}

void TestMqttPublisher::commands_data()
{
    QTest::addColumn<bool>("control");
    QTest::addColumn<QString>("user");   // empty: an anonymous connection
    QTest::addColumn<int>("wrongFirst"); // wrong codes sent before
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<QByteArray>("state"); // after, from armed_away
    QTest::addColumn<QString>("reason");   // empty: accepted

    const QByteArray disarm = R"({"action":"DISARM","code":"000042"})";
    const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name) << true << QString("panel"); };
    row("disarm with the code") << 0 << disarm << false << QByteArray("disarmed") << "";
    row("wrong code") << 0 << QByteArray(R"({"action":"DISARM","code":"123456"})") << false << QByteArray("armed_away")
                      << "wrong-code";
    row("locked out: the right code too")
        << PanelCode::kMaxWrong << disarm << false << QByteArray("armed_away") << "locked-out";
    row("no code") << 0 << QByteArray(R"({"action":"DISARM"})") << false << QByteArray("armed_away") << "code-required";
    row("code as a number, its zeros lost")
        << 0 << QByteArray(R"({"action":"DISARM","code":42})") << false << QByteArray("armed_away") << "code-not-text";
    row("not JSON") << 0 << QByteArray("DISARM 000042") << false << QByteArray("armed_away") << "not-json";
    row("JSON, no object") << 0 << QByteArray(R"(["DISARM"])") << false << QByteArray("armed_away") << "not-json";
    row("action not offered") << 0 << QByteArray(R"({"action":"ARM_HOME"})") << false << QByteArray("armed_away")
                              << "unknown-action";
    row("larger than 1 KiB") << 0 << disarm.chopped(1) + R"(,"x":")" + QByteArray(1024, 'x') + "\"}" << false
                             << QByteArray("armed_away") << "too-large";
    row("the broker's retained copy") << 0 << disarm << true << QByteArray("armed_away") << "retained";
    QTest::newRow("anonymous connection")
        << true << QString() << 0 << disarm << false << QByteArray("armed_away") << "not-authenticated";
    QTest::newRow("without --mqtt-control: not heard")
        << false << QString("panel") << 0 << disarm << false << QByteArray("armed_away") << "";
}

// A command changes the state, or is refused and logged with its reason once
// a minute, changing nothing; the code shows nowhere.
void TestMqttPublisher::commands()
{
    QFETCH(bool, control);
    QFETCH(QString, user);
    QFETCH(int, wrongFirst);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(QString, reason);
    Rig rig(control, user);
    for (int i = 0; i < wrongFirst; ++i)
        rig.client->deliver(R"({"action":"DISARM","code":"123456"})", false);
    rig.lines.clear();
    rig.client->deliver(payload, retained);
    rig.client->deliver(payload, retained);
    QTEST(rig.state(), "state");
    const QStringList refused = rig.lines.filter("event=command-refused by=mqtt reason=" + reason);
    QCOMPARE(rig.lines.filter("command-refused").size(), reason.isEmpty() ? 0 : 1);
    QCOMPARE(refused.size(), reason.isEmpty() ? 0 : 1);
    QTest::qWait(2 * MqttPublisher::kAfterRetained.count()); // the events, sent later
    const QString everything = rig.lines.join(u'\n') + QString::fromUtf8(rig.all.join('\n'));
    QVERIFY2(!everything.contains("000042") && !everything.contains("123456"), qPrintable(everything));
}

QTEST_GUILESS_MAIN(TestMqttPublisher)
#include "tst_mqtt_publisher.moc"
