// SPDX-License-Identifier: MIT
#include "mosquitto_client.h"

#include "mqtt_options.h"
#include "tls_check.h"

#include <QStringList>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>

namespace {
// The broker keeps the last will until it is needed: at least once.
constexpr int kWillQos = 1;
// A command sent to us is not lost between the broker and us.
constexpr int kSubscribeQos = 1;
// What a broker answers in SUBACK for a subscription it refuses.
constexpr int kSubscriptionRefused = 0x80;
// Everything else at most once. The whole state is published again on every
// connect, and libmosquitto would send an unacknowledged QoS 1 message again
// after that, putting an old state back over the new one.
constexpr int kPublishQos = 0;
// Back-off between reconnection attempts: 1 s, doubling, at most 60 s.
constexpr unsigned kReconnectMin = 1;
constexpr unsigned kReconnectMax = 60;
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
}

// Shared by the client and its network thread, and outlives the client when
// that thread is left behind in a name lookup at a stop.
struct MosquittoClient::Link {
    std::mutex mutex;
    std::condition_variable woken;
    MosquittoClient *owner = nullptr; // null once stopped: late news goes nowhere
    QObject *context = nullptr;
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
    bool tls = false;
    QList<QByteArray> subscriptions;

    // The network thread's own (libmosquitto's callbacks run on it).
    bool answered = false;    // CONNACK 0 for the current attempt
    bool refusalTold = false; // CONNACK refusal, told by connected()
    bool accepted = false;    // the TCP connection is up
    QString lastError;        // libmosquitto's last error message

