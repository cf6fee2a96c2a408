// SPDX-License-Identifier: MIT
#include "mqtt_publisher.h"

#include "mqtt_client.h"
#include "mqtt_module.h"

#include "core/constants.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "notify/script_launcher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const char *const kChannelNames[] = {"Fire", "Flood", "Intrusion"};
// Home Assistant's names for what each input means.
const char *const kDeviceClasses[] = {"smoke", "moisture", "opening"};
const char kDiscoveryPrefix[] = "homeassistant";
const QLatin1StringView kPrefix(MqttOptions::kPrefix);

// The channel's own topic level: fire, flood, intrusion, as the scripts name them.
QString channelTopic(int channel)
{
    return ScriptLauncher::channelName(ScriptLauncher::Channel(channel));
}

// The panel's and the channel's own: a channel whose input the adapter does
// not report is unavailable, never OFF.
QJsonObject availability(const QString &topic)
{
    return QJsonObject{{QStringLiteral("topic"), topic},
                       {QStringLiteral("payload_available"), QStringLiteral("online")},
                       {QStringLiteral("payload_not_available"), QStringLiteral("offline")}};
}

QByteArray onlineOffline(bool online)
{
    return online ? QByteArrayLiteral("online") : QByteArrayLiteral("offline");
}

QByteArray onOff(bool on)
{
    return on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}
}

QString MqttPublisher::baseTopic(const QString &node)
{
    return kPrefix + u'/' + node;
}

QString MqttPublisher::availabilityTopic(const QString &node, int channel)
{
    return baseTopic(node) + u'/' + channelTopic(channel) + QStringLiteral("/availability");
}

QString MqttPublisher::discoveryTopic(const QString &node, int channel)
{
    return QStringLiteral("%1/binary_sensor/%2/%3/config")
        .arg(QLatin1String(kDiscoveryPrefix), node, channelTopic(channel));
}

QByteArray MqttPublisher::linesJson(const LineState &lines, const std::array<bool, Form::kChannels> &reported)
{
    // An input the driver does not report has no level: null.
    const auto input = [&](int c) { return reported[size_t(c)] ? QJsonValue(lines.input(c)) : QJsonValue(); };
    const QJsonObject o{{QStringLiteral("cts"), input(0)},
                        {QStringLiteral("dsr"), input(1)},
                        {QStringLiteral("dcd"), input(2)},
                        {QStringLiteral("dtr"), lines.dtr},
                        {QStringLiteral("rts"), lines.rts}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray MqttPublisher::eventJson(const QDateTime &time, const QString &event, const EventLog::Fields &fields)
{
    QJsonObject o{{QStringLiteral("time"), time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs)},
                  {QStringLiteral("event"), event}};
    QJsonObject details;
    for (const auto &[key, value] : fields) {
        if (key == u"channel")
            o.insert(key, value);
        else
            details.insert(key, value);
    }
    o.insert(QStringLiteral("details"), details);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray MqttPublisher::discoveryConfig(const QString &node, int channel)
{
    const QString base = baseTopic(node);
    const QString channelName = channelTopic(channel);
    const QJsonObject device{{QStringLiteral("name"), QStringLiteral("RS-232 alarm panel %1").arg(node)},
                             {QStringLiteral("model"), kPrefix},
                             {QStringLiteral("sw_version"), QStringLiteral(PHONE_HOME_VERSION)},
                             {QStringLiteral("identifiers"), QJsonArray{kPrefix + u'_' + node}}};
    const QJsonObject config{{QStringLiteral("name"), QLatin1String(kChannelNames[channel])},
                             {QStringLiteral("device_class"), QLatin1String(kDeviceClasses[channel])},
                             {QStringLiteral("state_topic"), base + u'/' + channelName},
                             {QStringLiteral("payload_on"), QStringLiteral("ON")},
                             {QStringLiteral("payload_off"), QStringLiteral("OFF")},
                             {QStringLiteral("unique_id"), kPrefix + u'_' + node + u'_' + channelName},
                             {QStringLiteral("availability"),
                              QJsonArray{availability(base + QStringLiteral("/availability")),
                                         availability(availabilityTopic(node, channel))}},
                             {QStringLiteral("availability_mode"), QStringLiteral("all")},
                             {QStringLiteral("device"), device}};
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

MqttPublisher::MqttPublisher(Panel *panel, EventLog *log, const MqttOptions &options,
                             std::unique_ptr<MqttClient> client, QObject *parent)
    : QObject(parent)
    , m_panel(panel)
    , m_log(log)
    , m_options(options)
    , m_base(baseTopic(options.node))
    , m_client(std::move(client))
{
    connect(panel, &Panel::statusCaptionChanged, this, [this](int channel, const QString &caption) {
        publish(channelTopic(channel), onOff(caption == Form::kAlarm), true);
    });
    connect(panel, &Panel::switchCaptionChanged, this, [this](const QString &caption) {
        publish(QStringLiteral("notifications"),
                caption == Form::kEnabled ? QByteArrayLiteral("armed") : QByteArrayLiteral("disarmed"), true);
    });
    connect(panel, &Panel::unreportedChanged, this, [this](int channel, const QString &why) {
        publishTo(availabilityTopic(m_options.node, channel), onlineOffline(why.isEmpty()), true);
    });
    LineMonitor *monitor = panel->lineMonitor();
    connect(monitor, &LineMonitor::linesChanged, this, [this](const LineState &lines) {
        m_lines = lines;
        publish(QStringLiteral("lines"), linesJson(lines, reported()), false);
    });
    connect(log, &EventLog::recorded, this,
            [this](const QDateTime &time, EventLog::Priority, const QString &event, const EventLog::Fields &fields) {
                publish(QStringLiteral("event"), eventJson(time, event, fields), false);
            });
}

MqttPublisher::~MqttPublisher()
{
    stop();
}

bool MqttPublisher::start()
{
    for (const QString &text : std::as_const(m_options.warnings))
        m_log->record(EventLog::Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), text}});
    if (!m_client) {
        QString problem;
        m_client = MqttModule::createClient(&problem);
        if (!m_client) {
            mqttFailed(problem);
            return false;
        }
    }
    MqttClient::Settings settings;
    settings.clientId = (kPrefix + u'-' + m_options.node).toUtf8();
    settings.host = m_options.host;
    settings.port = m_options.port;
    settings.tls = m_options.tls;
    settings.caFile = m_options.caFile;
    settings.user = m_options.user;
    settings.password = m_options.password;
    settings.keepAlive = m_options.keepAlive;
    settings.willTopic = (m_base + QStringLiteral("/availability")).toUtf8();
    settings.willPayload = QByteArrayLiteral("offline");
    return m_client->start(settings, this, this);
}

