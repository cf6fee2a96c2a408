// SPDX-License-Identifier: MIT
#pragma once

// The byte stream of a port on another machine (RFC 2217, the Telnet Com Port
// Control Option), without the network: TelnetParser cuts what arrives into
// negotiations and sub-negotiations however TCP splits it, TelnetOptions
// decides the answers (COM-PORT-OPTION, BINARY and SUPPRESS-GO-AHEAD agreed,
// every other option refused), and Rfc2217 reads the server's sub-negotiations
// and writes the client's requests. Rfc2217Port puts them on a socket.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <array>

namespace Telnet {
constexpr char kIac = char(255);
constexpr quint8 IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr quint8 kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
}

class TelnetParser
{
public:
    struct Event {
        enum class Kind { Negotiation, SubNegotiation, Command };
        Kind kind = Kind::Command;
        quint8 command = 0; // WILL, WONT, DO, DONT, or a command such as NOP
        quint8 option = 0;
        QByteArray payload; // a sub-negotiation's bytes after the option, IACs undoubled
        bool operator==(const Event &o) const
        {
            return kind == o.kind && command == o.command && option == o.option && payload == o.payload;
        }
    };

    // Longer sub-negotiations are cut here and marked truncated: a server's
    // signature is a line of text, and nothing the client reads is longer.
    static constexpr int kMaxSubNegotiation = 256;

    // Every complete event in bytes, in order; a piece cut off at the end is
    // kept for the next call.
    QList<Event> feed(QByteArrayView bytes);
    // Data bytes seen outside telnet commands (the serial line's own data,
    // which this program does not use), the last few kept for error texts.
    qint64 dataBytes() const { return m_dataBytes; }
    QByteArray recentData() const { return m_recentData; }
    // Sub-negotiations longer than kMaxSubNegotiation so far.
    int truncated() const { return m_truncated; }
    // Whether any telnet command arrived at all (a raw TCP port sends none).
    bool sawTelnet() const { return m_sawTelnet; }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    State m_state = State::Data;
    quint8 m_command = 0;
    QByteArray m_sub;
    bool m_subTooLong = false;
    qint64 m_dataBytes = 0;
    QByteArray m_recentData;
    int m_truncated = 0;
    bool m_sawTelnet = false;
};

// RFC 1143's rule in small: an option is answered only when its state
// changes, so two sides never loop.
class TelnetOptions
{
public:
    enum class ComPort { Pending, Agreed, Refused };

    // What the client says first: it will do COM-PORT-OPTION, and would use
    // BINARY and SUPPRESS-GO-AHEAD both ways.
    QByteArray opening();
    // The reply to a WILL, WONT, DO or DONT from the server (often nothing).
    QByteArray answer(quint8 command, quint8 option);
    ComPort comPort() const { return m_comPort; }

private:
    static bool wantedHere(quint8 option);
    static bool wantedThere(quint8 option);
    // Per option: enabled on our side (WILL agreed), on theirs (DO agreed), and
    // asked for by us with no answer yet.
    std::array<bool, 256> m_us{};
    std::array<bool, 256> m_them{};
    std::array<bool, 256> m_askedWill{};
    std::array<bool, 256> m_askedDo{};
    ComPort m_comPort = ComPort::Pending;
};

namespace Rfc2217 {
// Client to server; the server answers with the same number plus 100.
enum Command : quint8 {
    Signature = 0,
    SetControl = 5,
    NotifyLinestate = 6,
    NotifyModemstate = 7,
    SetLinestateMask = 10,
    SetModemstateMask = 11,
};
constexpr quint8 kServerOffset = 100;

// SET-CONTROL values for the two outputs.
enum Control : quint8 { DtrOn = 8, DtrOff = 9, RtsOn = 11, RtsOff = 12 };

// Modem state bits: each input's level, and the deltas since the last
// notification (for RI, its trailing edge).
enum Modem : quint8 {
    DeltaCts = 0x01,
    DeltaDsr = 0x02,
    RingTrailingEdge = 0x04,
    DeltaDcd = 0x08,
    Cts = 0x10,
    Dsr = 0x20,
    Ri = 0x40,
    Dcd = 0x80,
};
constexpr quint8 kAllModemBits = 0xff;

// A request from the client: IAC SB COM-PORT-OPTION command value IAC SE,
// with a 255 in value doubled.
QByteArray request(Command command, QByteArrayView value = {});
QByteArray setControl(Control control);

// What a server's sub-negotiation of COM-PORT-OPTION says.
struct Reply {
    enum class Kind {
        Signature,  // text: the server's name (empty: it asks for ours)
        ControlSet, // value: the SET-CONTROL state it now holds
        Modemstate, // value: NOTIFY-MODEMSTATE
        MaskSet,    // value: the modem state mask it took
        Other,      // linestate, flow control, the serial settings: not used here
        Malformed,  // a known command without its value, or a client's command number
    };
    Kind kind = Kind::Other;
    quint8 value = 0;
    QByteArray text;
};
Reply readReply(QByteArrayView payload);
}
