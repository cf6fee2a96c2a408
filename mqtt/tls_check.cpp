// SPDX-License-Identifier: MIT
#include "tls_check.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {
template<typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *p) const { Free(p); }
};
using Context = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using Session = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;

struct Socket {
    int fd = -1;
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A TCP connection within the timeout, then blocking with that timeout for
// the handshake; -1 if none of the host's addresses takes it.
int connectWithin(const QByteArray &host, int port, std::chrono::milliseconds timeout)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        bool up = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
        if (!up && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            up = ::poll(&p, 1, int(timeout.count())) == 1
                && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        if (!up) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        const int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        timeval limit{};
        limit.tv_sec = timeout.count() / 1000;
        limit.tv_usec = (timeout.count() % 1000) * 1000;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    return fd;
}

QString name(const X509_NAME *n)
{
    char buffer[256];
    X509_NAME_oneline(n, buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

// The names a certificate is for: its DNS and IP subject alternative names,
// else its common name.
QStringList namesOf(X509 *cert)
{
    QStringList names;
    auto *alternatives = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME *g = sk_GENERAL_NAME_value(alternatives, i);
        if (g->type == GEN_DNS) {
            names.append(QString::fromUtf8(reinterpret_cast<const char *>(ASN1_STRING_get0_data(g->d.dNSName)),
                                           ASN1_STRING_length(g->d.dNSName)));
        } else if (g->type == GEN_IPADD) {
            char text[INET6_ADDRSTRLEN] = {};
            const int length = ASN1_STRING_length(g->d.iPAddress);
            if (inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(g->d.iPAddress), text, sizeof text))
                names.append(QString::fromLatin1(text));
        }
    }
    GENERAL_NAMES_free(alternatives);
    if (names.isEmpty()) {
        char common[256] = {};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, common, sizeof common) > 0)
            names.append(QString::fromUtf8(common));
    }
    return names;
}

QString when(const ASN1_TIME *time)
{
    tm t{};
    if (!ASN1_TIME_to_tm(time, &t))
        return QStringLiteral("an unreadable date");
    const QDateTime utc(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec),
                        Qt::UTC);
    return utc.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

bool isAddress(const QByteArray &host)
{
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.constData(), buffer) == 1 || inet_pton(AF_INET6, host.constData(), buffer) == 1;
}
}

QString TlsCheck::whyRefused(const QByteArray &host, int port, const QString &caFile, const QString &broker,
                             std::chrono::milliseconds timeout)
{
    const QString cas = caFile.isEmpty() ? QStringLiteral("the system's CAs (%1)").arg(QLatin1String(kSystemCaPath))
                                         : QStringLiteral("the CA file \"%1\"").arg(caFile);
    Socket socket;
    socket.fd = connectWithin(host, port, timeout);
    if (socket.fd < 0)
        return {};
    const Context context(SSL_CTX_new(TLS_client_method()));
    if (!context)
        return {};
    const QByteArray ca = QFile::encodeName(caFile);
    if (SSL_CTX_load_verify_locations(context.get(), caFile.isEmpty() ? nullptr : ca.constData(),
                                      caFile.isEmpty() ? kSystemCaPath : nullptr)
        != 1) {
        ERR_clear_error();
        return QStringLiteral("cannot use %1 to check the MQTT broker %2's certificate: OpenSSL finds no certificate "
                              "in it; give a PEM file with --mqtt-ca")
            .arg(cas, broker);
    }
    // The handshake goes to its end whatever the certificate; the verdict is
    // read afterwards.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    const Session ssl(SSL_new(context.get()));
    if (!ssl)
        return {};
    SSL_set_fd(ssl.get(), socket.fd);
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl.get());
    if (isAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.constData());
    } else {
        SSL_set_tlsext_host_name(ssl.get(), host.constData());
        X509_VERIFY_PARAM_set1_host(param, host.constData(), 0);
    }
    ERR_clear_error();
    const int result = SSL_connect(ssl.get());
    const Certificate cert(SSL_get1_peer_certificate(ssl.get()));
    // A certificate refused says more than the handshake that failed on it.
    const long verdict = cert ? SSL_get_verify_result(ssl.get()) : X509_V_OK;
    if (verdict == X509_V_OK) {
        if (result == 1)
            return {};
        const int error = SSL_get_error(ssl.get(), result);
        const unsigned long code = ERR_get_error();
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && code == 0)
            || ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            return QStringLiteral("the MQTT broker %1 closed the connection during the TLS handshake; check that %2 is "
                                  "the broker's TLS port (plain MQTT is mqtt://)")
                .arg(broker)
                .arg(port);
        char text[256] = {};
        ERR_error_string_n(code, text, sizeof text);
        return QStringLiteral("the MQTT broker %1 refused the TLS handshake (%2); check the broker's TLS settings")
            .arg(broker, code ? QString::fromUtf8(text) : QStringLiteral("no reason given"));
    }
    ERR_clear_error();
    const QString reason = QString::fromUtf8(X509_verify_cert_error_string(verdict));
    switch (verdict) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("the MQTT broker %1 sent a certificate for %2, not %3; use a name the certificate holds "
                              "in --mqtt, or have the broker's certificate issued for %3 (checked with %4)")
            .arg(broker, namesOf(cert.get()).join(QStringLiteral(", ")), QString::fromUtf8(host), cas);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("the MQTT broker %1 sent a certificate that expired on %2; renew it on the broker "
                              "(checked with %3)")
            .arg(broker, when(X509_get0_notAfter(cert.get())), cas);
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("the MQTT broker %1 sent a certificate that is valid only from %2; check the clocks of "
                              "this machine and the broker (checked with %3)")
            .arg(broker, when(X509_get0_notBefore(cert.get())), cas);
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return QStringLiteral("the MQTT broker %1 sent a certificate that is not trusted: no CA in %2 signed it "
                              "(issuer %3: %4); give the CA that signed the broker's certificate with --mqtt-ca")
            .arg(broker, cas, name(X509_get_issuer_name(cert.get())), reason);
    default:
        return QStringLiteral("the MQTT broker %1 sent a certificate that was refused: %2 (checked with %3)")
            .arg(broker, reason, cas);
    }
}
