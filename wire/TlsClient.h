#pragma once
// The client end of a TLS handshake over memory BIOs, carried inside PRELOGIN
// packets as the protocol wraps it, up to the moment the server's certificate
// has arrived. It verifies nothing itself: the caller checks the certificate
// apart from the handshake, so that each fault gets its own words.

#include "wire/Link.h"
#include "wire/OpenSsl.h"

#include <string>

namespace lectora::wire
{

class TlsClient
{
public:
    // Empty when ready to start the handshake with `host` (named in the
    // hello unless it is an address), else why not.
    std::string start(const std::string& host);
    // Runs the handshake over `link` until the server's certificate is in.
    // Empty when it is, else what went wrong.
    std::string handshakeToCertificate(Link& link);

    SSL* connection() const { return m_tls.get(); }
    X509* serverCertificate() const { return SSL_get0_peer_certificate(m_tls.get()); }

private:
    // The client's handshake bytes so far, as PRELOGIN packets.
    std::string outgoingPackets();

    openssl::Context m_context;
    openssl::Connection m_tls;
    BIO* m_in = nullptr;  // owned by m_tls
    BIO* m_out = nullptr; // owned by m_tls
};

} // namespace lectora::wire
