// SPDX-License-Identifier: MIT
// The technician's bench on the real serial component and the virtual
// device: RI read and counted, a timed pulse, and the cable test's verdicts,
// judged from levels and proven against the device's loopback plugs.

#include "serial/cable_test.h"
#include "serial/output_pulse.h"
#include "serial/qt_serial_port.h"
#include "virtual_serial_device.h"

#include <QSignalSpy>
#include <QTest>

namespace {
using Finding = CableTest::Finding;
constexpr bool kDtrAt[4] = {false, true, false, true};
constexpr bool kRtsAt[4] = {false, false, true, true};

// The levels a plug gives: inputs (CTS, DSR, DCD, RI bits 0-3) wired from
// DTR, from RTS, or stuck high.
std::array<std::array<bool, 4>, 4> plugLevels(int fromDtr, int fromRts, int stuck = 0)
{
    std::array<std::array<bool, 4>, 4> levels{};
    for (int s = 0; s < 4; ++s) {
        for (int i = 0; i < 4; ++i) {
            const int bit = 1 << i;
            levels[size_t(s)][size_t(i)] =
                (stuck & bit) || ((fromDtr & bit) && kDtrAt[s]) || ((fromRts & bit) && kRtsAt[s]);
        }
    }
    return levels;
}

constexpr int Cts = 1, Dsr = 2, Dcd = 4, Ri = 8;
}

Q_DECLARE_METATYPE(CableTest::Finding)

class TstBench : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void judge_data();
    void judge();
    void cableTestOnLoopbackPlugs_data();
    void cableTestOnLoopbackPlugs();
    void ringIsReadAndCounted();
    void timedPulse_data();
    void timedPulse();
    void pulseOption_data();
    void pulseOption();

private:
    std::unique_ptr<QtSerialPort> open(VirtualSerialDevice &device, bool dtr, bool rts);
};

void TstBench::initTestCase()
{
    QVERIFY2(VirtualSerialDevice::isPreloadActive(), "run through ctest: the preload is not loaded");
}

std::unique_ptr<QtSerialPort> TstBench::open(VirtualSerialDevice &device, bool dtr, bool rts)
{
    auto port = std::make_unique<QtSerialPort>();
    port->setDevicePath(device.slavePath());
    port->setOutputsAtOpen(dtr, rts);
    port->setPortOpen(true);
    return port;
}

void TstBench::judge_data()
{
    QTest::addColumn<int>("fromDtr");
    QTest::addColumn<int>("fromRts");
    QTest::addColumn<int>("stuck");
    QTest::addColumn<int>("bounced");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<Finding>("finding");
    QTest::addColumn<QString>("wiring");
    QTest::addColumn<QString>("verdict");

    QTest::newRow("standard plug") << (Dsr | Dcd) << Cts << 0 << 0 << QString() << Finding::StandardPlug
                                   << "RTS (7) → CTS (8); DTR (4) → DSR (6), DCD (1)"
                                   << "This is the standard loopback plug.";
    QTest::newRow("plug that wires RI") << (Dsr | Dcd | Ri) << Cts << 0 << 0 << QString() << Finding::PlugWithRi
                                        << "RTS (7) → CTS (8); DTR (4) → DSR (6), DCD (1), RI (9)"
                                        << "also wires RI";
    QTest::newRow("no plug") << 0 << 0 << 0 << 0 << QString() << Finding::NoPlug
                             << "No input follows DTR (4) or RTS (7)."
                             << "No plug: nothing follows the outputs.";
    QTest::newRow("DCD wire broken") << Dsr << Cts << 0 << 0 << QString() << Finding::Other
                                     << "RTS (7) → CTS (8); DTR (4) → DSR (6)"
                                     << "DTR (4) does not reach DCD (1)";
    QTest::newRow("CTS fed from the wrong output")
        << (Dsr | Dcd | Cts) << 0 << 0 << 0 << QString() << Finding::Other << "DTR (4) → CTS (8), DSR (6), DCD (1)"
        << "CTS (8) follows DTR (4) instead.";
    QTest::newRow("an input high whatever the outputs do")
        << (Dsr | Dcd) << Cts << Ri << 0 << QString() << Finding::Other
        << "RTS (7) → CTS (8); DTR (4) → DSR (6), DCD (1)"
        << "RI (9) is high whatever the outputs do.";
    QTest::newRow("a bouncing wire spoils a good plug") << (Dsr | Dcd) << Cts << 0 << Dcd << QString() << Finding::Other
                                                        << "RTS (7) → CTS (8); DTR (4) → DSR (6), DCD (1)"
                                                        << "DCD (1) bounced as the outputs changed";
    QTest::newRow("an adapter without CTS cannot pass")
        << (Dsr | Dcd) << Cts << 0 << 0 << "cdc_acm" << Finding::Other << "DTR (4) → DSR (6), DCD (1)"
        << "CTS (8) was not tested: CTS is not reported by this adapter (cdc_acm).";
}

void TstBench::judge()
{
    QFETCH(int, fromDtr);
    QFETCH(int, fromRts);
    QFETCH(int, stuck);
    QFETCH(int, bounced);
    QFETCH(QString, driver);
    QFETCH(Finding, finding);
    QFETCH(QString, wiring);
    QFETCH(QString, verdict);

    std::array<bool, 4> bounces{};
    for (int i = 0; i < 4; ++i)
        bounces[size_t(i)] = bounced & (1 << i);
    const CableTest::Result result =
        CableTest::judge(plugLevels(fromDtr, fromRts, stuck), bounces, AdapterDriver::named(driver));
    QCOMPARE(result.finding, finding);
    QCOMPARE(result.wiring, wiring);
    QVERIFY2(result.verdict.contains(verdict), qPrintable(result.verdict));
}

