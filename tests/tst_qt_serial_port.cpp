// SPDX-License-Identifier: MIT
#include "app/circle_shape.h"
#include "app/main_window.h"
#include "fake_script_launcher.h"
#include "core/panel.h"
#include "core/line_monitor.h"
#include "core/notifier.h"
#include "serial/port_holder.h"
#include "serial/port_lock.h"
#include "serial/port_mapping.h"
#include "serial/qt_serial_port.h"
#include "virtual_serial_device.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include "app/error_reporter.h"
#include <QPushButton>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QDateTime>
#include <QSignalSpy>
#include <QTest>

#include <QElapsedTimer>

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

Q_DECLARE_METATYPE(VirtualSerialDevice::DriverSupport)

namespace {
// Run as `tst_qt_serial_port --hold-exclusive DEVICE`, the test holds DEVICE
// as another program would: open, TIOCEXCL, until its input is closed.
constexpr char kHoldExclusive[] = "--hold-exclusive";

int holdExclusive(const char *device)
{
    const int fd = ::open(device, O_RDWR | O_NOCTTY);
    if (fd < 0 || ::ioctl(fd, TIOCEXCL) != 0)
        return 1;
    std::fputs("holding\n", stdout);
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}

// Another program's lock file for /dev/com3 in the system lock folder, where
// QSerialPort looks too, removed again at the end. setUp "lock:TEXT" writes
// TEXT with %1 as the pid, "lock-old:…" dates it a minute back, and
// "lock:binary" writes the pid as four bytes.
class LockFileGuard
{
public:
    LockFileGuard(const QString &setUp, qint64 pid)
    {
        if (!setUp.startsWith(QLatin1String("lock")))
            return;
        m_path = QStringLiteral("/var/lock/LCK..com3");
        QFile file(m_path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(m_path));
        const QString text = setUp.section(u':', 1);
        if (text == QLatin1String("binary")) {
            const qint32 binary = qint32(pid);
            file.write(reinterpret_cast<const char *>(&binary), sizeof binary);
        } else {
            file.write(text.arg(pid, 10).toLatin1());
        }
        if (setUp.startsWith(QLatin1String("lock-old")))
            file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
    }
    ~LockFileGuard()
    {
        if (!m_path.isEmpty())
            QFile::remove(m_path);
    }
    QString path() const { return m_path; }

private:
    QString m_path;
};
}

// The real serial component against the virtual device.
class TestQtSerialPort : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void mapping_data();
    void mapping();
    void openReadWriteClose();
    void outputsAfterOpen_data();
    void outputsAfterOpen();
    void refusals_data();
    void refusals();
    void pathThatIsNoSerialDevice_data();
    void pathThatIsNoSerialDevice();
    void deadLockIsTakenOver();
    void busyNamesTheHolder_data();
    void busyNamesTheHolder();
    void holderAdvice_data();
    void holderAdvice();
    void closeLowersOutputsWithoutHangUp();
    void vanishedWhileOpen_data();
    void vanishedWhileOpen();
    void changingPortWhileOpen();
    void windowPollsTheDevice();
    void openClearsLoopback_data();
    void openClearsLoopback();
    void tickRequests_data();
    void tickRequests();
    void watchModes_data();
    void watchModes();
    void driverTable_data();
    void driverTable();
    void pulseBetweenTicks();
    void closeWhileWaiting_data();
    void closeWhileWaiting();
    void lostDuringWait();

private:
    int expectError(const std::function<void()> &call, QString *text = nullptr);

    std::unique_ptr<VirtualSerialDevice> m_device;
    std::unique_ptr<QtSerialPort> m_port;
};

void TestQtSerialPort::initTestCase()
{
    // Without the preload the tests would reach real devices: refuse to run.
    QVERIFY2(VirtualSerialDevice::isPreloadActive(), "run through ctest: the preload is not loaded");
}

void TestQtSerialPort::init()
{
    m_device = std::make_unique<VirtualSerialDevice>();
    QVERIFY2(m_device->isValid(), qPrintable(m_device->errorString()));
    // Port 3 is the virtual device, the way a udev rule names an adapter.
    QVERIFY(m_device->setAlias(QStringLiteral("/dev/com3")));
    m_port = std::make_unique<QtSerialPort>();
}

void TestQtSerialPort::cleanup()
{
    m_port.reset();
    m_device.reset();
}

