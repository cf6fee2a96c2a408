// SPDX-License-Identifier: MIT
#include "mqtt_publisher.h"

#include "constants.h"
#include "line_monitor.h"
#include "notify/script_launcher.h"
#include "panel.h"
#include "tls_check.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QUrl>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <condition_variable>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *const kChannelNames[] = {"Fire", "Flood", "Intrusion"};
// Home Assistant's names for what each input means.
const char *const kDeviceClasses[] = {"smoke", "moisture", "opening"};

// The channel's own topic level: fire, flood, intrusion, as the scripts name them.
QString channelTopic(int channel)
{
    return ScriptLauncher::channelName(ScriptLauncher::Channel(channel));
}

const char kPrefix[] = "rs232-phone-home";
const char kDiscoveryPrefix[] = "homeassistant";
// The broker keeps the last will until it is needed: at least once.
constexpr int kWillQos = 1;
// Everything else at most once. The whole state is published again on every
// connect, and libmosquitto would send an unacknowledged QoS 1 message again
// after that, putting an old state back over the new one.
constexpr int kPublishQos = 0;
// Back-off between reconnection attempts: 1 s, doubling, at most 60 s.
constexpr unsigned kReconnectMin = 1;
constexpr unsigned kReconnectMax = 60;
constexpr int kMinKeepAlive = 5; // libmosquitto's floor
// A connect the broker has not answered by then is given up and told; at
// most the keep-alive, after which libmosquitto gives up by itself.
constexpr int kConnectTimeoutSeconds = 15;
// How long the network thread waits in libmosquitto before it looks at a
// stop again; a publish or a disconnect wakes it at once.
constexpr int kLoopTimeoutMs = 250;
// Our own handshake that says why libmosquitto's failed; it delays the next
// try by at most this.
constexpr std::chrono::seconds kTlsCheckTimeout{5};
// The network thread's own code for a connect nobody answered.
constexpr int kNotAnswered = -1;

const QString kOptUrl = QStringLiteral("mqtt");
const QString kOptCa = QStringLiteral("mqtt-ca");
const QString kOptPasswordFile = QStringLiteral("mqtt-password-file");
const QString kOptNode = QStringLiteral("mqtt-node");
const QString kOptKeepAlive = QStringLiteral("mqtt-keepalive");

// A password is a line, not a file's worth: more than this is not one.
constexpr qsizetype kPasswordFileMax = 4096;
// Hex digits of the machine's mark in a default node name.
constexpr qsizetype kNodeSuffixLength = 4;

QByteArray onOff(bool on)
{
    return on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

bool isNodeCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
}

