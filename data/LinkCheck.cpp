// The check runs its own PRELOGIN exchange and TLS handshake rather than
// reading the driver's error, which says only that the login failed. It
// stops as soon as the server's certificate has arrived, verifies it apart
// from the handshake (trust first, then the name), and closes: the server
// sees a handshake broken off, which ends that connection only.
#include "data/LinkCheck.h"

#include "data/ConnectionSettings.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <QStringList>

#include "platform/Net.h"
#include "wire/Link.h"
#include "wire/OpenSsl.h"
#include "wire/PreLogin.h"
#include "wire/TlsClient.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace
{

namespace net = lectora::net;
namespace wire = lectora::wire;
using Clock = wire::Link::Clock;
using Bio = wire::openssl::Bio;
using Store = wire::openssl::Store;
using StoreContext = wire::openssl::StoreContext;

// A link to the server the settings name, open until `timeoutMs` from now.
wire::Link openLink(const ConnectionSettings& s, int timeoutMs)
{
    return wire::Link(s.host.toStdString(), s.port,
                      Clock::now() + std::chrono::milliseconds(timeoutMs));
}

// The server's answer to a PRELOGIN asking for the whole session encrypted
// (`whole`) or the login only: the ENCRYPTION it offers, nullopt when it
// sent nothing that reads as a PRELOGIN answer.
std::optional<std::uint8_t> offeredEncryption(wire::Link& link, bool whole)
{
    const std::string request = wire::preLoginRequest(whole ? wire::EncryptOn : wire::EncryptOff);
    if (!link.send(wire::framePackets(wire::PacketType::PreLogin, request, 0)))
        return std::nullopt;
    const std::optional<wire::ReceivedMessage> answer = link.receive();
    if (!answer)
        return std::nullopt;
    try {
        return wire::encryptionOf(answer->payload, wire::readPreLogin(answer->payload));
    } catch (const wire::ProtocolError&) {
        return std::nullopt;
    }
}

bool isIpAddress(const QString& host)
{
    return net::isIpAddress(host.toStdString());
}

QString distinguishedName(const X509_NAME* name)
{
    Bio text(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(text.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(text.get(), &data);
    return QString::fromUtf8(data, n);
}

// The names a certificate is issued to: its alternative names, else its common name.
QStringList certificateNames(X509* certificate)
{
    QStringList names;
    auto* alt = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(alt); ++i) {
        const GENERAL_NAME* n = sk_GENERAL_NAME_value(alt, i);
        if (n->type == GEN_DNS) {
            names << QString::fromUtf8(
                reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.dNSName)),
                ASN1_STRING_length(n->d.dNSName));
        } else if (n->type == GEN_IPADD) {
            names << QString::fromStdString(
                net::addressText(ASN1_STRING_get0_data(n->d.iPAddress),
                                 std::size_t(ASN1_STRING_length(n->d.iPAddress))));
        }
    }
    GENERAL_NAMES_free(alt);
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int cn = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (names.isEmpty() && cn >= 0) {
        unsigned char* utf8 = nullptr;
        const int n =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, cn)));
        if (n >= 0)
            names << QString::fromUtf8(reinterpret_cast<const char*>(utf8), n);
        OPENSSL_free(utf8);
    }
    return names;
}

bool untrusted(int error)
{
    switch (error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
        return true;
    default:
        return false;
    }
}

// The system's CAs, read once for the run: the bundle holds a hundred and
// more certificates, and every connection's first open asks about them.
X509_STORE* systemStore()
{
    static const Store store = [] {
        Store s(X509_STORE_new());
        if (s && X509_STORE_set_default_paths(s.get()) != 1)
            s.reset();
        return s;
    }();
    return store.get();
}

// What is wrong with the chain the server sent, checked against the CA
// file (or the system's CAs); empty when it is trusted.
QString trustProblem(SSL* tls, const QString& caPath)
{
    Store own;
    if (!caPath.isEmpty()) {
        own.reset(X509_STORE_new());
        if (X509_STORE_load_file(own.get(), caPath.toLocal8Bit().constData()) != 1)
            return QStringLiteral("ca_file %1 holds no certificate that can be read").arg(caPath);
    }
    X509_STORE* store = caPath.isEmpty() ? systemStore() : own.get();
    if (!store)
        return QStringLiteral("the system's trusted certificates cannot be read");
    StoreContext check(X509_STORE_CTX_new());
    X509* leaf = SSL_get0_peer_certificate(tls);
    X509_STORE_CTX_init(check.get(), store, leaf, SSL_get_peer_cert_chain(tls));
    X509_STORE_CTX_set_purpose(check.get(), X509_PURPOSE_SSL_SERVER);
    if (X509_verify_cert(check.get()) == 1)
        return {};
    const int error = X509_STORE_CTX_get_error(check.get());
    if (!untrusted(error))
        return QStringLiteral("certificate not accepted (%1)")
            .arg(QString::fromUtf8(X509_verify_cert_error_string(error)));
    X509* at = X509_STORE_CTX_get_current_cert(check.get());
    return QStringLiteral("certificate not trusted (issued by %1, %2)")
        .arg(distinguishedName(X509_get_issuer_name(at ? at : leaf)),
             caPath.isEmpty() ? QStringLiteral("which the system does not trust")
                              : QStringLiteral("not by the CA in %1").arg(caPath));
}

