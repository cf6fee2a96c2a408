// SPDX-License-Identifier: MIT
#include "core/delivery.h"
#include "disk_faults.h"
#include "fake_script_launcher.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace std::chrono_literals;
using Channel = ScriptLauncher::Channel;
using Reason = ScriptLauncher::Reason;

namespace {
// Reads the spool as each script starts: what a power cut at that moment
// would leave for the next start.
class SpoolReadingLauncher : public FakeScriptLauncher
{
public:
    QString dir;
    QList<int> attemptsOnDisk; // per start; 0: no entry

    qint64 start(Channel channel, Reason reason, const Details &d = {}) override
    {
        int onDisk = 0;
        for (const QString &name : QDir(dir).entryList({QStringLiteral("*.json")}, QDir::Files)) {
            QFile file(QDir(dir).filePath(name));
            if (file.open(QIODevice::ReadOnly))
                onDisk = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("attempt")).toInt();
        }
        const qint64 pid = FakeScriptLauncher::start(channel, reason, d); // may refuse
        attemptsOnDisk.append(onDisk);
        return pid;
    }
};

// A wall clock and a monotonic one that the test moves.
struct TestClock {
    QDateTime wall = QDateTime(QDate(2026, 12, 8), QTime(9, 14, 3), Qt::OffsetFromUTC, 3600);
    std::chrono::steady_clock::time_point monotonic{std::chrono::hours(1)};

    Delivery::Clock clock()
    {
        return {[this] { return wall; }, [this] { return monotonic; }};
    }
};
}

// Notifications told until delivered, on a fake launcher whose "scripts" the
// test ends, with retry times in milliseconds.
class TestDelivery : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void schedule_data();
    void schedule();
    void retriedUntilDelivered_data();
    void retriedUntilDelivered();
    void oneWhilePending();
    void givesUpAtTheDeadline();
    void resumedAfterRestart();
    void unreadableEntriesTold_data();
    void unreadableEntriesTold();
    void clockJumps_data();
    void clockJumps();
    void fullFolder_data();
    void fullFolder();
    void unwritableFolderStillSends();
    void durations_data();
    void durations();

private:
    QStringList spool() const { return QDir(m_dir->path()).entryList(QDir::Files); }
    Delivery::Options options(std::chrono::milliseconds base = 20ms) const
    {
        Delivery::Options o;
        o.stateDir = m_dir->path();
        o.retryBase = base;
        return o;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestDelivery::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
}

void TestDelivery::schedule_data()
{
    QTest::addColumn<int>("failed");
    QTest::addColumn<int>("times");
    for (const auto &[failed, times] : {std::pair{1, 1}, {2, 3}, {3, 6}, {4, 12}, {5, 30}, {6, 60}, {7, 60}, {40, 60}})
        QTest::addRow("after attempt %d, base x %d", failed, times) << failed << times;
}

void TestDelivery::schedule()
{
    QFETCH(int, failed);
    QFETCH(int, times);
    QCOMPARE(Delivery::retryDelay(failed, 10s), times * 10s);
}

void TestDelivery::retriedUntilDelivered_data()
{
    QTest::addColumn<int>("refuseFirst"); // the first start is refused with this error, or 0
    QTest::newRow("a script that fails twice") << 0;
    QTest::newRow("a refused start, then one that fails") << int(ErrorCode::ScriptMissing);
}

