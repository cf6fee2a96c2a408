// SPDX-License-Identifier: MIT
// The RFC 2217 client against a server of the test's own on 127.0.0.1, which
// answers from state the test sets (its lines, how it misbehaves). Debian's
// ser2net itself is met in tests/rfc2217/.
#include "app/main_window.h"
#include "core/line_monitor.h"
#include "core/panel.h"
#include "fake_script_launcher.h"
#include "serial/port_selector.h"
#include "serial/rfc2217_port.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace std::chrono_literals;
using namespace Telnet;

namespace {
QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values)
        out.append(char(v));
    return out;
}

// A device server in small: agrees the option, answers SET-CONTROL and the
// signature, and notifies its lines when the mask is set.
class FakeServer
{
public:
    enum class Kind { Rfc2217, RefusesOption, PlainTcp, ClosesWithWords, WrongControlAnswer, Mute };

    explicit FakeServer(Kind kind = Kind::Rfc2217)
        : m_kind(kind)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
        m_server.listen(QHostAddress::LocalHost);
    }

    QString address() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_server.serverPort()); }

    quint8 lines = 0;
    bool dtr = false;
    bool rts = true; // ser2net raises RTS as it opens its device
    bool answering = true;
    int connections = 0;

    void notify(quint8 value) { send(Rfc2217::request(Rfc2217::Command(Rfc2217::kServerOffset + 7), one(value))); }
    void send(const QByteArray &data)
    {
        if (m_client)
            m_client->write(data);
    }
    void drop()
    {
        if (m_client)
            m_client->abort();
    }

private:
    static QByteArray one(quint8 value) { return QByteArray(1, char(value)); }

    void accept()
    {
        m_client = m_server.nextPendingConnection();
        ++connections;
        m_parser = TelnetParser();
        if (m_kind == Kind::ClosesWithWords) {
            m_client->write("Port already in use\r\n");
            m_client->disconnectFromHost();
            return;
        }
        if (m_kind != Kind::PlainTcp)
            m_client->write(bytes({IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DO, 0, IAC, WILL, 0}));
        if (m_kind == Kind::Rfc2217 || m_kind == Kind::WrongControlAnswer || m_kind == Kind::Mute)
            m_client->write(bytes({IAC, DO, 44}));
        QObject::connect(m_client, &QTcpSocket::readyRead, m_client, [this] { read(); });
    }

    void read()
    {
        const QByteArray data = m_client->readAll();
        if (m_kind == Kind::PlainTcp || !answering)
            return;
        for (const TelnetParser::Event &e : m_parser.feed(data)) {
            if (e.kind == TelnetParser::Event::Kind::Negotiation && e.option == 44 && e.command == WILL
                && m_kind == Kind::RefusesOption)
                send(bytes({IAC, DONT, 44}));
            if (e.kind != TelnetParser::Event::Kind::SubNegotiation || e.option != 44 || e.payload.isEmpty())
                continue;
            const quint8 command = quint8(e.payload[0]);
            const quint8 value = e.payload.size() > 1 ? quint8(e.payload[1]) : 0;
            if (command == Rfc2217::Signature) {
                send(Rfc2217::request(Rfc2217::Command(100), QByteArray("fake")));
            } else if (command == Rfc2217::SetModemstateMask) {
                notify(lines | 0x0f); // a snapshot with stale deltas, as ser2net sends
            } else if (command == Rfc2217::SetControl) {
                quint8 answer = value;
                if (value == Rfc2217::DtrOn || value == Rfc2217::DtrOff)
                    dtr = value == Rfc2217::DtrOn;
                if (value == Rfc2217::RtsOn || value == Rfc2217::RtsOff)
                    rts = value == Rfc2217::RtsOn;
                if (m_kind == Kind::WrongControlAnswer && value == Rfc2217::DtrOn)
                    answer = Rfc2217::DtrOff;
                send(Rfc2217::request(Rfc2217::Command(105), one(answer)));
            }
        }
        if (m_kind == Kind::Mute && dtr && !m_muted) {
            answering = false; // falls silent once open, the first time
            m_muted = true;
        }
    }

    Kind m_kind;
    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    TelnetParser m_parser;
    bool m_muted = false;
};

int refusal(SerialPort &port)
{
    int number = 0;
    reportRefusal([&] { port.setPortOpen(true); },
                  [&](int n, const QString &text) {
                      number = n;
                      qInfo("%s", qPrintable(text));
                  });
    return number;
}
}

class TestRfc2217Port : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void addresses_data();
    void addresses();
    void refusedOpens_data();
    void refusedOpens();
    void outputsSetAtOpen();
    void notificationsBecomeReadings();
    void linkFailures_data();
    void linkFailures();
    void outputChangedElsewhere();
    void windowOnRemotePort();
};