QString nameProblem(SSL* tls, const QString& expected)
{
    X509* leaf = SSL_get0_peer_certificate(tls);
    const QByteArray name = expected.toUtf8();
    const bool matches =
        isIpAddress(expected)
            ? X509_check_ip_asc(leaf, name.constData(), 0) == 1
            : X509_check_host(leaf, name.constData(), std::size_t(name.size()), 0, nullptr) == 1;
    if (matches)
        return {};
    const QStringList names = certificateNames(leaf);
    return QStringLiteral("certificate is for %1, not %2")
        .arg(names.isEmpty() ? QStringLiteral("no name") : names.join(QStringLiteral(", ")),
             expected);
}

// The handshake on `link` up to the server's certificate; empty when it
// has arrived, else what went wrong.
QString handshakeProblem(wire::TlsClient& c, wire::Link& link, const QString& host)
{
    std::string failed = c.start(host.toStdString());
    if (failed.empty())
        failed = c.handshakeToCertificate(link);
    return QString::fromStdString(failed);
}

QString expectedName(const ConnectionSettings& s)
{
    return s.security.hostInCertificate.isEmpty() ? s.host : s.security.hostInCertificate;
}

// The handshake on a link whose PRELOGIN settled on TLS, and the checks the
// settings ask of the certificate.
QString tlsProblem(wire::Link& link, const ConnectionSettings& s)
{
    wire::TlsClient c;
    if (QString failed = handshakeProblem(c, link, s.host); !failed.isEmpty())
        return failed;
    if (!s.security.verifiesServer())
        return {};
    if (QString untrustedChain = trustProblem(c.connection(), s.security.caFile);
        !untrustedChain.isEmpty())
        return untrustedChain;
    // A pinned certificate is accepted whatever names it holds.
    return s.security.pinnedCertificate ? QString() : nameProblem(c.connection(), expectedName(s));
}

QString fingerprintOf(X509* certificate)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_digest(certificate, EVP_sha256(), md, &n);
    QStringList pairs;
    for (unsigned int i = 0; i < n; ++i)
        pairs << QStringLiteral("%1").arg(md[i], 2, 16, QLatin1Char('0')).toUpper();
    return pairs.join(QLatin1Char(':'));
}

QByteArray pemOf(X509* certificate)
{
    Bio pem(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(pem.get(), certificate);
    char* data = nullptr;
    const long n = BIO_get_mem_data(pem.get(), &data);
    return QByteArray(data, int(n));
}

// The server's certificate and what the system's CAs and the name make of it.
void readCertificate(wire::Link& link, const ConnectionSettings& s, linkcheck::ServerOffer& offer)
{
    wire::TlsClient c;
    offer.handshakeProblem = handshakeProblem(c, link, s.host);
    if (!offer.handshakeProblem.isEmpty())
        return;
    X509* leaf = c.serverCertificate();
    offer.certificatePem = pemOf(leaf);
    offer.fingerprint = fingerprintOf(leaf);
    // A certificate named by its fingerprint is taken or refused by that
    // alone: the system's CAs are not asked, and not asking never reads as trust.
    offer.systemTrustProblem = s.security.certificateSha256.isEmpty()
                                   ? trustProblem(c.connection(), QString())
                                   : QStringLiteral("the system's CAs were not asked");
    offer.nameProblem = nameProblem(c.connection(), expectedName(s));
}

} // namespace

QString linkcheck::encryptionProblem(const ConnectionSettings& s, int timeoutMs)
{
    const LinkSecurity& l = s.security;
    // TLS before TDS and a site's own driver keys are not this exchange.
    if (l.encrypt == LinkEncryption::Off || l.encrypt == LinkEncryption::Strict ||
        !l.odbcString.isEmpty())
        return {};
    wire::Link link = openLink(s, timeoutMs);
    const bool whole = l.encrypt == LinkEncryption::On;
    const std::optional<std::uint8_t> offered =
        link.connected() ? offeredEncryption(link, whole) : std::nullopt;
    if (!offered)
        return {};
    if (*offered == wire::EncryptNotSupported)
        return whole ? QStringLiteral("server does not offer encryption (encrypt=on needs it)")
                     : QString();
    return tlsProblem(link, s);
}

linkcheck::ServerOffer linkcheck::probe(const ConnectionSettings& s, int timeoutMs)
{
    ServerOffer offer;
    wire::Link link = openLink(s, timeoutMs);
    const bool whole = s.security.encrypt != LinkEncryption::Login;
    if (!link.connected()) {
        offer.unreachable = QStringLiteral("nothing answers there");
        return offer;
    }
    const std::optional<std::uint8_t> offered = offeredEncryption(link, whole);
    if (!offered) {
        offer.unreachable = QStringLiteral("the server did not answer the pre-login in %1 s")
                                .arg(std::max(1, timeoutMs / 1000));
        return offer;
    }
    offer.encrypts = *offered != wire::EncryptNotSupported;
    if (offer.encrypts)
        readCertificate(link, s, offer);
    return offer;
}
