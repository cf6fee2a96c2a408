// SPDX-License-Identifier: MIT
#include "core/arming.h"
#include "core/panel_code.h"
#include "host/local_control.h"
#include "record/event_log.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <future>
#include <tuple>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(LocalControl::Peer)

namespace {
const QString kCode = QStringLiteral("4711");

sockaddr_un addressOf(const QByteArray &path)
{
    sockaddr_un where{AF_UNIX, {}};
    std::strncpy(where.sun_path, path.constData(), sizeof where.sun_path - 1);
    return where;
}

// A raw client's socket connected to path, or bound there when bind is set; -1 on failure.
int socketAt(const QString &path, bool bind = false)
{
    const sockaddr_un where = addressOf(QFile::encodeName(path));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto *address = reinterpret_cast<const sockaddr *>(&where);
    return (bind ? ::bind(fd, address, sizeof where) : ::connect(fd, address, sizeof where)) == 0 ? fd : -1;
}

// A panel armed_away with the code 4711, served at dir/control, its record kept.
struct Rig {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("control"));
    std::FILE *out = std::tmpfile();
    EventLog log{out};
    Arming arming;
    LocalControl control{&arming, &log};

    Rig()
    {
        arming.code()->setCode(kCode);
        arming.code()->setClock([] { return QDateTime(QDate(2026, 12, 8), QTime(9, 0), Qt::UTC); });
        arming.start(QString());
        QVERIFY(control.listen(path).isEmpty());
    }
    ~Rig() { std::fclose(out); }
    QString logged() const
    {
        QFile file;
        file.open(::fileno(out), QIODevice::ReadOnly);
        file.seek(0);
        return QString::fromUtf8(file.readAll());
    }
    // The real client on a thread of its own, while this one serves.
    QString ask(const QByteArray &request)
    {
        auto answer = std::async(std::launch::async, [&] {
            QString text;
            return LocalControl::exchange(path, request, &text) ? text : QStringLiteral("failed: ") + text;
        });
        if (!QTest::qWaitFor([&] { return answer.wait_for(0s) == std::future_status::ready; }, 15000))
            return QStringLiteral("no answer");
        return answer.get();
    }
};
}

