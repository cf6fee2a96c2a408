// SPDX-License-Identifier: MIT
#include "rfc2217_port.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QUrl>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {
// A dead peer that stops acknowledging is found by TCP itself: keep-alive
// probes when the link is idle, and a limit on unacknowledged data
// (TCP_USER_TIMEOUT). The kernel's default keep-alive waits two hours.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;
constexpr unsigned kUserTimeoutMs = 20000;
// How often the link's health is looked at.
constexpr std::chrono::milliseconds kCheckInterval{1000};
constexpr int kMaxSignature = 80;
// A SET-CONTROL is sent at most this often before the server is judged.
constexpr int kControlSends = 2;

QString seconds(std::chrono::milliseconds time)
{
    return QString::number(double(time.count()) / 1000);
}

// A server's text, safe to show: printable ASCII only, bounded.
QString printable(const QByteArray &bytes, int max)
{
    QString text;
    for (const char c : bytes) {
        if (c >= 0x20 && c < 0x7f)
            text += QLatin1Char(c);
        else if (!text.endsWith(u' '))
            text += u' ';
    }
    return text.trimmed().left(max);
}
}

QString Rfc2217Port::Address::toString() const
{
    if (host.isEmpty())
        return QString();
    const QString shown = host.contains(u':') ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("rfc2217://%1:%2").arg(shown).arg(port);
}

bool Rfc2217Port::isAddress(const QString &text)
{
    return text.trimmed().startsWith(QLatin1String("rfc2217:"), Qt::CaseInsensitive);
}

QString Rfc2217Port::parseAddress(const QString &text, Address *address)
{
    const QString trimmed = text.trimmed();
    const QUrl url(trimmed, QUrl::StrictMode);
    const QString form =
        tr("give rfc2217://HOST:PORT, such as rfc2217://192.168.1.20:2000 or rfc2217://[fd00::20]:2000");
    if (!url.isValid() || url.scheme().compare(QLatin1String("rfc2217"), Qt::CaseInsensitive) != 0
        || url.host().isEmpty()) {
        return tr("\"%1\" names no port on another machine: %2").arg(trimmed, form);
    }
    if (url.port() < 1)
        return tr("\"%1\" names no TCP port: %2 (the port the server listens on)").arg(trimmed, form);
    if (!url.userInfo().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery()
        || url.hasFragment()) {
        return tr("\"%1\" holds more than a host and a port: %2").arg(trimmed, form);
    }
    address->host = url.host();
    address->port = quint16(url.port());
    return QString();
}

Rfc2217Port::Rfc2217Port(QObject *parent)
    : SerialPort(parent)
{
    m_check.setInterval(kCheckInterval);
    connect(&m_check, &QTimer::timeout, this, &Rfc2217Port::check);
}

Rfc2217Port::~Rfc2217Port()
{
    close();
    // No event loop may be left to delete it later.
    delete m_closing.data();
}

void Rfc2217Port::setTimeouts(std::chrono::milliseconds agree, std::chrono::milliseconds ping,
                              std::chrono::milliseconds silence)
{
    m_agreeTimeout = agree;
    m_pingInterval = ping;
    m_silenceLimit = silence;
    m_check.setInterval(std::min(kCheckInterval, ping));
}

void Rfc2217Port::setCommPort(int port)
{
    if (m_state != State::Closed) {
        throw PhoneHomeError(
            ErrorCode::PortAlreadyOpen,
            tr("Cannot change to port %1: %2 is already open. Close it first.").arg(port).arg(device()));
    }
    m_commPort = port;
    m_address = Address();
    m_addressProblem = tr("a port number names no port on another machine");
}

void Rfc2217Port::setDevicePath(const QString &path)
{
    if (m_state != State::Closed) {
        throw PhoneHomeError(ErrorCode::PortAlreadyOpen,
                             tr("Cannot change to %1: %2 is already open. Close it first.").arg(path, device()));
    }
    m_address = Address();
    m_addressProblem = parseAddress(path, &m_address);
}

void Rfc2217Port::refuseOpen(ErrorCode code, const QString &text)
{
    close();
    throw PhoneHomeError(code, text);
}

QString Rfc2217Port::quotedServerText() const
{
    const QString said = printable(m_parser.recentData(), kMaxSignature);
    return said.isEmpty() ? QString() : tr(" (it said \"%1\")").arg(said);
}

