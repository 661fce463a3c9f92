#pragma once
// One connection's byte stream between the socket and the TDS packet reader.
// It is clear until PRELOGIN settles on TLS; then the handshake travels
// inside PRELOGIN packets, and after it TLS records travel bare on the
// stream, for the login packet alone (the link drops back to clear after it)
// or for the rest of the session. It knows packets only as far as the
// wrapping needs; requests and replies are the session's.

#include "server/tds/Login.h"
#include "server/tds/Tls.h"
#include "server/tds/Wire.h"

#include <memory>
#include <string>
#include <string_view>

namespace lectora::server::tds
{

class SecureChannel
{
public:
    enum class Phase {
        Clear,     // bytes pass through
        Offered,   // a handshake may begin, else the stream stays clear
        Handshake, // TLS 1.2 handshake wrapped in PRELOGIN packets
        Login,     // TLS records until the login packet is whole, clear after it
        Session,   // TLS records to the end
    };

    struct Received {
        std::string tds;      // clear TDS bytes for the packet reader
        std::string toClient; // handshake replies, to be sent at once
    };

    // PRELOGIN was answered with TLS for `link` (LoginOnly or Whole): the
    // client's next bytes begin the handshake.
    void startTls(const TlsCredentials& credentials, EncryptionOutcome::Link link);
    // PRELOGIN required TLS of a client that said it cannot encrypt: one
    // that begins a handshake anyway gets the whole session encrypted, one
    // that goes on in clear stays clear (and is refused at its login).
    void offerTls(const TlsCredentials& credentials);

    // Bytes read from the socket, in order and in any pieces. Throws
    // TlsError or ProtocolError: the stream cannot go on.
    Received receive(std::string_view wire);
    // One reply of the session as it goes on the wire. Nothing may be sent
    // while the handshake or the login packet is under way.
    std::string send(std::string_view tds);

    Phase phase() const { return m_phase; }

private:
    void handshake(Received& out);
    void handshakeDone(Received& out);
    void loginRecords(Received& out);

    Phase m_phase = Phase::Clear;
    bool m_wholeSession = false;
    std::unique_ptr<TlsEngine> m_engine;
    std::string m_pending;     // wire bytes not yet a whole packet or record
    std::string m_loginPacket; // the login's clear bytes so far
};

} // namespace lectora::server::tds