int TestQtSerialPort::expectError(const std::function<void()> &call, QString *text)
{
    try {
        call();
    } catch (const PhoneHomeError &e) {
        if (text)
            *text = e.text();
        return e.number();
    }
    return 0;
}

void TestQtSerialPort::mapping_data()
{
    QTest::addColumn<QString>("link");   // comN made in the device folder, or empty
    QTest::addColumn<QString>("target"); // where it points
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("described");
    // Made in the device folder with this UART type in the fake sysfs ("-": no type file).
    QTest::addColumn<QString>("node");
    QTest::addColumn<QString>("uartType");

    QTest::newRow("no link: ttyS numbering") << ""
                                             << "" << 1 << "ttyS0"
                                             << "ttyS0 (not present)"
                                             << ""
                                             << "";
    QTest::newRow("port 15") << ""
                             << "" << 15 << "ttyS14"
                             << "ttyS14 (not present)"
                             << ""
                             << "";
    QTest::newRow("link to an adapter") << "com4"
                                        << "ttyUSB0" << 4 << "com4"
                                        << "com4 \u2192 @/ttyUSB0 (present)"
                                        << "ttyUSB0"
                                        << "-";
    QTest::newRow("dangling link still wins") << "com5"
                                              << "ttyUSB9" << 5 << "com5"
                                              << "com5 \u2192 @/ttyUSB9 (not present)"
                                              << ""
                                              << "";
    QTest::newRow("link of another port") << "com4"
                                          << "ttyUSB0" << 5 << "ttyS4"
                                          << "ttyS4 (not present)"
                                          << "ttyUSB0"
                                          << "-";
    QTest::newRow("built-in port with a 16550A") << ""
                                                 << "" << 1 << "ttyS0"
                                                 << "ttyS0 (present)"
                                                 << "ttyS0"
                                                 << "4";
    QTest::newRow("built-in port, no chip answers") << ""
                                                    << "" << 3 << "ttyS2"
                                                    << "ttyS2 (no UART)"
                                                    << "ttyS2"
                                                    << "0";
    QTest::newRow("link to a port where no chip answers") << "com3"
                                                          << "ttyS2" << 3 << "com3"
                                                          << "com3 \u2192 @/ttyS2 (no UART)"
                                                          << "ttyS2"
                                                          << "0";
}

void TestQtSerialPort::mapping()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(int, port);
    QFETCH(QString, device);
    QFETCH(QString, described);
    QFETCH(QString, node);
    QFETCH(QString, uartType);

    QTemporaryDir dev;
    QTemporaryDir sys;
    if (!node.isEmpty())
        QVERIFY(QFile(dev.filePath(node)).open(QIODevice::WriteOnly));
    if (!uartType.isEmpty() && uartType != QLatin1String("-")) {
        QVERIFY(QDir(sys.path()).mkpath(QStringLiteral("class/tty/") + node));
        QFile type(sys.filePath(QStringLiteral("class/tty/%1/type").arg(node)));
        QVERIFY(type.open(QIODevice::WriteOnly));
        type.write(uartType.toLatin1() + '\n');
    }
    // Relative, as udev makes them.
    if (!link.isEmpty())
        QVERIFY(QFile::link(target, dev.filePath(link)));
    const PortMapping mapping(dev.path(), sys.path());
    QCOMPARE(mapping.devicePath(port), dev.filePath(device));
    QCOMPARE(mapping.describe(port), dev.path() + u'/' + QString(described).replace(u'@', dev.path()));
    QCOMPARE(PortMapping().devicePath(2), QLatin1String("/dev/ttyS1"));
}

void TestQtSerialPort::openReadWriteClose()
{
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    QVERIFY(m_port->portOpen());

    // Every read is fresh: the device changes, the next read shows it.
    const struct {
        bool cts, dsr, dcd;
    } states[] = {
        {true, false, false}, {false, true, false}, {false, false, true}, {true, true, true}, {false, false, false}};
    for (const auto &s : states) {
        m_device->setInputs(s.cts, s.dsr, s.dcd);
        QCOMPARE(m_port->ctsHolding(), s.cts);
        QCOMPARE(m_port->dsrHolding(), s.dsr);
        QCOMPARE(m_port->cdHolding(), s.dcd);
    }

    for (bool dtr : {true, false}) {
        for (bool rts : {true, false}) {
            m_port->setDtrEnable(dtr);
            m_port->setRtsEnable(rts);
            QCOMPARE(m_device->dtr(), dtr);
            QCOMPARE(m_device->rts(), rts);
        }
    }

    m_port->setPortOpen(false);
    QVERIFY(!m_port->portOpen());
    // Closing again is accepted, and the port opens again afterwards.
    m_port->setPortOpen(false);
    m_port->setPortOpen(true);
    QVERIFY(m_port->portOpen());
}

