// SPDX-License-Identifier: MIT
#include "app/circle_shape.h"
#include "app/error_reporter.h"
#include "app/main_window.h"
#include "notify/script_launcher.h"
#include "common/error_codes.h"
#include "core/line_monitor.h"
#include "serial/qt_serial_port.h"
#include "virtual_serial_device.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <malloc.h>
#include <unistd.h>

// Long runs of the real serial component and the real polling cycle on the
// virtual device: file descriptors, memory and child processes must level off
// once warmed up, and every reading must still be right at the end.
//
// Each run stops early when its time budget is spent (a slow or loaded
// machine); the checks then cover the cycles done, and the count is printed.

namespace {
constexpr int kOpenCloseCycles = 10000;
constexpr int kPollCycles = 100000;
// Most of a cycle's time goes to the virtual device's bookkeeping in the
// kernel, not to the program: about 0.9 ms per open/close and 0.35 ms per
// polling cycle on two cores.
constexpr qint64 kOpenCloseBudgetMs = 15000;
constexpr qint64 kPollBudgetMs = 40000;

// Warm-up: Qt fills caches and pools lazily (fonts, locale, lock-file paths).
constexpr double kWarmUpShare = 0.1;
// Growth allowed after warm-up. A leak of a few bytes per cycle over the
// remaining cycles is well above these.
constexpr qint64 kHeapTolerance = 64 * 1024;
constexpr qint64 kRssTolerance = 4 * 1024 * 1024;
constexpr int kFdTolerance = 0;

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // ASan's quarantine makes freed memory look held
#else
constexpr bool kSanitized = false;
#endif

int openFds()
{
    // The listing's own descriptor is in every count alike.
    return int(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

qint64 heapInUse()
{
    const struct mallinfo2 info = ::mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong() * 1024;
    }
    return -1;
}

// Our own children, zombies included: scripts are started detached, so none
// should stay ours.
QStringList childProcesses()
{
    QStringList children;
    const QByteArray self = QByteArray::number(::getpid());
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        if (!pid.front().isDigit())
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue; // gone meanwhile
        const QByteArray text = stat.readAll();
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self)
            children << QStringLiteral("%1 %2").arg(pid, QString::fromLatin1(text.left(text.lastIndexOf(')') + 3)));
    }
    return children;
}

struct Usage {
    int fds;
    qint64 heap;
    qint64 rss;

    static Usage now() { return {openFds(), heapInUse(), residentBytes()}; }
};

// Compares usage after the run with usage after warm-up.
void verifyLevelledOff(const Usage &warm, const Usage &end, int cycles)
{
    qInfo("after %d cycles: fds %d -> %d, heap %lld -> %lld, rss %lld -> %lld", cycles, warm.fds, end.fds, warm.heap,
          end.heap, warm.rss, end.rss);
    QVERIFY2(end.fds - warm.fds <= kFdTolerance,
             qPrintable(QStringLiteral("descriptors grew from %1 to %2").arg(warm.fds).arg(end.fds)));
    if (kSanitized)
        return;
    QVERIFY2(end.heap - warm.heap <= kHeapTolerance,
             qPrintable(QStringLiteral("heap grew by %1 bytes").arg(end.heap - warm.heap)));
    QVERIFY2(end.rss - warm.rss <= kRssTolerance,
             qPrintable(QStringLiteral("resident memory grew by %1 bytes").arg(end.rss - warm.rss)));
}

// The inputs for the n-th change: every combination in turn, so each line
// rises and falls many times, alone and together with the others.
struct Inputs {
    bool cts, dsr, dcd;
    bool at(int channel) const { return channel == 0 ? cts : channel == 1 ? dsr : dcd; }
};
Inputs pattern(int n)
{
    const int bits = n % 8;
    return {bool(bits & 1), bool(bits & 2), bool(bits & 4)};
}
}

class TestSoak : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void openCloseCycles();
    void pollingCycles();

private:
    int expectError(const std::function<void()> &call);

    QTemporaryDir m_devices;
    std::unique_ptr<VirtualSerialDevice> m_device;
};

void TestSoak::initTestCase()
{
    // Without the preload the tests would reach real devices: refuse to run.
    QVERIFY2(VirtualSerialDevice::isPreloadActive(), "run through ctest: the preload is not loaded");
    QVERIFY(m_devices.isValid());
    // The preload scans its device list on every line ioctl; a list of our
    // own keeps the devices of tests running alongside out of the count.
    qputenv("VSERIAL_DEVICES", QFile::encodeName(m_devices.path()));
}

