// SPDX-License-Identifier: MIT
#include "fake_serial_port.h"
#include "serial/qt_serial_port.h"
#include "virtual_serial_device.h"

#include <QTest>

#include <functional>

// The fake serial component is held to the real one's contract: the same
// steps give the same refusals (or none) on both, the real one on the
// virtual device as port 3.
class TestSerialContract : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void refusals_data();
    void refusals();
};

namespace {
enum class Step { Open, Close, SetPort3, SetPort0, SetPath, Read, WriteDtr, Vanish };

struct Subject {
    std::unique_ptr<SerialPort> port;
    std::function<void(bool)> vanish;
};

Subject makeFake()
{
    auto fake = std::make_unique<FakeSerialPort>();
    FakeSerialPort *raw = fake.get();
    return {std::move(fake), [raw](bool gone) { raw->vanished = gone; }};
}

Subject makeReal(VirtualSerialDevice *device)
{
    return {std::make_unique<QtSerialPort>(), [device](bool gone) { device->setVanished(gone); }};
}

// The refusal a step gives, 0 for none.
int run(Subject &s, Step step, const QString &path)
{
    try {
        switch (step) {
        case Step::Open:
            s.port->setPortOpen(true);
            break;
        case Step::Close:
            s.port->setPortOpen(false);
            break;
        case Step::SetPort3:
            s.port->setCommPort(3);
            break;
        case Step::SetPort0:
            s.port->setCommPort(0);
            break;
        case Step::SetPath:
            s.port->setDevicePath(path);
            break;
        case Step::Read:
            s.port->readLines();
            break;
        case Step::WriteDtr:
            s.port->setDtrEnable(true);
            break;
        case Step::Vanish:
            s.vanish(true);
            break;
        }
    } catch (const PhoneHomeError &e) {
        return e.number();
    }
    return 0;
}
}

void TestSerialContract::initTestCase()
{
    QVERIFY2(VirtualSerialDevice::isPreloadActive(), "run through ctest: the preload is not loaded");
}

using Steps = QList<Step>;
using Results = QList<int>;
Q_DECLARE_METATYPE(Steps)
Q_DECLARE_METATYPE(Results)

void TestSerialContract::refusals_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<Results>("results");
    const int busy = int(ErrorCode::PortAlreadyOpen);
    const int failed = int(ErrorCode::DeviceFailed);

    QTest::newRow("open, read, write, close, close again")
        << Steps{Step::SetPort3, Step::Open, Step::Read, Step::WriteDtr, Step::Close, Step::Close}
        << Results{0, 0, 0, 0, 0, 0};
    QTest::newRow("port 0 is refused at open")
        << Steps{Step::SetPort0, Step::Open} << Results{0, int(ErrorCode::InvalidPortNumber)};
    QTest::newRow("second open") << Steps{Step::SetPort3, Step::Open, Step::Open} << Results{0, 0, busy};
    QTest::newRow("new number while open") << Steps{Step::SetPort3, Step::Open, Step::SetPort0} << Results{0, 0, busy};
    QTest::newRow("new path while open") << Steps{Step::SetPort3, Step::Open, Step::SetPath} << Results{0, 0, busy};
    QTest::newRow("a path opens") << Steps{Step::SetPath, Step::Open, Step::Read} << Results{0, 0, 0};
    QTest::newRow("lines of a closed port")
        << Steps{Step::SetPort3, Step::Read, Step::WriteDtr} << Results{0, failed, failed};
    QTest::newRow("device vanishes while open")
        << Steps{Step::SetPort3, Step::Open, Step::Vanish, Step::Read, Step::WriteDtr, Step::Close}
        << Results{0, 0, 0, failed, failed, 0};
}

void TestSerialContract::refusals()
{
    QFETCH(Steps, steps);
    QFETCH(Results, results);

    VirtualSerialDevice device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    QVERIFY(device.setAlias(QStringLiteral("/dev/com3")));
    Subject fake = makeFake();
    Subject real = makeReal(&device);
    for (int i = 0; i < steps.size(); ++i) {
        const int byFake = run(fake, steps[i], device.slavePath());
        const int byReal = run(real, steps[i], device.slavePath());
        QCOMPARE(byReal, results[i]);
        QCOMPARE(byFake, byReal);
    }
}

QTEST_GUILESS_MAIN(TestSerialContract)
#include "tst_serial_contract.moc"