void MqttPublisher::mqttFailed(const QString &text)
{
    // Each reason once until connected: retries with the same reason stay
    // quiet, a new one (refused, then a TLS error) is told.
    if (m_stopped || m_toldFailures.contains(text))
        return;
    m_toldFailures.insert(text);
    m_log->record(EventLog::Priority::Error, QStringLiteral("mqtt-error"),
                  {{QStringLiteral("broker"), m_options.broker()}, {QStringLiteral("text"), text}});
}

void MqttPublisher::mqttConnected()
{
    if (m_stopped)
        return;
    m_connected = true;
    m_toldFailures.clear();
    m_log->record(EventLog::Priority::Notice, QStringLiteral("mqtt-connected"),
                  {{QStringLiteral("broker"), m_options.broker()}, {QStringLiteral("node"), m_options.node}});
    publishAll();
}

void MqttPublisher::mqttLost(const QString &why)
{
    if (m_stopped || !m_connected)
        return;
    m_connected = false;
    if (!why.isEmpty()) {
        m_log->record(EventLog::Priority::Warning, QStringLiteral("mqtt-lost"),
                      {{QStringLiteral("broker"), m_options.broker()},
                       {QStringLiteral("text"),
                        QStringLiteral("connection to the MQTT broker lost (%1); reconnecting").arg(why)}});
    }
}

void MqttPublisher::publishAll()
{
    publish(QStringLiteral("availability"), QByteArrayLiteral("online"), true);
    for (int c = 0; c < Form::kChannels; ++c) {
        publishTo(discoveryTopic(m_options.node, c), discoveryConfig(m_options.node, c), true);
        publishTo(availabilityTopic(m_options.node, c), onlineOffline(m_panel->reported(c)), true);
        publish(channelTopic(c), onOff(m_panel->inAlarm(c)), true);
    }
    publish(QStringLiteral("notifications"),
            m_panel->notificationsEnabled() ? QByteArrayLiteral("armed") : QByteArrayLiteral("disarmed"), true);
    if (m_lines)
        publish(QStringLiteral("lines"), linesJson(*m_lines, reported()), false);
}

std::array<bool, Form::kChannels> MqttPublisher::reported() const
{
    return {m_panel->reported(0), m_panel->reported(1), m_panel->reported(2)};
}

void MqttPublisher::publish(const QString &leaf, const QByteArray &payload, bool retain)
{
    publishTo(m_base + u'/' + leaf, payload, retain);
}

void MqttPublisher::publishTo(const QString &topic, const QByteArray &payload, bool retain)
{
    // Only once connected: the state is published whole on every connect,
    // so nothing needs queueing meanwhile.
    if (!m_connected || !m_client)
        return;
    m_client->publish(topic.toUtf8(), payload, retain);
}

void MqttPublisher::stop()
{
    if (!m_client || m_stopped)
        return;
    // Best effort: the client sends it if the broker takes it in time.
    if (m_connected)
        publish(QStringLiteral("availability"), QByteArrayLiteral("offline"), true);
    m_stopped = true;
    m_connected = false;
    m_client->stop();
}