void TestSoak::init()
{
    m_device = std::make_unique<VirtualSerialDevice>(m_devices.path());
    QVERIFY2(m_device->isValid(), qPrintable(m_device->errorString()));
    // A number no other test uses: the lock file QSerialPort takes is named
    // after it and shared by every process on the machine.
    QVERIFY(m_device->setAlias(QStringLiteral("/dev/com14")));
}

void TestSoak::cleanup()
{
    m_device.reset();
}

int TestSoak::expectError(const std::function<void()> &call)
{
    try {
        call();
    } catch (const PhoneHomeError &e) {
        return e.number();
    }
    return 0;
}

void TestSoak::openCloseCycles()
{
    QtSerialPort port;
    QtSerialPort other;
    const int warmUp = int(kOpenCloseCycles * kWarmUpShare);
    Usage warm{};
    QElapsedTimer clock;
    clock.start();

    int cycle = 0;
    try {
        for (; cycle < kOpenCloseCycles; ++cycle) {
            if (cycle == warmUp)
                warm = Usage::now();
            else if (cycle > warmUp && clock.elapsed() > kOpenCloseBudgetMs)
                break;

            const Inputs in = pattern(cycle / 10);
            m_device->setInputs(in.cts, in.dsr, in.dcd);
            port.setCommPort(14);
            port.setPortOpen(true);
            if (!port.portOpen())
                QFAIL(qPrintable(QStringLiteral("cycle %1: not open").arg(cycle)));
            // A reopened port starts with both outputs low and reads the lines afresh.
            if (m_device->dtr() || m_device->rts() || port.ctsHolding() != in.cts || port.dsrHolding() != in.dsr
                || port.cdHolding() != in.dcd)
                QFAIL(qPrintable(QStringLiteral("cycle %1: wrong lines after open").arg(cycle)));
            port.setDtrEnable(cycle & 1);
            port.setRtsEnable(cycle & 2);
            if (m_device->dtr() != bool(cycle & 1) || m_device->rts() != bool(cycle & 2))
                QFAIL(qPrintable(QStringLiteral("cycle %1: outputs not set").arg(cycle)));

            // The refusals go through the same open path and must not leave a
            // descriptor or lock file behind either.
            if (cycle % 50 == 0) {
                if (expectError([&] {
                        other.setCommPort(14);
                        other.setPortOpen(true);
                    })
                    != int(ErrorCode::DeviceBusy))
                    QFAIL(qPrintable(QStringLiteral("cycle %1: second open not refused as busy").arg(cycle)));
            }
            port.setPortOpen(false);
            if (cycle % 50 == 25) {
                m_device->setDenied(true);
                const int error = expectError([&] { port.setPortOpen(true); });
                m_device->setDenied(false);
                if (error != int(ErrorCode::PermissionDenied))
                    QFAIL(qPrintable(QStringLiteral("cycle %1: denied open gave %2").arg(cycle).arg(error)));
            }
            if (port.portOpen() || other.portOpen() || m_device->dtr() || m_device->rts())
                QFAIL(qPrintable(QStringLiteral("cycle %1: not closed").arg(cycle)));
        }
    } catch (const PhoneHomeError &e) {
        QFAIL(qPrintable(QStringLiteral("cycle %1: error %2: %3").arg(cycle).arg(e.number()).arg(e.text())));
    }
    qInfo("%d of %d open/close cycles in %lld ms", cycle, kOpenCloseCycles, clock.elapsed());

    verifyLevelledOff(warm, Usage::now(), cycle);
    // Closed for good: the device is free for any other program.
    other.setCommPort(14);
    other.setPortOpen(true);
    QVERIFY(other.portOpen());
}

