#pragma once

#include <QString>

#include <exception>

// Every failure the operator can see carries one of these numbers. They are
// stable: the README's troubleshooting table lists them, so never renumber.
namespace ErrorCode {
// Reading the port number typed into the port box
constexpr int Overflow = 100;
// The serial port
constexpr int InvalidPortNumber = 201;
constexpr int NoSuchDevice = 202;
constexpr int PermissionDenied = 203;
constexpr int DeviceBusy = 204;
constexpr int PortAlreadyOpen = 205;
constexpr int DeviceFailed = 206;
constexpr int OpenFailed = 207;
// Notification scripts
constexpr int ScriptMissing = 301;
constexpr int ScriptHostFailed = 302;
constexpr int ScriptFailed = 303;
constexpr int ScriptRefused = 304;
}

// A refusal with the number and text the operator is shown.
class PhoneHomeError : public std::exception
{
public:
    PhoneHomeError(int number, QString text)
        : m_number(number)
        , m_text(std::move(text))
        , m_what(m_text.toUtf8())
    {
    }

    int number() const noexcept { return m_number; }
    const QString &text() const noexcept { return m_text; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    int m_number;
    QString m_text;
    QByteArray m_what;
};
