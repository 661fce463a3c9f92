// The handshake: PRELOGIN, then LOGIN7 checked against the server's login
// and the catalogues it serves.

#include "server/tds/Session.h"

#include "server/AsciiCase.h"
#include "server/tds/Login.h"
#include "server/tds/SessionParts.h"

namespace lectora::server::tds
{

namespace
{
// The reason a login is refused after PRELOGIN settled on no common ground.
std::string refusal(ServerEncryption server, std::uint8_t client)
{
    if (client > EncryptRequired)
        return "Login refused: the client asked for an encryption this server does not offer.";
    if (server == ServerEncryption::Off)
        return "Login refused: the client requires encryption and this server offers none.";
    return "Login refused: this server requires encryption and the client cannot encrypt.";
}
} // namespace

Session::Outcome Session::preLogin(const Message& message)
{
    m_state = State::AwaitLogin;
    const std::uint8_t client = preLoginEncryption(message.payload);
    const ServerEncryption offer = m_ctx.tls ? m_ctx.encryption : ServerEncryption::Off;
    const EncryptionOutcome outcome = negotiateEncryption(offer, client);
    Outcome out{framePackets(PacketType::Reply, preLoginAnswer(outcome.answer), 0), false};
    if (outcome.link == EncryptionOutcome::Link::Refused) {
        m_refusal = refusal(offer, client);
        // Some drivers that announce they cannot encrypt still begin TLS
        // when the server requires it.
        if (outcome.answer == EncryptRequired)
            out.tls = EncryptionOutcome::Link::Refused;
    } else {
        out.tls = outcome.link;
    }
    return out;
}

Session::Outcome Session::login(const Message& message)
{
    if (message.type == PacketType::PreLogin && m_state == State::AwaitPreLogin)
        return preLogin(message);
    if (message.type != PacketType::Login7)
        return {{}, true};

    TokenWriter out;
    if (!m_refusal.empty()) {
        // A client that goes on after such an answer gets the reason, not a
        // bare close.
        out.message(true, 18452, 1, 14, m_refusal);
        out.done(Done, DoneError);
        return {frame(out.finish()), true};
    }
    const Login7 login = parseLogin7(message.payload);
    if ((login.tdsVersion >> 24) < 0x72) {
        out.message(true, 18452, 1, 14, "Login failed: this server speaks TDS 7.2 or later.");
        out.done(Done, DoneError);
        return {frame(out.finish()), true};
    }
    if (!equalsNoCase(login.userName, m_ctx.login) || login.password != m_ctx.password) {
        out.message(true, 18456, 1, 14, "Login failed for user '" + login.userName + "'.");
        out.done(Done, DoneError);
        return {frame(out.finish()), true};
    }
    std::string catalogue = login.database.empty()   ? std::string(kCatalogues[0])
                            : m_ctx.resolveCatalogue ? m_ctx.resolveCatalogue(login.database)
                                                     : std::string();
    if (catalogue.empty()) {
        out.message(true, 4060, 1, 11,
                    "Cannot open database \"" + login.database +
                        "\" requested by the login. The login failed.");
        out.done(Done, DoneError);
        return {frame(out.finish()), true};
    }
    m_catalogue = catalogue;
    m_state = State::LoggedIn;
    out.envChangeText(1, m_catalogue, "master");
    out.envChangeCollation();
    out.loginAck((login.tdsVersion >> 24) >= 0x74 ? kTds74 : login.tdsVersion);
    out.envChangeText(4, std::to_string(kPacketSize), std::to_string(kPacketSize));
    out.done(Done, 0);
    return {frame(out.finish()), false};
}

} // namespace lectora::server::tds
