// SPDX-License-Identifier: MIT
#include "app/main_window.h"
#include "fake_serial_port.h"
#include "notify/script_launcher.h"
#include "common/error_codes.h"
#include "core/line_monitor.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using Channel = ScriptLauncher::Channel;
using Reason = ScriptLauncher::Reason;

// The real launcher, starting real processes from a script folder of the
// test's own.
class TestScriptLauncher : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void commandLines();
    void startsRealScriptsOnce();
    void refusals_data();
    void refusals();
    void endings_data();
    void endings();
    void acceptedLayouts_data();
    void acceptedLayouts();
    void childSeesOnlyItsOwnDescriptors();
    void statusesArriveNextToQProcess();
    void stillRunningIsWarnedOnce();
    void outlivesTheLauncher();
    void talkativeScriptKeepsOnlyItsTail();

private:
    enum Setup {
        MissingScript,
        ScriptIsFolder,
        HostMissing,
        ScriptWritableByOthers,
        FolderWritableByGroup,
        ScriptOwnedByOther,
        LinkOutOfFolder,
        CommonWritable,
        CommonLinkOutOfFolder,
        FolderUnreadable,
    };

    void writeScript(const QString &fileName);
    // A script of the test's own text, mode 0644, in `dir` (the temp folder by default).
    QString writeBody(const QString &fileName, const QByteArray &body, const QString &dir = QString());
    QString marker() const { return m_dir->filePath(QStringLiteral("marker")); }
    QByteArray readMarker() const;
    // Starts Fire.sh and waits until it has ended; returns the finished() arguments.
    QList<QVariant> runToEnd(ProcessScriptLauncher &launcher);
    // Waits until the marker file holds `lines` lines (scripts run detached).
    void waitForMarkers(int lines, QStringList *seen);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestScriptLauncher::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestScriptLauncher::writeScript(const QString &fileName)
{
    // Each start appends one line: which script, and the environment it got.
    writeBody(fileName,
              QStringLiteral("echo \"%1 $PHONE_HOME_CHANNEL $PHONE_HOME_REASON $#\" >> '%2'\n")
                  .arg(fileName, marker())
                  .toUtf8());
}

QString TestScriptLauncher::writeBody(const QString &fileName, const QByteArray &body, const QString &dir)
{
    const QString path = QDir(dir.isEmpty() ? m_dir->path() : dir).filePath(fileName);
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly) || script.write(body) != body.size())
        qFatal("cannot write %s", qPrintable(path));
    // Independent of the umask the tests run under.
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    return path;
}

QByteArray TestScriptLauncher::readMarker() const
{
    QFile file(marker());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QVariant> TestScriptLauncher::runToEnd(ProcessScriptLauncher &launcher)
{
    QSignalSpy started(&launcher, &ScriptLauncher::started);
    QSignalSpy finished(&launcher, &ScriptLauncher::finished);
    launcher.start(Channel::Fire, Reason::Test);
    [&] {
        QCOMPARE(started.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(finished.at(0).at(1).toLongLong(), started.at(0).at(3).toLongLong());
    }();
    return finished.isEmpty() ? QList<QVariant>() : finished.at(0);
}

void TestScriptLauncher::waitForMarkers(int lines, QStringList *seen)
{
    const auto read = [&] {
        QFile file(m_dir->filePath(QStringLiteral("marker")));
        *seen = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)
                                               : QStringList();
        return seen->size() >= lines;
    };
    QTRY_VERIFY_WITH_TIMEOUT(read(), 10000);
    // Give a stray second start the chance to show up.
    QTest::qWait(300);
    read();
}

void TestScriptLauncher::commandLines()
{
    const ProcessScriptLauncher installed;
    QCOMPARE(installed.program(), QLatin1String("/bin/sh"));
    QCOMPARE(installed.arguments(Channel::Fire), QStringList{"/etc/rs232-phone-home/Fire.sh"});
    QCOMPARE(installed.arguments(Channel::Flood), QStringList{"/etc/rs232-phone-home/Flood.sh"});
    QCOMPARE(installed.arguments(Channel::Intrusion), QStringList{"/etc/rs232-phone-home/Intruder.sh"});
}

void TestScriptLauncher::startsRealScriptsOnce()
{
    for (const char *name : {"Fire.sh", "Flood.sh", "Intruder.sh"})
        writeScript(QLatin1String(name));
    auto port = std::make_unique<FakeSerialPort>();
    FakeSerialPort *fake = port.get();
    MainWindow window(std::move(port),
                      std::make_unique<ProcessScriptLauncher>(QStringLiteral("/bin/sh"), m_dir->path()));
    window.show();
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("CmdCallEnable")), Qt::LeftButton);

    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cmdFlood")), Qt::LeftButton);
    QStringList seen;
    waitForMarkers(1, &seen);
    QCOMPARE(seen, QStringList{"Flood.sh flood test 0"});

    window.findChild<QComboBox *>(QStringLiteral("Combo1"))->setEditText(QStringLiteral("2"));
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
    fake->dcd = true;
    for (int i = 0; i < 10; ++i)
        window.findChild<LineMonitor *>()->Timer1_Timer();
    waitForMarkers(2, &seen);
    QCOMPARE(seen, (QStringList{"Flood.sh flood test 0", "Intruder.sh intrusion alarm 0"}));
    QVERIFY(window.findChildren<QMessageBox *>().isEmpty());
}