void Rfc2217Port::setPortOpen(bool open)
{
    if (!open) {
        close();
        return;
    }
    if (m_state != State::Closed) {
        throw PhoneHomeError(ErrorCode::PortAlreadyOpen,
                             m_state == State::Open ? tr("Cannot open %1: it is already open.").arg(device())
                                                    : tr("Cannot open %1: it is still being opened.").arg(device()));
    }
    if (!m_addressProblem.isEmpty() || m_address.host.isEmpty()) {
        throw PhoneHomeError(ErrorCode::InvalidPortNumber,
                             tr("Cannot open a port on another machine: %1.")
                                 .arg(m_addressProblem.isEmpty() ? tr("no address was given") : m_addressProblem));
    }

    m_socket = std::make_unique<QTcpSocket>();
    connect(m_socket.get(), &QTcpSocket::readyRead, this, &Rfc2217Port::received);
    connect(m_socket.get(), &QTcpSocket::disconnected, this,
            [this] { linkEnded(m_parser.sawTelnet() ? tr("the server closed the connection") : QString()); });
    connect(m_socket.get(), &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            linkEnded(tr("the server closed the connection"));
        else
            linkEnded(m_socket->errorString());
    });
    m_parser = TelnetParser();
    m_options = TelnetOptions();
    m_lines = LineState();
    m_reading = LineReading();
    m_reading.counted = true;
    m_driver = AdapterDriver();
    for (Pending &p : m_pending)
        p = Pending();
    m_notifications = 0;
    m_linkError.clear();
    m_refusal.clear();
    m_failing = false;
    ++m_generation;
    const QString where = device();

    m_state = State::Connecting;
    m_socket->connectToHost(m_address.host, m_address.port);
    waitUntil([this] { return m_socket->state() == QAbstractSocket::ConnectedState || !m_linkError.isEmpty(); },
              kConnectTimeout);
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        const QAbstractSocket::SocketError error = m_socket->error();
        const QString reason = m_socket->errorString();
        if (error == QAbstractSocket::ConnectionRefusedError) {
            refuseOpen(ErrorCode::HostUnreachable,
                       tr("Cannot open %1: %2 refused the connection on port %3. Check that ser2net (or the "
                          "device server) runs there and listens on that port, on an address this machine "
                          "can reach.")
                           .arg(where, m_address.host)
                           .arg(m_address.port));
        }
        if (error == QAbstractSocket::HostNotFoundError) {
            refuseOpen(ErrorCode::HostUnreachable,
                       tr("Cannot open %1: the host %2 is not known (%3). Check the name, or give its address.")
                           .arg(where, m_address.host, reason));
        }
        if (m_socket->state() != QAbstractSocket::UnconnectedState) {
            refuseOpen(ErrorCode::HostUnreachable,
                       tr("Cannot open %1: %2 did not answer within %3 s. Check that it is on and on the network "
                          "(ping %2), and that no firewall drops TCP port %4.")
                           .arg(where, m_address.host, seconds(kConnectTimeout))
                           .arg(m_address.port));
        }
        refuseOpen(
            ErrorCode::HostUnreachable,
            tr("Cannot open %1: %2. Check that %3 is on and on the network.").arg(where, reason, m_address.host));
    }
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(m_socket->socketDescriptor());
    const int idle = kKeepAliveIdleSeconds, interval = kKeepAliveIntervalSeconds, probes = kKeepAliveProbes;
    const unsigned userTimeout = kUserTimeoutMs;
    // Best effort: without them the ping still finds a dead server.
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
#endif

    // One budget for everything after the connection, so that the open blocks
    // the service (and its watchdog) for kConnectTimeout + kAgreeTimeout at most.
    QDeadlineTimer budget(m_agreeTimeout);
    const auto left = [&] { return std::chrono::milliseconds(std::max<qint64>(budget.remainingTime(), 0)); };
    m_state = State::Agreeing;
    const QString accepter =
        tr("In ser2net's configuration the accepter must read telnet(rfc2217),tcp,%1.").arg(m_address.port);
    const auto linkBroke = [&] {
        refuseOpen(ErrorCode::NotRfc2217,
                   tr("Cannot open %1: the server closed the connection before it agreed RFC 2217%2. ser2net "
                      "does so when it cannot open its device, or when another client holds the port "
                      "(kickolduser: true lets a new connection take over); its log says which.")
                       .arg(where, quotedServerText()));
    };
    send(m_options.opening());
    waitUntil([this] { return m_options.comPort() != TelnetOptions::ComPort::Pending || !m_linkError.isEmpty(); },
              left());
    if (m_options.comPort() == TelnetOptions::ComPort::Refused) {
        refuseOpen(ErrorCode::NotRfc2217,
                   tr("Cannot open %1: the server refused the Com Port option (RFC 2217), so it cannot tell the "
                      "modem lines. %2")
                       .arg(where, accepter));
    }
    if (!m_linkError.isEmpty())
        linkBroke();
    if (m_options.comPort() != TelnetOptions::ComPort::Agreed) {
        refuseOpen(ErrorCode::NotRfc2217,
                   m_parser.sawTelnet()
                       ? tr("Cannot open %1: the server speaks telnet but did not agree the Com Port option (RFC "
                            "2217) within %2 s. %3")
                             .arg(where, seconds(m_agreeTimeout), accepter)
                       : tr("Cannot open %1: the server accepted the connection but sent no telnet negotiation "
                            "within %2 s%3: it is no RFC 2217 server (a plain TCP port?), or it has stopped. %4")
                             .arg(where, seconds(m_agreeTimeout), quotedServerText(), accepter));
    }

    // The outputs first, answered, and only then the mask: ser2net 4.3 drops
    // a SET-CONTROL that arrives while it still applies a new mask.
    sendControl(true, m_dtrAtOpen);
    sendControl(false, m_rtsAtOpen);
    waitUntil(
        [this] {
            return (m_pending[0].outstanding == 0 && m_pending[1].outstanding == 0) || !m_linkError.isEmpty()
                || !m_refusal.isEmpty();
        },
        left());
    if (!m_linkError.isEmpty())
        linkBroke();
    if (!m_refusal.isEmpty())
        refuseOpen(ErrorCode::DeviceFailed, tr("Cannot open %1: %2").arg(where, m_refusal));
    if (m_pending[0].outstanding || m_pending[1].outstanding) {
        refuseOpen(ErrorCode::NotRfc2217,
                   tr("Cannot open %1: the server did not answer the request to set %2 within %3 s, as RFC 2217 "
                      "asks. Check the server's log: it may have failed to set the line on its device.")
                       .arg(where, m_pending[0].outstanding ? QStringLiteral("DTR") : QStringLiteral("RTS"),
                            seconds(m_agreeTimeout)));
    }

    // The answer to the mask is a notification of the lines as they are.
    m_notifications = 0;
    send(Rfc2217::request(Rfc2217::Signature));
    send(Rfc2217::request(Rfc2217::SetLinestateMask, QByteArray(1, '\0')));
    send(Rfc2217::request(Rfc2217::SetModemstateMask, QByteArray(1, char(Rfc2217::kAllModemBits))));
    const bool told = waitUntil([this] { return m_notifications > 0 || !m_linkError.isEmpty(); }, left());
    if (!m_linkError.isEmpty())
        linkBroke();

    m_driver.name = QStringLiteral("rfc2217");
    m_driver.known = true;
    m_driver.remote = true;
    m_lines.dtr = m_dtrAtOpen;
    m_lines.rts = m_rtsAtOpen;
    m_reading.lines = m_lines;
    m_reading.taken = std::chrono::steady_clock::now();
    m_watchStart = m_reading;
    m_state = State::Open;
    m_lastHeard.start();
    m_lastPing.start();
    m_check.start();
    if (!told) {
        Q_EMIT noticed(tr("%1 did not tell its lines within %2 s of being asked; they show low until it tells a "
                          "change.")
                           .arg(where, seconds(m_agreeTimeout)));
    }
}

