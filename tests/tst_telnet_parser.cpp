// SPDX-License-Identifier: MIT
#include "serial/telnet_parser.h"

#include <QTest>

using Event = TelnetParser::Event;
using Kind = Event::Kind;
Q_DECLARE_METATYPE(QList<Event>)

namespace {
QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values)
        out.append(char(v));
    return out;
}

Event negotiation(int command, int option)
{
    return {Kind::Negotiation, quint8(command), quint8(option), {}};
}

Event sub(int option, const QByteArray &payload)
{
    return {Kind::SubNegotiation, 0, quint8(option), payload};
}

using namespace Telnet;
}

char *toString(const Event &e)
{
    return qstrdup(QStringLiteral("{kind %1 command %2 option %3 payload %4}")
                       .arg(int(e.kind))
                       .arg(e.command)
                       .arg(e.option)
                       .arg(QString::fromLatin1(e.payload.toHex(' ')))
                       .toLatin1());
}

class TestTelnetParser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void everySplit_data();
    void everySplit();
    void overlongSubNegotiation();
    void options_data();
    void options();
    void replies_data();
    void replies();
    void requestDoublesIac();
};

void TestTelnetParser::everySplit_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<Event>>("expected");
    QTest::addColumn<qint64>("dataBytes");

    // What Debian's ser2net 4.3.11 sent to a client that said WILL COM-PORT,
    // asked for its signature and set the mask, with DCD high.
    QTest::newRow("ser2net's opening, as recorded")
        << bytes({IAC, WILL, 3,   IAC, DO, 3,   IAC, WILL, 1,   IAC, DONT, 1,  IAC, DO,  0,   IAC, WILL, 0,   IAC,
                  DO,  44,   IAC, SB,  44, 107, 136, IAC,  SE,  IAC, SB,   44, 100, 's', 'e', 'r', '2',  'n', 'e',
                  't', IAC,  SE,  IAC, SB, 44,  107, 136,  IAC, SE,  IAC,  SB, 44,  105, 12,  IAC, SE})
        << QList<Event>{negotiation(WILL, 3),       negotiation(DO, 3),         negotiation(WILL, 1),
                        negotiation(DONT, 1),       negotiation(DO, 0),         negotiation(WILL, 0),
                        negotiation(DO, 44),        sub(44, bytes({107, 136})), sub(44, QByteArray("dser2net")),
                        sub(44, bytes({107, 136})), sub(44, bytes({105, 12}))}
        << qint64(0);
    QTest::newRow("a state byte of 255 arrives doubled")
        << bytes({IAC, SB, 44, 107, IAC, IAC, IAC, SE}) << QList<Event>{sub(44, bytes({107, 255}))} << qint64(0);
    QTest::newRow("doubled IAC in the data is one data byte")
        << bytes({'a', IAC, IAC, 'b', IAC, DO, 44}) << QList<Event>{negotiation(DO, 44)} << qint64(3);
    QTest::newRow("data around commands is counted, not taken as commands")
        << bytes({'P', 'o', 'r', 't', IAC, SB, 44, 107, 16, IAC, SE, '\r', '\n'})
        << QList<Event>{sub(44, bytes({107, 16}))} << qint64(6);
    QTest::newRow("a command such as NOP")
        << bytes({IAC, 241, IAC, DO, 3}) << QList<Event>{{Kind::Command, 241, 0, {}}, negotiation(DO, 3)} << qint64(0);
    QTest::newRow("an option of another kind's sub-negotiation")
        << bytes({IAC, SB, 31, 0, 80, 0, 24, IAC, SE}) << QList<Event>{sub(31, bytes({0, 80, 0, 24}))} << qint64(0);
    QTest::newRow("a sub-negotiation broken by a command is dropped, the command kept")
        << bytes({IAC, SB, 44, 107, IAC, WILL, 1, IAC, SB, 44, 105, 8, IAC, SE})
        << QList<Event>{negotiation(WILL, 1), sub(44, bytes({105, 8}))} << qint64(0);
    QTest::newRow("an empty sub-negotiation says nothing")
        << bytes({IAC, SB, IAC, SE, IAC, DO, 44}) << QList<Event>{negotiation(DO, 44)} << qint64(0);
    QTest::newRow("a stray SE is ignored")
        << bytes({IAC, SE, IAC, WONT, 44}) << QList<Event>{negotiation(WONT, 44)} << qint64(0);
}

// However TCP cuts the stream, the same events come out: in two pieces at
// every point, and a byte at a time.
void TestTelnetParser::everySplit()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<Event>, expected);
    QFETCH(qint64, dataBytes);

    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        TelnetParser parser;
        QList<Event> got = parser.feed(QByteArrayView(stream).first(cut));
        got += parser.feed(QByteArrayView(stream).sliced(cut));
        QVERIFY2(got == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(parser.dataBytes(), dataBytes);
    }
    TelnetParser parser;
    QList<Event> got;
    for (const char byte : stream)
        got += parser.feed(QByteArrayView(&byte, 1));
    QCOMPARE(got, expected);
}

