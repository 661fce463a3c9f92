#include "wire/TlsClient.h"

#include <openssl/err.h>

namespace lectora::wire
{

namespace
{
constexpr int kHandshakeRounds = 8;

std::string lastTlsReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? std::string(reason) : std::string("no reason given");
}
} // namespace

std::string TlsClient::start(const std::string& host)
{
    ERR_clear_error();
    m_context.reset(SSL_CTX_new(TLS_client_method()));
    m_tls.reset(m_context ? SSL_new(m_context.get()) : nullptr);
    m_in = BIO_new(BIO_s_mem());
    m_out = BIO_new(BIO_s_mem());
    if (!m_tls || !m_in || !m_out) {
        BIO_free(m_in);
        BIO_free(m_out);
        m_in = m_out = nullptr;
        return "TLS cannot be set up here (" + lastTlsReason() + ")";
    }
    // An empty input means "more is coming", not the end of the stream.
    BIO_set_mem_eof_return(m_in, -1);
    SSL_set_bio(m_tls.get(), m_in, m_out);
    SSL_set_verify(m_tls.get(), SSL_VERIFY_NONE, nullptr);
    if (!net::isIpAddress(host))
        SSL_set_tlsext_host_name(m_tls.get(), host.c_str());
    SSL_set_connect_state(m_tls.get());
    return {};
}

std::string TlsClient::outgoingPackets()
{
    std::string hello(BIO_ctrl_pending(m_out), '\0');
    BIO_read(m_out, hello.data(), int(hello.size()));
    return hello.empty() ? hello : framePackets(PacketType::PreLogin, hello, 0);
}

std::string TlsClient::handshakeToCertificate(Link& link)
{
    for (int round = 0; round < kHandshakeRounds; ++round) {
        const int r = SSL_do_handshake(m_tls.get());
        if (serverCertificate())
            return {};
        if (r == 1 || SSL_get_error(m_tls.get(), r) != SSL_ERROR_WANT_READ)
            return "TLS handshake failed (" + lastTlsReason() + ")";
        const std::string packets = outgoingPackets();
        if (!packets.empty() && !link.send(packets))
            return "server closed the link during the TLS handshake";
        const std::optional<ReceivedMessage> reply = link.receive();
        if (!reply)
            return "server ended the TLS handshake without a certificate";
        BIO_write(m_in, reply->payload.data(), int(reply->payload.size()));
    }
    return "TLS handshake did not finish";
}

} // namespace lectora::wire