void TestQtSerialPort::outputsAfterOpen_data()
{
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");
    QTest::newRow("both low (the window)") << false << false;
    QTest::newRow("DTR held (the service with --dtr)") << true << false;
    QTest::newRow("RTS held") << false << true;
    QTest::newRow("both held") << true << true;
}

// The open leaves the outputs as asked, whatever the kernel raised.
void TestQtSerialPort::outputsAfterOpen()
{
    QFETCH(bool, dtr);
    QFETCH(bool, rts);
    m_port->setOutputsAtOpen(dtr, rts);
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    QCOMPARE(m_device->dtr(), dtr);
    QCOMPARE(m_device->rts(), rts);
}

void TestQtSerialPort::refusals_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("port 0") << 0 << "" << int(ErrorCode::InvalidPortNumber) << "port 0";
    QTest::newRow("negative port") << -2 << "" << int(ErrorCode::InvalidPortNumber) << "port -2";
    QTest::newRow("no such device") << 9 << "" << int(ErrorCode::NoSuchDevice) << "ttyS8";
    QTest::newRow("no such device: how to make an adapter port 9")
        << 9 << "" << int(ErrorCode::NoSuchDevice) << "sudo ln -s ttyUSB0 /dev/com9";
    QTest::newRow("dangling comN: no advice to make it")
        << 3 << "dangling" << int(ErrorCode::NoSuchDevice) << "Check that the adapter is plugged in";
    QTest::newRow("no UART behind the built-in port")
        << 3 << "nouart" << int(ErrorCode::NoUart) << "no serial hardware answers at @/ttyS2";
    // The pty belongs to root:tty 0620: its group cannot read it, so joining it would not help.
    QTest::newRow("permission denied, group cannot read")
        << 3 << "deny" << int(ErrorCode::PermissionDenied) << "udev rule";
    QTest::newRow("held by another program") << 3 << "other" << int(ErrorCode::DeviceBusy) << "com3";
    // Lock files of live programs, whatever their format, and one of no format.
    QTest::newRow("live UUCP lock, ASCII") << 3 << "lock:%1\n" << int(ErrorCode::DeviceBusy) << "LCK..com3";
    QTest::newRow("live UUCP lock, binary") << 3 << "lock:binary" << int(ErrorCode::DeviceBusy) << "LCK..com3";
    QTest::newRow("live Qt lock older than 30 s") << 3 << "lock-old:%1\nsomeapp\nsomehost\n"
                                                  << int(ErrorCode::DeviceBusy) << "process";
    QTest::newRow("lock without a pid") << 3 << "lock:garbage" << int(ErrorCode::DeviceBusy) << "cannot be read";
    QTest::newRow("already open") << 3 << "open" << int(ErrorCode::PortAlreadyOpen) << "port 3";
}

void TestQtSerialPort::pathThatIsNoSerialDevice_data()
{
    QTest::addColumn<QString>("path"); // @: a scratch folder of the test's
    QTest::addColumn<QString>("mentions");
    QTest::newRow("a regular file") << "@/passwd"
                                    << "is a regular file, not a serial device";
    QTest::newRow("a folder") << "@"
                              << "is a folder, not a serial device";
    QTest::newRow("a character device that is no terminal") << "/dev/null"
                                                            << "not a serial device";
}