QString cannotRead(const QString &option, const QString &path)
{
    return QStringLiteral("cannot read %1 \"%2\": %3").arg(option, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// Opened without blocking and only if a regular file: a FIFO without a
// writer would hold up start, a device such as /dev/zero never ends.
QString openRegularFile(const QString &option, const QString &path, int *fd, mode_t *mode)
{
    *fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0)
        return cannotRead(option, path);
    struct stat st {
    };
    QString problem;
    if (::fstat(*fd, &st) != 0)
        problem = cannotRead(option, path);
    else if (!S_ISREG(st.st_mode))
        problem = QStringLiteral("%1 \"%2\" is not a regular file; give the file itself").arg(option, path);
    if (!problem.isEmpty()) {
        ::close(*fd);
        *fd = -1;
    }
    *mode = st.st_mode;
    return problem;
}

// The first line, read with a bound.
QString readPasswordFile(const QString &path, QString *password, QStringList *warnings)
{
    const QString option = QStringLiteral("--mqtt-password-file");
    int fd = -1;
    mode_t mode = 0;
    if (QString problem = openRegularFile(option, path, &fd, &mode); !problem.isEmpty())
        return problem;
    QByteArray text(kPasswordFileMax + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, size_t(text.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const QString problem = cannotRead(option, path);
            ::close(fd);
            return problem;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    text.truncate(got);
    const qsizetype end = text.indexOf('\n');
    if (end < 0 && text.size() > kPasswordFileMax)
        return QStringLiteral("--mqtt-password-file \"%1\" has no line end in its first %2 bytes; its first line "
                              "must be the password")
            .arg(path)
            .arg(kPasswordFileMax);
    // The first line; an editor's final newline is not part of it.
    *password = QString::fromUtf8(text.left(end < 0 ? text.size() : end)).remove(u'\r');
    // As ssh does for a key: a secret others can read is told, not refused.
    if (mode & S_IROTH)
        warnings->append(QStringLiteral("--mqtt-password-file \"%1\" can be read by other users (mode %2); "
                                        "make it chmod 640 (owner root, group of the program's user) or 600")
                             .arg(path)
                             .arg(mode & 07777, 4, 8, QLatin1Char('0')));
    return {};
}
}

QList<QCommandLineOption> MqttPublisher::commandLineOptions()
{
    return {
        QCommandLineOption(kOptUrl, QString(), QStringLiteral("URL")),
        QCommandLineOption(kOptCa, QString(), QStringLiteral("FILE")),
        QCommandLineOption(kOptPasswordFile, QString(), QStringLiteral("FILE")),
        QCommandLineOption(kOptNode, QString(), QStringLiteral("NAME")),
        QCommandLineOption(kOptKeepAlive, QString(), QStringLiteral("SECONDS"), QString::number(kDefaultKeepAlive))};
}

const char *MqttPublisher::usage()
{
    return "  --mqtt URL        publish the panel to an MQTT broker: mqtt://[user@]host[:port]\n"
           "                    or mqtts://...; Home Assistant finds it by discovery\n"
           "  --mqtt-ca FILE    CA certificate for mqtts (default: the system's)\n"
           "  --mqtt-password-file FILE  the broker password (else $PHONE_HOME_MQTT_PASSWORD)\n"
           "  --mqtt-node NAME  topic level for this panel: letters, digits, - and _\n"
           "                    (default: host name, port and a mark of the machine)\n"
           "  --mqtt-keepalive SECONDS  how soon the broker declares it offline (default 30)\n";
}

QString MqttPublisher::fromCommandLine(const QCommandLineParser &parser, const QString &port, Options *options)
{
    if (!parser.isSet(kOptUrl)) {
        for (const QString &name : {kOptCa, kOptPasswordFile, kOptNode, kOptKeepAlive}) {
            if (parser.isSet(name))
                return QStringLiteral("--%1 needs --mqtt").arg(name);
        }
        return {};
    }
    if (QString problem = parseUrl(parser.value(kOptUrl), options); !problem.isEmpty())
        return problem;
    if (parser.isSet(kOptCa)) {
        if (!options->tls)
            return QStringLiteral("--mqtt-ca is for mqtts:// URLs only");
        options->caFile = parser.value(kOptCa);
        int fd = -1;
        mode_t mode = 0;
        if (QString problem = openRegularFile(QStringLiteral("--mqtt-ca"), options->caFile, &fd, &mode);
            !problem.isEmpty())
            return problem;
        ::close(fd);
    }
    if (parser.isSet(kOptPasswordFile)) {
        if (QString problem = readPasswordFile(parser.value(kOptPasswordFile), &options->password, &options->warnings);
            !problem.isEmpty())
            return problem;
    } else if (qEnvironmentVariableIsSet(kPasswordVariable)) {
        options->password = qEnvironmentVariable(kPasswordVariable);
    }
    if (!options->password.isEmpty() && options->user.isEmpty())
        return QStringLiteral("a broker password needs a user: --mqtt mqtt://USER@host");
    bool ok = false;
    options->keepAlive = parser.value(kOptKeepAlive).toInt(&ok);
    if (!ok || options->keepAlive < kMinKeepAlive)
        return QStringLiteral("bad --mqtt-keepalive \"%1\": give seconds, %2 or more")
            .arg(parser.value(kOptKeepAlive))
            .arg(kMinKeepAlive);
    if (parser.isSet(kOptNode)) {
        // Taken as given or refused: a / or a wildcard (+ #) would change
        // the topics, and a name quietly changed is not the one asked for.
        options->node = parser.value(kOptNode);
        if (options->node.isEmpty() || !std::all_of(options->node.cbegin(), options->node.cend(), isNodeCharacter))
            return QStringLiteral("bad --mqtt-node \"%1\": use letters, digits, - and _").arg(parser.value(kOptNode));
    } else {
        options->node = defaultNode(QSysInfo::machineHostName(), port, QSysInfo::machineUniqueId());
    }
    return {};
}

QString MqttPublisher::parseUrl(const QString &url, Options *options)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || (scheme != u"mqtt" && scheme != u"mqtts") || parsed.host().isEmpty())
        return QStringLiteral("bad --mqtt \"%1\": give mqtt://[user@]host[:port] or mqtts://...").arg(url);
    if (!parsed.password().isEmpty())
        return QStringLiteral("bad --mqtt \"%1\": no password in the URL, use --mqtt-password-file or $%2")
            .arg(parsed.toString(QUrl::RemovePassword), QLatin1String(kPasswordVariable));
    if (!parsed.path().isEmpty() && parsed.path() != u"/")
        return QStringLiteral("bad --mqtt \"%1\": no path after the host").arg(url);
    options->tls = scheme == u"mqtts";
    options->host = parsed.host();
    options->port = parsed.port(options->tls ? kDefaultTlsPort : kDefaultPort);
    options->user = parsed.userName();
    return {};
}

