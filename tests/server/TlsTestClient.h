#pragma once
// A TLS client over memory BIOs that checks the server's certificate against
// a CA file and a host name, as a careful driver would. The server tests use
// it bare (engine) and wrapped the TDS way (channel, sockets).

#include "wire/OpenSsl.h"

#include <string>

class TlsTestClient
{
public:
    // `maxVersion` 0: the highest both ends know.
    TlsTestClient(const std::string& caFile, const std::string& host, int maxVersion = 0)
    {
        SSL_CTX* ctx = m_ctx.get();
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
        if (maxVersion)
            SSL_CTX_set_max_proto_version(ctx, maxVersion);
        m_ssl.reset(SSL_new(ctx));
        m_in = BIO_new(BIO_s_mem());
        m_out = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(m_in, -1);
        SSL_set_bio(m_ssl.get(), m_in, m_out);
        SSL_set1_host(m_ssl.get(), host.c_str());
        SSL_set_connect_state(m_ssl.get());
    }

    // Feeds the server's bytes; returns 1 done, 0 more needed, -1 failed.
    int step(const std::string& fromServer)
    {
        if (!fromServer.empty())
            BIO_write(m_in, fromServer.data(), int(fromServer.size()));
        const int r = SSL_do_handshake(m_ssl.get());
        if (r == 1)
            return 1;
        return SSL_get_error(m_ssl.get(), r) == SSL_ERROR_WANT_READ ? 0 : -1;
    }
    long verifyResult() const { return SSL_get_verify_result(m_ssl.get()); }
    int version() const { return SSL_version(m_ssl.get()); }
    std::string take()
    {
        std::string out(BIO_ctrl_pending(m_out), '\0');
        if (!out.empty())
            BIO_read(m_out, out.data(), int(out.size()));
        return out;
    }
    std::string seal(const std::string& plain)
    {
        SSL_write(m_ssl.get(), plain.data(), int(plain.size()));
        return take();
    }
    std::string open(const std::string& records)
    {
        BIO_write(m_in, records.data(), int(records.size()));
        std::string plain;
        char buf[4096];
        for (int n; (n = SSL_read(m_ssl.get(), buf, sizeof buf)) > 0;)
            plain.append(buf, std::size_t(n));
        return plain;
    }

private:
    lectora::wire::openssl::Context m_ctx{SSL_CTX_new(TLS_client_method())};
    lectora::wire::openssl::Connection m_ssl;
    BIO* m_in = nullptr;  // owned by m_ssl
    BIO* m_out = nullptr; // owned by m_ssl
};