// A path typed by hand (or given to the service) may name anything.
void TestQtSerialPort::pathThatIsNoSerialDevice()
{
    QFETCH(QString, path);
    QFETCH(QString, mentions);
    QTemporaryDir scratch;
    QFile file(scratch.filePath(QStringLiteral("passwd")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    path.replace(u'@', scratch.path());
    QString text;
    QCOMPARE(expectError(
                 [&] {
                     m_port->setDevicePath(path);
                     m_port->setPortOpen(true);
                 },
                 &text),
             int(ErrorCode::NoSuchDevice));
    QVERIFY2(text.contains(mentions) && text.contains(path), qPrintable(text));
    QVERIFY(!m_port->portOpen());
}

void TestQtSerialPort::refusals()
{
    QFETCH(int, port);
    QFETCH(QString, setUp);
    QFETCH(int, error);
    QFETCH(QString, mentions);

    QtSerialPort other;
    const LockFileGuard lock(setUp, QCoreApplication::applicationPid());
    // A device folder of our own: a ttyS2 node (a plain file, never opened)
    // whose sysfs entry lists no UART, or a com3 link to nowhere.
    QTemporaryDir dev;
    QTemporaryDir sys;
    if (setUp == QLatin1String("nouart")) {
        QVERIFY(QFile(dev.filePath(QStringLiteral("ttyS2"))).open(QIODevice::WriteOnly));
        QVERIFY(QDir(sys.path()).mkpath(QStringLiteral("class/tty/ttyS2")));
        QFile type(sys.filePath(QStringLiteral("class/tty/ttyS2/type")));
        QVERIFY(type.open(QIODevice::WriteOnly));
        type.write("0\n");
    }
    if (setUp == QLatin1String("dangling"))
        QVERIFY(QFile::link(QStringLiteral("ttyUSB7"), dev.filePath(QStringLiteral("com3"))));
    if (setUp == QLatin1String("nouart") || setUp == QLatin1String("dangling"))
        m_port = std::make_unique<QtSerialPort>(PortMapping(dev.path(), sys.path()));
    mentions.replace(u'@', dev.path());
    if (setUp == QLatin1String("deny"))
        m_device->setDenied(true);
    if (setUp == QLatin1String("other")) {
        other.setCommPort(3);
        other.setPortOpen(true);
        // Its watcher reads the lines until they stand still, then waits:
        // only then are the refused open's ioctls (none) told apart from its.
        for (quint32 seen = ~0u; seen != m_device->ioctlCount(); QTest::qWait(50))
            seen = m_device->ioctlCount();
    }
    if (setUp == QLatin1String("open")) {
        m_port->setCommPort(port);
        m_port->setPortOpen(true);
    }
    const quint32 ioctlsBefore = m_device->ioctlCount();
    QString text;
    QCOMPARE(expectError(
                 [&] {
                     m_port->setCommPort(port);
                     m_port->setPortOpen(true);
                 },
                 &text),
             error);
    QVERIFY2(text.contains(mentions), qPrintable(text));
    QCOMPARE(m_port->portOpen(), setUp == QLatin1String("open"));
    if (setUp != QLatin1String("open"))
        QCOMPARE(m_device->ioctlCount(), ioctlsBefore);
}

void TestQtSerialPort::deadLockIsTakenOver()
{
    // A process of ours that has ended (and been reaped): its pid is free.
    QProcess ended;
    ended.start(QStringLiteral("/bin/true"));
    QVERIFY(ended.waitForStarted());
    const qint64 deadPid = ended.processId();
    QVERIFY(ended.waitForFinished());
    const LockFileGuard lock(QStringLiteral("lock:%1\n"), deadPid);
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    QVERIFY(m_port->portOpen());
    QFile now(lock.path());
    QVERIFY(now.open(QIODevice::ReadOnly));
    QCOMPARE(PortLock::parsePid(now.readAll()), QCoreApplication::applicationPid());
    m_port->setPortOpen(false);
    QVERIFY(!QFile::exists(lock.path()));
}

void TestQtSerialPort::busyNamesTheHolder_data()
{
    QTest::addColumn<bool>("lockFile");
    QTest::newRow("held for exclusive use, found in /proc") << false;
    QTest::newRow("named by its live lock file") << true;
}

// Another process holds the port: the refusal names it and says what to do.
void TestQtSerialPort::busyNamesTheHolder()
{
    QFETCH(bool, lockFile);
    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(), {QLatin1String(kHoldExclusive), m_device->slavePath()});
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine(), QByteArray("holding\n"));
    QTemporaryDir locks;
    m_port->setPortLock(PortLock({locks.path()}));
    const QString lockPath = locks.filePath(QStringLiteral("LCK..com3"));
    if (lockFile) {
        QFile lock(lockPath);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(holder.processId()).rightJustified(10, ' ') + '\n');
    }
    QString text;
    QCOMPARE(expectError(
                 [&] {
                     m_port->setCommPort(3);
                     m_port->setPortOpen(true);
                 },
                 &text),
             int(ErrorCode::DeviceBusy));
    // The kernel keeps 15 characters of a process's name.
    const QString named = QStringLiteral("%1 (process %2)")
                              .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15))
                              .arg(holder.processId());
    QVERIFY2(text.contains(QStringLiteral("by ") + named), qPrintable(text));
    QVERIFY2(text.endsWith(QStringLiteral("Close %1, then try again.").arg(named)), qPrintable(text));
    QCOMPARE(text.contains(lockPath), lockFile);
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished());
    QCOMPARE(holder.exitCode(), 0);
}