    // Runs f on the client's thread, unless the client stopped by then.
    template<typename F>
    void post(F f)
    {
        std::lock_guard lock(mutex);
        if (owner)
            QMetaObject::invokeMethod(
                context,
                [o = owner, f] {
                    if (!o->m_stopped)
                        f(o);
                },
                Qt::QueuedConnection);
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

QString MosquittoClient::Link::failureText(int rc, int error) const
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
        // A plain MQTT port may reset a TLS hello rather than close on it:
        // libmosquitto then tells the errno, not a TLS failure.
        if (tls && (error == ECONNRESET || error == EPIPE)) {
            if (QString why = TlsCheck::whyRefused(host, port, caFile, broker, kTlsCheckTimeout); !why.isEmpty())
                return why + QStringLiteral("; trying again");
        }
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

void MosquittoClient::runNetwork(const std::shared_ptr<Link> &link)
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
            link->post([text](MosquittoClient *self) { self->m_listener->mqttFailed(text); });
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

MosquittoClient::~MosquittoClient()
{
    stop();
}

QString MosquittoClient::broker() const
{
    return QStringLiteral("%1:%2").arg(m_settings.host).arg(m_settings.port);
}

bool MosquittoClient::start(const Settings &settings, QObject *context, Listener *listener)
{
    m_settings = settings;
    m_listener = listener;
    mosquitto_lib_init();
    m_mosq = mosquitto_new(settings.clientId.constData(), true, this);
    if (!m_mosq) {
        listener->mqttFailed(QStringLiteral("cannot create the MQTT client; the panel goes on without it"));
        return false;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_will_set(m_mosq, settings.willTopic.constData(), int(settings.willPayload.size()),
                       settings.willPayload.constData(), kWillQos, true);
    if (!settings.user.isEmpty()) {
        mosquitto_username_pw_set(m_mosq, settings.user.toUtf8().constData(),
                                  settings.password.isEmpty() ? nullptr : settings.password.toUtf8().constData());
    }
    if (settings.tls) {
        const QByteArray ca = settings.caFile.toUtf8();
        const int rc = settings.caFile.isEmpty()
            ? mosquitto_tls_set(m_mosq, nullptr, TlsCheck::kSystemCaPath, nullptr, nullptr, nullptr)
            : mosquitto_tls_set(m_mosq, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            listener->mqttFailed(QStringLiteral("cannot use the CA certificate \"%1\" for %2: %3; check the file")
                                     .arg(settings.caFile, broker(), QString::fromUtf8(mosquitto_strerror(rc))));
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
    m_link->context = context;
    m_link->mosq = m_mosq;
    m_link->host = settings.host.toUtf8();
    m_link->port = settings.port;
    m_link->keepAlive = settings.keepAlive;
    m_link->broker = broker();
    m_link->caFile = settings.caFile;
    m_link->tls = settings.tls;
    m_link->subscriptions = settings.subscriptions;
    mosquitto_user_data_set(m_mosq, m_link.get());
    mosquitto_connect_callback_set(m_mosq, [](mosquitto *, void *obj, int rc) {
        auto *link = static_cast<Link *>(obj);
        if (rc == 0)
            link->answered = true;
        else
            link->refusalTold = true;
        // A clean session starts with no subscription: made again on every
        // connect, before anything of ours is published.
        if (rc == 0) {
            for (const QByteArray &topic : std::as_const(link->subscriptions))
                mosquitto_subscribe(link->mosq, nullptr, topic.constData(), kSubscribeQos);
        }
        link->post([rc](MosquittoClient *self) {
            if (rc == 0) {
                self->m_connected = true;
                self->m_listener->mqttConnected();
                return;
            }
            QString text = QStringLiteral("the MQTT broker %1 refused the connection: %2")
                               .arg(self->broker(), QString::fromUtf8(mosquitto_connack_string(rc)));
            if (rc == 4 || rc == 5)
                text += QStringLiteral("; check the user in --mqtt and the password file or $%1")
                            .arg(QLatin1String(MqttOptions::kPasswordVariable));
            self->m_listener->mqttFailed(text);
        });
    });
    mosquitto_disconnect_callback_set(m_mosq, [](mosquitto *, void *obj, int rc) {
        // A connect that never came up is told by the network thread, which
        // knows why; only the loss of a working connection is told here.
        auto *link = static_cast<Link *>(obj);
        if (!link->answered)
            return;
        link->post([rc](MosquittoClient *self) {
            if (!self->m_connected)
                return;
            self->m_connected = false;
            // libmosquitto 2.0 has no words for its keep-alive code.
            QString why;
            if (rc == MOSQ_ERR_KEEPALIVE)
                why = QStringLiteral("no answer within the keep-alive of %1 s").arg(self->m_settings.keepAlive);
            else if (rc != 0)
                why = QString::fromUtf8(mosquitto_strerror(rc));
            self->m_listener->mqttLost(why);
        });
    });
    mosquitto_subscribe_callback_set(m_mosq, [](mosquitto *, void *obj, int, int count, const int *granted) {
        // Told like a refused connect, once until the next connect: the
        // broker's ACL is the usual reason.
        if (std::none_of(granted, granted + count, [](int qos) { return qos == kSubscriptionRefused; }))
            return;
        static_cast<Link *>(obj)->post([](MosquittoClient *self) {
            QStringList topics;
            for (const QByteArray &topic : std::as_const(self->m_settings.subscriptions))
                topics << QString::fromUtf8(topic);
            self->m_listener->mqttFailed(
                QStringLiteral("the MQTT broker %1 refused the subscription to %2; check that the broker lets the "
                               "user read it (its ACL)")
                    .arg(self->broker(), topics.join(QStringLiteral(", "))));
        });
    });
    mosquitto_message_callback_set(m_mosq, [](mosquitto *, void *obj, const mosquitto_message *message) {
        QByteArray topic(message->topic);
        QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
        const bool retained = message->retain;
        static_cast<Link *>(obj)->post([topic, payload, retained](MosquittoClient *self) {
            if (self->m_connected)
                self->m_listener->mqttMessage(topic, payload, retained);
        });
    });
    mosquitto_log_callback_set(m_mosq, [](mosquitto *, void *obj, int level, const char *text) {
        // libmosquitto returns only "TLS error"; OpenSSL's reason is in its log.
        if (level == MOSQ_LOG_ERR)
            static_cast<Link *>(obj)->lastError = QString::fromUtf8(text);
    });
    m_network = std::thread(runNetwork, m_link);
    return true;
}

void MosquittoClient::publish(const QByteArray &topic, const QByteArray &payload, bool retain)
{
    if (!m_connected || !m_mosq || m_stopped)
        return;
    mosquitto_publish(m_mosq, nullptr, topic.constData(), int(payload.size()), payload.constData(), kPublishQos,
                      retain);
}

void MosquittoClient::stop()
{
    if (!m_link || m_stopped)
        return;
    const bool connected = m_connected;
    {
        std::lock_guard lock(m_link->mutex);
        m_link->owner = nullptr;
        m_link->stopping = true;
        m_link->draining = connected;
        m_link->woken.notify_all();
    }
    // Best effort: the thread sends what is queued if the broker takes it in time.
    if (connected)
        mosquitto_disconnect(m_mosq);
    m_stopped = true;
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