void TestDelivery::retriedUntilDelivered()
{
    QFETCH(int, refuseFirst);
    SpoolReadingLauncher launcher;
    launcher.dir = m_dir->path();
    Delivery delivery(&launcher);
    QVERIFY(delivery.setOptions(options()).isEmpty());
    QSignalSpy retries(&delivery, &Delivery::retryScheduled);
    launcher.refuseWith = refuseFirst;
    delivery.notify(Channel::Fire, Reason::Alarm);
    launcher.refuseWith = 0;
    QCOMPARE(spool().size(), 1); // on disk before (and while) the script runs
    if (!refuseFirst) {
        launcher.finish(0, 1);
    }
    QTRY_COMPARE(launcher.starts.size(), refuseFirst ? 1 : 2);
    launcher.finish(launcher.starts.size() - 1, 0, 15);
    QTRY_COMPARE(launcher.starts.size(), refuseFirst ? 2 : 3);
    launcher.finish(launcher.starts.size() - 1, 0);
    QCOMPARE(retries.count(), 2);
    QCOMPARE(delivery.pendingCount(), 0);
    QVERIFY(spool().isEmpty());
    // Every attempt tells the same event, one number higher, and is on
    // disk as that attempt before its script starts.
    for (int i = 0; i < launcher.details.size(); ++i) {
        QCOMPARE(launcher.details[i].attempt, i + (refuseFirst ? 2 : 1));
        QCOMPARE(launcher.attemptsOnDisk[i], launcher.details[i].attempt);
        QCOMPARE(launcher.details[i].time, launcher.details[0].time);
    }
    QTest::qWait(100);
    QCOMPARE(launcher.starts.size(), refuseFirst ? 2 : 3); // and never again
}

void TestDelivery::oneWhilePending()
{
    FakeScriptLauncher launcher;
    Delivery delivery(&launcher);
    delivery.setOptions(options(1h));
    QSignalSpy retries(&delivery, &Delivery::retryScheduled);
    delivery.notify(Channel::Flood, Reason::Alarm);
    delivery.notify(Channel::Flood, Reason::Alarm); // a new onset while the script runs: told at once
    QCOMPARE(launcher.starts.size(), 2);
    launcher.finish(0, 1); // the earlier run's end no longer counts
    QCOMPARE(retries.count(), 0);
    launcher.finish(1, 1);
    QCOMPARE(retries.count(), 1);
    delivery.notify(Channel::Flood, Reason::Alarm); // while the retry is due: told by the retry
    QCOMPARE(launcher.starts.size(), 2);
    delivery.notify(Channel::Flood, Reason::Clear); // another reason
    delivery.notify(Channel::Fire, Reason::Alarm);  // another channel
    QCOMPARE(launcher.starts.size(), 4);
    QCOMPARE(spool().size(), 3);
}

void TestDelivery::givesUpAtTheDeadline()
{
    FakeScriptLauncher launcher;
    Delivery delivery(&launcher);
    Delivery::Options o = options(30ms);
    o.retryFor = 100ms;
    delivery.setOptions(o);
    QSignalSpy gaveUp(&delivery, &Delivery::gaveUp);
    QSignalSpy errors(&delivery, &Delivery::errorOccurred);
    delivery.notify(Channel::Intrusion, Reason::Alarm);
    for (int n = 0; gaveUp.isEmpty() && n < 20; ++n) {
        launcher.finish(launcher.starts.size() - 1, 1);
        if (gaveUp.isEmpty())
            QTRY_COMPARE(launcher.starts.size(), n + 2);
    }
    QCOMPARE(gaveUp.count(), 1);
    // 0 ms, 30 ms, 120 ms cut to the deadline at 100 ms.
    QCOMPARE(gaveUp.first().at(2).toInt(), 3);
    QCOMPARE(errors.last().at(0).toInt(), int(ErrorCode::ScriptGaveUp));
    QVERIFY(errors.last().at(1).toString().contains(QLatin1String("intrusion")));
    QVERIFY(spool().isEmpty());
}

