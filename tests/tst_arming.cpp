// SPDX-License-Identifier: MIT
#include "core/arming.h"
#include "core/panel_code.h"
#include "disk_faults.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace std::chrono_literals;
using State = Arming::State;
using By = Arming::By;
using Result = Arming::Result;

namespace {
const QString kCode = QStringLiteral("4711");
const QStringList kChannelNames{"fire", "flood", "intrusion"};

// An arming panel on a state folder, its record kept from before its start:
// "STATE/BY" for each change told, "run:CHANNEL" for each script and
// "refused:RESULT" for each command refused, in order.
struct Rig {
    Arming arming;
    QStringList record;
    QStringList warnings;

    explicit Rig(const QString &dir, std::chrono::milliseconds exit = 0ms, std::chrono::milliseconds entry = 0ms,
                 const QString &alwaysArmed = QStringLiteral("fire,flood"), const QDateTime *clock = nullptr)
    {
        QObject::connect(&arming, &Arming::stateChanged, [this](State state, By by) {
            record << Arming::stateName(state) + u'/' + Arming::byName(by);
        });
        QObject::connect(&arming, &Arming::notify, [this](int c) { record << "run:" + kChannelNames.value(c); });
        Arming::Channels channels{};
        Arming::alwaysArmedProblem(alwaysArmed, &channels);
        arming.setAlwaysArmed(channels);
        arming.setDelays(exit, entry);
        arming.code()->setCode(kCode);
        if (clock)
            arming.code()->setClock([clock] { return *clock; });
        warnings = arming.start(dir);
    }
    QString told() const { return record.join(u' '); }
    // "arm", "disarm" (right code), "disarm:CODE", "on:CHANNEL", "off:CHANNEL",
    // "no-code-file".
    void run(const QString &events)
    {
        for (const QString &event : events.split(u' ', Qt::SkipEmptyParts)) {
            const QString verb = event.section(u':', 0, 0), arg = event.section(u':', 1);
            Result result = Result::Accepted;
            if (verb == u"arm")
                result = arming.arm(By::Local);
            else if (verb == u"disarm")
                result = arming.disarm(event.contains(u':') ? arg : kCode, By::Local);
            else if (verb == u"no-code-file")
                arming.code()->setCode(QString());
            else
                arming.input(kChannelNames.indexOf(arg), verb == u"on");
            if (result != Result::Accepted)
                record << "refused:" + Arming::resultName(result);
        }
    }
};
}