void TestRfc2217Port::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown"); // empty: refused

    QTest::newRow("IPv4 address") << "rfc2217://192.168.1.20:2000"
                                  << "rfc2217://192.168.1.20:2000";
    QTest::newRow("host name, scheme in capitals") << "  RFC2217://door-pi:3001 "
                                                   << "rfc2217://door-pi:3001";
    QTest::newRow("IPv6 address in brackets") << "rfc2217://[fd00::20]:2000"
                                              << "rfc2217://[fd00::20]:2000";
    QTest::newRow("no TCP port") << "rfc2217://door-pi" << QString();
    QTest::newRow("no host") << "rfc2217://:2000" << QString();
    QTest::newRow("one slash too few") << "rfc2217:/door-pi:2000" << QString();
    QTest::newRow("a path after the port") << "rfc2217://door-pi:2000/dev/ttyS0" << QString();
    QTest::newRow("port out of range") << "rfc2217://door-pi:70000" << QString();
}

void TestRfc2217Port::addresses()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QVERIFY(Rfc2217Port::isAddress(text));
    QVERIFY(LineMonitor::isDevicePath(text));
    Rfc2217Port::Address address;
    const QString problem = Rfc2217Port::parseAddress(text, &address);
    QCOMPARE(problem.isEmpty(), !shown.isEmpty());
    if (!shown.isEmpty())
        QCOMPARE(address.toString(), shown);
    else
        QVERIFY2(problem.contains(QLatin1String("rfc2217://HOST:PORT")), qPrintable(problem));
}

void TestRfc2217Port::refusedOpens_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("words");

    QTest::newRow("server refuses the Com Port option")
        << int(FakeServer::Kind::RefusesOption) << int(ErrorCode::NotRfc2217) << "refused the Com Port option";
    QTest::newRow("a plain TCP port that says nothing")
        << int(FakeServer::Kind::PlainTcp) << int(ErrorCode::NotRfc2217) << "no telnet negotiation";
    QTest::newRow("server closes, saying why")
        << int(FakeServer::Kind::ClosesWithWords) << int(ErrorCode::NotRfc2217) << "\"Port already in use\"";
    QTest::newRow("server answers DTR on with DTR off")
        << int(FakeServer::Kind::WrongControlAnswer) << int(ErrorCode::DeviceFailed) << "did not raise DTR";
    QTest::newRow("nobody listens") << -1 << int(ErrorCode::HostUnreachable) << "refused the connection";
}

void TestRfc2217Port::refusedOpens()
{
    QFETCH(int, kind);
    QFETCH(int, number);
    QFETCH(QString, words);

    std::optional<FakeServer> server;
    QString address = QStringLiteral("rfc2217://127.0.0.1:1");
    if (kind >= 0) {
        server.emplace(FakeServer::Kind(kind));
        address = server->address();
    }
    Rfc2217Port port;
    port.setTimeouts(500ms, 5s, 15s);
    port.setDevicePath(address);
    port.setOutputsAtOpen(true, false);
    QString text;
    reportRefusal([&] { port.setPortOpen(true); },
                  [&](int n, const QString &t) {
                      QCOMPARE(n, number);
                      text = t;
                  });
    QVERIFY2(text.contains(words), qPrintable(text));
    QVERIFY2(text.contains(address.mid(10)) || text.contains(QLatin1String("127.0.0.1")), qPrintable(text));
    QVERIFY(!port.portOpen());
}

void TestRfc2217Port::outputsSetAtOpen()
{
    FakeServer server;
    Rfc2217Port port;
    port.setDevicePath(server.address());
    port.setOutputsAtOpen(true, false);
    port.setPortOpen(true);
    // RTS, raised by the server as it opened its device, is lowered.
    QVERIFY(server.dtr);
    QVERIFY(!server.rts);
    QCOMPARE(port.driver().name, QStringLiteral("rfc2217"));
    QCOMPARE(port.driver().signature, QStringLiteral("fake"));
    QCOMPARE(port.lineWatch(), LineWatch::Server);
    port.setDtrEnable(false);
    port.setRtsEnable(true);
    QTRY_VERIFY(!server.dtr && server.rts);
    // Closing lowers both.
    port.setPortOpen(false);
    QTRY_VERIFY(!server.rts);
}