void TestScriptLauncher::refusals_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<int>("error");
    // What the text must name, and the fix it must offer.
    QTest::addColumn<QString>("named");
    QTest::addColumn<QString>("fix");

    QTest::newRow("missing script") << int(MissingScript) << int(ErrorCode::ScriptMissing) << "Fire.sh"
                                    << "does not exist";
    QTest::newRow("script is a folder") << int(ScriptIsFolder) << int(ErrorCode::ScriptMissing) << "Fire.sh"
                                        << "not a regular file";
    QTest::newRow("host missing") << int(HostMissing) << int(ErrorCode::ScriptHostFailed) << "/nonexistent/sh"
                                  << "installed";
    QTest::newRow("script writable by others")
        << int(ScriptWritableByOthers) << int(ErrorCode::ScriptRefused) << "Fire.sh"
        << "sudo chmod go-w";
    QTest::newRow("folder writable by its group")
        << int(FolderWritableByGroup) << int(ErrorCode::ScriptRefused) << "/scripts"
        << "sudo chmod go-w";
    QTest::newRow("script owned by another user")
        << int(ScriptOwnedByOther) << int(ErrorCode::ScriptRefused) << "nobody"
        << "sudo chown root:";
    QTest::newRow("script links out of its folder")
        << int(LinkOutOfFolder) << int(ErrorCode::ScriptRefused) << "outside the script folder"
        << "Fire.sh";
    QTest::newRow("common file writable by others")
        << int(CommonWritable) << int(ErrorCode::ScriptRefused) << "phone-home-common.sh"
        << "sudo chmod go-w";
    QTest::newRow("common file links out of the folder")
        << int(CommonLinkOutOfFolder) << int(ErrorCode::ScriptRefused) << "phone-home-common.sh"
        << "outside the script folder";
    QTest::newRow("folder cannot be searched") << int(FolderUnreadable) << int(ErrorCode::ScriptMissing) << "Fire.sh"
                                               << "cannot be read";
}

