#include "server/tds/Tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/Files.h"
#include "wire/OpenSsl.h"

#include <fstream>

namespace lectora::server::tds
{

namespace
{

// The reason OpenSSL gives for the last failure on this thread, one line.
std::string opensslReason()
{
    std::string reason;
    while (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        if (!reason.empty())
            reason += "; ";
        reason += text;
    }
    return reason.empty() ? std::string("unknown TLS failure") : reason;
}

using PKey = wire::openssl::Key;
using Cert = wire::openssl::Certificate;
using Bio = wire::openssl::Bio;

std::string bioText(BIO* bio)
{
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
}

void addExtension(X509* cert, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext || !X509_add_ext(cert, ext, -1)) {
        X509_EXTENSION_free(ext);
        throw TlsError("cannot build the certificate: " + opensslReason());
    }
    X509_EXTENSION_free(ext);
}

// A fresh P-256 key and a certificate for it signed by itself, in PEM.
std::pair<std::string, std::string> makeSelfSigned(const std::string& host)
{
    PKey key(EVP_EC_gen("P-256"));
    Cert cert(X509_new());
    if (!key || !cert)
        throw TlsError("cannot create a key: " + opensslReason());
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        throw TlsError("no random bytes for the certificate: " + opensslReason());
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60L * 60 * 24);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 3650);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("lectora-server"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);

    std::string alt = "DNS:localhost,IP:127.0.0.1";
    if (!host.empty() && host != "localhost" && host != "127.0.0.1") {
        const bool numeric = host.find_first_not_of("0123456789.") == std::string::npos;
        alt = (numeric ? "IP:" : "DNS:") + host + "," + alt;
    }
    // Its own trust anchor: a client is pointed at this very file as its CA.
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(cert.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), NID_subject_key_identifier, "hash");
    addExtension(cert.get(), NID_subject_alt_name, alt.c_str());
    if (!X509_sign(cert.get(), key.get(), EVP_sha256()))
        throw TlsError("cannot sign the certificate: " + opensslReason());

    Bio certPem(BIO_new(BIO_s_mem()));
    Bio keyPem(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_X509(certPem.get(), cert.get()) ||
        !PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        throw TlsError("cannot write the certificate: " + opensslReason());
    return {bioText(certPem.get()), bioText(keyPem.get())};
}

// Writes a new file private from the start: a key must never exist, even
// for a moment, with wider permissions.
void writeNew(const std::filesystem::path& path, const std::string& text)
{
    try {
        files::writeNewPrivate(path, text);
    } catch (const std::runtime_error& e) {
        throw TlsError(e.what());
    }
}

} // namespace

std::shared_ptr<TlsCredentials> TlsCredentials::load(const std::filesystem::path& certificate,
                                                     const std::filesystem::path& key)
{
    // Group read is the usual way to share a key with a service's group; a
    // key every local user can read is no longer a secret.
    if (files::readableByEveryone(key))
        throw TlsError("the key " + key.string() +
                       " can be read by every local user: allow only its owner (chmod 600)");
    ERR_clear_error();
    std::shared_ptr<TlsCredentials> c(new TlsCredentials);
    c->m_ctx = SSL_CTX_new(TLS_server_method());
    if (!c->m_ctx)
        throw TlsError("cannot set up TLS: " + opensslReason());
    SSL_CTX_set_min_proto_version(c->m_ctx, TLS1_2_VERSION);
    // A session ticket sent after the handshake would travel outside the
    // PRELOGIN wrapping the client still expects; TDS clients do not resume.
    SSL_CTX_set_num_tickets(c->m_ctx, 0);
    SSL_CTX_set_options(c->m_ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_session_cache_mode(c->m_ctx, SSL_SESS_CACHE_OFF);
    // OpenSSL takes file names as UTF-8 on every platform.
    const std::u8string certificateName = certificate.u8string();
    const std::u8string keyName = key.u8string();
    if (SSL_CTX_use_certificate_chain_file(
            c->m_ctx, reinterpret_cast<const char*>(certificateName.c_str())) != 1)
        throw TlsError("cannot read the certificate " + certificate.string() + ": " +
                       opensslReason());
    const bool keyRead = SSL_CTX_use_PrivateKey_file(
                             c->m_ctx, reinterpret_cast<const char*>(keyName.c_str()),
                             SSL_FILETYPE_PEM) == 1;
    const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    if (!keyRead && !mismatch)
        throw TlsError("cannot read the key " + key.string() + ": " + opensslReason());
    if (mismatch || SSL_CTX_check_private_key(c->m_ctx) != 1)
        throw TlsError("the key " + key.string() + " does not belong to the certificate " +
                       certificate.string());

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_digest(SSL_CTX_get0_certificate(c->m_ctx), EVP_sha256(), md, &n);
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < n; ++i) {
        if (i)
            c->m_fingerprint += ':';
        c->m_fingerprint += hex[md[i] >> 4];
        c->m_fingerprint += hex[md[i] & 15];
    }
    return c;
}

