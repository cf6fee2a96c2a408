// SPDX-License-Identifier: MIT
#include "mqtt_publisher.h"

#include "mqtt_client.h"
#include "mqtt_module.h"

#include "core/arming.h"
#include "core/constants.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "notify/script_launcher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <utility>

namespace {
const char *const kChannelNames[] = {"Fire", "Flood", "Intrusion"};
// Home Assistant's names for what each input means.
const char *const kDeviceClasses[] = {"smoke", "moisture", "opening"};
const char kDiscoveryPrefix[] = "homeassistant";
const QLatin1StringView kPrefix(MqttOptions::kPrefix);
const QLatin1StringView kPanelLeaf("panel");
// What Home Assistant sends: its default payloads, and the code as a JSON
// string so that 000042 stays 000042. Without a typed code it renders
// "None"; arming takes no code, so that is never read.
const QLatin1StringView kArmAway("ARM_AWAY");
const QLatin1StringView kDisarm("DISARM");
const QLatin1StringView kCommandTemplate(R"({"action":"{{ action }}","code":"{{ code }}"})");

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

// One device in Home Assistant for every entity of the panel.
QJsonObject device(const QString &node)
{
    return QJsonObject{{QStringLiteral("name"), QStringLiteral("RS-232 alarm panel %1").arg(node)},
                       {QStringLiteral("model"), kPrefix},
                       {QStringLiteral("sw_version"), QStringLiteral(PHONE_HOME_VERSION)},
                       {QStringLiteral("identifiers"), QJsonArray{kPrefix + u'_' + node}}};
}

QString uniqueId(const QString &node, const QString &what)
{
    return kPrefix + u'_' + node + u'_' + what;
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
    const QJsonObject config{{QStringLiteral("name"), QLatin1String(kChannelNames[channel])},
                             {QStringLiteral("device_class"), QLatin1String(kDeviceClasses[channel])},
                             {QStringLiteral("state_topic"), base + u'/' + channelName},
                             {QStringLiteral("payload_on"), QStringLiteral("ON")},
                             {QStringLiteral("payload_off"), QStringLiteral("OFF")},
                             {QStringLiteral("unique_id"), uniqueId(node, channelName)},
                             {QStringLiteral("availability"),
                              QJsonArray{availability(base + QStringLiteral("/availability")),
                                         availability(availabilityTopic(node, channel))}},
                             {QStringLiteral("availability_mode"), QStringLiteral("all")},
                             {QStringLiteral("device"), device(node)}};
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QString MqttPublisher::panelDiscoveryTopic(const QString &node, bool control)
{
    return QStringLiteral("%1/%2/%3/%4/config")
        .arg(QLatin1String(kDiscoveryPrefix),
             control ? QStringLiteral("alarm_control_panel") : QStringLiteral("sensor"), node, kPanelLeaf);
}

QString MqttPublisher::commandTopic(const QString &node)
{
    return baseTopic(node) + u'/' + kPanelLeaf + QStringLiteral("/set");
}

QByteArray MqttPublisher::panelConfig(const QString &node, bool control)
{
    const QString base = baseTopic(node);
    // The panel's availability, as the channels have it; it has none of its own.
    QJsonObject config{
        {QStringLiteral("name"), QStringLiteral("Arming")},
        {QStringLiteral("state_topic"), base + u'/' + kPanelLeaf},
        {QStringLiteral("availability"), QJsonArray{availability(base + QStringLiteral("/availability"))}},
        {QStringLiteral("device"), device(node)}};
    if (control) {
        config.insert(QStringLiteral("unique_id"), uniqueId(node, kPanelLeaf));
        config.insert(QStringLiteral("command_topic"), commandTopic(node));
        config.insert(QStringLiteral("command_template"), kCommandTemplate);
        // Home Assistant asks for a number and hands it on; the panel checks it.
        config.insert(QStringLiteral("code"), QStringLiteral("REMOTE_CODE"));
        config.insert(QStringLiteral("code_arm_required"), false);
        config.insert(QStringLiteral("code_disarm_required"), true);
        config.insert(QStringLiteral("supported_features"), QJsonArray{QStringLiteral("arm_away")});
        config.insert(QStringLiteral("payload_arm_away"), kArmAway);
        config.insert(QStringLiteral("payload_disarm"), kDisarm);
        // Sent at least once, and never left on the broker to act later.
        config.insert(QStringLiteral("qos"), 1);
        config.insert(QStringLiteral("retain"), false);
    } else {
        QJsonArray states;
        for (const Arming::State state : {Arming::State::Disarmed, Arming::State::Arming, Arming::State::ArmedAway,
                                          Arming::State::Pending, Arming::State::Triggered})
            states.append(Arming::stateName(state));
        config.insert(QStringLiteral("unique_id"), uniqueId(node, kPanelLeaf + QStringLiteral("_state")));
        config.insert(QStringLiteral("device_class"), QStringLiteral("enum"));
        config.insert(QStringLiteral("options"), states);
    }
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
    m_release.setSingleShot(true);
    m_release.setTimerType(Qt::PreciseTimer);
    connect(&m_release, &QTimer::timeout, this, [this] {
        // Never a moment early, whatever the timer's rounding.
        if (const auto left = quietLeft(); left.count() > 0)
            m_release.start(std::chrono::ceil<std::chrono::milliseconds>(left));
        else
            flush();
    });
    connect(panel, &Panel::statusCaptionChanged, this, [this](int channel, const QString &caption) {
        publish(channelTopic(channel), onOff(caption == Form::kAlarm), true);
    });
    connect(panel, &Panel::switchCaptionChanged, this, [this](const QString &caption) {
        publish(QStringLiteral("notifications"),
                caption == Form::kEnabled ? QByteArrayLiteral("armed") : QByteArrayLiteral("disarmed"), true);
    });
    connect(panel, &Panel::unreportedChanged, this, [this](int channel, const QString &) {
        publishTo(availabilityTopic(m_options.node, channel), onlineOffline(available(channel)), true);
    });
    LineMonitor *monitor = panel->lineMonitor();
    // A lost device (unplugged, a link down) shows no contact at all: its
    // channels are unavailable until it opens again.
    const auto deviceThere = [this](bool there) {
        m_deviceLost = !there;
        for (int c = 0; c < Form::kChannels; ++c)
            publishTo(availabilityTopic(m_options.node, c), onlineOffline(available(c)), true);
    };
    connect(monitor, &LineMonitor::deviceFailed, this, [deviceThere] { deviceThere(false); });
    connect(monitor, &LineMonitor::portOpened, this, [this, deviceThere] {
        if (m_deviceLost)
            deviceThere(true);
    });
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

void MqttPublisher::setArming(Arming *arming)
{
    m_arming = arming;
    if (arming) {
        connect(arming, &Arming::stateChanged, this,
                [this](Arming::State state) { publish(kPanelLeaf, Arming::stateName(state).toUtf8(), true); });
    }
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
    if (m_arming && m_options.control)
        settings.subscriptions.append(commandTopic(m_options.node).toUtf8());
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
    // The whole state goes again on the next connect.
    m_held.clear();
    m_release.stop();
    m_lastRetained.reset();
    if (!why.isEmpty()) {
        m_log->record(EventLog::Priority::Warning, QStringLiteral("mqtt-lost"),
                      {{QStringLiteral("broker"), m_options.broker()},
                       {QStringLiteral("text"),
                        QStringLiteral("connection to the MQTT broker lost (%1); reconnecting").arg(why)}});
    }
}

bool MqttPublisher::available(int channel) const
{
    return !m_deviceLost && m_panel->reported(channel);
}

void MqttPublisher::publishAll()
{
    publish(QStringLiteral("availability"), QByteArrayLiteral("online"), true);
    for (int c = 0; c < Form::kChannels; ++c) {
        publishTo(discoveryTopic(m_options.node, c), discoveryConfig(m_options.node, c), true);
        publishTo(availabilityTopic(m_options.node, c), onlineOffline(available(c)), true);
        publish(channelTopic(c), onOff(m_panel->inAlarm(c)), true);
    }
    publish(QStringLiteral("notifications"),
            m_panel->notificationsEnabled() ? QByteArrayLiteral("armed") : QByteArrayLiteral("disarmed"), true);
    publishPanel();
    if (m_lines)
        publish(QStringLiteral("lines"), linesJson(*m_lines, reported()), false);
}

void MqttPublisher::publishPanel()
{
    const QString &node = m_options.node;
    // An empty retained config removes the entity: the kind not shown now,
    // left by a run with other options, or both without an arming.
    const bool control = m_options.control;
    publishTo(panelDiscoveryTopic(node, !control), QByteArray(), true);
    if (!m_arming) {
        publishTo(panelDiscoveryTopic(node, control), QByteArray(), true);
        return;
    }
    publishTo(panelDiscoveryTopic(node, control), panelConfig(node, control), true);
    publish(kPanelLeaf, Arming::stateName(m_arming->state()).toUtf8(), true);
}

void MqttPublisher::mqttMessage(const QByteArray &topic, const QByteArray &payload, bool retained)
{
    if (m_stopped || !m_arming || !m_options.control || topic != commandTopic(m_options.node).toUtf8())
        return;
    if (const QString reason = runCommand(payload, retained); !reason.isEmpty())
        refuse(reason);
}

QString MqttPublisher::runCommand(const QByteArray &payload, bool retained)
{
    // The broker's stored copy was sent some time ago, maybe long before a
    // restart: a stale DISARM must not disarm a panel that comes back.
    if (retained)
        return QStringLiteral("retained");
    if (!m_connected || m_options.user.isEmpty() || m_options.password.isEmpty())
        return QStringLiteral("not-authenticated");
    if (payload.size() > kMaxCommand)
        return QStringLiteral("too-large");
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QStringLiteral("not-json");
    const QJsonObject command = document.object();
    const QJsonValue action = command.value(QStringLiteral("action"));
    Arming::Result result = Arming::Result::Accepted;
    if (action == kArmAway) {
        result = m_arming->arm(Arming::By::Mqtt);
    } else if (action == kDisarm) {
        const QJsonValue code = command.value(QStringLiteral("code"));
        // A number would have lost its leading zeros: only text is a code.
        if (!code.isUndefined() && !code.isNull() && !code.isString())
            return QStringLiteral("code-not-text");
        result = m_arming->disarm(code.toString(), Arming::By::Mqtt);
    } else {
        return QStringLiteral("unknown-action");
    }
    return result == Arming::Result::Accepted ? QString() : Arming::resultName(result);
}

void MqttPublisher::refuse(const QString &reason)
{
    // Once a minute per reason: a guesser or a misconfigured sender must not
    // flood the journal (the lockout bounds the guessing itself).
    const auto now = std::chrono::steady_clock::now();
    if (const auto told = m_refusals.constFind(reason); told != m_refusals.cend() && now - *told < kRefusalQuiet)
        return;
    m_refusals.insert(reason, now);
    m_log->record(EventLog::Priority::Warning, QStringLiteral("command-refused"),
                  {{QStringLiteral("by"), Arming::byName(Arming::By::Mqtt)}, {QStringLiteral("reason"), reason}});
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
    const QByteArray topicBytes = topic.toUtf8();
    if (m_held.isEmpty() && (retain || quietLeft().count() == 0)) {
        send(topicBytes, payload, retain);
        return;
    }
    // Whatever comes meanwhile waits too, to keep the order.
    m_held.append(Message{topicBytes, payload, retain});
    if (!m_release.isActive())
        m_release.start(std::chrono::ceil<std::chrono::milliseconds>(quietLeft()));
}

std::chrono::steady_clock::duration MqttPublisher::quietLeft() const
{
    if (!m_lastRetained)
        return {};
    return std::max(std::chrono::steady_clock::duration::zero(),
                    kAfterRetained - (std::chrono::steady_clock::now() - *m_lastRetained));
}

void MqttPublisher::send(const QByteArray &topic, const QByteArray &payload, bool retain)
{
    m_client->publish(topic, payload, retain);
    if (retain)
        m_lastRetained = std::chrono::steady_clock::now();
}

void MqttPublisher::flush()
{
    m_release.stop();
    const QList<Message> held = std::exchange(m_held, {});
    // The non-retained first: nothing then follows the retained ones closely.
    for (const Message &message : held) {
        if (!message.retain)
            send(message.topic, message.payload, false);
    }
    for (const Message &message : held) {
        if (message.retain)
            send(message.topic, message.payload, true);
    }
}

void MqttPublisher::stop()
{
    if (!m_client || m_stopped)
        return;
    // Best effort: the client sends it if the broker takes it in time.
    if (m_connected) {
        flush();
        send((m_base + QStringLiteral("/availability")).toUtf8(), QByteArrayLiteral("offline"), true);
    }
    m_stopped = true;
    m_connected = false;
    m_client->stop();
}