void TestScriptLauncher::refusals()
{
    QFETCH(int, setup);
    QFETCH(int, error);
    QFETCH(QString, named);
    QFETCH(QString, fix);

    QString host = QStringLiteral("/bin/sh");
    QString folder = m_dir->path();
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QString script = m_dir->filePath(QStringLiteral("Fire.sh"));
    const QString common = m_dir->filePath(ProcessScriptLauncher::commonFileName());
    if (setup != MissingScript && setup != ScriptIsFolder && setup != FolderWritableByGroup)
        writeScript(QStringLiteral("Fire.sh"));

    switch (Setup(setup)) {
    case MissingScript:
        break;
    case ScriptIsFolder:
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("Fire.sh")));
        break;
    case HostMissing:
        host = QStringLiteral("/nonexistent/sh");
        break;
    case ScriptWritableByOthers:
        QCOMPARE(::chmod(QFile::encodeName(script).constData(), 0666), 0);
        break;
    case FolderWritableByGroup:
        folder = m_dir->filePath(QStringLiteral("scripts"));
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("scripts")));
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0775), 0);
        writeBody(QStringLiteral("Fire.sh"), "echo ran >> '" + QFile::encodeName(marker()) + "'\n", folder);
        break;
    case ScriptOwnedByOther: {
        const passwd *nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody)
            QSKIP("handing a file to another user needs root and a user \"nobody\"");
        QCOMPARE(::chown(QFile::encodeName(script).constData(), nobody->pw_uid, nobody->pw_gid), 0);
        break;
    }
    case LinkOutOfFolder:
        QVERIFY(QFile::remove(script));
        QVERIFY(QFile::link(writeBody(QStringLiteral("Fire.sh"), "echo ran >> '" + QFile::encodeName(marker()) + "'\n",
                                      elsewhere.path()),
                            script));
        break;
    case CommonWritable:
        writeBody(ProcessScriptLauncher::commonFileName(), "\n");
        QCOMPARE(::chmod(QFile::encodeName(common).constData(), 0646), 0);
        break;
    case CommonLinkOutOfFolder:
        QVERIFY(QFile::link(writeBody(ProcessScriptLauncher::commonFileName(), "\n", elsewhere.path()), common));
        break;
    case FolderUnreadable:
        if (::geteuid() == 0)
            QSKIP("root searches every folder");
        QCOMPARE(::chmod(QFile::encodeName(m_dir->path()).constData(), 0), 0);
        break;
    }

    ProcessScriptLauncher launcher(host, folder);
    QSignalSpy started(&launcher, &ScriptLauncher::started);
    try {
        launcher.start(Channel::Fire, Reason::Test);
        QFAIL("the start was not refused");
    } catch (const PhoneHomeError &e) {
        if (setup == FolderUnreadable)
            ::chmod(QFile::encodeName(m_dir->path()).constData(), 0700);
        QCOMPARE(e.number(), error);
        QVERIFY2(e.text().contains(named), qPrintable(e.text()));
        QVERIFY2(e.text().contains(fix), qPrintable(e.text()));
    }
    QCOMPARE(started.count(), 0);
    QTest::qWait(100);
    QVERIFY(!QFile::exists(marker()));
}

void TestScriptLauncher::endings_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<int>("signal");
    // Empty when nothing may be reported.
    QTest::addColumn<QStringList>("reported");

    QTest::newRow("exit 0 reports nothing") << QByteArray("echo sent; echo chatter >&2\n") << 0 << 0 << QStringList();
    QTest::newRow("exit 1 names the last two stderr lines")
        << QByteArray("echo one >&2; echo two >&2; echo 'mailer: connection refused' >&2; exit 1\n") << 1 << 0
        << QStringList{"exit status 1", "two", "mailer: connection refused", "Fire.sh"};
    QTest::newRow("only the tail of a long stderr is kept")
        << QByteArray("i=0; while [ $i -lt 400 ]; do echo \"noise line $i\" >&2; i=$((i+1)); done\n"
                      "echo 'the real reason' >&2; exit 7\n")
        << 7 << 0 << QStringList{"exit status 7", "the real reason", "noise line 399"};
    QTest::newRow("silent stderr falls back to stdout") << QByteArray("echo 'no route to host'; exit 2\n") << 2 << 0
                                                        << QStringList{"exit status 2", "no route to host"};
    QTest::newRow("killed by a signal") << QByteArray("echo dying >&2; kill -KILL $$\n") << -1 << int(SIGKILL)
                                        << QStringList{"killed by signal SIGKILL", "dying"};
}

void TestScriptLauncher::endings()
{
    QFETCH(QByteArray, body);
    QFETCH(int, exitStatus);
    QFETCH(int, signal);
    QFETCH(QStringList, reported);

    writeBody(QStringLiteral("Fire.sh"), body);
    ProcessScriptLauncher launcher(QStringLiteral("/bin/sh"), m_dir->path());
    QSignalSpy errors(&launcher, &ScriptLauncher::errorOccurred);
    const QList<QVariant> end = runToEnd(launcher);
    QVERIFY(!end.isEmpty());
    QCOMPARE(end.at(0).value<Channel>(), Channel::Fire);
    QCOMPARE(end.at(2).toInt(), exitStatus);
    QCOMPARE(end.at(3).toInt(), signal);
    if (reported.isEmpty()) {
        QCOMPARE(errors.count(), 0);
        return;
    }
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(ErrorCode::ScriptFailed));
    const QString text = errors.at(0).at(1).toString();
    for (const QString &part : reported)
        QVERIFY2(text.contains(part), qPrintable(text));
    QVERIFY2(!text.contains(QLatin1String("noise line 398")), "more than two lines shown");
}

