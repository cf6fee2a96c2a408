// SPDX-License-Identifier: MIT
#include "serial/port_number.h"

#include <QTest>

class TestPortNumber : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void leadingNumber_data();
    void leadingNumber();
    void rounding_data();
    void rounding();
};

void TestPortNumber::leadingNumber_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("picked entry") << QByteArray("7") << 7.0;
    QTest::newRow("blanks inside digits") << QByteArray(" 1 2abc") << 12.0;
    QTest::newRow("tabs and line feeds skipped") << QByteArray("\t1\n5") << 15.0;
    QTest::newRow("carriage return stops") << QByteArray("1\r5") << 1.0;
    QTest::newRow("design-time text") << QByteArray("Select Port") << 0.0;
    QTest::newRow("empty") << QByteArray("") << 0.0;
    QTest::newRow("only blanks") << QByteArray("   ") << 0.0;
    QTest::newRow("decimal") << QByteArray("2.5") << 2.5;
    QTest::newRow("leading point") << QByteArray(".75x") << 0.75;
    QTest::newRow("trailing point") << QByteArray("3.") << 3.0;
    QTest::newRow("lone sign") << QByteArray("-") << 0.0;
    QTest::newRow("lone point") << QByteArray(".") << 0.0;
    QTest::newRow("negative") << QByteArray("-4") << -4.0;
    QTest::newRow("plus sign") << QByteArray("+6") << 6.0;
    QTest::newRow("sign then blank") << QByteArray("- 4") << -4.0;
    QTest::newRow("exponent") << QByteArray("1e1") << 10.0;
    QTest::newRow("exponent with D") << QByteArray("15D-1") << 1.5;
    QTest::newRow("exponent sign") << QByteArray("1.5E+1") << 15.0;
    QTest::newRow("dangling exponent") << QByteArray("3e") << 3.0;
    QTest::newRow("dangling exponent sign") << QByteArray("3e-x") << 3.0;
    QTest::newRow("hex") << QByteArray("&HF") << 15.0;
    QTest::newRow("hex lower case, stops at g") << QByteArray("&ha g") << 10.0;
    QTest::newRow("octal") << QByteArray("&O17") << 15.0;
    QTest::newRow("octal stops at 8") << QByteArray("&o18") << 1.0;
    QTest::newRow("ampersand alone") << QByteArray("&") << 0.0;
    QTest::newRow("unknown prefix") << QByteArray("&X1") << 0.0;
    QTest::newRow("no infinity words") << QByteArray("inf") << 0.0;
    QTest::newRow("no hex floats") << QByteArray("0x10") << 0.0;
    QTest::newRow("second point stops") << QByteArray("1.2.3") << 1.2;
    QTest::newRow("tiny exponent") << QByteArray("1e-999") << 0.0;
    QTest::newRow("non-ASCII stops") << QByteArray("4\xc2\xbd") << 4.0;
}

void TestPortNumber::leadingNumber()
{
    QFETCH(QByteArray, text);
    QFETCH(double, expected);
    QCOMPARE(PortNumber::leadingNumber(std::string_view(text.constData(), size_t(text.size()))), expected);
}

void TestPortNumber::rounding_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("expected");

    QTest::newRow("2.5 to even 2") << 2.5 << true << 2;
    QTest::newRow("3.5 to even 4") << 3.5 << true << 4;
    QTest::newRow("-2.5 to even -2") << -2.5 << true << -2;
    QTest::newRow("0.5 to 0") << 0.5 << true << 0;
    QTest::newRow("2.6 up") << 2.6 << true << 3;
    QTest::newRow("2.4 down") << 2.4 << true << 2;
    QTest::newRow("-0.4 to 0") << -0.4 << true << 0;
    QTest::newRow("top of range") << 32767.0 << true << 32767;
    QTest::newRow("rounds past top") << 32767.5 << false << 0;
    QTest::newRow("just past top") << 32768.0 << false << 0;
    QTest::newRow("bottom of range") << -32768.0 << true << -32768;
    QTest::newRow("-32768.5 rounds to even inside") << -32768.5 << true << -32768;
    QTest::newRow("just past bottom") << -32768.6 << false << 0;
    QTest::newRow("huge") << 1e300 << false << 0;
    QTest::newRow("infinite") << double(INFINITY) << false << 0;
    QTest::newRow("not a number") << double(NAN) << false << 0;
}

void TestPortNumber::rounding()
{
    QFETCH(double, value);
    QFETCH(bool, fits);
    QFETCH(int, expected);
    std::int16_t result = 0;
    QCOMPARE(PortNumber::roundToInt16(value, &result), fits);
    if (fits)
        QCOMPARE(int(result), expected);
}

QTEST_APPLESS_MAIN(TestPortNumber)
#include "tst_port_number.moc"
