// SPDX-License-Identifier: MIT
#pragma once

// The serial component on a port of another machine, reached over TCP as
// RFC 2217 (the Telnet Com Port Control Option) asks: ser2net on a Raspberry
// Pi, or a device server. Opening connects, agrees the option, sets DTR and
// RTS as wanted (each answer checked) and takes the server's first
// NOTIFY-MODEMSTATE as the present lines. From then on every notification is
// a reading (linesWatched), and a delta bit whose line kept its level is a
// pulse (two edges). A closed or reset link, and a server silent past
// kSilenceLimit although asked for its signature every kPingInterval, end
// the watch (watchFailed) as an unplugged device does.
//
// The serial line's speed and format are the server's affair: nothing here
// changes them.

#include "serial_port.h"
#include "telnet_parser.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class QTcpSocket;

class Rfc2217Port : public SerialPort
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kConnectTimeout{3000};
    // For the option, the outputs' answers and the first notification, all
    // together: an open blocks no longer than these two (the service's
    // watchdog allows 10 s).
    static constexpr std::chrono::milliseconds kAgreeTimeout{3000};
    static constexpr std::chrono::milliseconds kPingInterval{5000};
    static constexpr std::chrono::milliseconds kSilenceLimit{15000};
    // A SET-CONTROL not answered in this time is sent again, once.
    static constexpr std::chrono::milliseconds kAnswerTimeout{2000};

    struct Address {
        QString host;
        quint16 port = 0;
        // rfc2217://HOST:PORT, an IPv6 address in brackets.
        QString toString() const;
    };
    // Whether text names a port on another machine, well formed or not.
    static bool isAddress(const QString &text);
    // The address text names, or why it cannot be one (empty when it can).
    static QString parseAddress(const QString &text, Address *address);

    explicit Rfc2217Port(QObject *parent = nullptr);
    ~Rfc2217Port() override;

    // Tests shorten the waits.
    void setTimeouts(std::chrono::milliseconds agree, std::chrono::milliseconds ping,
                     std::chrono::milliseconds silence);

    // A port number means nothing here: the number is kept, and an open
    // without an address is refused.
    void setCommPort(int port) override;
    int commPort() const override { return m_commPort; }
    void setDevicePath(const QString &path) override;
    QString device() const override { return m_address.toString(); }
    void setOutputsAtOpen(bool dtr, bool rts) override
    {
        m_dtrAtOpen = dtr;
        m_rtsAtOpen = rts;
    }
    void setPortOpen(bool open) override;
    bool portOpen() const override { return m_state == State::Open; }
    // The lines as the server last told them: no request goes out.
    LineState readLines() override { return m_lines; }
    bool ctsHolding() override { return m_lines.cts; }
    bool dsrHolding() override { return m_lines.dsr; }
    bool cdHolding() override { return m_lines.dcd; }
    void setDtrEnable(bool high) override;
    void setRtsEnable(bool high) override;
    AdapterDriver driver() const override { return m_driver; }
    LineWatch lineWatch() const override { return portOpen() ? LineWatch::Server : LineWatch::Poll; }
    LineReading watchStart() const override { return m_watchStart; }

    // The edges counted from the notifications so far.
    bool readCounters(LineReading *reading) override;

private:
    enum class State { Closed, Connecting, Agreeing, Open };
    // One output's SET-CONTROL: the level last asked for, the requests not
    // yet answered, and how often the last was sent.
    struct Pending {
        bool high = false;
        int outstanding = 0;
        int sent = 0;
        QElapsedTimer since;
    };

    void received();
    void handle(const TelnetParser::Event &event);
    void handleModemstate(quint8 value);
    void handleControlAnswer(quint8 value);
    void check();
    void linkEnded(const QString &why);
    void fail(int number, const QString &text);
    void send(const QByteArray &bytes);
    void sendControl(bool dtr, bool high);
    // Runs the event loop (user input left waiting) until done() or the
    // timeout; false on the timeout.
    bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);
    [[noreturn]] void refuseOpen(ErrorCode code, const QString &text);
    QString quotedServerText() const;
    void close() noexcept;

    std::unique_ptr<QTcpSocket> m_socket;
    // The last connection's socket, until the event loop deletes it.
    QPointer<QTcpSocket> m_closing;
    State m_state = State::Closed;
    Address m_address;
    QString m_addressProblem;
    int m_commPort = 1;
    bool m_dtrAtOpen = false;
    bool m_rtsAtOpen = false;
    TelnetParser m_parser;
    TelnetOptions m_options;
    LineState m_lines;
    // Edges per input (fire, flood, intrusion, and RI), counted from the
    // notifications.
    LineReading m_reading;
    LineReading m_watchStart;
    AdapterDriver m_driver;
    Pending m_pending[2]; // DTR, RTS
    // Notifications since the last SET-MODEMSTATE-MASK: the first is a
    // snapshot whose delta bits may be stale.
    int m_notifications = 0;
    // Why the link ended or a request was refused while opening.
    QString m_linkError;
    QString m_refusal;
    bool m_failing = false;
    QElapsedTimer m_lastHeard;
    QElapsedTimer m_lastPing;
    QTimer m_check;
    std::chrono::milliseconds m_agreeTimeout = kAgreeTimeout;
    std::chrono::milliseconds m_pingInterval = kPingInterval;
    std::chrono::milliseconds m_silenceLimit = kSilenceLimit;
    // Failures found inside a socket's signal are told from the event loop.
    unsigned m_generation = 0;
};