void TestQtSerialPort::holderAdvice_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("ModemManager: the udev property")
        << "ModemManager"
        << "ttyUSB0" << QStringList{"ENV{ID_MM_DEVICE_IGNORE}=\"1\"", "docs/using-the-window.md"};
    QTest::newRow("gpsd: its hotplug rule and socket")
        << "gpsd"
        << "ttyUSB0" << QStringList{"/etc/udev/rules.d/60-gpsd.rules", "gpsd.socket"};
    QTest::newRow("brltty: both units masked")
        << "brltty"
        << "ttyUSB0" << QStringList{"systemctl mask --now brltty-udev.service brltty.service"};
    QTest::newRow("agetty on the console port")
        << "agetty"
        << "ttyS0" << QStringList{"console=ttyS0", "serial-getty@ttyS0.service"};
    QTest::newRow("a getty on an adapter") << "getty"
                                           << "ttyUSB1" << QStringList{"serial-getty@ttyUSB1.service"};
    QTest::newRow("anyone else: by name") << "minicom"
                                          << "ttyS0" << QStringList{"Close minicom (process 4242)"};
    QTest::newRow("name unreadable: by pid") << ""
                                             << "ttyS0" << QStringList{"Close that program (process 4242)"};
}

void TestQtSerialPort::holderAdvice()
{
    QFETCH(QString, name);
    QFETCH(QString, device);
    QFETCH(QStringList, mentions);
    const QString text = PortHolder::advice(name, 4242, device);
    for (const QString &mention : mentions)
        QVERIFY2(text.contains(mention), qPrintable(text));
}

void TestQtSerialPort::closeLowersOutputsWithoutHangUp()
{
    // `stty -hupcl`: the driver keeps DTR and RTS up on close.
    QVERIFY(m_device->setHangUpOnClose(false));
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    m_port->setDtrEnable(true);
    m_port->setRtsEnable(true);
    m_port->setPortOpen(false);
    QVERIFY(!m_device->dtr());
    QVERIFY(!m_device->rts());

    m_port->setPortOpen(true);
    m_port->setDtrEnable(true);
    m_port->setRtsEnable(true);
    m_port.reset(); // destroyed while open, as at the end of the program
    QVERIFY(!m_device->dtr());
    QVERIFY(!m_device->rts());
}

void TestQtSerialPort::vanishedWhileOpen_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("reading CTS") << 0;
    QTest::newRow("reading DSR") << 1;
    QTest::newRow("reading DCD") << 2;
    QTest::newRow("setting DTR") << 3;
    QTest::newRow("setting RTS") << 4;
}

void TestQtSerialPort::vanishedWhileOpen()
{
    QFETCH(int, operation);
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    m_device->setVanished(true);
    const std::function<void()> calls[] = {[&] { m_port->ctsHolding(); }, [&] { m_port->dsrHolding(); },
                                           [&] { m_port->cdHolding(); }, [&] { m_port->setDtrEnable(true); },
                                           [&] { m_port->setRtsEnable(true); }};
    // Never a quiet "all low": the failed read is an error.
    QString text;
    QCOMPARE(expectError(calls[operation], &text), int(ErrorCode::DeviceFailed));
    QVERIFY2(text.contains(QLatin1String("port 3 (/dev/com3)")), qPrintable(text));
}

void TestQtSerialPort::changingPortWhileOpen()
{
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    QCOMPARE(expectError([&] { m_port->setCommPort(4); }), int(ErrorCode::PortAlreadyOpen));
    QCOMPARE(m_port->commPort(), 3);
    m_device->setInputs(true, false, false);
    QVERIFY(m_port->ctsHolding());
}