void TestDelivery::resumedAfterRestart()
{
    QDateTime told;
    TestClock clock;
    {
        FakeScriptLauncher launcher;
        Delivery first(&launcher);
        first.setClock(clock.clock());
        first.setOptions(options(1h));
        first.notify(Channel::Fire, Reason::Alarm);
        launcher.finish(0, 1); // failed; the program then dies before the retry
        told = launcher.details[0].time;
    }
    // A rewrite the crash cut short: the entry it was to replace is whole.
    QFile part(QDir(m_dir->path()).filePath(spool().constFirst() + QStringLiteral(".part")));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write("{\"format\":1,\"chan");
    part.close();
    FakeScriptLauncher launcher;
    Delivery again(&launcher);
    again.setOptions(options(1h));
    QSignalSpy warnings(&again, &Delivery::warning);
    again.notify(Channel::Device, Reason::Lost); // the device is away at start: told before resuming
    again.resume();
    QCOMPARE(warnings.count(), 0);
    QCOMPARE(launcher.starts.size(), 2);
    QCOMPARE(launcher.details[1].attempt, 2);
    // In the words it was first told in, whatever this machine's zone now.
    QCOMPARE(ScriptLauncher::timeText(launcher.details[1].time), QStringLiteral("2026-12-08T09:14:03.000+01:00"));
    launcher.finish(0, 0);
    launcher.finish(1, 0);
    QVERIFY(spool().isEmpty());
}

void TestDelivery::unreadableEntriesTold_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("channel"); // told as this channel's alarm; -1: set aside
    const QByteArray newer = "{\"format\":2,\"channel\":\"fire\",\"reason\":\"alarm\"}";
    QTest::newRow("empty, as a power cut may leave it") << "0000000000001-fire-alarm.json" << QByteArray() << 0;
    QTest::newRow("cut short") << "0000000000001-flood-alarm.json" << QByteArray("{\"format\":1,\"chan") << 1;
    QTest::newRow("from a newer version") << "0000000000001-intrusion-alarm.json" << newer << 2;
    QTest::newRow("a name that says nothing") << "0000000000000-bad-entry.json" << QByteArray("{") << -1;
}

void TestDelivery::unreadableEntriesTold()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, channel);
    QFile bad(QDir(m_dir->path()).filePath(name));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write(content);
    bad.close();
    FakeScriptLauncher launcher;
    Delivery again(&launcher);
    again.setOptions(options(1h));
    QSignalSpy warnings(&again, &Delivery::warning);
    again.resume();
    QCOMPARE(warnings.count(), 1);
    const QString warning = warnings.first().first().toString();
    QVERIFY2(warning.contains(bad.fileName()), qPrintable(warning));
    if (channel < 0) {
        QVERIFY(launcher.starts.isEmpty());
        QVERIFY(QFile::exists(bad.fileName() + QStringLiteral(".bad")));
        return;
    }
    QCOMPARE(launcher.starts, (QList<QPair<Channel, Reason>>{{Channel(channel), Reason::Alarm}}));
    QVERIFY2(warning.contains(ScriptLauncher::channelName(Channel(channel)) + QStringLiteral(" alarm")),
             qPrintable(warning));
    launcher.finish(0, 0);
    QVERIFY(spool().isEmpty());
}

void TestDelivery::clockJumps_data()
{
    QTest::addColumn<qint64>("calendarMs"); // how the calendar moves after the alarm
    QTest::addColumn<qint64>("waitedMs");   // and how long the program waits
    QTest::addColumn<bool>("givesUp");
    constexpr qint64 day = 86400000;
    QTest::newRow("calendar two days ahead (NTP after a boot without a clock)") << 2 * day << qint64(10) << false;
    QTest::newRow("calendar set back") << -2 * day << qint64(10) << false;
    QTest::newRow("waited longer than --retry-for") << qint64(0) << qint64(150) << true;
}

void TestDelivery::clockJumps()
{
    QFETCH(qint64, calendarMs);
    QFETCH(qint64, waitedMs);
    QFETCH(bool, givesUp);
    TestClock clock;
    FakeScriptLauncher launcher;
    Delivery delivery(&launcher);
    delivery.setClock(clock.clock());
    Delivery::Options o = options(1h);
    o.retryFor = 100ms;
    delivery.setOptions(o);
    QSignalSpy gaveUp(&delivery, &Delivery::gaveUp);
    QSignalSpy retries(&delivery, &Delivery::retryScheduled);
    delivery.notify(Channel::Intrusion, Reason::Alarm);
    clock.wall = clock.wall.addMSecs(calendarMs);
    clock.monotonic += std::chrono::milliseconds(waitedMs);
    launcher.finish(0, 1);
    QCOMPARE(gaveUp.count(), givesUp ? 1 : 0);
    QCOMPARE(retries.count(), givesUp ? 0 : 1);
    if (givesUp) {
        // An entry older than --retry-for is still tried once after a restart.
        QVERIFY(spool().isEmpty());
        return;
    }
    // The rest of the 100 ms, not the calendar's idea of it.
    QCOMPARE(retries.first().at(3).value<std::chrono::milliseconds>(), 90ms);
}

