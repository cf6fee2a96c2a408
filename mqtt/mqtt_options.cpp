// SPDX-License-Identifier: MIT
#include "mqtt_options.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QFile>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kOptUrl = QStringLiteral("mqtt");
const QString kOptCa = QStringLiteral("mqtt-ca");
const QString kOptPasswordFile = QStringLiteral("mqtt-password-file");
const QString kOptNode = QStringLiteral("mqtt-node");
const QString kOptKeepAlive = QStringLiteral("mqtt-keepalive");
const QString kOptControl = QStringLiteral("mqtt-control");

// A password is a line, not a file's worth: more than this is not one.
constexpr qsizetype kPasswordFileMax = 4096;
// Hex digits of the machine's mark in a default node name.
constexpr qsizetype kNodeSuffixLength = 4;

bool isNodeCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
}

bool isLoopback(const QString &host)
{
    return host == u"localhost" || host == u"::1" || host.startsWith(u"127.");
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

QList<QCommandLineOption> MqttOptions::commandLineOptions()
{
    return {QCommandLineOption(kOptUrl, QString(), QStringLiteral("URL")),
            QCommandLineOption(kOptCa, QString(), QStringLiteral("FILE")),
            QCommandLineOption(kOptPasswordFile, QString(), QStringLiteral("FILE")),
            QCommandLineOption(kOptNode, QString(), QStringLiteral("NAME")),
            QCommandLineOption(kOptKeepAlive, QString(), QStringLiteral("SECONDS"), QString::number(kDefaultKeepAlive)),
            QCommandLineOption(kOptControl)};
}

const char *MqttOptions::usage()
{
    return "  --mqtt URL        publish the panel to an MQTT broker: mqtt://[user@]host[:port]\n"
           "                    or mqtts://...; Home Assistant finds it by discovery\n"
           "  --mqtt-ca FILE    CA certificate for mqtts (default: the system's)\n"
           "  --mqtt-password-file FILE  the broker password (else $PHONE_HOME_MQTT_PASSWORD)\n"
           "  --mqtt-node NAME  topic level for this panel: letters, digits, - and _\n"
           "                    (default: host name, port and a mark of the machine)\n"
           "  --mqtt-keepalive SECONDS  how soon the broker declares it offline (default 30)\n"
           "  --mqtt-control    accept arm and disarm (with the code) from the broker, as\n"
           "                    the user in --mqtt with its password\n";
}

QString MqttOptions::fromCommandLine(const QCommandLineParser &parser, const QString &port, MqttOptions *options)
{
    if (!parser.isSet(kOptUrl)) {
        for (const QString &name : {kOptCa, kOptPasswordFile, kOptNode, kOptKeepAlive, kOptControl}) {
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
    // Commands are taken only from a connection the broker authenticated:
    // with an anonymous one, anybody on the broker could disarm.
    options->control = parser.isSet(kOptControl);
    if (options->control && (options->user.isEmpty() || options->password.isEmpty()))
        return QStringLiteral("--mqtt-control needs the broker to know the panel: give mqtt://USER@host and its "
                              "password (--mqtt-password-file or $%1)")
            .arg(QLatin1String(kPasswordVariable));
    if (options->control && !options->tls && !isLoopback(options->host))
        options->warnings.append(QStringLiteral("--mqtt-control over mqtt:// sends the disarm code to %1 "
                                                "unencrypted; use mqtts://")
                                     .arg(options->host));
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

QString MqttOptions::parseUrl(const QString &url, MqttOptions *options)
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

QString MqttOptions::sanitised(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out += isNodeCharacter(c) ? c : u'_';
    return out;
}

QString MqttOptions::defaultNode(const QString &host, const QString &port, const QByteArray &machineId)
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

QString MqttOptions::broker() const
{
    return QStringLiteral("%1:%2").arg(host).arg(port);
}