void TestTelnetParser::overlongSubNegotiation()
{
    TelnetParser parser;
    QByteArray stream = bytes({IAC, SB, 44, 100});
    stream += QByteArray(1000, 'x');
    stream += bytes({IAC, SE, IAC, DO, 44});
    const QList<Event> got = parser.feed(stream);
    QCOMPARE(got.size(), 2);
    QCOMPARE(got[0].payload.size(), TelnetParser::kMaxSubNegotiation);
    QCOMPARE(parser.truncated(), 1);
    QCOMPARE(got[1], negotiation(DO, 44));
}

void TestTelnetParser::options_data()
{
    QTest::addColumn<bool>("opened");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("option");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("comPort");

    constexpr int pending = int(TelnetOptions::ComPort::Pending);
    constexpr int agreed = int(TelnetOptions::ComPort::Agreed);
    constexpr int refused = int(TelnetOptions::ComPort::Refused);
    QTest::newRow("DO COM-PORT answers our WILL: agreed, no reply") << true << int(DO) << 44 << QByteArray() << agreed;
    QTest::newRow("DO COM-PORT unasked: WILL, agreed") << false << int(DO) << 44 << bytes({IAC, WILL, 44}) << agreed;
    QTest::newRow("DONT COM-PORT: refused") << true << int(DONT) << 44 << QByteArray() << refused;
    QTest::newRow("WILL COM-PORT from the server: refused")
        << true << int(WILL) << 44 << bytes({IAC, DONT, 44}) << pending;
    QTest::newRow("WILL BINARY answers our DO") << true << int(WILL) << 0 << QByteArray() << pending;
    QTest::newRow("DO SUPPRESS-GO-AHEAD unasked: WILL") << false << int(DO) << 3 << bytes({IAC, WILL, 3}) << pending;
    QTest::newRow("WILL ECHO: DONT") << true << int(WILL) << 1 << bytes({IAC, DONT, 1}) << pending;
    QTest::newRow("DONT ECHO, never on: nothing") << true << int(DONT) << 1 << QByteArray() << pending;
    QTest::newRow("DO NAWS: WONT") << true << int(DO) << 31 << bytes({IAC, WONT, 31}) << pending;
    QTest::newRow("DO of an unknown option 200: WONT") << true << int(DO) << 200 << bytes({IAC, WONT, 200}) << pending;
    QTest::newRow("WONT BINARY before agreeing: nothing") << true << int(WONT) << 0 << QByteArray() << pending;
}

void TestTelnetParser::options()
{
    QFETCH(bool, opened);
    QFETCH(int, command);
    QFETCH(int, option);
    QFETCH(QByteArray, reply);
    QFETCH(int, comPort);

    TelnetOptions options;
    if (opened)
        options.opening();
    QCOMPARE(options.answer(quint8(command), quint8(option)), reply);
    QCOMPARE(int(options.comPort()), comPort);
    // The same again, once agreed or refused: no loop of answers.
    if (!reply.isEmpty() && reply[1] != char(WONT) && reply[1] != char(DONT))
        QCOMPARE(options.answer(quint8(command), quint8(option)), QByteArray());
}

void TestTelnetParser::replies_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("text");

    using R = Rfc2217::Reply::Kind;
    QTest::newRow("signature") << QByteArray("dser2net") << int(R::Signature) << 0 << QByteArray("ser2net");
    QTest::newRow("signature asked of us") << bytes({100}) << int(R::Signature) << 0 << QByteArray();
    QTest::newRow("DTR raised") << bytes({105, 8}) << int(R::ControlSet) << 8 << QByteArray();
    QTest::newRow("every line high, every delta") << bytes({107, 255}) << int(R::Modemstate) << 255 << QByteArray();
    QTest::newRow("mask taken") << bytes({111, 255}) << int(R::MaskSet) << 255 << QByteArray();
    QTest::newRow("line state is not used") << bytes({106, 0x60}) << int(R::Other) << 0 << QByteArray();
    QTest::newRow("notification without its value") << bytes({107}) << int(R::Malformed) << 0 << QByteArray();
    QTest::newRow("a client's command number from the server")
        << bytes({7, 16}) << int(R::Malformed) << 0 << QByteArray();
    QTest::newRow("nothing at all") << QByteArray() << int(R::Malformed) << 0 << QByteArray();
}

void TestTelnetParser::replies()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, kind);
    QFETCH(int, value);
    QFETCH(QByteArray, text);

    const Rfc2217::Reply reply = Rfc2217::readReply(payload);
    QCOMPARE(int(reply.kind), kind);
    QCOMPARE(int(reply.value), value);
    QCOMPARE(reply.text, text);
}

void TestTelnetParser::requestDoublesIac()
{
    QCOMPARE(Rfc2217::request(Rfc2217::SetModemstateMask, QByteArray(1, char(255))),
             bytes({IAC, SB, 44, 11, IAC, IAC, IAC, SE}));
    // What the client sends, read back by the parser, is what it meant.
    TelnetParser parser;
    QCOMPARE(parser.feed(Rfc2217::setControl(Rfc2217::DtrOn)), QList<Event>{sub(44, bytes({5, 8}))});
}

QTEST_GUILESS_MAIN(TestTelnetParser)
#include "tst_telnet_parser.moc"
