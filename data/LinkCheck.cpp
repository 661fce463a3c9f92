// The check runs its own PRELOGIN exchange and TLS handshake rather than
// reading the driver's error, which says only that the login failed. It
// stops as soon as the server's certificate has arrived, verifies it apart
// from the handshake (trust first, then the name), and closes: the server
// sees a handshake broken off, which ends that connection only.
#include "data/LinkCheck.h"

#include "data/ConnectionSettings.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QStringList>

#include "platform/Net.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace
{

namespace net = lectora::net;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kPreLogin = 0x12;
constexpr std::uint8_t kEndOfMessage = 0x01;
constexpr std::uint8_t kOptionEncryption = 0x01;
constexpr std::uint8_t kOptionTerminator = 0xFF;
constexpr std::uint8_t kEncryptOff = 0x00;
constexpr std::uint8_t kEncryptOn = 0x01;
constexpr std::uint8_t kEncryptNotSupported = 0x02;
constexpr std::size_t kHeader = 8;
constexpr std::size_t kPacketSize = 4096;
constexpr int kHandshakeRounds = 8;

template <typename T, void (*Free)(T*)> struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Context = std::unique_ptr<SSL_CTX, Freer<SSL_CTX, SSL_CTX_free>>;
using Tls = std::unique_ptr<SSL, Freer<SSL, SSL_free>>;
using Store = std::unique_ptr<X509_STORE, Freer<X509_STORE, X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX, X509_STORE_CTX_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

struct Message {
    std::uint8_t type = 0;
    std::string payload;
};

// One TCP connection with a single deadline for everything done on it.
class Link
{
public:
    Link(const QString& host, int port, Clock::time_point deadline)
        : m_fd(net::connectTcp(host.toStdString(), port, deadline)), m_deadline(deadline)
    {
    }
    ~Link() { net::close(m_fd); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool connected() const { return m_fd != net::kNoSocket; }

    bool send(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const long n = net::sendNow(m_fd, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += std::size_t(n);
            else if (n < 0 && !retry(net::kWritable))
                return false;
        }
        return true;
    }

    // One whole TDS message; nullopt when the server closed, broke the
    // framing or took past the deadline.
    std::optional<Message> receive()
    {
        Message m;
        for (;;) {
            unsigned char h[kHeader];
            if (!readExactly(reinterpret_cast<char*>(h), kHeader))
                return std::nullopt;
            const std::size_t length = std::size_t(h[2]) << 8 | h[3];
            if (length < kHeader)
                return std::nullopt;
            std::string body(length - kHeader, '\0');
            if (!readExactly(body.data(), body.size()))
                return std::nullopt;
            m.type = h[0];
            m.payload += body;
            if (h[1] & kEndOfMessage)
                return m;
        }
    }

private:
    // After a failed call: waits for `events` when the call would have
    // blocked; false when the link failed or the deadline passed.
    bool retry(short events)
    {
        const int error = net::lastError();
        if (net::interrupted(error))
            return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
        return net::wouldBlock(error) && left.count() > 0 &&
               net::waitOne(m_fd, events, int(left.count()));
    }

    bool readExactly(char* out, std::size_t size)
    {
        while (size > 0) {
            const long n = net::receiveNow(m_fd, out, size);
            if (n > 0) {
                out += n;
                size -= std::size_t(n);
            } else if (n == 0 || !retry(net::kReadable)) {
                return false;
            }
        }
        return true;
    }

    net::Socket m_fd;
    Clock::time_point m_deadline;
};

// `payload` as PRELOGIN packets of the installation's packet size.
std::string preLoginPackets(const std::string& payload)
{
    std::string out;
    std::size_t at = 0;
    std::uint8_t id = 1;
    do {
        const std::size_t n = std::min(payload.size() - at, kPacketSize - kHeader);
        const std::size_t length = n + kHeader;
        const bool last = at + n == payload.size();
        out += char(kPreLogin);
        out += char(last ? kEndOfMessage : 0);
        out += char(length >> 8);
        out += char(length & 0xFF);
        out.append(2, '\0'); // the session id, none yet
        out += char(id++);
        out += '\0'; // window
        out.append(payload, at, n);
        at += n;
    } while (at < payload.size());
    return out;
}

// The option table of a client's PRELOGIN: a version and what it asks for.
std::string preLoginRequest(std::uint8_t encryption)
{
    // The version at offset 11 (6 bytes), the encryption at 17 (1 byte), the end.
    std::string payload("\x00\x00\x0B\x00\x06"
                        "\x01\x00\x11\x00\x01"
                        "\xFF",
                        11);
    payload.append(6, '\0');
    payload.push_back(char(encryption));
    return payload;
}

// The ENCRYPTION byte of the server's PRELOGIN answer.
std::optional<std::uint8_t> offeredEncryption(const std::string& answer)
{
    for (std::size_t at = 0; at + 5 <= answer.size(); at += 5) {
        const auto* o = reinterpret_cast<const unsigned char*>(answer.data() + at);
        if (o[0] == kOptionTerminator)
            break;
        const std::size_t offset = std::size_t(o[1]) << 8 | o[2];
        const std::size_t length = std::size_t(o[3]) << 8 | o[4];
        if (o[0] == kOptionEncryption && length >= 1 && offset < answer.size())
            return std::uint8_t(answer[offset]);
    }
    return std::nullopt;
}

QString lastTlsReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? QString::fromUtf8(reason) : QStringLiteral("no reason given");
}

// The client side of the handshake, wrapped in PRELOGIN packets, up to the
// server's certificate. Empty when it has arrived, else what went wrong.
QString handshakeToCertificate(Link& link, SSL* tls, BIO* in, BIO* out)
{
    for (int round = 0; round < kHandshakeRounds; ++round) {
        const int r = SSL_do_handshake(tls);
        if (SSL_get0_peer_certificate(tls))
            return {};
        if (r == 1 || SSL_get_error(tls, r) != SSL_ERROR_WANT_READ)
            return QStringLiteral("TLS handshake failed (%1)").arg(lastTlsReason());
        std::string hello(BIO_ctrl_pending(out), '\0');
        BIO_read(out, hello.data(), int(hello.size()));
        if (!hello.empty() && !link.send(preLoginPackets(hello)))
            return QStringLiteral("server closed the link during the TLS handshake");
        const std::optional<Message> reply = link.receive();
        if (!reply)
            return QStringLiteral("server ended the TLS handshake without a certificate");
        BIO_write(in, reply->payload.data(), int(reply->payload.size()));
    }
    return QStringLiteral("TLS handshake did not finish");
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

// What is wrong with the chain the server sent, checked against the CA
// file (or the system's CAs); empty when it is trusted.
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

// The client end of a handshake that stops at the server's certificate.
struct ClientTls {
    Context context;
    Tls tls;
    BIO* in = nullptr;  // owned by tls
    BIO* out = nullptr; // owned by tls
};

// Empty when `c` is ready to start the handshake with `host`, else why not.
QString startClient(ClientTls& c, const QString& host)
{
    ERR_clear_error();
    c.context.reset(SSL_CTX_new(TLS_client_method()));
    c.tls.reset(c.context ? SSL_new(c.context.get()) : nullptr);
    c.in = BIO_new(BIO_s_mem());
    c.out = BIO_new(BIO_s_mem());
    if (!c.tls || !c.in || !c.out) {
        BIO_free(c.in);
        BIO_free(c.out);
        return QStringLiteral("TLS cannot be set up here (%1)").arg(lastTlsReason());
    }
    BIO_set_mem_eof_return(c.in, -1);
    SSL_set_bio(c.tls.get(), c.in, c.out);
    // The certificate is checked apart from the handshake, so that each
    // fault gets its own words.
    SSL_set_verify(c.tls.get(), SSL_VERIFY_NONE, nullptr);
    if (!isIpAddress(host))
        SSL_set_tlsext_host_name(c.tls.get(), host.toUtf8().constData());
    SSL_set_connect_state(c.tls.get());
    return {};
}

QString expectedName(const ConnectionSettings& s)
{
    return s.security.hostInCertificate.isEmpty() ? s.host : s.security.hostInCertificate;
}

// The handshake on a link whose PRELOGIN settled on TLS, and the checks the
// settings ask of the certificate.
QString tlsProblem(Link& link, const ConnectionSettings& s)
{
    ClientTls c;
    if (QString failed = startClient(c, s.host); !failed.isEmpty())
        return failed;
    if (QString failed = handshakeToCertificate(link, c.tls.get(), c.in, c.out); !failed.isEmpty())
        return failed;
    if (!s.security.verifiesServer())
        return {};
    if (QString untrustedChain = trustProblem(c.tls.get(), s.security.caFile);
        !untrustedChain.isEmpty())
        return untrustedChain;
    // A pinned certificate is accepted whatever names it holds.
    return s.security.pinnedCertificate ? QString() : nameProblem(c.tls.get(), expectedName(s));
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
void readCertificate(Link& link, const ConnectionSettings& s, linkcheck::ServerOffer& offer)
{
    ClientTls c;
    offer.handshakeProblem = startClient(c, s.host);
    if (offer.handshakeProblem.isEmpty())
        offer.handshakeProblem = handshakeToCertificate(link, c.tls.get(), c.in, c.out);
    if (!offer.handshakeProblem.isEmpty())
        return;
    X509* leaf = SSL_get0_peer_certificate(c.tls.get());
    offer.certificatePem = pemOf(leaf);
    offer.fingerprint = fingerprintOf(leaf);
    // A certificate named by its fingerprint is taken or refused by that
    // alone: the system's CAs are not asked, and not asking never reads as trust.
    offer.systemTrustProblem = s.security.certificateSha256.isEmpty()
                                   ? trustProblem(c.tls.get(), QString())
                                   : QStringLiteral("the system's CAs were not asked");
    offer.nameProblem = nameProblem(c.tls.get(), expectedName(s));
}

} // namespace

QString linkcheck::encryptionProblem(const ConnectionSettings& s, int timeoutMs)
{
    const LinkSecurity& l = s.security;
    // TLS before TDS and a site's own driver keys are not this exchange.
    if (l.encrypt == LinkEncryption::Off || l.encrypt == LinkEncryption::Strict ||
        !l.odbcString.isEmpty())
        return {};
    Link link(s.host, s.port, Clock::now() + std::chrono::milliseconds(timeoutMs));
    const bool whole = l.encrypt == LinkEncryption::On;
    if (!link.connected() ||
        !link.send(preLoginPackets(preLoginRequest(whole ? kEncryptOn : kEncryptOff))))
        return {};
    const std::optional<Message> answer = link.receive();
    const std::optional<std::uint8_t> offered =
        answer ? offeredEncryption(answer->payload) : std::nullopt;
    if (!offered)
        return {};
    if (*offered == kEncryptNotSupported)
        return whole ? QStringLiteral("server does not offer encryption (encrypt=on needs it)")
                     : QString();
    return tlsProblem(link, s);
}

linkcheck::ServerOffer linkcheck::probe(const ConnectionSettings& s, int timeoutMs)
{
    ServerOffer offer;
    Link link(s.host, s.port, Clock::now() + std::chrono::milliseconds(timeoutMs));
    const bool whole = s.security.encrypt != LinkEncryption::Login;
    if (!link.connected()) {
        offer.unreachable = QStringLiteral("nothing answers there");
        return offer;
    }
    const std::optional<Message> answer =
        link.send(preLoginPackets(preLoginRequest(whole ? kEncryptOn : kEncryptOff)))
            ? link.receive()
            : std::nullopt;
    const std::optional<std::uint8_t> offered =
        answer ? offeredEncryption(answer->payload) : std::nullopt;
    if (!offered) {
        offer.unreachable = QStringLiteral("the server did not answer the pre-login in %1 s")
                                .arg(std::max(1, timeoutMs / 1000));
        return offer;
    }
    offer.encrypts = *offered != kEncryptNotSupported;
    if (offer.encrypts)
        readCertificate(link, s, offer);
    return offer;
}