void TestScriptLauncher::acceptedLayouts_data()
{
    QTest::addColumn<bool>("linked");

    QTest::newRow("link to a file in the same folder") << true;
    QTest::newRow("script sourcing a safe common file") << false;
}

void TestScriptLauncher::acceptedLayouts()
{
    QFETCH(bool, linked);

    const QByteArray mark = "echo \"$0 $(pwd)\" >> '" + QFile::encodeName(marker()) + "'\n";
    if (linked) {
        writeBody(QStringLiteral("fire-real.sh"), mark);
        QVERIFY(QFile::link(QStringLiteral("fire-real.sh"), m_dir->filePath(QStringLiteral("Fire.sh"))));
    } else {
        // As the examples do it.
        writeBody(ProcessScriptLauncher::commonFileName(), mark);
        writeBody(QStringLiteral("Fire.sh"), ". \"$(dirname \"$0\")/phone-home-common.sh\"\n");
    }

    ProcessScriptLauncher launcher(QStringLiteral("/bin/sh"), m_dir->path());
    QSignalSpy errors(&launcher, &ScriptLauncher::errorOccurred);
    const QList<QVariant> end = runToEnd(launcher);
    QVERIFY(!end.isEmpty());
    QCOMPARE(end.at(2).toInt(), 0);
    QCOMPARE(errors.count(), 0);
    // $0 is the script's name as configured; it runs in its folder.
    const QString script = m_dir->filePath(QStringLiteral("Fire.sh"));
    QCOMPARE(QString::fromUtf8(readMarker()).trimmed(), script + u' ' + QFileInfo(m_dir->path()).canonicalFilePath());
}

void TestScriptLauncher::childSeesOnlyItsOwnDescriptors()
{
    // A descriptor the program forgot to mark close-on-exec, at a number the
    // shell does not use for itself.
    constexpr int kLeaked = 7;
    const QByteArray canary = QFile::encodeName(m_dir->filePath(QStringLiteral("canary")));
    const int fd = ::open(canary.constData(), O_WRONLY | O_CREAT, 0600);
    QVERIFY(fd >= 0);
    QVERIFY(::dup2(fd, kLeaked) == kLeaked);
    ::close(fd);

    writeBody(QStringLiteral("Fire.sh"), "ls -l /proc/$$/fd > '" + QFile::encodeName(marker()) + "'\n");
    ProcessScriptLauncher launcher(QStringLiteral("/bin/sh"), m_dir->path());
    QSignalSpy errors(&launcher, &ScriptLauncher::errorOccurred);
    const QList<QVariant> end = runToEnd(launcher);
    ::close(kLeaked);
    QVERIFY(!end.isEmpty());
    QCOMPARE(end.at(2).toInt(), 0);

    const QString listing = QString::fromUtf8(readMarker());
    QVERIFY2(!listing.contains(QLatin1String("canary")), qPrintable(listing));
    QMap<int, QString> fds;
    for (const QString &line : listing.split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype arrow = line.indexOf(QLatin1String(" -> "));
        if (arrow < 0)
            continue;
        const int number = line.left(arrow).section(u' ', -1).toInt();
        fds.insert(number, line.mid(arrow + 4));
    }
    // 0..3 are stdin, stdout (the listing's own redirection here), stderr
    // and the script; the shell keeps its own copies from 10 up.
    QCOMPARE(fds.value(0), QLatin1String("/dev/null"));
    QVERIFY2(fds.value(2).contains(QLatin1String("memfd:")), qPrintable(listing));
    QCOMPARE(fds.value(3), QFileInfo(m_dir->filePath(QStringLiteral("Fire.sh"))).canonicalFilePath());
    for (int number = 4; number < 10; ++number)
        QVERIFY2(!fds.contains(number), qPrintable(listing));
}

void TestScriptLauncher::statusesArriveNextToQProcess()
{
    // Qt reaps the children of QProcess itself; ours must neither be taken
    // by it nor take its.
    writeBody(QStringLiteral("Fire.sh"), "sleep 0.2; exit 5\n");
    ProcessScriptLauncher launcher(QStringLiteral("/bin/sh"), m_dir->path());
    QSignalSpy finished(&launcher, &ScriptLauncher::finished);
    constexpr int kRounds = 4;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < kRounds; ++i) {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("sleep 0.1; exit 3")});
        launcher.start(Channel::Fire, Reason::Test);
        processes.push_back(std::move(process));
    }
    for (const auto &process : processes) {
        QVERIFY(process->waitForFinished(10000));
        QCOMPARE(process->exitCode(), 3);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), kRounds, 10000);
    for (const QList<QVariant> &end : std::as_const(finished))
        QCOMPARE(end.at(2).toInt(), 5);
}