QString MqttPublisher::sanitised(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out += isNodeCharacter(c) ? c : u'_';
    return out;
}

QString MqttPublisher::defaultNode(const QString &host, const QString &port, const QByteArray &machineId)
{
    // The host name without its domain: the node names a panel, not a zone.
    const QString shortHost = host.section(u'.', 0, 0);
    const QString name = port.trimmed().isEmpty() ? shortHost : shortHost + u'-' + port.trimmed();
    // Two sites may both have an alarmbox watching port 3: a mark of the
    // machine keeps their topics and Home Assistant ids apart. Hashed with
    // our own name, as systemd advises, so the machine id is never published;
    // without one, the full host name (domain included) is the best we have.
    const QByteArray seed = (machineId.trimmed().isEmpty() ? host.toUtf8() : machineId.trimmed()) + '/' + kPrefix;
    const QByteArray mark = QCryptographicHash::hash(seed, QCryptographicHash::Sha256).toHex().left(kNodeSuffixLength);
    return sanitised(name) + u'-' + QString::fromLatin1(mark);
}

QString MqttPublisher::baseTopic(const QString &node)
{
    return QLatin1String(kPrefix) + u'/' + node;
}

QString MqttPublisher::discoveryTopic(const QString &node, int channel)
{
    return QStringLiteral("%1/binary_sensor/%2/%3/config")
        .arg(QLatin1String(kDiscoveryPrefix), node, channelTopic(channel));
}