void TestDelivery::fullFolder_data()
{
    QTest::addColumn<bool>("firstOnDisk"); // the first attempt is written before the disk fills
    QTest::newRow("full from the alarm on: sent, told once, mended once") << false;
    QTest::newRow("full at the retry: the old entry kept, removed on success") << true;
}

void TestDelivery::fullFolder()
{
    QFETCH(bool, firstOnDisk);
    FakeScriptLauncher launcher;
    Delivery delivery(&launcher);
    QVERIFY(delivery.setOptions(options(1ms)).isEmpty());
    QSignalSpy warnings(&delivery, &Delivery::warning);
    QSignalSpy mended(&delivery, &Delivery::mended);
    {
        std::optional<FullDisk> full;
        if (!firstOnDisk)
            full.emplace();
        QCOMPARE(delivery.notify(Channel::Flood, Reason::Alarm), firstOnDisk);
        full.emplace();
        launcher.finish(0, 1);
        QTRY_COMPARE(launcher.starts.size(), 2);                 // the retry's rewrite fails
        QVERIFY(!delivery.notify(Channel::Fire, Reason::Alarm)); // as does a second alarm's entry
        QCOMPARE(launcher.starts.size(), 3);
        QCOMPARE(warnings.count(), 1);
        QVERIFY(warnings.first().first().toString().contains(m_dir->path()));
        QCOMPARE(spool().size(), firstOnDisk ? 1 : 0);
    }
    launcher.finish(1, 0);
    launcher.finish(2, 0);
    QCOMPARE(delivery.pendingCount(), 0);
    QVERIFY(spool().isEmpty()); // nothing left for a restart to send again
    QVERIFY(delivery.notify(Channel::Intrusion, Reason::Alarm));
    QCOMPARE(mended.count(), 1);
    QCOMPARE(warnings.count(), 1);
}

void TestDelivery::unwritableFolderStillSends()
{
    QFile blocker(m_dir->filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Delivery::Options o = options();
    o.stateDir = blocker.fileName() + QStringLiteral("/spool"); // below a file: cannot be made
    FakeScriptLauncher launcher;
    Delivery delivery(&launcher);
    const QString problem = delivery.setOptions(o);
    QVERIFY(problem.contains(o.stateDir));
    QVERIFY(!delivery.durable());
    delivery.notify(Channel::Fire, Reason::Alarm);
    QCOMPARE(launcher.starts.size(), 1);
}

void TestDelivery::durations_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("seconds"); // -1: refused
    QTest::newRow("seconds") << "90s" << qint64(90);
    QTest::newRow("minutes") << "30m" << qint64(1800);
    QTest::newRow("hours") << "24h" << qint64(86400);
    QTest::newRow("plain seconds") << "45" << qint64(45);
    QTest::newRow("negative") << "-5m" << qint64(-1);
    QTest::newRow("no number") << "h" << qint64(-1);
    QTest::newRow("unknown unit") << "3w" << qint64(-1);
    QTest::newRow("absurdly long") << "99999999999h" << qint64(-1);
}

void TestDelivery::durations()
{
    QFETCH(QString, text);
    QFETCH(qint64, seconds);
    std::chrono::seconds parsed{-1};
    const bool ok = Delivery::parseDuration(text, &parsed);
    QCOMPARE(ok ? parsed.count() : -1, seconds);
}

QTEST_GUILESS_MAIN(TestDelivery)
#include "tst_delivery.moc"