void TestRfc2217Port::notificationsBecomeReadings()
{
    FakeServer server;
    server.lines = Rfc2217::Dcd;
    Rfc2217Port port;
    QSignalSpy readings(&port, &SerialPort::linesWatched);
    port.setDevicePath(server.address());
    port.setPortOpen(true);
    // The snapshot's stale delta bits are no pulses.
    QVERIFY(port.readLines().dcd);
    QCOMPARE(port.watchStart().edges, (std::array<quint32, 3>{0, 0, 1}));

    const auto next = [&](quint8 value) {
        const int before = readings.count();
        server.notify(value);
        if (!readings.wait(2000) && readings.count() == before)
            return LineReading();
        return readings.last().at(0).value<LineReading>();
    };
    LineReading r = next(Rfc2217::Dcd | Rfc2217::Cts | Rfc2217::DeltaCts);
    QVERIFY(r.lines.cts && r.lines.dcd && r.counted);
    const std::array<quint32, 3> afterRise = r.edges;
    // DSR came and went between two of the server's readings.
    r = next(Rfc2217::Dcd | Rfc2217::Cts | Rfc2217::DeltaDsr);
    QVERIFY(!r.lines.dsr);
    QCOMPARE(r.edges[1], afterRise[1] + 2);
    QCOMPARE(r.edges[0], afterRise[0]);
    // 255 travels doubled: every line high, RI too.
    r = next(0xff);
    QVERIFY(r.lines.cts && r.lines.dsr && r.lines.dcd);
    QVERIFY(r.lines.ri);
    // Told again with nothing new: no reading.
    const int count = readings.count();
    server.notify(0xf0);
    QTest::qWait(200);
    QCOMPARE(readings.count(), count);
}

void TestRfc2217Port::linkFailures_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("words");
    QTest::newRow("server closes the connection") << false << "closed the connection";
    QTest::newRow("server stops answering") << true << "has not answered for 1.5 s";
}

void TestRfc2217Port::linkFailures()
{
    QFETCH(bool, silent);
    QFETCH(QString, words);
    FakeServer server(silent ? FakeServer::Kind::Mute : FakeServer::Kind::Rfc2217);
    Rfc2217Port port;
    port.setTimeouts(1s, 500ms, 1500ms);
    QSignalSpy failed(&port, &SerialPort::watchFailed);
    port.setDevicePath(server.address());
    port.setOutputsAtOpen(true, false);
    port.setPortOpen(true);
    if (!silent)
        server.drop();
    QVERIFY(failed.wait(silent ? 4000 : 2000));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toInt(), int(ErrorCode::DeviceFailed));
    QVERIFY2(failed.at(0).at(1).toString().contains(words), qPrintable(failed.at(0).at(1).toString()));
    // Opened again once the server answers.
    port.setPortOpen(false);
    server.answering = true;
    QCOMPARE(refusal(port), 0);
    QCOMPARE(server.connections, 2);
}

void TestRfc2217Port::outputChangedElsewhere()
{
    FakeServer server;
    Rfc2217Port port;
    port.setDevicePath(server.address());
    port.setOutputsAtOpen(true, false);
    port.setPortOpen(true);
    // Another client of the server dropped DTR: the next tick puts it back.
    server.send(Rfc2217::request(Rfc2217::Command(105), QByteArray(1, char(Rfc2217::DtrOff))));
    QTRY_VERIFY(!port.readLines().dtr);
}

// The window on a port of another machine: the discs show the server's
// lines, and the boxes set its outputs.
void TestRfc2217Port::windowOnRemotePort()
{
    FakeServer server;
    auto selector = std::make_unique<PortSelector>();
    MainWindow window(std::move(selector), std::make_unique<FakeScriptLauncher>());
    auto *box = window.findChild<QComboBox *>(QStringLiteral("Combo1"));
    box->setEditText(server.address());
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
    QVERIFY(window.panel()->port()->portOpen());
    QVERIFY2(box->toolTip().contains(QLatin1String("samples the lines")), qPrintable(box->toolTip()));
    server.notify(Rfc2217::Dcd | Rfc2217::DeltaDcd);
    QTRY_COMPARE(window.panel()->indicatorColour(2), Form::kRed);
    QTest::mouseClick(window.findChild<QCheckBox *>(QStringLiteral("Check1")), Qt::LeftButton);
    QTRY_VERIFY(server.dtr);
    QTest::mouseClick(window.findChild<QCheckBox *>(QStringLiteral("Check2")), Qt::LeftButton);
    QTRY_VERIFY(server.rts);
    QTest::mouseClick(window.findChild<QCheckBox *>(QStringLiteral("Check2")), Qt::LeftButton);
    QTRY_VERIFY(!server.rts);
}

QTEST_MAIN(TestRfc2217Port)
#include "tst_rfc2217_port.moc"