class TestLocalControl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commands_data()
    {
        QTest::addColumn<QByteArrayList>("requests");
        QTest::addColumn<QStringList>("answers");
        const QByteArray tooLong(2000, 'x');
        QTest::newRow("status") << QByteArrayList{"status\n"} << QStringList{"armed_away"};
        QTest::newRow("disarm with the code, then arm") << QByteArrayList{"disarm\n4711\n", "status\n", "arm\n"}
                                                        << QStringList{"disarmed", "disarmed", "armed_away"};
        QTest::newRow("a wrong code leaves it armed")
            << QByteArrayList{"disarm\n4712\n", "status\n"} << QStringList{"refused wrong-code", "armed_away"};
        QTest::newRow("no code") << QByteArrayList{"disarm\n\n"} << QStringList{"refused code-required"};
        QTest::newRow("CRLF line ends") << QByteArrayList{"disarm\r\n4711\r\n"} << QStringList{"disarmed"};
        QTest::newRow("unknown command") << QByteArrayList{"open\n"} << QStringList{"refused unknown-command"};
        QTest::newRow("oversized line") << QByteArrayList{tooLong, "status\n"}
                                        << QStringList{"refused too-long", "armed_away"};
        QTest::newRow("oversized code") << QByteArrayList{"disarm\n" + tooLong + '\n', "status\n"}
                                        << QStringList{"refused too-long", "armed_away"};
    }
    void commands()
    {
        QFETCH(QByteArrayList, requests);
        QFETCH(QStringList, answers);
        Rig rig;
        QStringList got;
        for (const QByteArray &request : requests)
            got << rig.ask(request);
        QCOMPARE(got, answers);
        QVERIFY(!rig.logged().contains(kCode));
    }

    // Wrong codes lock every command out; the record tells each reason once
    // a minute and never a code.
    void lockout()
    {
        Rig rig;
        QStringList got;
        const QStringList wrong{"13579", "24680", "97531", "86420", "11223"};
        for (const QString &code : wrong)
            got << rig.ask("disarm\n" + code.toUtf8() + '\n');
        got << rig.ask("disarm\n4711\n") << rig.ask("arm\n") << rig.ask("status\n");
        const QString locked = QStringLiteral("refused locked-out until=2026-12-08T09:10:00Z");
        QCOMPARE(got,
                 QStringList({"refused wrong-code", "refused wrong-code", "refused wrong-code", "refused wrong-code",
                              "refused wrong-code", locked, locked, "armed_away"}));
        const QString log = rig.logged();
        QCOMPARE(log.count(QStringLiteral("event=command-refused by=local reason=wrong-code")), 1);
        QCOMPARE(log.count(QStringLiteral("event=command-refused by=local reason=locked-out")), 1);
        for (const QString &code : wrong + QStringList{kCode})
            QVERIFY2(!log.contains(code), qPrintable(code));
    }

    void mayControl_data()
    {
        QTest::addColumn<LocalControl::Peer>("peer");
        QTest::addColumn<quint32>("selfGroup");
        QTest::addColumn<bool>("allowed");
        // The service runs as uid 990 in group 20 (dialout).
        QTest::newRow("root") << LocalControl::Peer{1, 0, 0, {}} << 20u << true;
        QTest::newRow("the service's own user") << LocalControl::Peer{1, 990, 990, {}} << 20u << true;
        QTest::newRow("primary group") << LocalControl::Peer{1, 1000, 20, {}} << 20u << true;
        QTest::newRow("supplementary group") << LocalControl::Peer{1, 1000, 1000, {27, 20}} << 20u << true;
        QTest::newRow("another user, other groups") << LocalControl::Peer{1, 1000, 1000, {27, 100}} << 20u << false;
        // Under PrivateUsers= every unmapped id reads as 65534: a service
        // whose group is also 65534 must not take them all for members.
        QTest::newRow("unmapped peer, service in nogroup")
            << LocalControl::Peer{1, 65534, 65534, {65534}} << 65534u << false;
    }
    void mayControl()
    {
        QFETCH(LocalControl::Peer, peer);
        QFETCH(quint32, selfGroup);
        QFETCH(bool, allowed);
        QCOMPARE(LocalControl::mayControl(peer, 990, selfGroup), allowed);
    }

    // The kernel's word on the peer, the socket opened to everyone so that
    // only the check stands in the way: a child becomes another user and asks.
    void peerCredentials_data()
    {
        QTest::addColumn<bool>("inGroup");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("another user") << false << QByteArray("refused not-allowed\n");
        QTest::newRow("another user in the socket's group") << true << QByteArray("armed_away\n");
    }
    void peerCredentials()
    {
        QFETCH(bool, inGroup);
        QFETCH(QByteArray, answer);
        if (::geteuid() != 0)
            QSKIP("becoming another user needs root");
        Rig rig;
        QVERIFY(::chmod(QFile::encodeName(rig.dir.path()).constData(), 0711) == 0);
        QVERIFY(::chmod(QFile::encodeName(rig.path).constData(), 0666) == 0);
        const QByteArray path = QFile::encodeName(rig.path);
        const gid_t group = ::getegid();
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // System calls only: the parent's threads may hold the allocator.
            const sockaddr_un where = addressOf(path);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            char reply[64] = {};
            if (::setgroups(inGroup ? 1 : 0, &group) == 0 && ::setgid(65533) == 0 && ::setuid(65533) == 0
                && ::connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) == 0
                && ::write(fd, "status\n", 7) == 7)
                std::ignore = ::read(fd, reply, sizeof reply - 1);
            std::ignore = ::write(fds[1], reply, std::strlen(reply));
            ::_exit(0);
        }
        ::close(fds[1]);
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(child, nullptr, WNOHANG) == child; }, 10000));
        char reply[64] = {};
        std::ignore = ::read(fds[0], reply, sizeof reply - 1);
        ::close(fds[0]);
        QCOMPARE(QByteArray(reply), answer);
        QCOMPARE(rig.logged().contains("event=command-refused by=local reason=not-allowed uid=65533"), !inGroup);
    }

    // A client that says nothing holds a place until the time limit, and
    // others are served meanwhile; with every place held, one more is told
    // so at once.
    void silentClients()
    {
        Rig rig;
        std::vector<int> silent;
        for (int i = 0; i < LocalControl::kMaxClients; ++i) {
            silent.push_back(socketAt(rig.path));
            if (i == 0)
                QCOMPARE(rig.ask("status\n"), QStringLiteral("armed_away"));
        }
        QCOMPARE(rig.ask("status\n"), QStringLiteral("refused busy"));
        QByteArray heard;
        const auto closed = [&] {
            char buffer[64];
            ssize_t n = 0;
            while ((n = ::recv(silent.front(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                heard.append(buffer, n);
            return n == 0;
        };
        QVERIFY(QTest::qWaitFor(closed, std::chrono::milliseconds(LocalControl::kTimeLimit).count() + 3000));
        QCOMPARE(heard, QByteArray("refused timeout\n"));
        QCOMPARE(rig.ask("status\n"), QStringLiteral("armed_away"));
        for (int fd : silent)
            ::close(fd);
    }

    void listenAt_data()
    {
        QTest::addColumn<QString>("there");
        QTest::addColumn<QString>("problem");
        QTest::newRow("nothing") << QString() << QString();
        QTest::newRow("a socket left by a program that ended") << QStringLiteral("stale") << QString();
        QTest::newRow("a live server") << QStringLiteral("live") << QStringLiteral("another program listens there");
    }
    void listenAt()
    {
        QFETCH(QString, there);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("control"));
        Arming arming;
        LocalControl live(&arming, nullptr);
        // A program that ended without removing its socket.
        if (there == u"stale")
            QVERIFY(::close(socketAt(path, true)) == 0);
        if (there == u"live")
            QVERIFY(live.listen(path).isEmpty());
        // The unit's umask: the socket must still end up open to the group.
        const mode_t umask = ::umask(0077);
        struct stat info {
        };
        {
            LocalControl control(&arming, nullptr);
            const QString got = control.listen(path);
            ::umask(umask);
            QVERIFY2(problem.isEmpty() ? got.isEmpty() : got.contains(problem) && got.contains(path), qPrintable(got));
            if (!problem.isEmpty())
                return;
            QVERIFY(::lstat(QFile::encodeName(path).constData(), &info) == 0);
            QCOMPARE(info.st_mode & 07777, mode_t(0660));
        }
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestLocalControl)
#include "tst_local_control.moc"
