// SPDX-License-Identifier: MIT
#include "local_control.h"

#include "core/arming.h"
#include "core/panel_code.h"
#include "record/event_log.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {
// What an id the kernel cannot map into a user namespace reads as.
constexpr quint32 kOverflowId = 65534;
constexpr quint32 kInvalidId = quint32(-1);
constexpr int kClientFailed = 1;
// Enough for any answer; a longer one is no answer of ours.
constexpr qsizetype kMaxAnswer = 256;
const QStringList kCommands{QStringLiteral("status"), QStringLiteral("arm"), QStringLiteral("disarm")};

bool address(const QByteArray &name, sockaddr_un *out)
{
    *out = sockaddr_un{};
    out->sun_family = AF_UNIX;
    if (name.isEmpty() || size_t(name.size()) >= sizeof out->sun_path)
        return false;
    std::memcpy(out->sun_path, name.constData(), size_t(name.size()));
    return true;
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

enum class Existing { Stale, Live, NotSocket };

// What is at a path a bind found taken: a socket nobody listens on is left
// over from a program that ended and may go.
Existing existing(const QByteArray &name, const sockaddr_un &where)
{
    struct stat info {
    };
    if (::lstat(name.constData(), &info) != 0)
        return Existing::Stale;
    if (!S_ISSOCK(info.st_mode))
        return Existing::NotSocket;
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return Existing::Live;
    const int done = ::connect(probe, reinterpret_cast<const sockaddr *>(&where), sizeof where);
    const int error = errno;
    ::close(probe);
    return done != 0 && error == ECONNREFUSED ? Existing::Stale : Existing::Live;
}

bool peerOf(int fd, LocalControl::Peer *peer)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    peer->pid = credentials.pid;
    peer->uid = credentials.uid;
    peer->gid = credentials.gid;
#ifdef SO_PEERGROUPS
    // Read from the socket, not from /proc/PID/status: that would race with
    // the pid's reuse, and systemd's ProtectProc= hides other users' processes.
    std::vector<gid_t> groups(32);
    socklen_t size = socklen_t(groups.size() * sizeof(gid_t));
    int done = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size);
    if (done != 0 && errno == ERANGE) {
        groups.resize(size / sizeof(gid_t));
        done = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size);
    }
    if (done == 0) {
        for (size_t i = 0; i < size / sizeof(gid_t); ++i)
            peer->groups.append(groups[i]);
    }
#endif
    return true;
}

// Sends what fits at once: an answer is a few bytes on a fresh socket.
void sendNow(int fd, const QByteArray &line)
{
    [[maybe_unused]] const ssize_t n = ::send(fd, line.constData(), size_t(line.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void wipe(QByteArray *bytes)
{
    bytes->fill('\0');
    bytes->clear();
}

termios s_terminal;

void restoreTerminal(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSANOW, &s_terminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// One line from stdin; from a terminal, asked for and not echoed.
QByteArray readCode()
{
    constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction before[std::size(kSignals)];
    const bool silent = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &s_terminal) == 0;
    if (silent) {
        // Interrupted at the prompt, the terminal must not stay without echo.
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction action {
            };
            action.sa_handler = restoreTerminal;
            sigemptyset(&action.sa_mask);
            ::sigaction(kSignals[i], &action, &before[i]);
        }
        termios quiet = s_terminal;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        std::fputs("Code: ", stderr);
        std::fflush(stderr);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    char c = 0;
    // One past the bound is enough for the service to refuse it as too long.
    while (line.size() <= LocalControl::kMaxRequest) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != 1 || c == '\n')
            break;
        line.append(c);
    }
    if (silent) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_terminal);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &before[i], nullptr);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}
}

struct LocalControl::Client {
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QTimer *deadline = nullptr;
    QByteArray request;

    Client(int descriptor, QObject *owner)
        : fd(descriptor)
        , notifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, owner))
        , deadline(new QTimer(owner))
    {
    }
    Q_DISABLE_COPY_MOVE(Client)
    ~Client()
    {
        // Deleted later: this may run from their own signals.
        notifier->setEnabled(false);
        notifier->deleteLater();
        deadline->stop();
        deadline->deleteLater();
        wipe(&request);
        ::close(fd);
    }
};

bool LocalControl::mayControl(const Peer &peer, quint32 selfUid, quint32 selfGroup)
{
    const auto match = [](quint32 id, quint32 self) { return id == self && id != kOverflowId && id != kInvalidId; };
    return peer.uid == 0 || match(peer.uid, selfUid) || match(peer.gid, selfGroup)
        || std::any_of(peer.groups.begin(), peer.groups.end(), [&](quint32 group) { return match(group, selfGroup); });
}

LocalControl::LocalControl(Arming *arming, EventLog *log, QObject *parent)
    : QObject(parent)
    , m_arming(arming)
    , m_log(log)
{
}