bool Rfc2217Port::waitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    if (done())
        return true;
    QTcpSocket *socket = m_socket.get();
    // User input waits, so no click can reach a half-open port; the window
    // still paints, and the socket and timers run. Whatever closes the port
    // meanwhile (the service ending) ends the wait.
    const auto over = [&] { return m_state == State::Closed || done(); };
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto look = [&] {
        if (over())
            loop.quit();
    };
    connect(socket, &QTcpSocket::connected, &loop, look);
    connect(socket, &QTcpSocket::readyRead, &loop, look);
    connect(socket, &QTcpSocket::disconnected, &loop, look);
    connect(socket, &QTcpSocket::errorOccurred, &loop, look);
    timer.start(timeout);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (m_state == State::Closed)
        throw PhoneHomeError(ErrorCode::OpenFailed,
                             tr("Cannot open %1: it was closed while being opened.").arg(device()));
    // Ended neither by the wait nor by its time: the program is quitting,
    // which ends every event loop. Not the server's fault, so not told as one.
    if (!done() && timer.isActive())
        refuseOpen(ErrorCode::OpenFailed, tr("Cannot open %1: the program is ending.").arg(device()));
    return done();
}

void Rfc2217Port::send(const QByteArray &bytes)
{
    if (!bytes.isEmpty() && m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(bytes);
}

void Rfc2217Port::received()
{
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    m_lastHeard.restart();
    for (const TelnetParser::Event &event : m_parser.feed(bytes))
        handle(event);
}

void Rfc2217Port::handle(const TelnetParser::Event &event)
{
    using Kind = TelnetParser::Event::Kind;
    if (event.kind == Kind::Negotiation) {
        send(m_options.answer(event.command, event.option));
        if (m_state == State::Open && m_options.comPort() == TelnetOptions::ComPort::Refused) {
            fail(int(ErrorCode::NotRfc2217),
                 tr("Lost %1: the server withdrew the Com Port option (RFC 2217), so it no longer tells the lines. "
                    "Open the port again.")
                     .arg(device()));
        }
        return;
    }
    if (event.kind != Kind::SubNegotiation || event.option != Telnet::kComPort)
        return;
    const Rfc2217::Reply reply = Rfc2217::readReply(event.payload);
    switch (reply.kind) {
    case Rfc2217::Reply::Kind::Signature:
        if (reply.text.isEmpty())
            send(Rfc2217::request(Rfc2217::Signature, QByteArrayLiteral("rs232-phone-home " PHONE_HOME_VERSION)));
        else
            m_driver.signature = printable(reply.text, kMaxSignature);
        break;
    case Rfc2217::Reply::Kind::ControlSet:
        handleControlAnswer(reply.value);
        break;
    case Rfc2217::Reply::Kind::Modemstate:
        handleModemstate(reply.value);
        break;
    default:
        break;
    }
}

void Rfc2217Port::handleModemstate(quint8 value)
{
    using namespace Rfc2217;
    // A snapshot (every notification while opening, and the first after a
    // mask) may carry delta bits from before: only its levels count.
    const bool snapshot = m_state != State::Open || m_notifications == 0;
    ++m_notifications;
    struct Input {
        bool *level;
        quint8 bit;
        quint8 delta;
        quint32 *edges;
    };
    const Input inputs[] = {
        {&m_lines.cts, Cts, DeltaCts, &m_reading.edges[0]},
        {&m_lines.dsr, Dsr, DeltaDsr, &m_reading.edges[1]},
        {&m_lines.dcd, Dcd, DeltaDcd, &m_reading.edges[2]},
        {&m_lines.ri, Ri, RingTrailingEdge, &m_reading.ringEdges},
    };
    bool moved = false;
    for (const Input &input : inputs) {
        const bool level = value & input.bit;
        if (level != *input.level) {
            *input.edges += 1;
            moved = true;
        } else if (!snapshot && (value & input.delta)) {
            // The line came and went between two of the server's readings.
            *input.edges += 2;
            moved = true;
        }
        *input.level = level;
    }
    m_reading.lines = m_lines;
    m_reading.taken = std::chrono::steady_clock::now();
    if (m_state == State::Open && moved)
        Q_EMIT linesWatched(m_reading);
}

bool Rfc2217Port::readCounters(LineReading *reading)
{
    if (m_state != State::Open)
        return false;
    reading->edges = m_reading.edges;
    reading->ringEdges = m_reading.ringEdges;
    return true;
}

void Rfc2217Port::sendControl(bool dtr, bool high)
{
    using namespace Rfc2217;
    send(setControl(dtr ? (high ? DtrOn : DtrOff) : (high ? RtsOn : RtsOff)));
    Pending &pending = m_pending[dtr ? 0 : 1];
    pending.high = high;
    ++pending.outstanding;
    pending.sent = 1;
    pending.since.start();
}

void Rfc2217Port::handleControlAnswer(quint8 value)
{
    using namespace Rfc2217;
    // Answers to other SET-CONTROL values (flow control, break) are not ours.
    if (value != DtrOn && value != DtrOff && value != RtsOn && value != RtsOff)
        return;
    const bool dtr = value == DtrOn || value == DtrOff;
    const bool high = value == DtrOn || value == RtsOn;
    Pending &pending = m_pending[dtr ? 0 : 1];
    bool &level = dtr ? m_lines.dtr : m_lines.rts;
    if (pending.outstanding == 0) {
        // Unasked: another client or the server changed it. The next tick
        // puts it back as the panel wants it.
        level = high;
        Q_EMIT outputsSet(m_lines.dtr, m_lines.rts);
        return;
    }
    if (--pending.outstanding > 0)
        return; // an answer to an earlier request
    if (high == pending.high)
        return;
    const QString line = dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
    const QString text = pending.high
        ? tr("the server did not raise %1: its answer says %1 is low. Check that the server's port does not use "
             "%1 for flow control or hold it by its settings.")
              .arg(line)
        : tr("the server did not lower %1: its answer says %1 is high. Check that the server's port does not use "
             "%1 for flow control or hold it by its settings.")
              .arg(line);
    level = high;
    if (m_state == State::Open)
        fail(int(ErrorCode::DeviceFailed), tr("Lost %1: %2").arg(device(), text));
    else
        m_refusal = text;
}

void Rfc2217Port::setDtrEnable(bool high)
{
    if (m_state != State::Open)
        throw PhoneHomeError(ErrorCode::DeviceFailed, tr("Cannot set DTR: %1 is not open.").arg(device()));
    sendControl(true, high);
    m_lines.dtr = high;
    Q_EMIT outputsSet(m_lines.dtr, m_lines.rts);
}

void Rfc2217Port::setRtsEnable(bool high)
{
    if (m_state != State::Open)
        throw PhoneHomeError(ErrorCode::DeviceFailed, tr("Cannot set RTS: %1 is not open.").arg(device()));
    sendControl(false, high);
    m_lines.rts = high;
    Q_EMIT outputsSet(m_lines.dtr, m_lines.rts);
}

void Rfc2217Port::check()
{
    if (m_state != State::Open || m_failing)
        return;
    for (int i = 0; i < 2; ++i) {
        Pending &pending = m_pending[i];
        if (pending.outstanding == 0 || pending.since.elapsed() < kAnswerTimeout.count())
            continue;
        const QString line = i == 0 ? QStringLiteral("DTR") : QStringLiteral("RTS");
        if (pending.sent >= kControlSends) {
            fail(int(ErrorCode::DeviceFailed),
                 tr("Lost %1: the server did not answer %2 requests to set %3 (as RFC 2217 asks). Check the "
                    "server's log, then open the port again.")
                     .arg(device())
                     .arg(pending.sent)
                     .arg(line));
            return;
        }
        // Sent again: an answer may have been lost, as ser2net loses one that
        // meets another request.
        using namespace Rfc2217;
        send(setControl(i == 0 ? (pending.high ? DtrOn : DtrOff) : (pending.high ? RtsOn : RtsOff)));
        pending.outstanding = 1;
        ++pending.sent;
        pending.since.start();
    }
    if (m_lastHeard.elapsed() > m_silenceLimit.count()) {
        fail(int(ErrorCode::DeviceFailed),
             tr("Lost %1: the server has not answered for %2 s, though asked for its signature every %3 s. The "
                "server, its machine or the network between has stopped; check them. The port is opened again "
                "once the server answers.")
                 .arg(device(), seconds(m_silenceLimit), seconds(m_pingInterval)));
        return;
    }
    if (m_lastPing.elapsed() >= m_pingInterval.count()) {
        send(Rfc2217::request(Rfc2217::Signature));
        m_lastPing.restart();
    }
}

void Rfc2217Port::linkEnded(const QString &why)
{
    if (m_state == State::Closed)
        return;
    const QString reason = why.isEmpty() ? tr("the connection was closed") : why;
    if (m_state != State::Open) {
        if (m_linkError.isEmpty())
            m_linkError = reason;
        return;
    }
    fail(int(ErrorCode::DeviceFailed),
         tr("Lost %1: %2. ser2net ends a connection when it stops or restarts, or when another client takes the "
            "port (kickolduser). The port is opened again once the server answers.")
             .arg(device(), reason));
}

void Rfc2217Port::fail(int number, const QString &text)
{
    if (m_state != State::Open || m_failing)
        return;
    m_failing = true;
    m_check.stop();
    // Told from the event loop: the socket that found it is still inside its
    // own signal, and whoever hears of it closes this port.
    const unsigned generation = m_generation;
    QTimer::singleShot(0, this, [this, generation, number, text] {
        if (generation == m_generation && m_state == State::Open)
            Q_EMIT watchFailed(number, text);
    });
}

void Rfc2217Port::close() noexcept
{
    m_check.stop();
    ++m_generation;
    const State was = std::exchange(m_state, State::Closed);
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    // Lower the outputs ourselves: not every server drops them as the
    // connection ends (ser2net does, as it closes its device).
    if (was == State::Open && m_socket->state() == QAbstractSocket::ConnectedState && !m_failing) {
        m_socket->write(Rfc2217::setControl(Rfc2217::DtrOff) + Rfc2217::setControl(Rfc2217::RtsOff));
        m_socket->flush();
    }
    m_socket->abort();
    // Deleted later: a close may come from inside one of its signals.
    delete m_closing.data();
    m_closing = m_socket.release();
    m_closing->deleteLater();
    m_lines.dtr = false;
    m_lines.rts = false;
}