QByteArray MqttPublisher::linesJson(const LineState &lines)
{
    const QJsonObject o{{QStringLiteral("cts"), lines.cts},
                        {QStringLiteral("dsr"), lines.dsr},
                        {QStringLiteral("dcd"), lines.dcd},
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
                             {QStringLiteral("model"), QLatin1String(kPrefix)},
                             {QStringLiteral("sw_version"), QStringLiteral(PHONE_HOME_VERSION)},
                             {QStringLiteral("identifiers"), QJsonArray{QLatin1String(kPrefix) + u'_' + node}}};
    const QJsonObject config{{QStringLiteral("name"), QLatin1String(kChannelNames[channel])},
                             {QStringLiteral("device_class"), QLatin1String(kDeviceClasses[channel])},
                             {QStringLiteral("state_topic"), base + u'/' + channelName},
                             {QStringLiteral("payload_on"), QStringLiteral("ON")},
                             {QStringLiteral("payload_off"), QStringLiteral("OFF")},
                             {QStringLiteral("unique_id"), QLatin1String(kPrefix) + u'_' + node + u'_' + channelName},
                             {QStringLiteral("availability_topic"), base + QStringLiteral("/availability")},
                             {QStringLiteral("payload_available"), QStringLiteral("online")},
                             {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
                             {QStringLiteral("device"), device}};
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

// Shared by the publisher and its network thread, and outlives the
// publisher when that thread is left behind in a name lookup at a stop.
struct MqttPublisher::Link {
    std::mutex mutex;
    std::condition_variable woken;
    MqttPublisher *owner = nullptr; // null once stopped: late news goes nowhere
    bool stopping = false;
    bool draining = false; // offline and DISCONNECT queued: send them first
    bool done = false;

    // Set before the thread starts.
    mosquitto *mosq = nullptr;
    QByteArray host;
    int port = 0;
    int keepAlive = 0;
    QString broker;
    QString caFile;

    // The network thread's own (libmosquitto's callbacks run on it).
    bool answered = false;    // CONNACK 0 for the current attempt
    bool refusalTold = false; // CONNACK refusal, told by connected()
    bool accepted = false;    // the TCP connection is up
    QString lastError;        // libmosquitto's last error message

    template<typename F>
    void post(F f)
    {
        std::lock_guard lock(mutex);
        if (owner)
            QMetaObject::invokeMethod(
                owner, [o = owner, f] { f(o); }, Qt::QueuedConnection);
    }
    bool stopRequested()
    {
        std::lock_guard lock(mutex);
        return stopping && !draining;
    }
    // false when a stop came first.
    bool pause(std::chrono::seconds delay)
    {
        std::unique_lock lock(mutex);
        return !woken.wait_for(lock, delay, [this] { return stopping; });
    }
    int connectTimeout() const { return std::min(kConnectTimeoutSeconds, keepAlive); }
    // Notes whether the TCP connection is up; the errno of a connect that
    // failed, else 0. libmosquitto 2.0 does not see a refused connect under
    // TLS: it writes to the dead socket again and again and never says.
    int connectError()
    {
        const int fd = mosquitto_socket(mosq);
        if (fd < 0)
            return 0;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        accepted = getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0;
        if (accepted)
            return 0;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 0) != 1 || !(p.revents & (POLLERR | POLLHUP)))
            return 0; // still connecting
        int error = 0;
        length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        // Already taken by libmosquitto's write: a reset on a connect is a refusal.
        return error != 0 ? error : ECONNREFUSED;
    }
    QString failureText(int rc, int error) const;
};

QString MqttPublisher::Link::failureText(int rc, int error) const
{
    switch (rc) {
    case kNotAnswered:
    case MOSQ_ERR_KEEPALIVE:
        if (accepted)
            return QStringLiteral("the MQTT broker %1 accepted the connection but did not answer the connect within "
                                  "%2 s; check that an MQTT broker listens on that port (mqtts:// for a TLS port)")
                .arg(broker)
                .arg(connectTimeout());
        return QStringLiteral("no answer from the MQTT broker %1 within %2 s; check the host, the port and any "
                              "firewall between; still trying")
            .arg(broker)
            .arg(connectTimeout());
    case MOSQ_ERR_ERRNO:
        return QStringLiteral("cannot reach the MQTT broker %1: %2; trying again")
            .arg(broker, QString::fromLocal8Bit(std::strerror(error)));
    case MOSQ_ERR_EAI:
        return QStringLiteral("cannot look up the MQTT broker's host name \"%1\"; check the name in --mqtt and the "
                              "name server; trying again")
            .arg(QString::fromUtf8(host));
    case MOSQ_ERR_TLS:
        if (QString why = TlsCheck::whyRefused(host, port, caFile, broker, kTlsCheckTimeout); !why.isEmpty())
            return why + QStringLiteral("; trying again");
        return QStringLiteral("TLS with the MQTT broker %1 failed (%2); trying again")
            .arg(broker, lastError.isEmpty() ? QStringLiteral("no reason given") : lastError);
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
    case MOSQ_ERR_PROTOCOL:
        if (accepted)
            return QStringLiteral("the MQTT broker %1 closed the connection without answering the connect; check that "
                                  "an MQTT broker listens on that port (mqtts:// for a TLS port)")
                .arg(broker);
        break;
    default:
        break;
    }
    return QStringLiteral("cannot reach the MQTT broker %1: %2; trying again")
        .arg(broker, QString::fromUtf8(mosquitto_strerror(rc)));
}

