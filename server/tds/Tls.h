#pragma once
// The server end of TLS for TDS, over OpenSSL memory BIOs: the session hands
// in the bytes it read and sends out the bytes handed back, so the same engine
// serves the handshake wrapped in PRELOGIN packets and the records that later
// travel bare on the socket. No socket, no packet framing and no cryptography
// of its own live here.

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace lectora::server::tds
{

class TlsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A certificate and its key, loaded once and shared by every connection.
class TlsCredentials
{
public:
    // Throws TlsError naming the file and OpenSSL's reason.
    static std::shared_ptr<TlsCredentials> load(const std::filesystem::path& certificate,
                                                const std::filesystem::path& key);
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    SSL_CTX* context() const { return m_ctx; }
    // "AB:CD:..." over the DER form, as `openssl x509 -fingerprint -sha256` prints it.
    const std::string& fingerprint() const { return m_fingerprint; }

private:
    TlsCredentials() = default;
    SSL_CTX* m_ctx = nullptr;
    std::string m_fingerprint;
};

struct SelfSignedFiles {
    std::filesystem::path certificate;
    std::filesystem::path key;
    bool created = false;
};

// The certificate and key a server without --tls-cert uses: made in `folder`
// on first use (the key readable by its owner only), reused afterwards. The
// certificate names `host`, localhost and 127.0.0.1. Throws TlsError.
SelfSignedFiles ensureSelfSigned(const std::filesystem::path& folder, const std::string& host);

// One connection's TLS state, server side.
class TlsEngine
{
public:
    explicit TlsEngine(const TlsCredentials& credentials);
    ~TlsEngine();
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;

    // Handshake bytes from the client; returns whether the handshake is done.
    // What must go back to the client is in takeOutgoing(). A broken or
    // hostile handshake throws TlsError.
    bool handshake(std::string_view fromClient);
    bool established() const { return m_established; }
    // Before the handshake: offer no version past TLS 1.2.
    void capAtTls12();

    // Records from the client after the handshake; returns the plaintext they
    // complete (possibly empty: a record may arrive in pieces). Throws TlsError.
    std::string decrypt(std::string_view fromClient);
    // Plaintext for the client; the records are in takeOutgoing().
    void encrypt(std::string_view plain);
    std::string takeOutgoing();

private:
    static void clearErrors();
    [[noreturn]] void fail(const char* what);
    SSL* m_ssl = nullptr;
    BIO* m_in = nullptr;  // owned by m_ssl
    BIO* m_out = nullptr; // owned by m_ssl
    bool m_established = false;
};

} // namespace lectora::server::tds