void TstBench::cableTestOnLoopbackPlugs_data()
{
    QTest::addColumn<int>("fromDtr");
    QTest::addColumn<int>("fromRts");
    QTest::addColumn<Finding>("finding");

    QTest::newRow("standard plug") << (TIOCM_DSR | TIOCM_CAR) << TIOCM_CTS << Finding::StandardPlug;
    QTest::newRow("plug with RI") << (TIOCM_DSR | TIOCM_CAR | TIOCM_RNG) << TIOCM_CTS << Finding::PlugWithRi;
    QTest::newRow("DCD wire broken") << TIOCM_DSR << TIOCM_CTS << Finding::Other;
    QTest::newRow("CTS wire broken") << (TIOCM_DSR | TIOCM_CAR) << 0 << Finding::Other;
    QTest::newRow("no plug") << 0 << 0 << Finding::NoPlug;
}

void TstBench::cableTestOnLoopbackPlugs()
{
    QFETCH(int, fromDtr);
    QFETCH(int, fromRts);
    QFETCH(Finding, finding);

    VirtualSerialDevice device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    device.setLoopback(quint32(fromDtr), quint32(fromRts));
    // DTR found high, RTS low: so they are left.
    auto port = open(device, true, false);
    CableTest test(port.get());
    QSignalSpy finished(&test, &CableTest::finished);
    test.start();
    QVERIFY(finished.wait(5000));
    const auto result = finished.constFirst().constFirst().value<CableTest::Result>();
    QCOMPARE(result.finding, finding);
    QVERIFY(!result.bounced[0] && !result.bounced[1] && !result.bounced[2] && !result.bounced[3]);
    QVERIFY(device.dtr());
    QVERIFY(!device.rts());
}

void TstBench::ringIsReadAndCounted()
{
    VirtualSerialDevice device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    auto port = open(device, false, false);
    QCOMPARE(port->lineWatch(), LineWatch::WaitAndCount);
    QSignalSpy watched(port.get(), &SerialPort::linesWatched);

    device.setLine(TIOCM_RNG, true);
    QTRY_VERIFY(!watched.isEmpty() && watched.constLast().constFirst().value<LineReading>().lines.ri);
    QVERIFY(port->readLines().ri);
    device.pulse(TIOCM_RNG, std::chrono::microseconds(0));
    QTRY_COMPARE(watched.constLast().constFirst().value<LineReading>().ringEdges, 3u);
    // The alarm channels are untouched by a ring.
    const LineReading last = watched.constLast().constFirst().value<LineReading>();
    QVERIFY(!last.lines.cts && !last.lines.dsr && !last.lines.dcd);
    QCOMPARE(last.edges, (std::array<quint32, 3>{}));
}

void TstBench::timedPulse_data()
{
    QTest::addColumn<OutputPulse::Output>("output");
    QTest::addColumn<bool>("restingHigh");

    QTest::newRow("DTR resting low is raised") << OutputPulse::Output::Dtr << false;
    QTest::newRow("RTS resting high (box ticked) is lowered") << OutputPulse::Output::Rts << true;
}

void TstBench::timedPulse()
{
    QFETCH(OutputPulse::Output, output);
    QFETCH(bool, restingHigh);

    VirtualSerialDevice device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const bool dtr = output == OutputPulse::Output::Dtr;
    auto port = open(device, dtr ? restingHigh : false, dtr ? false : restingHigh);
    const auto level = [&] { return dtr ? device.dtr() : device.rts(); };
    QSignalSpy set(port.get(), &SerialPort::outputsSet);
    OutputPulse pulse(port.get());
    QSignalSpy finished(&pulse, &OutputPulse::finished);

    pulse.start(output, std::chrono::milliseconds(200), restingHigh);
    QCOMPARE(level(), !restingHigh);
    QVERIFY(finished.wait(2000));
    QCOMPARE(level(), restingHigh);
    // Both writes are told, for the history.
    QCOMPARE(set.size(), 2);
    QCOMPARE(set.constLast().at(dtr ? 0 : 1).toBool(), restingHigh);
}

void TstBench::pulseOption_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("ms");

    QTest::newRow("DTR for 500 ms") << "dtr:500" << true << 500;
    QTest::newRow("upper case, the shortest") << "RTS:10" << true << 10;
    QTest::newRow("the longest") << "rts:10000" << true << 10000;
    QTest::newRow("too short") << "dtr:9" << false << 0;
    QTest::newRow("too long") << "dtr:10001" << false << 0;
    QTest::newRow("an input cannot be pulsed") << "cts:100" << false << 0;
    QTest::newRow("no length") << "dtr" << false << 0;
    QTest::newRow("not a number") << "dtr:1s" << false << 0;
}

void TstBench::pulseOption()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(int, ms);

    OutputPulse::Output output{};
    std::chrono::milliseconds length{};
    const QString problem = OutputPulse::parse(text, &output, &length);
    QCOMPARE(problem.isEmpty(), accepted);
    if (accepted)
        QCOMPARE(length.count(), ms);
    else
        QVERIFY2(problem.contains(text), qPrintable(problem));
}

QTEST_GUILESS_MAIN(TstBench)
#include "tst_bench.moc"