void MqttPublisher::runNetwork(const std::shared_ptr<Link> &link)
{
    using Clock = std::chrono::steady_clock;
    mosquitto *mosq = link->mosq;
    std::chrono::seconds delay{kReconnectMin};
    // The first connect looks the host name up, which can take long: here,
    // never on the panel's thread.
    int rc = mosquitto_connect_async(mosq, link->host.constData(), link->port, link->keepAlive);
    int error = errno;
    while (!link->stopRequested()) {
        const auto deadline = Clock::now() + std::chrono::seconds(link->connectTimeout());
        while (rc == MOSQ_ERR_SUCCESS && !link->stopRequested()) {
            rc = mosquitto_loop(mosq, kLoopTimeoutMs, 1);
            error = errno;
            if (link->answered) {
                delay = std::chrono::seconds(kReconnectMin);
            } else if (rc == MOSQ_ERR_SUCCESS && !link->accepted) {
                if (const int failed = link->connectError(); failed != 0) {
                    rc = MOSQ_ERR_ERRNO;
                    error = failed;
                }
            }
            if (rc == MOSQ_ERR_SUCCESS && !link->answered && Clock::now() > deadline)
                rc = kNotAnswered;
        }
        if (link->stopRequested() || (link->stopping && rc != MOSQ_ERR_SUCCESS))
            break;
        // A working connection that ended was told by the disconnect callback,
        // a refused CONNACK by connected().
        if (!link->answered && !link->refusalTold) {
            const QString text = link->failureText(rc, error);
            link->post([text](MqttPublisher *self) { self->connectFailed(text); });
        }
        link->answered = link->refusalTold = link->accepted = false;
        link->lastError.clear();
        if (!link->pause(delay))
            break;
        delay = std::min(delay * 2, std::chrono::seconds(kReconnectMax));
        // Unlike libmosquitto's own loop, which gives up for good after a TLS
        // failure: a certificate can be put right on the broker.
        rc = mosquitto_reconnect_async(mosq);
        error = errno;
    }
    std::lock_guard lock(link->mutex);
    link->done = true;
    link->woken.notify_all();
}