void TestQtSerialPort::windowPollsTheDevice()
{
    m_port.reset();
    MainWindow window(std::make_unique<QtSerialPort>(), std::make_unique<FakeScriptLauncher>());
    window.show();
    window.findChild<QComboBox *>(QStringLiteral("Combo1"))->setEditText(QStringLiteral("3"));
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
    QVERIFY(window.findChild<QTimer *>(QStringLiteral("Timer1"))->isActive());

    auto disc = window.findChild<CircleShape *>(QStringLiteral("Shape2"));
    auto label = window.findChild<QLabel *>(QStringLiteral("Label14"));
    // Two ticks of 100 ms, with room for a loaded machine.
    QTRY_COMPARE_WITH_TIMEOUT(disc->fillColor(), QColor(0, 255, 0), 1000);
    m_device->setInputs(false, true, false);
    QTRY_COMPARE_WITH_TIMEOUT(disc->fillColor(), QColor(255, 0, 0), 1000);
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QLatin1String("ALARM"), 1000);

    window.findChild<QCheckBox *>(QStringLiteral("Check1"))->setChecked(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_device->dtr(), 1000);
    QVERIFY(!m_device->rts());
    window.findChild<QCheckBox *>(QStringLiteral("Check1"))->setChecked(false);
    window.findChild<QCheckBox *>(QStringLiteral("Check2"))->setChecked(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_device->rts() && !m_device->dtr(), 1000);

    // Unplugged while polling: polling stops, the port is closed, one error.
    m_device->setVanished(true);
    QTRY_VERIFY_WITH_TIMEOUT(!window.findChild<QTimer *>(QStringLiteral("Timer1"))->isActive(), 1000);
    QTRY_VERIFY(window.errorReporter()->currentBox());
    QVERIFY(window.errorReporter()->currentBox()->text().contains(QLatin1String("206")));
    QCOMPARE(label->text(), QLatin1String("ALARM"));
}

void TestQtSerialPort::openClearsLoopback_data()
{
    QTest::addColumn<bool>("looped");
    QTest::newRow("left in loopback: cleared and told") << true;
    QTest::newRow("not in loopback: nothing to tell") << false;
}

void TestQtSerialPort::openClearsLoopback()
{
    QFETCH(bool, looped);
    m_device->setLine(TIOCM_LOOP, looped);
    QSignalSpy noticed(m_port.get(), &QtSerialPort::noticed);
    const quint32 before = m_device->ioctlCount();
    const quint32 writesBefore = m_device->writeCount();
    m_port->setCommPort(3);
    m_port->setPortOpen(true);

    QVERIFY(!m_device->line(TIOCM_LOOP));
    QVERIFY(!m_device->dtr());
    QVERIFY(!m_device->rts());
    // One reading, one write and one read of the edge counters that the
    // watch starts from, loopback or not, then the watcher's own reading of
    // counters and lines before it waits: each is a round trip on USB.
    QTRY_VERIFY(m_device->waitCount() > 0);
    QCOMPARE(m_device->ioctlCount() - before, 5u);
    QCOMPARE(m_device->writeCount() - writesBefore, 1u);
    QCOMPARE(noticed.count(), looped ? 1 : 0);
    if (looped) {
        const QString text = noticed.at(0).at(0).toString();
        QVERIFY2(text.contains(QLatin1String("port 3 (/dev/com3)")) && text.contains(QLatin1String("loopback")),
                 qPrintable(text));
    }
}

void TestQtSerialPort::tickRequests_data()
{
    QTest::addColumn<bool>("dtrBox");
    QTest::addColumn<bool>("rtsBox");
    QTest::addColumn<int>("changedLine"); // set behind the program's back after a settled tick, or 0
    QTest::addColumn<bool>("changedTo");
    QTest::addColumn<quint32>("writes");

    QTest::newRow("steady, both boxes clear") << false << false << 0 << false << 0u;
    QTest::newRow("steady, both boxes ticked") << true << true << 0 << false << 0u;
    QTest::newRow("steady, inputs high") << false << true << int(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR) << true << 0u;
    QTest::newRow("DTR raised by someone else is lowered") << false << false << int(TIOCM_DTR) << true << 1u;
    QTest::newRow("RTS dropped by someone else is raised") << true << true << int(TIOCM_RTS) << false << 1u;
    QTest::newRow("both raised by someone else") << false << false << int(TIOCM_DTR | TIOCM_RTS) << true << 2u;
}