class TestArming : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    // "events|record after the start's armed_away/start".
    void transitions_data()
    {
        QTest::addColumn<QString>("alwaysArmed");
        QTest::addColumn<int>("entryMs"); // 0, or so long that it never ends here
        QTest::addColumn<QString>("steps");
        const QString d = QStringLiteral("fire,flood");
        const int hour = 3600000;
        QTest::newRow("armed, onset: triggered, once")
            << d << 0 << "on:intrusion on:intrusion|triggered/line run:intrusion";
        QTest::newRow("triggered, normal again: armed")
            << d << 0 << "on:intrusion off:intrusion|triggered/line run:intrusion armed_away/line";
        QTest::newRow("triggered by two, one normal: still triggered")
            << "" << 0 << "on:intrusion on:flood off:intrusion|triggered/line run:intrusion run:flood";
        QTest::newRow("armed, 24-hour onset: told, no change") << d << 0 << "on:fire|run:fire";
        QTest::newRow("disarmed, onset: nothing sent") << d << 0 << "disarm on:intrusion|disarmed/local";
        QTest::newRow("disarmed, 24-hour onset: told") << d << 0 << "disarm on:flood|disarmed/local run:flood";
        QTest::newRow("disarmed, fire not 24-hour: nothing sent") << "" << 0 << "disarm on:fire|disarmed/local";
        QTest::newRow("disarmed, intrusion 24-hour: told")
            << "intrusion" << 0 << "disarm on:intrusion|disarmed/local run:intrusion";
        QTest::newRow("armed while a door is open: triggered at once")
            << d << 0 << "disarm on:intrusion arm|disarmed/local armed_away/local triggered/line run:intrusion";
        QTest::newRow("pending, second channel joins") << "" << hour << "on:intrusion on:fire|pending/line";
        QTest::newRow("pending, wrong code") << d << hour << "on:intrusion disarm:0000|pending/line refused:wrong-code";
        QTest::newRow("the code and a digit more") << d << 0 << "disarm:47111|refused:wrong-code";
        QTest::newRow("no code given") << d << 0 << "disarm:|refused:code-required";
        QTest::newRow("no code file: disarm refused") << d << 0 << "no-code-file disarm|refused:no-code-file";
        QTest::newRow("triggered, disarmed")
            << d << 0 << "on:intrusion disarm|triggered/line run:intrusion disarmed/local";
        QTest::newRow("armed, arm again: no change") << d << 0 << "arm|";
    }
    void transitions()
    {
        QFETCH(QString, alwaysArmed);
        QFETCH(int, entryMs);
        QFETCH(QString, steps);
        Rig rig(m_dir->path(), 0ms, std::chrono::milliseconds(entryMs), alwaysArmed);
        rig.run(steps.section(u'|', 0, 0));
        QCOMPARE(rig.told(), ("armed_away/start " + steps.section(u'|', 1)).trimmed());
    }

    // "events|record as the delay runs|what follows once it has ended".
    void delays_data()
    {
        QTest::addColumn<int>("exitMs");
        QTest::addColumn<int>("entryMs");
        QTest::addColumn<QString>("steps");
        QTest::newRow("disarmed in the entry delay: nothing sent")
            << 0 << 50 << "on:intrusion disarm|pending/line disarmed/local|";
        QTest::newRow("not disarmed: each channel that joined, once")
            << 0 << 50
            << "on:intrusion off:intrusion on:intrusion on:fire|pending/line|triggered/timer run:fire "
               "run:intrusion";
        QTest::newRow("door closed in the entry delay: told, armed again")
            << 0 << 50 << "on:intrusion off:intrusion|pending/line|triggered/timer run:intrusion armed_away/line";
        QTest::newRow("walking out in the exit delay: no alarm")
            << 50 << 0 << "disarm arm on:intrusion off:intrusion|disarmed/local arming/local|armed_away/timer";
    }
    void delays()
    {
        QFETCH(int, exitMs);
        QFETCH(int, entryMs);
        QFETCH(QString, steps);
        Rig rig(m_dir->path(), std::chrono::milliseconds(exitMs), std::chrono::milliseconds(entryMs), "flood");
        rig.run(steps.section(u'|', 0, 0));
        const QString during = "armed_away/start " + steps.section(u'|', 1, 1);
        QCOMPARE(rig.told(), during);
        const QString after = (during + u' ' + steps.section(u'|', 2, 2)).trimmed();
        QTRY_COMPARE(rig.told(), after);
        QTest::qWait(100);
        QCOMPARE(rig.told(), after);
    }

    void restored_data()
    {
        QTest::addColumn<QByteArray>("saved"); // empty: no file; "/": a folder in its place
        QTest::addColumn<QString>("told");
        QTest::addColumn<bool>("warns");
        const QString armed = QStringLiteral("armed_away/start");
        QTest::newRow("first start") << QByteArray() << armed << false;
        QTest::newRow("disarmed") << QByteArray(R"({"format":1,"state":"disarmed"})") << "disarmed/start" << false;
        QTest::newRow("arming: exit delay again")
            << QByteArray(R"({"format":1,"state":"arming"})") << "arming/start" << false;
        QTest::newRow("pending: entry delay again")
            << QByteArray(R"({"format":1,"state":"pending","channels":["intrusion"]})") << "pending/start" << false;
        QTest::newRow("triggered: stays, no script again")
            << QByteArray(R"({"format":1,"state":"triggered","channels":["intrusion"]})") << "triggered/start" << false;
        QTest::newRow("not JSON") << QByteArray("disarmed") << armed << true;
        QTest::newRow("unknown state") << QByteArray(R"({"format":1,"state":"armed_home"})") << armed << true;
        QTest::newRow("pending without a channel") << QByteArray(R"({"format":1,"state":"pending"})") << armed << true;
        QTest::newRow("a folder in its place") << QByteArray("/") << armed << true;
    }
    void restored()
    {
        QFETCH(QByteArray, saved);
        QFETCH(QString, told);
        QFETCH(bool, warns);
        QFile file(QDir(m_dir->path()).filePath(Arming::kFileName));
        if (saved == "/")
            QVERIFY(QDir().mkdir(file.fileName()));
        else if (!saved.isEmpty())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(saved) == saved.size() && file.flush());
        Rig rig(m_dir->path(), 1h, 1h);
        QCOMPARE(rig.told(), told);
        QCOMPARE(rig.warnings.size(), warns ? 1 : 0);
        if (warns)
            QVERIFY(rig.warnings[0].contains(Arming::kFileName) && rig.warnings[0].contains("armed_away"));
        // Armed, an onset starts the entry delay; a restored alarm's channel
        // counts as in alarm until it reads normal, so this is no new onset.
        rig.run("on:intrusion");
        QCOMPARE(rig.told(), told == u"armed_away/start" ? told + " pending/line" : told);
    }

    void restartKeepsState()
    {
        {
            Rig rig(m_dir->path(), 0ms, 1h, QStringLiteral("fire"));
            rig.run("on:flood");
        }
        // The alarm under way survives the restart and still goes out unless disarmed.
        Rig pending(m_dir->path(), 0ms, 50ms, QStringLiteral("fire"));
        QTRY_COMPARE(pending.told(), "pending/start triggered/timer run:flood");
        pending.run("disarm");
        QCOMPARE(Rig(m_dir->path()).arming.state(), State::Disarmed);
    }

    // What a restart finds after each fault of the state folder: never an
    // alarm that was not on disk marked as told, never an older, less safe
    // state than the one acknowledged. "events|record|record after a restart
    // and the events again".
    void stateFolderFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("steps");
        QTest::newRow("alarm on disk: triggered kept, not told again")
            << ""
            << "on:intrusion|triggered/line run:intrusion|triggered/start";
        QTest::newRow("alarm not on disk: triggered not kept, told again")
            << "not-durable"
            << "on:intrusion|triggered/line run:intrusion|armed_away/start triggered/line run:intrusion";
        QTest::newRow("disk full: arm answered, the old disarmed removed")
            << "full"
            << "disarm arm|disarmed/local armed_away/local|armed_away/start triggered/line run:intrusion";
        QTest::newRow("read-only: arm refused, as a restart would be disarmed")
            << "frozen"
            << "disarm arm|disarmed/local refused:not-saved|disarmed/start";
        QTest::newRow("read-only: disarm answered, the armed state stays, safer")
            << "frozen"
            << "disarm|disarmed/local|armed_away/start triggered/line run:intrusion";
    }
    void stateFolderFaults()
    {
        QFETCH(QString, fault);
        QFETCH(QString, steps);
        {
            Rig rig(m_dir->path());
            rig.record.clear();
            if (fault == u"not-durable")
                QObject::connect(&rig.arming, &Arming::notify, [&rig] { rig.arming.notDurable(); });
            QStringList warned;
            QObject::connect(&rig.arming, &Arming::warning, [&warned](const QString &text) { warned << text; });
            // The last event meets the fault; those before it do not.
            QStringList events = steps.section(u'|', 0, 0).split(u' ');
            const QString last = events.takeLast();
            rig.run(events.join(u' '));
            if (fault == u"full") {
                FullDisk full;
                rig.run(last);
            } else if (fault == u"frozen") {
                FrozenFolder frozen(m_dir->path());
                if (!frozen.active())
                    QSKIP("this file system cannot be made read-only here");
                rig.run(last);
            } else {
                rig.run(last);
            }
            QCOMPARE(rig.told(), steps.section(u'|', 1, 1));
            // Told once, naming the file.
            const bool writeFault = fault == u"full" || fault == u"frozen";
            QCOMPARE(warned.size(), writeFault ? 1 : 0);
            if (writeFault)
                QVERIFY2(warned[0].contains(Arming::kFileName), qPrintable(warned[0]));
        }
        Rig again(m_dir->path());
        again.run("on:intrusion");
        QCOMPARE(again.told(), steps.section(u'|', 2, 2));
    }

    // A pending alarm restored with no entry delay left is told once whoever
    // tells it listens, not inside start().
    void pendingRestoredWithoutDelay()
    {
        QFile file(QDir(m_dir->path()).filePath(Arming::kFileName));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"format":1,"state":"pending","channels":["intrusion"]})");
        file.close();
        Rig rig(m_dir->path());
        QCOMPARE(rig.told(), "pending/start");
        QTRY_COMPARE(rig.told(), "pending/start triggered/timer run:intrusion");
    }

    void alwaysArmedOption_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("mask"); // fire 1, flood 2, intrusion 4; -1: refused for its last name
        QTest::newRow("blanks around names") << " intrusion , fire " << 5;
        QTest::newRow("unknown name") << "fire,smoke" << -1;
        QTest::newRow("not an input") << "flood,device" << -1;
    }
    void alwaysArmedOption()
    {
        QFETCH(QString, value);
        QFETCH(int, mask);
        Arming::Channels parsed{true, true, true};
        const QString problem = Arming::alwaysArmedProblem(value, &parsed);
        if (mask < 0)
            QVERIFY2(problem.contains("--always-armed") && problem.contains(value.section(u',', -1)),
                     qPrintable(problem));
        else
            QCOMPARE(int(parsed[0]) | int(parsed[1]) << 1 | int(parsed[2]) << 2, mask);
    }

    void codeFile_data()
    {
        QTest::addColumn<QByteArray>("content"); // "<folder>", "<fifo>", "<missing>" or the file's bytes
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("texts"); // -1: refused; else how many warnings
        QTest::newRow("four digits") << QByteArray("4711\n") << 0600 << 0;
        QTest::newRow("twelve digits, no line end") << QByteArray("123456789012") << 0640 << 0;
        QTest::newRow("CRLF, a comment line after") << QByteArray("4711\r\n# hall\n") << 0600 << 0;
        QTest::newRow("others may read it") << QByteArray("4711\n") << 0644 << 1;
        QTest::newRow("three digits") << QByteArray("471\n") << 0600 << -1;
        QTest::newRow("thirteen digits") << QByteArray("1234567890123\n") << 0600 << -1;
        QTest::newRow("a letter") << QByteArray("47a1\n") << 0600 << -1;
        QTest::newRow("a blank after") << QByteArray("4711 \n") << 0600 << -1;
        QTest::newRow("digits of another script") << QByteArray("\xd9\xa4\xd9\xa7\xd9\xa1\xd9\xa1") << 0600 << -1;
        QTest::newRow("huge") << QByteArray(100000, '4') << 0600 << -1;
        QTest::newRow("folder") << QByteArray("<folder>") << 0700 << -1;
        QTest::newRow("FIFO without a writer") << QByteArray("<fifo>") << 0600 << -1;
        QTest::newRow("missing") << QByteArray("<missing>") << 0600 << -1;
    }
    void codeFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(int, texts);
        const QString path = m_dir->filePath(QStringLiteral("code"));
        QFile file(path);
        if (content == "<folder>")
            QVERIFY(QDir().mkdir(path));
        else if (content == "<fifo>")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (content != "<missing>")
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush());
        if (QFile::exists(path))
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
        PanelCode code;
        QStringList warnings;
        const QString problem = code.readFile(path, &warnings); // returns at once, FIFO or not
        QCOMPARE(problem.isEmpty() ? warnings.size() : -1, texts);
        for (const QString &text : warnings + QStringList{problem}) {
            QVERIFY2(text.isEmpty() || text.contains(path), qPrintable(text));
            QVERIFY2(!text.contains("4711") && !text.contains("1234"), qPrintable(text));
        }
        const QString firstLine = QString::fromLatin1(content).section(u'\n', 0, 0).remove(u'\r');
        QCOMPARE(code.check(firstLine), texts < 0 ? PanelCode::Verdict::NotSet : PanelCode::Verdict::Right);
    }

    // Tries at minutes from the start: "wrong@M", "right@M", "none@M" (no
    // code), "at@M" (the clock only), "restart"; then arm and the right code.
    void lockout_data()
    {
        QTest::addColumn<QString>("tries");
        QTest::addColumn<int>("lockedAt"); // the minute the lockout began, or -1
        QTest::addColumn<bool>("locked");  // still, after the tries
        const QString five = QStringLiteral("wrong@0 wrong@0 wrong@0 wrong@0 wrong@0");
        QTest::newRow("five wrong within ten minutes") << "wrong@0 wrong@2 wrong@4 wrong@6 wrong@9" << 9 << true;
        QTest::newRow("five wrong over eleven minutes") << "wrong@0 wrong@3 wrong@6 wrong@9 wrong@11" << -1 << false;
        QTest::newRow("a right code starts the count again")
            << "wrong@0 wrong@1 right@2 wrong@3 wrong@4 wrong@5" << -1 << false;
        QTest::newRow("the count survives a restart") << "wrong@0 wrong@1 wrong@2 restart wrong@3 wrong@4" << 4 << true;
        QTest::newRow("the right code refused, also after a restart") << five + " right@1 restart at@9" << 0 << true;
        QTest::newRow("no code given counts for nothing") << "none@0 none@0 none@0 none@0 none@0" << -1 << false;
        QTest::newRow("over after ten minutes") << five + " at@10" << 0 << false;
        QTest::newRow("a clock set back a day does not stretch it") << five + " at@-1440 at@-1430" << 0 << false;
    }
    void lockout()
    {
        QFETCH(QString, tries);
        QFETCH(int, lockedAt);
        QFETCH(bool, locked);
        const QDateTime start = QDateTime::currentDateTimeUtc();
        QDateTime now = start;
        QList<QDateTime> lockouts;
        std::unique_ptr<Rig> rig;
        const auto restart = [&] {
            rig = std::make_unique<Rig>(m_dir->path(), 0ms, 0ms, QStringLiteral("fire,flood"), &now);
            connect(rig->arming.code(), &PanelCode::lockedOut, this,
                    [&](const QDateTime &until) { lockouts << until; });
        };
        restart();
        for (const QString &t : tries.split(u' ')) {
            if (t == u"restart") {
                restart();
                continue;
            }
            now = start.addSecs(t.section(u'@', 1).toInt() * 60);
            const QString code = t.startsWith(u"right") ? kCode : QStringLiteral("0000");
            if (!t.startsWith(u"at"))
                rig->arming.disarm(t.startsWith(u"none") ? QString() : code, By::Mqtt);
            rig->arming.arm(By::Mqtt);
        }
        QCOMPARE(lockouts, lockedAt < 0 ? QList<QDateTime>() : QList{start.addSecs((lockedAt + 10) * 60)});
        QCOMPARE(rig->arming.arm(By::Mqtt), locked ? Result::LockedOut : Result::Accepted);
        QCOMPARE(rig->arming.disarm(kCode, By::Mqtt), locked ? Result::LockedOut : Result::Accepted);
    }
};

QTEST_GUILESS_MAIN(TestArming)
#include "tst_arming.moc"