void TestSoak::pollingCycles()
{
    QTemporaryDir scripts;
    QVERIFY(scripts.isValid());
    const QString marker = scripts.filePath(QStringLiteral("marker"));
    for (auto channel :
         {ScriptLauncher::Channel::Fire, ScriptLauncher::Channel::Flood, ScriptLauncher::Channel::Intrusion}) {
        QFile script(scripts.filePath(ProcessScriptLauncher::scriptFileName(channel)));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("echo \"$PHONE_HOME_CHANNEL\" >> '%1'\n").arg(marker).toUtf8());
        // Group- or world-writable scripts are refused; do not depend on the umask.
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }

    // The polling cycle, as on a driver that cannot wait for edges: a test
    // that makes a tick every few microseconds would otherwise race the
    // watcher's readings, which a real tick never does.
    m_device->setDriverSupport(VirtualSerialDevice::DriverSupport::Neither);
    MainWindow window(std::make_unique<QtSerialPort>(),
                      std::make_unique<ProcessScriptLauncher>(ProcessScriptLauncher::defaultHost(), scripts.path()));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto control = [&](const char *name) { return window.findChild<QWidget *>(QLatin1String(name)); };
    auto *monitor = window.findChild<LineMonitor *>();
    auto *timer = window.findChild<QTimer *>(QStringLiteral("Timer1"));
    const CircleShape *discs[] = {qobject_cast<CircleShape *>(control("Shape1")),
                                  qobject_cast<CircleShape *>(control("Shape2")),
                                  qobject_cast<CircleShape *>(control("Shape3"))};
    const QLabel *labels[] = {qobject_cast<QLabel *>(control("Label13")), qobject_cast<QLabel *>(control("Label14")),
                              qobject_cast<QLabel *>(control("Label15"))};
    auto *dtr = qobject_cast<QCheckBox *>(control("Check1"));
    auto *rts = qobject_cast<QCheckBox *>(control("Check2"));

    QTest::mouseClick(qobject_cast<QPushButton *>(control("CmdCallEnable")), Qt::LeftButton);
    qobject_cast<QComboBox *>(control("Combo1"))->setEditText(QStringLiteral("14"));
    QTest::mouseClick(qobject_cast<QPushButton *>(control("Command1")), Qt::LeftButton);
    if (const QMessageBox *box = window.errorReporter()->currentBox())
        QFAIL(qPrintable(box->text()));
    QVERIFY(timer->isActive());
    // The loop drives the cycle itself; timer ticks in between would only
    // blur which inputs a cycle saw.
    timer->stop();

    const int warmUp = int(kPollCycles * kWarmUpShare);
    Usage warm{};
    QElapsedTimer clock;
    clock.start();
    Inputs in{false, false, false};
    int expectedScripts = 0;
    int changes = 0;

    int cycle = 0;
    for (; cycle < kPollCycles; ++cycle) {
        if (cycle == warmUp)
            warm = Usage::now();
        else if (cycle > warmUp && cycle % 1000 == 0 && clock.elapsed() > kPollBudgetMs)
            break;

        if (cycle % 250 == 0) {
            const Inputs next = pattern(++changes);
            for (int c = 0; c < 3; ++c)
                expectedScripts += !in.at(c) && next.at(c);
            in = next;
            m_device->setInputs(in.cts, in.dsr, in.dcd);
        }
        if (cycle % 1000 == 500) {
            dtr->setChecked(!dtr->isChecked());
            rts->setChecked(cycle % 3000 == 500);
        }

        monitor->Timer1_Timer();

        if (cycle % 250 == 0 || cycle % 1000 == 501) {
            for (int c = 0; c < 3; ++c) {
                if (discs[c]->fillColor() != (in.at(c) ? kRed : kGreen)
                    || labels[c]->text() != QLatin1String(in.at(c) ? "ALARM" : "NORMAL"))
                    QFAIL(qPrintable(QStringLiteral("cycle %1: channel %2 does not show its line").arg(cycle).arg(c)));
            }
            if (m_device->dtr() != dtr->isChecked() || m_device->rts() != rts->isChecked())
                QFAIL(qPrintable(QStringLiteral("cycle %1: outputs do not follow the boxes").arg(cycle)));
        }
        // Paint events and deferred deletes run, as between timer ticks.
        if (cycle % 100 == 0)
            QCoreApplication::processEvents();
    }
    const qint64 elapsed = clock.elapsed();
    qInfo("%d of %d polling cycles in %lld ms, %d line changes", cycle, kPollCycles, elapsed, changes);

    if (const QMessageBox *box = window.errorReporter()->currentBox())
        QFAIL(qPrintable(box->text()));
    QVERIFY(window.findChild<QtSerialPort *>()->portOpen());

    // Each rise of a line while enabled ran its script exactly once.
    const auto scriptsRun = [&] {
        QFile file(marker);
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
    };
    QTRY_COMPARE_WITH_TIMEOUT(scriptsRun(), expectedScripts, 30000);
    QTRY_COMPARE(childProcesses(), QStringList());

    QCoreApplication::processEvents();
    verifyLevelledOff(warm, Usage::now(), cycle);
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
