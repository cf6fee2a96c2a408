// SPDX-License-Identifier: MIT
// Checks the virtual device through the real QSerialPort code path.

#include "virtual_serial_device.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::unique_ptr<QSerialPort> openPort(const QString &path)
{
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(path);
    if (port->open(QIODevice::ReadWrite)) {
        port->setBaudRate(9600);
        port->setFlowControl(QSerialPort::NoFlowControl);
    }
    return port;
}

QSerialPort::PinoutSignals inputsOf(QSerialPort::PinoutSignals s)
{
    return s
        & (QSerialPort::ClearToSendSignal | QSerialPort::DataSetReadySignal | QSerialPort::DataCarrierDetectSignal);
}

void doNothing(int) { }

// As a program ends its waiter: no SA_RESTART, so the wait returns EINTR.
void installDoNothing()
{
    struct sigaction action {
    };
    action.sa_handler = doNothing;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, nullptr);
}

QSerialPort::PinoutSignals expectedInputs(bool cts, bool dsr, bool dcd)
{
    QSerialPort::PinoutSignals s;
    s.setFlag(QSerialPort::ClearToSendSignal, cts);
    s.setFlag(QSerialPort::DataSetReadySignal, dsr);
    s.setFlag(QSerialPort::DataCarrierDetectSignal, dcd);
    return s;
}
}

Q_DECLARE_METATYPE(VirtualSerialDevice::DriverSupport)

class TestVirtualSerialDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Without the preload the refusal tests below would reach real devices.
        QVERIFY2(!qEnvironmentVariableIsEmpty("LD_PRELOAD"), "run with LD_PRELOAD=libvserial_preload.so");
        QVERIFY2(VirtualSerialDevice::isPreloadActive(), "LD_PRELOAD does not load libvserial_preload.so");
        QVERIFY2(!qEnvironmentVariableIsEmpty("VSERIAL_DEVICES"), "run with VSERIAL_DEVICES=<dir>");
    }

    void inputsAreReadFreshEachTime_data()
    {
        QTest::addColumn<bool>("cts");
        QTest::addColumn<bool>("dsr");
        QTest::addColumn<bool>("dcd");
        QTest::newRow("none") << false << false << false;
        QTest::newRow("cts") << true << false << false;
        QTest::newRow("dsr") << false << true << false;
        QTest::newRow("dcd") << false << false << true;
        QTest::newRow("all") << true << true << true;
    }

    void inputsAreReadFreshEachTime()
    {
        QFETCH(bool, cts);
        QFETCH(bool, dsr);
        QFETCH(bool, dcd);
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        auto port = openPort(device.slavePath());
        QVERIFY2(port->isOpen(), qPrintable(port->errorString()));

        // The opposite first, so a cached or constant answer cannot pass.
        device.setInputs(!cts, !dsr, !dcd);
        QCOMPARE(inputsOf(port->pinoutSignals()), expectedInputs(!cts, !dsr, !dcd));
        const quint32 before = device.ioctlCount();
        device.setInputs(cts, dsr, dcd);
        QCOMPARE(inputsOf(port->pinoutSignals()), expectedInputs(cts, dsr, dcd));
        QCOMPARE(port->error(), QSerialPort::NoError);
        QCOMPARE(device.ioctlCount(), before + 1);
    }

    void outputsReachTheDevice_data()
    {
        QTest::addColumn<bool>("dtr");
        QTest::addColumn<bool>("rts");
        QTest::newRow("both low") << false << false;
        QTest::newRow("dtr") << true << false;
        QTest::newRow("rts") << false << true;
        QTest::newRow("both high") << true << true;
    }

    void outputsReachTheDevice()
    {
        QFETCH(bool, dtr);
        QFETCH(bool, rts);
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        auto port = openPort(device.slavePath());
        QVERIFY2(port->isOpen(), qPrintable(port->errorString()));
        // Like a UART, opening raises both outputs.
        QVERIFY(device.dtr());
        QVERIFY(device.rts());

        QVERIFY(port->setDataTerminalReady(dtr));
        QVERIFY(port->setRequestToSend(rts));
        QCOMPARE(device.dtr(), dtr);
        QCOMPARE(device.rts(), rts);
        // Setting outputs must leave the inputs alone, and read back.
        QCOMPARE(inputsOf(port->pinoutSignals()), expectedInputs(false, false, false));
        QCOMPARE(port->pinoutSignals().testFlag(QSerialPort::DataTerminalReadySignal), dtr);
        QCOMPARE(port->pinoutSignals().testFlag(QSerialPort::RequestToSendSignal), rts);

        port->close();
        QVERIFY(!device.dtr());
        QVERIFY(!device.rts());
    }

    void programCannotDriveInputs()
    {
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        auto port = openPort(device.slavePath());
        QVERIFY2(port->isOpen(), qPrintable(port->errorString()));
        device.setInputs(false, true, false);

        int all = TIOCM_CTS | TIOCM_CAR;
        QCOMPARE(::ioctl(port->handle(), TIOCMSET, &all), 0);
        QVERIFY(!device.line(TIOCM_CTS));
        QVERIFY(!device.line(TIOCM_CAR));
        QVERIFY(!device.dtr()); // TIOCMSET cleared the outputs it did not name
        QVERIFY(device.line(TIOCM_DSR));
    }

    // As on a 16550: the program may set loopback, and it survives a close
    // that drops DTR and RTS.
    void loopbackBitOutlivesClose()
    {
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        auto port = openPort(device.slavePath());
        QVERIFY2(port->isOpen(), qPrintable(port->errorString()));
        int loop = TIOCM_LOOP;
        QCOMPARE(::ioctl(port->handle(), TIOCMBIS, &loop), 0);
        port->close();
        QVERIFY(device.line(TIOCM_LOOP));
        QVERIFY(!device.dtr());

        port = openPort(device.slavePath());
        int lines = 0;
        QCOMPARE(::ioctl(port->handle(), TIOCMGET, &lines), 0);
        QVERIFY(lines & TIOCM_LOOP);
        QCOMPARE(::ioctl(port->handle(), TIOCMBIC, &loop), 0);
        QVERIFY(!device.line(TIOCM_LOOP));
    }

    void latencyDelaysEveryLineRequest()
    {
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        auto port = openPort(device.slavePath());
        QVERIFY2(port->isOpen(), qPrintable(port->errorString()));
        device.setLatency(20000);
        const quint32 writesBefore = device.writeCount();
        QElapsedTimer timer;
        timer.start();
        int lines = 0;
        int dtr = TIOCM_DTR;
        QCOMPARE(::ioctl(port->handle(), TIOCMGET, &lines), 0);
        QCOMPARE(::ioctl(port->handle(), TIOCMBIS, &dtr), 0);
        QVERIFY2(timer.elapsed() >= 40, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(device.writeCount(), writesBefore + 1);
    }

    void vanishedDeviceFailsLineAccess()
    {
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        auto port = openPort(device.slavePath());
        QVERIFY2(port->isOpen(), qPrintable(port->errorString()));
        device.setInputs(true, true, true);

        device.setVanished(true);
        port->clearError();
        QCOMPARE(port->pinoutSignals(), QSerialPort::NoSignal);
        QCOMPARE(port->error(), QSerialPort::ResourceError);
        qInfo() << "vanished, pinoutSignals():" << port->errorString();
        port->clearError();
        QVERIFY(!port->setDataTerminalReady(true));
        QVERIFY(port->error() != QSerialPort::NoError);

        // Plugged back in, the same descriptor works again.
        device.setVanished(false);
        port->clearError();
        QCOMPARE(inputsOf(port->pinoutSignals()), expectedInputs(true, true, true));
        QCOMPARE(port->error(), QSerialPort::NoError);
    }

    void openIsRefused_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QSerialPort::SerialPortError>("error");
        QTest::addColumn<int>("accessErrno"); // access(R_OK | W_OK) afterwards; 0: allowed
        QTest::newRow("denied") << "denied" << QSerialPort::PermissionError << EACCES;
        QTest::newRow("vanished") << "vanished" << QSerialPort::DeviceNotFoundError << ENOENT;
        QTest::newRow("second open, same path") << "same path" << QSerialPort::PermissionError << 0;
        QTest::newRow("second open, via alias") << "alias" << QSerialPort::PermissionError << 0;
    }

    void openIsRefused()
    {
        QFETCH(QString, situation);
        QFETCH(QSerialPort::SerialPortError, error);
        QFETCH(int, accessErrno);
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        QVERIFY(device.setAlias(QStringLiteral("/dev/com7")));
        std::unique_ptr<QSerialPort> first;
        QString path = device.slavePath();
        if (situation == QLatin1String("denied")) {
            device.setDenied(true);
        } else if (situation == QLatin1String("vanished")) {
            device.setVanished(true);
        } else {
            first = openPort(device.slavePath());
            QVERIFY2(first->isOpen(), qPrintable(first->errorString()));
            if (situation == QLatin1String("alias"))
                path = device.alias();
        }

        auto port = openPort(path);
        QVERIFY(!port->isOpen());
        QCOMPARE(port->error(), error);
        qInfo() << situation << "open:" << port->errorString();

        errno = 0;
        const int rc = ::access(path.toLocal8Bit().constData(), R_OK | W_OK);
        QCOMPARE(rc == 0 ? 0 : errno, accessErrno);
    }

    void aliasOpensTheDevice()
    {
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        const QString alias = QStringLiteral("/dev/com7");
        QVERIFY(!QFileInfo::exists(alias));
        QVERIFY(device.setAlias(alias));
        // Seen as the device node itself: a QFileInfo asked for isSymLink()
        // first answers exists() from stat, the static exists() from access.
        const QFileInfo info(alias);
        QVERIFY(!info.isSymLink());
        QVERIFY(info.exists());
        QVERIFY(QFileInfo::exists(alias));
        struct stat st {
        };
        QCOMPARE(::stat(alias.toLocal8Bit().constData(), &st), 0);
        QVERIFY(S_ISCHR(st.st_mode));
        QCOMPARE(::access(alias.toLocal8Bit().constData(), R_OK | W_OK), 0);

        auto port = openPort(alias);
        QVERIFY2(port->isOpen(), qPrintable(port->errorString()));
        device.setInputs(false, true, true);
        QCOMPARE(inputsOf(port->pinoutSignals()), expectedInputs(false, true, true));
        QVERIFY(port->setRequestToSend(false));
        QVERIFY(!device.rts());
    }

    void devicesAreIndependent()
    {
        VirtualSerialDevice a;
        VirtualSerialDevice b;
        QVERIFY2(a.isValid() && b.isValid(), qPrintable(a.errorString() + b.errorString()));
        QVERIFY(a.setAlias(QStringLiteral("/dev/com7")));
        QVERIFY(b.setAlias(QStringLiteral("/dev/com8")));
        auto portA = openPort(QStringLiteral("/dev/com7"));
        auto portB = openPort(b.slavePath());
        QVERIFY(portA->isOpen() && portB->isOpen());

        a.setInputs(true, false, false);
        b.setInputs(false, false, true);
        QVERIFY(portB->setDataTerminalReady(false));
        QCOMPARE(inputsOf(portA->pinoutSignals()), expectedInputs(true, false, false));
        QCOMPARE(inputsOf(portB->pinoutSignals()), expectedInputs(false, false, true));
        QVERIFY(a.dtr());
        QVERIFY(!b.dtr());
    }

    void consoleNamesAreRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("console") << "/dev/ttyS0";
        QTest::newRow("doubled slash") << "//dev/ttyS0";
        QTest::newRow("dot and dot-dot") << "/dev/./pts/../ttyS0";
        QTest::newRow("unconfigured com") << "/dev/com1";
    }

    void consoleNamesAreRefused()
    {
        QFETCH(QString, path);
        // access() never opens the device, so even a broken preload is harmless here;
        // it shares the open hooks' decision, and /dev/ttyS0 does exist on Linux.
        errno = 0;
        QCOMPARE(::access(path.toLocal8Bit().constData(), F_OK), -1);
        QCOMPARE(errno, ENOENT);
    }

    // TIOCMIWAIT as the kernel's serial drivers answer it.
    void waitEnds_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("rc");
        QTest::addColumn<int>("error");
        QTest::newRow("a watched input's change wakes it") << "cts" << 0 << 0;
        QTest::newRow("a pulse no reading sees wakes it") << "pulse" << 0 << 0;
        QTest::newRow("an input fed from DTR wakes it when DTR rises") << "fed" << 0 << 0;
        QTest::newRow("an unwatched input does not; a signal ends it with EINTR") << "dsr,signal" << -1 << EINTR;
        QTest::newRow("an unplug ends it with EIO") << "vanish" << -1 << EIO;
        QTest::newRow("a driver without it refuses at once (EINVAL)") << "neither" << -1 << EINVAL;
    }

    void waitEnds()
    {
        QFETCH(QString, event);
        QFETCH(int, rc);
        QFETCH(int, error);
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        if (event == QLatin1String("neither"))
            device.setDriverSupport(VirtualSerialDevice::DriverSupport::Neither);
        if (event == QLatin1String("fed"))
            device.setContactFromDtr(TIOCM_CTS, true);
        const int fd = ::open(QFile::encodeName(device.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        int clear = TIOCM_DTR;
        QCOMPARE(::ioctl(fd, TIOCMBIC, &clear), 0);
        installDoNothing();

        std::atomic<bool> done{false};
        int got = 1, gotError = 0;
        std::thread waiter([&] {
            got = ::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_CAR);
            gotError = got == 0 ? 0 : errno;
            done = true;
        });
        QTest::qWait(50); // blocked by now, unless refused
        const bool refused = done;
        for (const QString &step : event.split(u',')) {
            if (step == QLatin1String("cts"))
                device.setLine(TIOCM_CTS, true);
            else if (step == QLatin1String("pulse"))
                device.pulse(TIOCM_CTS, std::chrono::microseconds(0));
            else if (step == QLatin1String("fed"))
                QCOMPARE(::ioctl(fd, TIOCMBIS, &clear), 0);
            else if (step == QLatin1String("dsr"))
                device.setLine(TIOCM_DSR, true);
            else if (step == QLatin1String("vanish"))
                device.setVanished(true);
            QTest::qWait(50);
            if (step == QLatin1String("dsr"))
                QVERIFY2(!done, "woken by an input it does not watch");
            else if (step == QLatin1String("signal"))
                ::pthread_kill(waiter.native_handle(), SIGUSR1);
        }
        QTRY_VERIFY_WITH_TIMEOUT(done, 2000);
        waiter.join();
        ::close(fd);
        QCOMPARE(got, rc);
        QCOMPARE(gotError, error);
        QCOMPARE(refused, event == QLatin1String("neither"));
    }

    // TIOCGICOUNT: every change of each input, pulses included.
    void edgesAreCounted_data()
    {
        QTest::addColumn<VirtualSerialDevice::DriverSupport>("support");
        QTest::newRow("a driver that counts") << VirtualSerialDevice::DriverSupport::WaitAndCount;
        QTest::newRow("one that only waits refuses (EINVAL)") << VirtualSerialDevice::DriverSupport::WaitOnly;
    }

    void edgesAreCounted()
    {
        QFETCH(VirtualSerialDevice::DriverSupport, support);
        VirtualSerialDevice device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        device.setDriverSupport(support);
        const int fd = ::open(QFile::encodeName(device.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        device.setLine(TIOCM_CTS, true);
        device.setLine(TIOCM_CTS, true); // no change, no edge
        device.setLine(TIOCM_CTS, false);
        device.pulse(TIOCM_DSR, std::chrono::microseconds(0));
        device.setInputs(true, false, true);
        serial_icounter_struct counts{};
        const int rc = ::ioctl(fd, TIOCGICOUNT, &counts);
        const int error = errno;
        ::close(fd);
        if (support != VirtualSerialDevice::DriverSupport::WaitAndCount) {
            QCOMPARE(rc, -1);
            QCOMPARE(error, EINVAL);
            return;
        }
        QCOMPARE(rc, 0);
        QCOMPARE(counts.cts, 3);
        QCOMPARE(counts.dsr, 2);
        QCOMPARE(counts.dcd, 1);
        QCOMPARE(device.edges(TIOCM_CTS), 3u);
    }

    void unconfiguredComPortIsNotFound()
    {
        auto port = openPort(QStringLiteral("/dev/com9"));
        QVERIFY(!port->isOpen());
        QCOMPARE(port->error(), QSerialPort::DeviceNotFoundError);
    }
};

QTEST_GUILESS_MAIN(TestVirtualSerialDevice)
#include "tst_virtual_serial_device.moc"
