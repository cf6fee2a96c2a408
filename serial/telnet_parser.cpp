// SPDX-License-Identifier: MIT
#include "telnet_parser.h"

namespace {
QByteArray bytesOf(std::initializer_list<quint8> values)
{
    QByteArray out;
    for (const quint8 value : values)
        out.append(char(value));
    return out;
}

// Enough of the data before a close to quote what a server said ("Port
// already in use").
constexpr int kRecentData = 120;
}

QList<TelnetParser::Event> TelnetParser::feed(QByteArrayView bytes)
{
    using namespace Telnet;
    QList<Event> events;
    const auto data = [this](char byte) {
        ++m_dataBytes;
        m_recentData.append(byte);
        if (m_recentData.size() > kRecentData)
            m_recentData.remove(0, m_recentData.size() - kRecentData);
    };
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = quint8(bytes[i]);
        switch (m_state) {
        case State::Data:
            if (byte == IAC)
                m_state = State::Iac;
            else
                data(char(byte));
            break;
        case State::Iac:
            m_state = State::Data;
            if (byte == IAC) {
                data(char(byte));
            } else if (byte >= WILL && byte <= DONT) {
                m_command = byte;
                m_state = State::Option;
            } else if (byte == SB) {
                m_sub.clear();
                m_subTooLong = false;
                m_state = State::Sub;
            } else if (byte != SE) {
                m_sawTelnet = true;
                events.append({Event::Kind::Command, byte, 0, {}});
            }
            break;
        case State::Option:
            m_sawTelnet = true;
            events.append({Event::Kind::Negotiation, m_command, byte, {}});
            m_state = State::Data;
            break;
        case State::Sub:
            if (byte == IAC) {
                m_state = State::SubIac;
            } else if (m_sub.size() <= kMaxSubNegotiation) {
                m_sub.append(char(byte));
            } else {
                m_subTooLong = true;
            }
            break;
        case State::SubIac:
            if (byte == IAC) {
                if (m_sub.size() <= kMaxSubNegotiation)
                    m_sub.append(char(IAC));
                else
                    m_subTooLong = true;
                m_state = State::Sub;
            } else if (byte == SE) {
                m_state = State::Data;
                m_sawTelnet = true;
                if (m_subTooLong)
                    ++m_truncated;
                if (!m_sub.isEmpty())
                    events.append({Event::Kind::SubNegotiation, 0, quint8(m_sub[0]), m_sub.mid(1)});
            } else {
                // IAC and anything but IAC or SE ends a broken sub-negotiation:
                // it is dropped, and the command after IAC read as such.
                m_state = State::Iac;
                --i;
            }
            break;
        }
    }
    return events;
}

bool TelnetOptions::wantedHere(quint8 option)
{
    return option == Telnet::kComPort || option == Telnet::kBinary || option == Telnet::kSuppressGoAhead;
}

// The server's COM-PORT-OPTION would make it a client of ours: not wanted.
bool TelnetOptions::wantedThere(quint8 option)
{
    return option == Telnet::kBinary || option == Telnet::kSuppressGoAhead;
}

QByteArray TelnetOptions::opening()
{
    using namespace Telnet;
    QByteArray out;
    for (const quint8 option : {kComPort, kBinary, kSuppressGoAhead}) {
        m_askedWill[option] = true;
        out += bytesOf({IAC, WILL, option});
    }
    for (const quint8 option : {kBinary, kSuppressGoAhead}) {
        m_askedDo[option] = true;
        out += bytesOf({IAC, DO, option});
    }
    return out;
}

QByteArray TelnetOptions::answer(quint8 command, quint8 option)
{
    using namespace Telnet;
    const auto say = [](quint8 what, quint8 opt) { return bytesOf({IAC, what, opt}); };
    QByteArray out;
    switch (command) {
    case DO:
        if (wantedHere(option)) {
            if (!m_us[option] && !m_askedWill[option])
                out = say(WILL, option);
            m_us[option] = true;
            m_askedWill[option] = false;
            if (option == kComPort)
                m_comPort = ComPort::Agreed;
        } else {
            out = say(WONT, option);
        }
        break;
    case DONT:
        if (m_us[option])
            out = say(WONT, option);
        m_us[option] = false;
        m_askedWill[option] = false;
        if (option == kComPort)
            m_comPort = ComPort::Refused;
        break;
    case WILL:
        if (wantedThere(option)) {
            if (!m_them[option] && !m_askedDo[option])
                out = say(DO, option);
            m_them[option] = true;
            m_askedDo[option] = false;
        } else {
            out = say(DONT, option);
        }
        break;
    case WONT:
        if (m_them[option])
            out = say(DONT, option);
        m_them[option] = false;
        m_askedDo[option] = false;
        break;
    default:
        break;
    }
    return out;
}

namespace Rfc2217 {

QByteArray request(Command command, QByteArrayView value)
{
    using namespace Telnet;
    QByteArray out = bytesOf({IAC, SB, kComPort, command});
    for (const char byte : value) {
        out.append(byte);
        if (byte == kIac)
            out.append(kIac);
    }
    out += bytesOf({IAC, SE});
    return out;
}

QByteArray setControl(Control control)
{
    const char value = char(control);
    return request(SetControl, QByteArrayView(&value, 1));
}

Reply readReply(QByteArrayView payload)
{
    Reply reply;
    if (payload.isEmpty() || quint8(payload[0]) < kServerOffset) {
        reply.kind = Reply::Kind::Malformed;
        return reply;
    }
    const int command = quint8(payload[0]) - kServerOffset;
    const QByteArrayView rest = payload.sliced(1);
    if (command == Signature) {
        reply.kind = Reply::Kind::Signature;
        reply.text = rest.toByteArray();
        return reply;
    }
    const bool valued = command == SetControl || command == NotifyModemstate || command == SetModemstateMask;
    if (!valued)
        return reply;
    if (rest.isEmpty()) {
        reply.kind = Reply::Kind::Malformed;
        return reply;
    }
    reply.value = quint8(rest[0]);
    reply.kind = command == SetControl ? Reply::Kind::ControlSet
        : command == NotifyModemstate  ? Reply::Kind::Modemstate
                                       : Reply::Kind::MaskSet;
    return reply;
}

}