// The real component in the panel: after the first tick has set the outputs,
// a tick is one reading, plus one write per output that differs.
void TestQtSerialPort::tickRequests()
{
    QFETCH(bool, dtrBox);
    QFETCH(bool, rtsBox);
    QFETCH(int, changedLine);
    QFETCH(bool, changedTo);
    QFETCH(quint32, writes);

    Panel panel(std::make_unique<QtSerialPort>(), std::make_unique<FakeScriptLauncher>());
    panel.setPortText(QStringLiteral("3"));
    panel.setDtrChecked(dtrBox);
    panel.setRtsChecked(rtsBox);
    panel.lineMonitor()->Command1_Click();
    QVERIFY(panel.port()->portOpen());
    // The test makes the ticks.
    panel.timer()->stop();
    panel.lineMonitor()->Timer1_Timer();
    QCOMPARE(m_device->dtr(), dtrBox);
    QCOMPARE(m_device->rts(), rtsBox);

    for (int bit : {TIOCM_DTR, TIOCM_RTS, TIOCM_CTS, TIOCM_DSR, TIOCM_CAR}) {
        if (changedLine & bit)
            m_device->setLine(bit, changedTo);
    }
    const quint32 before = m_device->ioctlCount();
    const quint32 writesBefore = m_device->writeCount();
    panel.lineMonitor()->Timer1_Timer();
    QCOMPARE(m_device->ioctlCount() - before, 1u + writes);
    QCOMPARE(m_device->writeCount() - writesBefore, writes);
    QCOMPARE(m_device->dtr(), dtrBox);
    QCOMPARE(m_device->rts(), rtsBox);
    QCOMPARE(panel.inAlarm(0), bool(changedLine & TIOCM_CTS));

    // Put right, the next tick is steady again.
    const quint32 settled = m_device->ioctlCount();
    panel.lineMonitor()->Timer1_Timer();
    QCOMPARE(m_device->ioctlCount() - settled, 1u);
}

void TestQtSerialPort::watchModes_data()
{
    QTest::addColumn<VirtualSerialDevice::DriverSupport>("support");
    QTest::addColumn<LineWatch>("watch");
    QTest::newRow("wait and count (8250, ftdi_sio)")
        << VirtualSerialDevice::DriverSupport::WaitAndCount << LineWatch::WaitAndCount;
    QTest::newRow("wait only (pl2303, ch341)") << VirtualSerialDevice::DriverSupport::WaitOnly << LineWatch::Wait;
    QTest::newRow("neither (cp210x): polled") << VirtualSerialDevice::DriverSupport::Neither << LineWatch::Poll;
}