LocalControl::~LocalControl()
{
    m_clients.clear();
    if (m_fd < 0)
        return;
    m_notifier->setEnabled(false);
    ::close(m_fd);
    // Only our own socket: another program may have taken the path since.
    const QByteArray name = QFile::encodeName(m_path);
    struct stat info {
    };
    if (::lstat(name.constData(), &info) == 0 && quint64(info.st_dev) == m_device && quint64(info.st_ino) == m_inode)
        ::unlink(name.constData());
}

QString LocalControl::listen(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un where{};
    if (!address(name, &where))
        return tr("Cannot listen for local commands at \"%1\": give a path of 1 to %2 bytes.")
            .arg(path)
            .arg(sizeof where.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return tr("Cannot listen for local commands at %1: %2.").arg(path, errorText(errno));
    const auto bindTo = [&] { return ::bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) == 0; };
    bool bound = bindTo();
    if (!bound && errno == EADDRINUSE) {
        switch (existing(name, where)) {
        case Existing::Stale:
            ::unlink(name.constData());
            bound = bindTo();
            break;
        case Existing::Live:
            ::close(fd);
            return tr("Cannot listen for local commands at %1: another program listens there.").arg(path);
        case Existing::NotSocket:
            ::close(fd);
            return tr("Cannot listen for local commands at %1: it is a file, not a socket; remove it or give "
                      "another path.")
                .arg(path);
        }
    }
    const int error = errno;
    struct stat info {
    };
    // The mode after bind: umask decides it before, and the unit's is 0077.
    if (!bound || ::chmod(name.constData(), 0660) != 0 || ::listen(fd, kMaxClients) != 0
        || ::lstat(name.constData(), &info) != 0) {
        const QString text =
            tr("Cannot listen for local commands at %1: %2.").arg(path, errorText(bound ? errno : error));
        if (bound)
            ::unlink(name.constData());
        ::close(fd);
        return text;
    }
    m_fd = fd;
    m_path = path;
    m_device = quint64(info.st_dev);
    m_inode = quint64(info.st_ino);
    // Those who can open it by its mode are those served.
    m_group = quint32(info.st_gid);
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LocalControl::acceptClients);
    return QString();
}

void LocalControl::acceptClients()
{
    // Bounded, so that a flood of connections still lets the panel run.
    for (int i = 0; i < 2 * kMaxClients; ++i) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors the socket stays readable: pause rather than spin.
                m_notifier->setEnabled(false);
                QTimer::singleShot(std::chrono::seconds(1), m_notifier, [n = m_notifier] { n->setEnabled(true); });
            }
            return;
        }
        Peer peer;
        if (!peerOf(fd, &peer)) {
            ::close(fd);
            continue;
        }
        if (!mayControl(peer, quint32(::geteuid()), m_group)) {
            sendNow(fd, "refused not-allowed\n");
            ::close(fd);
            refused(QStringLiteral("not-allowed"),
                    {{QStringLiteral("uid"), QString::number(peer.uid)},
                     {QStringLiteral("pid"), QString::number(peer.pid)}});
            continue;
        }
        if (m_clients.size() >= size_t(kMaxClients)) {
            sendNow(fd, "refused busy\n");
            ::close(fd);
            refused(QStringLiteral("busy"));
            continue;
        }
        auto client = std::make_unique<Client>(fd, this);
        connect(client->notifier, &QSocketNotifier::activated, this, [this, fd] { readClient(fd); });
        // From the connect, not from the last byte: one byte a second must not hold a place forever.
        client->deadline->setSingleShot(true);
        connect(client->deadline, &QTimer::timeout, this, [this, fd] { answer(fd, "refused timeout"); });
        client->deadline->start(kTimeLimit);
        m_clients[fd] = std::move(client);
    }
}

