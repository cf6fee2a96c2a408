// SPDX-License-Identifier: MIT
#pragma once

// Why a TLS connection to the MQTT broker fails, in words. libmosquitto says
// only "TLS error"; on one, the network thread makes a short handshake of its
// own with OpenSSL, checked as libmosquitto checks (the same CA file or the
// system's CAs, the same host name), and reads OpenSSL's verdict.

#include <QByteArray>
#include <QString>

#include <chrono>

namespace TlsCheck {
// The system's CAs, where libmosquitto is told to look without --mqtt-ca.
inline constexpr char kSystemCaPath[] = "/etc/ssl/certs";

// What went wrong with host:port under TLS, as a sentence that names the
// broker (as `broker`) and the CA file; empty if the handshake works or the
// broker cannot be reached at all (the caller has its own words for that).
// Blocks for at most about `timeout` once the name is looked up.
QString whyRefused(const QByteArray &host, int port, const QString &caFile, const QString &broker,
                   std::chrono::milliseconds timeout);
}