MqttPublisher::MqttPublisher(Panel *panel, EventLog *log, const Options &options, QObject *parent)
    : QObject(parent)
    , m_panel(panel)
    , m_log(log)
    , m_options(options)
    , m_base(baseTopic(options.node))
{
    connect(panel, &Panel::statusCaptionChanged, this, [this](int channel, const QString &caption) {
        publish(channelTopic(channel), onOff(caption == Form::kAlarm), true);
    });
    connect(panel, &Panel::switchCaptionChanged, this, [this](const QString &caption) {
        publish(QStringLiteral("notifications"),
                caption == Form::kEnabled ? QByteArrayLiteral("armed") : QByteArrayLiteral("disarmed"), true);
    });
    LineMonitor *monitor = panel->lineMonitor();
    connect(monitor, &LineMonitor::linesChanged, this, [this](const LineState &lines) {
        m_lines = lines;
        publish(QStringLiteral("lines"), linesJson(lines), false);
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

QString MqttPublisher::broker() const
{
    return QStringLiteral("%1:%2").arg(m_options.host).arg(m_options.port);
}

bool MqttPublisher::start()
{
    for (const QString &text : std::as_const(m_options.warnings))
        m_log->record(EventLog::Priority::Warning, QStringLiteral("warning"), {{QStringLiteral("text"), text}});
    mosquitto_lib_init();
    const QByteArray id = (QLatin1String(kPrefix) + u'-' + m_options.node).toUtf8();
    m_mosq = mosquitto_new(id.constData(), true, this);
    if (!m_mosq) {
        connectFailed(QStringLiteral("cannot create the MQTT client; the panel goes on without it"));
        return false;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    const QByteArray availability = (m_base + QStringLiteral("/availability")).toUtf8();
    mosquitto_will_set(m_mosq, availability.constData(), 7, "offline", kWillQos, true);
    if (!m_options.user.isEmpty()) {
        mosquitto_username_pw_set(m_mosq, m_options.user.toUtf8().constData(),
                                  m_options.password.isEmpty() ? nullptr : m_options.password.toUtf8().constData());
    }
    if (m_options.tls) {
        const QByteArray ca = m_options.caFile.toUtf8();
        const int rc = m_options.caFile.isEmpty()
            ? mosquitto_tls_set(m_mosq, nullptr, TlsCheck::kSystemCaPath, nullptr, nullptr, nullptr)
            : mosquitto_tls_set(m_mosq, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            connectFailed(QStringLiteral("cannot use the CA certificate \"%1\" for %2: %3; check the file")
                              .arg(m_options.caFile, broker(), QString::fromUtf8(mosquitto_strerror(rc))));
            mosquitto_destroy(m_mosq);
            m_mosq = nullptr;
            return false;
        }
    }
    // Our thread runs the loop: publish() and stop() must then queue their
    // packets for it rather than write to the socket themselves.
    mosquitto_threaded_set(m_mosq, true);
    m_link = std::make_shared<Link>();
    m_link->owner = this;
    m_link->mosq = m_mosq;
    m_link->host = m_options.host.toUtf8();
    m_link->port = m_options.port;
    m_link->keepAlive = m_options.keepAlive;
    m_link->broker = broker();
    m_link->caFile = m_options.caFile;
    mosquitto_user_data_set(m_mosq, m_link.get());
    mosquitto_connect_callback_set(m_mosq, [](mosquitto *, void *obj, int rc) {
        auto *link = static_cast<Link *>(obj);
        if (rc == 0)
            link->answered = true;
        else
            link->refusalTold = true;
        link->post([rc](MqttPublisher *self) { self->connected(rc); });
    });
    mosquitto_disconnect_callback_set(m_mosq, [](mosquitto *, void *obj, int rc) {
        // A connect that never came up is told by the network thread, which
        // knows why; only the loss of a working connection is told here.
        auto *link = static_cast<Link *>(obj);
        if (link->answered)
            link->post([rc](MqttPublisher *self) { self->disconnected(rc); });
    });
    mosquitto_log_callback_set(m_mosq, [](mosquitto *, void *obj, int level, const char *text) {
        // libmosquitto returns only "TLS error"; OpenSSL's reason is in its log.
        if (level == MOSQ_LOG_ERR)
            static_cast<Link *>(obj)->lastError = QString::fromUtf8(text);
    });
    m_network = std::thread(runNetwork, m_link);
    return true;
}

void MqttPublisher::connectFailed(const QString &text)
{
    // Each reason once until connected: retries with the same reason stay
    // quiet, a new one (refused, then a TLS error) is told.
    if (m_stopped || m_toldFailures.contains(text))
        return;
    m_toldFailures.insert(text);
    m_log->record(EventLog::Priority::Error, QStringLiteral("mqtt-error"),
                  {{QStringLiteral("broker"), broker()}, {QStringLiteral("text"), text}});
}

void MqttPublisher::connected(int code)
{
    if (m_stopped)
        return;
    if (code != 0) {
        QString text = QStringLiteral("the MQTT broker %1 refused the connection: %2")
                           .arg(broker(), QString::fromUtf8(mosquitto_connack_string(code)));
        if (code == 4 || code == 5)
            text += QStringLiteral("; check the user in --mqtt and the password file or $%1")
                        .arg(QLatin1String(kPasswordVariable));
        connectFailed(text);
        return;
    }
    m_connected = true;
    m_toldFailures.clear();
    m_log->record(EventLog::Priority::Notice, QStringLiteral("mqtt-connected"),
                  {{QStringLiteral("broker"), broker()}, {QStringLiteral("node"), m_options.node}});
    publishAll();
}

void MqttPublisher::disconnected(int code)
{
    if (m_stopped)
        return;
    if (!m_connected)
        return;
    m_connected = false;
    if (code != 0) {
        // libmosquitto 2.0 has no words for its keep-alive code.
        const QString why = code == MOSQ_ERR_KEEPALIVE
            ? QStringLiteral("no answer within the keep-alive of %1 s").arg(m_options.keepAlive)
            : QString::fromUtf8(mosquitto_strerror(code));
        m_log->record(EventLog::Priority::Warning, QStringLiteral("mqtt-lost"),
                      {{QStringLiteral("broker"), broker()},
                       {QStringLiteral("text"),
                        QStringLiteral("connection to the MQTT broker lost (%1); reconnecting").arg(why)}});
    }
}

void MqttPublisher::publishAll()
{
    publish(QStringLiteral("availability"), QByteArrayLiteral("online"), true);
    for (int c = 0; c < Form::kChannels; ++c) {
        publishTo(discoveryTopic(m_options.node, c), discoveryConfig(m_options.node, c), true);
        publish(channelTopic(c), onOff(m_panel->inAlarm(c)), true);
    }
    publish(QStringLiteral("notifications"),
            m_panel->notificationsEnabled() ? QByteArrayLiteral("armed") : QByteArrayLiteral("disarmed"), true);
    if (m_lines)
        publish(QStringLiteral("lines"), linesJson(*m_lines), false);
}

void MqttPublisher::publish(const QString &leaf, const QByteArray &payload, bool retain)
{
    publishTo(m_base + u'/' + leaf, payload, retain);
}

void MqttPublisher::publishTo(const QString &topic, const QByteArray &payload, bool retain)
{
    // Only once connected: the state is published whole on every connect,
    // so nothing needs queueing meanwhile.
    if (!m_connected || !m_mosq)
        return;
    mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(),
                      kPublishQos, retain);
}

void MqttPublisher::stop()
{
    if (!m_link || m_stopped)
        return;
    m_stopped = true;
    const bool connected = m_connected;
    {
        std::lock_guard lock(m_link->mutex);
        m_link->owner = nullptr;
        m_link->stopping = true;
        m_link->draining = connected;
        m_link->woken.notify_all();
    }
    if (connected) {
        // Best effort: the thread sends these if the broker takes them in time.
        publish(QStringLiteral("availability"), QByteArrayLiteral("offline"), true);
        mosquitto_disconnect(m_mosq);
    }
    m_connected = false;
    bool done = false;
    {
        std::unique_lock lock(m_link->mutex);
        done = m_link->woken.wait_for(lock, kStopWait, [this] { return m_link->done; });
    }
    if (done) {
        m_network.join();
        mosquitto_destroy(m_mosq);
        mosquitto_lib_cleanup();
    } else {
        // Stuck where it cannot be interrupted (a name lookup): the client
        // and its link are left to it, and end with the process.
        m_network.detach();
    }
    m_mosq = nullptr;
    m_link.reset();
}