void LocalControl::readClient(int fd)
{
    const auto found = m_clients.find(fd);
    if (found == m_clients.end())
        return;
    QByteArray &request = found->second->request;
    bool ended = false;
    char chunk[512];
    while (request.size() <= kMaxRequest) {
        const size_t room = std::min(sizeof chunk, size_t(kMaxRequest + 1 - request.size()));
        const ssize_t n = ::recv(fd, chunk, room, 0);
        if (n > 0) {
            request.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        ended = true;
        break;
    }
    std::memset(chunk, 0, sizeof chunk);
    // A client that sent its last line without the newline and closed its side.
    if (ended && !request.isEmpty() && !request.endsWith('\n'))
        request.append('\n');

    QList<QByteArray> lines;
    for (qsizetype from = 0, end = 0; (end = request.indexOf('\n', from)) >= 0; from = end + 1)
        lines.append(request.mid(from, end - from));
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const bool tooLong = request.size() > kMaxRequest;
    const QByteArray command = lines.value(0);
    QByteArray reply;
    if (command == "status") {
        reply = Arming::stateName(m_arming->state()).toUtf8();
    } else if (command == "arm") {
        reply = resultText(m_arming->arm(Arming::By::Local));
    } else if (command == "disarm" && (lines.size() >= 2 || ended)) {
        QString code = QString::fromUtf8(lines.value(1));
        reply = resultText(m_arming->disarm(code, Arming::By::Local));
        code.fill(QChar());
    } else if (!lines.isEmpty() && command != "disarm") {
        reply = "refused unknown-command";
        refused(QStringLiteral("unknown-command"));
    } else if (tooLong) {
        reply = "refused too-long";
        refused(QStringLiteral("too-long"));
    } else if (ended) {
        drop(fd);
        return;
    }
    for (QByteArray &line : lines)
        wipe(&line);
    if (!reply.isEmpty())
        answer(fd, reply);
}

QByteArray LocalControl::resultText(Arming::Result result)
{
    if (result == Arming::Result::Accepted)
        return Arming::stateName(m_arming->state()).toUtf8();
    const QString reason = Arming::resultName(result);
    refused(reason);
    QByteArray text = "refused " + reason.toUtf8();
    if (const QDateTime until = m_arming->code()->lockedUntil(); result == Arming::Result::LockedOut && until.isValid())
        text += " until=" + until.toUTC().toString(Qt::ISODate).toUtf8();
    return text;
}

void LocalControl::answer(int fd, const QByteArray &line)
{
    sendNow(fd, line + '\n');
    drop(fd);
}

void LocalControl::drop(int fd)
{
    m_clients.erase(fd);
}

void LocalControl::refused(const QString &reason, const QList<QPair<QString, QString>> &fields)
{
    QElapsedTimer &last = m_lastRefusal[reason];
    if (last.isValid() && std::chrono::milliseconds(last.elapsed()) < kRefusalQuiet)
        return;
    last.start();
    if (!m_log)
        return;
    EventLog::Fields all{{QStringLiteral("by"), QStringLiteral("local")}, {QStringLiteral("reason"), reason}};
    all += fields;
    m_log->record(EventLog::Priority::Warning, QStringLiteral("command-refused"), all);
}

bool LocalControl::exchange(const QString &socketPath, const QByteArray &request, QString *answer)
{
    const QByteArray name = QFile::encodeName(socketPath);
    sockaddr_un where{};
    if (!address(name, &where)) {
        *answer = tr("\"%1\" is no socket path").arg(socketPath);
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *answer = errorText(errno);
        return false;
    }
    // Also bounds the connect: a service with a full backlog makes it wait.
    const timeval limit{static_cast<time_t>(kClientTimeout.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const auto fail = [&](int error) {
        switch (error) {
        case ENOENT:
            *answer = tr("no service listens at %1: is it running with --control-socket %1?").arg(socketPath);
            break;
        case ECONNREFUSED:
            *answer = tr("no service listens at %1: it is not running").arg(socketPath);
            break;
        case EACCES:
        case EPERM:
            *answer =
                tr("%1: %2; run this as root or as a member of the service's group").arg(socketPath, errorText(error));
            break;
        case EAGAIN:
        case ETIMEDOUT:
            *answer = tr("the service at %1 did not answer within %2 s").arg(socketPath).arg(kClientTimeout.count());
            break;
        default:
            *answer = tr("%1: %2").arg(socketPath, errorText(error));
        }
        ::close(fd);
        return false;
    };
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) != 0)
        return fail(errno);
    for (qsizetype sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        // A refusal before the whole request was read still comes as an answer.
        if (n < 0)
            break;
        sent += n;
    }
    QByteArray line;
    char c = 0;
    while (line.size() < kMaxAnswer) {
        const ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(errno);
        if (n == 0 || c == '\n')
            break;
        line.append(c);
    }
    ::close(fd);
    if (line.isEmpty()) {
        *answer = tr("the service at %1 closed the connection without an answer").arg(socketPath);
        return false;
    }
    *answer = QString::fromUtf8(line);
    return true;
}

int LocalControl::runClient(const QString &socketPath, const QString &command)
{
    const char program[] = "rs232-phone-homed";
    if (socketPath.isEmpty() || !kCommands.contains(command)) {
        std::fprintf(stderr, "%s: %s\n", program,
                     qPrintable(socketPath.isEmpty()
                                    ? tr("--panel needs --control-socket PATH, the socket the service listens on")
                                    : tr("bad --panel \"%1\": give status, arm or disarm").arg(command)));
        return 2;
    }
    QByteArray request = command.toUtf8() + '\n';
    if (command == u"disarm") {
        QByteArray code = readCode();
        request += code + '\n';
        wipe(&code);
    }
    QString answer;
    const bool answered = exchange(socketPath, request, &answer);
    wipe(&request);
    if (!answered || answer.startsWith(u"refused")) {
        std::fprintf(stderr, "%s: %s\n", program, qPrintable(answer));
        return kClientFailed;
    }
    std::printf("%s\n", qPrintable(answer));
    return 0;
}
