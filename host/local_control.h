// SPDX-License-Identifier: MIT
#pragma once

// Arming, disarming and reading the panel's state at the machine itself,
// without a broker: the service listens on a Unix socket (--control-socket
// PATH) and the same program is its client (--panel status|arm|disarm).
//
// One request per connection, answered with one line, then closed:
//
//     status\n          the state's name: disarmed, arming, armed_away, pending, triggered
//     arm\n             the state's name after it, or "refused REASON"
//     disarm\nCODE\n    "disarmed", or "refused REASON"
//
// REASON is wrong-code, locked-out (followed by until=TIME, UTC),
// code-required, no-code-file, not-allowed, busy, too-long, unknown-command
// or timeout. Only root, the service's own user and members of the socket's
// group are served: the socket is mode 0660, and the kernel's word on who
// connected (SO_PEERCRED, SO_PEERGROUPS) is checked as well, so a socket
// whose mode was widened by hand still lets no one else in. A request is
// read with a bound (kMaxRequest) and a time limit (kTimeLimit) from a
// non-blocking socket, so no client can stall the panel. Refusals go into
// the record (event=command-refused by=local reason=…), each reason at most
// once a minute. The code is never written anywhere.

#include "core/arming.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <map>
#include <memory>

class EventLog;
class QSocketNotifier;

class LocalControl : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype kMaxRequest = 1024;
    static constexpr std::chrono::seconds kTimeLimit{5};
    static constexpr int kMaxClients = 8;
    static constexpr std::chrono::minutes kRefusalQuiet{1};
    // The client waits this long for an answer.
    static constexpr std::chrono::seconds kClientTimeout{10};

    // Who is at the other end, as the kernel tells it.
    struct Peer {
        qint64 pid = 0;
        quint32 uid = 0;
        quint32 gid = 0;
        QList<quint32> groups; // supplementary
    };
    // Root, the service's own user, or a member of its group by the primary
    // or a supplementary group. An id the kernel could not map into the
    // service's user namespace (systemd's PrivateUsers=) reads as the
    // overflow id and never counts as a match.
    static bool mayControl(const Peer &peer, quint32 selfUid, quint32 selfGroup);

    LocalControl(Arming *arming, EventLog *log, QObject *parent = nullptr);
    // Closes every connection and removes the socket, if it is still ours.
    ~LocalControl() override;

    // Listens at path (its folder must exist), mode 0660. A socket left
    // there by a program that ended is replaced; a live one, or a file that
    // is no socket, is not. Why it cannot, or empty.
    QString listen(const QString &path);

    // The client, --panel COMMAND: the answer on stdout (0), a refusal or a
    // failure on stderr (1), a usage error (2). The code for disarm is read
    // from stdin, without echo from a terminal; never from the command line,
    // where ps would show it.
    static int runClient(const QString &socketPath, const QString &command);
    // One request and its answer line (without the newline), or false and
    // why not in *answer.
    static bool exchange(const QString &socketPath, const QByteArray &request, QString *answer);

private:
    struct Client;

    void acceptClients();
    void readClient(int fd);
    // The state's name, or the refusal (logged).
    QByteArray resultText(Arming::Result result);
    void answer(int fd, const QByteArray &line);
    void drop(int fd);
    void refused(const QString &reason, const QList<QPair<QString, QString>> &fields = {});

    Arming *m_arming;
    EventLog *m_log;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QString m_path;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    quint32 m_group = 0;
    std::map<int, std::unique_ptr<Client>> m_clients;
    QHash<QString, QElapsedTimer> m_lastRefusal;
};