// What the driver offers decides how the port is watched; a change of an
// input reaches the panel's thread as a reading wherever it is waited for.
void TestQtSerialPort::watchModes()
{
    QFETCH(VirtualSerialDevice::DriverSupport, support);
    QFETCH(LineWatch, watch);
    m_device->setDriverSupport(support);
    QSignalSpy watched(m_port.get(), &SerialPort::linesWatched);
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    QCOMPARE(m_port->lineWatch(), watch);
    m_device->setLine(TIOCM_CAR, true);
    if (watch == LineWatch::Poll) {
        QTest::qWait(100);
        QCOMPARE(watched.count(), 0);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(watched.count(), 1, 2000);
    const auto reading = watched.at(0).at(0).value<LineReading>();
    QVERIFY(reading.lines.dcd);
    QCOMPARE(reading.counted, watch == LineWatch::WaitAndCount);
    if (reading.counted)
        QCOMPARE(reading.edges[2] - m_port->watchStart().edges[2], 1u);
}

void TestQtSerialPort::driverTable_data()
{
    QTest::addColumn<QString>("driver"); // as sysfs names the device's; empty: no link
    QTest::addColumn<LineWatch>("watch");
    QTest::addColumn<QString>("reports");

    // The virtual device offers the wait and counts: the table decides.
    QTest::newRow("no driver (a pty): tried, as always") << "" << LineWatch::WaitAndCount << "cts,dsr,dcd";
    QTest::newRow("unknown driver: tried, as always") << "made_up" << LineWatch::WaitAndCount << "cts,dsr,dcd";
    QTest::newRow("ftdi_sio") << "ftdi_sio" << LineWatch::WaitAndCount << "cts,dsr,dcd";
    QTest::newRow("cdc_acm: no CTS") << "cdc_acm" << LineWatch::WaitAndCount << "dsr,dcd";
    QTest::newRow("pl2303: counters never read") << "pl2303" << LineWatch::Wait << "cts,dsr,dcd";
    QTest::newRow("cp210x: polled, no trial wait") << "cp210x" << LineWatch::Poll << "cts,dsr,dcd";
}

// The driver is read from sysfs at every open, and the table it names
// decides the watch before the first reading. udev's by-id name is found too.
void TestQtSerialPort::driverTable()
{
    QFETCH(QString, driver);
    QFETCH(LineWatch, watch);
    QFETCH(QString, reports);

    QTemporaryDir sys;
    QTemporaryDir dev;
    const QString device = m_device->slavePath();
    const QString tty = QFileInfo(device).fileName();
    QVERIFY(QDir(sys.path()).mkpath(QStringLiteral("class/tty/%1/device").arg(tty)));
    if (!driver.isEmpty()) {
        QVERIFY(QFile::link(QStringLiteral("../../../../bus/usb/drivers/") + driver,
                            sys.filePath(QStringLiteral("class/tty/%1/device/driver").arg(tty))));
    }
    QVERIFY(QDir(dev.path()).mkpath(QStringLiteral("serial/by-id")));
    QVERIFY(QFile::link(device, dev.filePath(QStringLiteral("serial/by-id/usb-FTDI_FT232R_A10K-if00-port0"))));
    const PortMapping mapping(dev.path(), sys.path());
    QCOMPARE(mapping.byIdName(device), QLatin1String("usb-FTDI_FT232R_A10K-if00-port0"));
    m_port = std::make_unique<QtSerialPort>(mapping);
    QCOMPARE(m_port->driver().name, QString());
    m_port->setDevicePath(device);
    m_port->setPortOpen(true);
    QCOMPARE(m_port->driver().name, driver);
    QCOMPARE(m_port->driver().reportedLines(), reports);
    QCOMPARE(m_port->lineWatch(), watch);
    m_port->setPortOpen(false);
    QCOMPARE(m_port->driver().name, QString());
}

// In the window, a pulse shorter than any reading shows ALARM for at least
// one tick and starts its script once.
void TestQtSerialPort::pulseBetweenTicks()
{
    auto launcher = std::make_unique<FakeScriptLauncher>();
    FakeScriptLauncher *starts = launcher.get();
    Panel panel(std::make_unique<QtSerialPort>(), std::move(launcher));
    panel.notifier()->CmdCallEnable_Click();
    panel.setPortText(QStringLiteral("3"));
    panel.lineMonitor()->Command1_Click();
    QVERIFY(panel.port()->portOpen());
    QTest::qWait(150);
    QVERIFY(!panel.inAlarm(0));

    int ticksInAlarm = 0;
    connect(panel.timer(), &QTimer::timeout, &panel, [&] { ticksInAlarm += panel.inAlarm(0); });
    m_device->pulse(TIOCM_CTS, std::chrono::microseconds(0));
    QTRY_VERIFY_WITH_TIMEOUT(panel.inAlarm(0), 1000);
    QTRY_VERIFY_WITH_TIMEOUT(!panel.inAlarm(0), 1000);
    QVERIFY(ticksInAlarm >= 1);
    QCOMPARE(starts->starts.size(), 1);
    QCOMPARE(starts->starts.at(0).first, ScriptLauncher::Channel::Fire);
}

void TestQtSerialPort::closeWhileWaiting_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("closed") << false;
    QTest::newRow("destroyed") << true;
}

// The waiting thread is interrupted and joined: promptly, and none is left.
void TestQtSerialPort::closeWhileWaiting()
{
    QFETCH(bool, destroy);
    const auto threads = [] {
        return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    };
    const auto before = threads();
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    QCOMPARE(m_port->lineWatch(), LineWatch::WaitAndCount);
    QCOMPARE(threads(), before + 1);
    QTRY_VERIFY(m_device->waitCount() > 0); // in the wait
    QElapsedTimer timer;
    timer.start();
    if (destroy)
        m_port.reset();
    else
        m_port->setPortOpen(false);
    const qint64 took = timer.elapsed();
    QVERIFY2(took < 100, qPrintable(QStringLiteral("%1 ms").arg(took)));
    QCOMPARE(threads(), before);
    QVERIFY(!m_device->dtr());
}

// An unplug during the wait is a lost device, told once.
void TestQtSerialPort::lostDuringWait()
{
    QSignalSpy failed(m_port.get(), &SerialPort::watchFailed);
    m_port->setCommPort(3);
    m_port->setPortOpen(true);
    QTRY_VERIFY(m_device->waitCount() > 0);
    m_device->setVanished(true);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 2000);
    QCOMPARE(failed.at(0).at(0).toInt(), int(ErrorCode::DeviceFailed));
    const QString text = failed.at(0).at(1).toString();
    QVERIFY2(text.contains(QLatin1String("port 3 (/dev/com3)")) && text.contains(QLatin1String("waiting")),
             qPrintable(text));
    QTest::qWait(50);
    QCOMPARE(failed.count(), 1);
}

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], kHoldExclusive) == 0)
        return holdExclusive(argv[2]);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestQtSerialPort test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_qt_serial_port.moc"
