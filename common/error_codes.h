// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <exception>
#include <utility>

// Every failure the operator can see carries one of these numbers. They are
// stable: the troubleshooting guide's table lists them, so never renumber.
enum class ErrorCode {
    // Reading the port number typed into the port box
    Overflow = 100,
    // The serial port
    InvalidPortNumber = 201,
    NoSuchDevice = 202,
    PermissionDenied = 203,
    DeviceBusy = 204,
    PortAlreadyOpen = 205,
    DeviceFailed = 206,
    OpenFailed = 207,
    NoUart = 208,
    LineNotReported = 209,
    // A port on another machine (rfc2217://HOST:PORT)
    HostUnreachable = 210,
    NotRfc2217 = 211,
    // Notification scripts
    ScriptMissing = 301,
    ScriptHostFailed = 302,
    ScriptFailed = 303,
    ScriptRefused = 304,
    ScriptGaveUp = 305,
};

// A refusal with the number and text the operator is shown. It travels only
// inside our own code: reportRefusal() turns it into a report before it could
// reach a slot's caller.
class PhoneHomeError : public std::exception
{
public:
    PhoneHomeError(ErrorCode code, QString text)
        : m_code(code)
        , m_text(std::move(text))
        , m_what(m_text.toUtf8())
    {
    }

    ErrorCode code() const noexcept { return m_code; }
    int number() const noexcept { return int(m_code); }
    const QString &text() const noexcept { return m_text; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    ErrorCode m_code;
    QString m_text;
    QByteArray m_what;
};

// Runs one step of a handler; a refusal is handed to report(number, text)
// instead of leaving the handler. Returns whether the step went through.
template<typename Step, typename Report>
bool reportRefusal(Step &&step, Report &&report)
{
    try {
        step();
        return true;
    } catch (const PhoneHomeError &e) {
        report(e.number(), e.text());
    }
    return false;
}
