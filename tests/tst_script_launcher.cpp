#include "app/main_window.h"
#include "fake_serial_port.h"
#include "notify/script_launcher.h"
#include "core/error_codes.h"
#include "serial/line_monitor.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

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

private:
    void writeScript(const QString &fileName);
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
    QFile script(m_dir->filePath(fileName));
    QVERIFY(script.open(QIODevice::WriteOnly));
    // Each start appends one line: which script, and the environment it got.
    script.write(QStringLiteral("echo \"%1 $PHONE_HOME_CHANNEL $PHONE_HOME_REASON $#\" >> '%2'\n")
                     .arg(fileName, m_dir->filePath(QStringLiteral("marker")))
                     .toUtf8());
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
    MainWindow window(std::move(port), std::make_unique<ProcessScriptLauncher>(QStringLiteral("/bin/sh"), m_dir->path()));
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
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("scriptPresent");
    QTest::addColumn<bool>("scriptReadable");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("named");

    QTest::newRow("missing script") << "/bin/sh" << false << true << int(ErrorCode::ScriptMissing) << "Fire.sh";
    QTest::newRow("script is a folder") << "/bin/sh" << true << false << int(ErrorCode::ScriptMissing) << "Fire.sh";
    QTest::newRow("host missing") << "/nonexistent/sh" << true << true << int(ErrorCode::ScriptHostFailed)
                                  << "/nonexistent/sh";
}

void TestScriptLauncher::refusals()
{
    QFETCH(QString, host);
    QFETCH(bool, scriptPresent);
    QFETCH(bool, scriptReadable);
    QFETCH(int, error);
    QFETCH(QString, named);

    if (scriptPresent && scriptReadable)
        writeScript(QStringLiteral("Fire.sh"));
    else if (scriptPresent)
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("Fire.sh")));

    ProcessScriptLauncher launcher(host, m_dir->path());
    try {
        launcher.start(Channel::Fire, Reason::Test);
        QFAIL("the start was not refused");
    } catch (const PhoneHomeError &e) {
        QCOMPARE(e.number(), error);
        QVERIFY2(e.text().contains(named), qPrintable(e.text()));
    }
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("marker"))));
}

QTEST_MAIN(TestScriptLauncher)
#include "tst_script_launcher.moc"