void TestScriptLauncher::stillRunningIsWarnedOnce()
{
    writeBody(QStringLiteral("Fire.sh"), "sleep 1\n");
    ProcessScriptLauncher launcher(QStringLiteral("/bin/sh"), m_dir->path());
    launcher.setStillRunningAfter(std::chrono::milliseconds(200));
    QSignalSpy warnings(&launcher, &ScriptLauncher::warning);
    QSignalSpy errors(&launcher, &ScriptLauncher::errorOccurred);
    const QList<QVariant> end = runToEnd(launcher);
    QVERIFY(!end.isEmpty());
    QCOMPARE(warnings.count(), 1);
    const QString text = warnings.at(0).at(0).toString();
    QVERIFY2(text.contains(QLatin1String("still running")) && text.contains(QLatin1String("Fire.sh")),
             qPrintable(text));
    QCOMPARE(errors.count(), 0);
}

void TestScriptLauncher::outlivesTheLauncher()
{
    // It writes to stdout after the launcher (and its end of the capture) is
    // gone: with a pipe that write would kill it.
    writeBody(QStringLiteral("Fire.sh"),
              "sleep 0.5; i=0; while [ $i -lt 100 ]; do echo \"line $i of output\"; i=$((i+1)); done; echo done > '"
                  + QFile::encodeName(marker()) + "'\n");
    qint64 pid = 0;
    {
        ProcessScriptLauncher launcher(QStringLiteral("/bin/sh"), m_dir->path());
        QSignalSpy started(&launcher, &ScriptLauncher::started);
        launcher.start(Channel::Fire, Reason::Test);
        QCOMPARE(started.count(), 1);
        pid = started.at(0).at(3).toLongLong();
    }
    QVERIFY(pid > 0);
    // Still our child: reap it here so that its status can be checked.
    int status = 0;
    QCOMPARE(::waitpid(pid_t(pid), &status, 0), pid_t(pid));
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, qPrintable(QString::number(status)));
    QCOMPARE(readMarker(), QByteArray("done\n"));
}

void TestScriptLauncher::talkativeScriptKeepsOnlyItsTail()
{
    const QByteArray go = QFile::encodeName(m_dir->filePath(QStringLiteral("go")));
    const QByteArray dir = QFile::encodeName(m_dir->path());
    // 512 KiB on stderr, then it waits for the test (or gives up when the
    // test's folder is gone) before its last words.
    writeBody(QStringLiteral("Fire.sh"),
              "head -c 524288 /dev/zero | tr '\\0' x >&2; echo >&2; echo written > '" + QFile::encodeName(marker())
                  + "'\nwhile [ ! -e '" + go + "' ] && [ -d '" + dir + "' ]; do sleep 0.05; done\n"
                  + "echo 'final words' >&2; exit 4\n");
    ProcessScriptLauncher launcher(QStringLiteral("/bin/sh"), m_dir->path());
    launcher.setTrimInterval(std::chrono::milliseconds(50));
    QSignalSpy started(&launcher, &ScriptLauncher::started);
    QSignalSpy errors(&launcher, &ScriptLauncher::errorOccurred);
    launcher.start(Channel::Fire, Reason::Test);
    QCOMPARE(started.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(readMarker(), QByteArray("written\n"), 10000);

    // What the script's stderr holds in memory, seen through its descriptor.
    const QByteArray stderrPath = "/proc/" + QByteArray::number(started.at(0).at(3).toLongLong()) + "/fd/2";
    const auto held = [&] {
        struct stat st;
        return ::stat(stderrPath.constData(), &st) == 0 ? qint64(st.st_blocks) * 512 : -1;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(held() >= 0 && held() <= 16 * 1024, qPrintable(QString::number(held())), 5000);

    QFile(QFile::decodeName(go)).open(QIODevice::WriteOnly);
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 10000);
    QVERIFY2(errors.at(0).at(1).toString().contains(QLatin1String("final words")),
             qPrintable(errors.at(0).at(1).toString()));
}

QTEST_MAIN(TestScriptLauncher)
#include "tst_script_launcher.moc"