TlsCredentials::~TlsCredentials()
{
    SSL_CTX_free(m_ctx);
}

SelfSignedFiles ensureSelfSigned(const std::filesystem::path& folder, const std::string& host)
{
    SelfSignedFiles files{folder / "lectora-server.crt", folder / "lectora-server.key", false};
    const bool haveCert = std::filesystem::exists(files.certificate);
    const bool haveKey = std::filesystem::exists(files.key);
    if (haveCert && haveKey)
        return files;
    if (haveCert != haveKey)
        throw TlsError("found " + (haveCert ? files.certificate : files.key).string() +
                       " without its " + (haveCert ? "key " : "certificate ") +
                       (haveCert ? files.key : files.certificate).string() +
                       "; remove it to have a new pair made");
    const auto [certPem, keyPem] = makeSelfSigned(host);
    writeNew(files.key, keyPem);
    try {
        // Private like every file of the data folder (the folder is the
        // owner's alone anyway); a site hands clients a copy as their CA.
        writeNew(files.certificate, certPem);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(files.key, ignored);
        throw;
    }
    files.created = true;
    return files;
}

TlsEngine::TlsEngine(const TlsCredentials& credentials)
{
    ERR_clear_error();
    m_ssl = SSL_new(credentials.context());
    m_in = BIO_new(BIO_s_mem());
    m_out = BIO_new(BIO_s_mem());
    if (!m_ssl || !m_in || !m_out) {
        BIO_free(m_in);
        BIO_free(m_out);
        SSL_free(m_ssl);
        throw TlsError("cannot start TLS: " + opensslReason());
    }
    // An empty input means "more is coming", not the end of the stream.
    BIO_set_mem_eof_return(m_in, -1);
    SSL_set_bio(m_ssl, m_in, m_out);
    SSL_set_accept_state(m_ssl);
}

TlsEngine::~TlsEngine()
{
    SSL_free(m_ssl);
}

void TlsEngine::clearErrors()
{
    // SSL_get_error reads the thread's error queue, which must be empty
    // before each call; clearing it walks every slot, so only when needed.
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

void TlsEngine::fail(const char* what)
{
    throw TlsError(std::string(what) + ": " + opensslReason());
}

void TlsEngine::capAtTls12()
{
    SSL_set_max_proto_version(m_ssl, TLS1_2_VERSION);
}

bool TlsEngine::handshake(std::string_view fromClient)
{
    clearErrors();
    if (!fromClient.empty() && BIO_write(m_in, fromClient.data(), int(fromClient.size())) <= 0)
        fail("TLS input");
    const int r = SSL_do_handshake(m_ssl);
    if (r == 1) {
        m_established = true;
        return true;
    }
    const int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_READ)
        return false;
    fail("TLS handshake failed");
}

std::string TlsEngine::decrypt(std::string_view fromClient)
{
    clearErrors();
    if (!m_established)
        throw TlsError("TLS record before the handshake ended");
    if (!fromClient.empty() && BIO_write(m_in, fromClient.data(), int(fromClient.size())) <= 0)
        fail("TLS input");
    // The plaintext is never longer than the records it comes in, so it is
    // read straight into its string; and a read that leaves nothing behind,
    // neither in the engine nor in its input, is the last.
    std::string plain(std::max<std::size_t>(BIO_ctrl_pending(m_in), 1), '\0');
    std::size_t have = 0;
    for (;;) {
        if (have == plain.size())
            plain.resize(2 * have);
        const int n = SSL_read(m_ssl, plain.data() + have, int(plain.size() - have));
        if (n > 0) {
            have += static_cast<std::size_t>(n);
            if (!SSL_has_pending(m_ssl) && BIO_ctrl_pending(m_in) == 0)
                break;
            continue;
        }
        const int e = SSL_get_error(m_ssl, n);
        if (e == SSL_ERROR_WANT_READ)
            break;
        if (e == SSL_ERROR_ZERO_RETURN)
            throw TlsError("the client closed the TLS link");
        fail("TLS record refused");
    }
    plain.resize(have);
    return plain;
}

void TlsEngine::encrypt(std::string_view plain)
{
    clearErrors();
    if (!m_established)
        throw TlsError("TLS output before the handshake ended");
    if (plain.empty())
        return;
    // Memory BIOs take everything at once, so a write is never partial.
    if (SSL_write(m_ssl, plain.data(), static_cast<int>(plain.size())) <= 0)
        fail("TLS output failed");
}

std::string TlsEngine::takeOutgoing()
{
    std::string out(static_cast<std::size_t>(BIO_ctrl_pending(m_out)), '\0');
    if (!out.empty())
        out.resize(
            static_cast<std::size_t>(std::max(0, BIO_read(m_out, out.data(), int(out.size())))));
    return out;
}

} // namespace lectora::server::tds
