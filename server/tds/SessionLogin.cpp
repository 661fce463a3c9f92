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

Session::Outcome Session::refuse(int number, std::uint8_t severity, const std::string& text)
{
    TokenWriter out;
    out.message(true, number, 1, severity, text);
    out.done(Done, DoneError);
    return {frame(out.finish()), true};
}

// Journaled with the name tried and the address, never the password.
Session::Outcome Session::wrongCredentials(const Login7& login)
{
    // A name is short; whatever else a stranger put there is cut.
    const std::string name = login.userName.substr(0, 128);
    record(false,
           "login refused for '" + name + "' from " +
               (m_ctx.client.empty() ? std::string("an unknown address") : m_ctx.client) +
               ": wrong login or password",
           {}, {});
    return refuse(18456, 14, "Login failed for user '" + login.userName + "'.");
}

Session::Outcome Session::login(const Message& message)
{
    if (message.type == PacketType::PreLogin && m_state == State::AwaitPreLogin)
        return preLogin(message);
    if (message.type != PacketType::Login7)
        return {{}, true};

    // A client that goes on after a refusing PRELOGIN answer gets the
    // reason, not a bare close.
    if (!m_refusal.empty())
        return refuse(18452, 14, m_refusal);
    if (m_ctx.fullAt > 0)
        return refuse(17809, 20,
                      "Could not connect because the maximum number of '" +
                          std::to_string(m_ctx.fullAt) +
                          "' user connections has already been reached. The connection has "
                          "been closed.");
    const Login7 login = parseLogin7(message.payload);
    if ((login.tdsVersion >> 24) < 0x72)
        return refuse(18452, 14, "Login failed: this server speaks TDS 7.2 or later.");
    // Every check of a password from an address waits its turn behind that
    // address's earlier mistakes, the right one as much as a wrong one.
    const std::chrono::milliseconds turn =
        m_ctx.throttle ? m_ctx.throttle->attempt(m_ctx.client) : std::chrono::milliseconds(0);
    if (!equalsNoCase(login.userName, m_ctx.login) || login.password != m_ctx.password) {
        Outcome out = wrongCredentials(login);
        out.delay = turn;
        return out;
    }
    std::string catalogue = login.database.empty()   ? std::string(kCatalogues[0])
                            : m_ctx.resolveCatalogue ? m_ctx.resolveCatalogue(login.database)
                                                     : std::string();
    if (m_ctx.throttle)
        m_ctx.throttle->succeeded(m_ctx.client);
    if (catalogue.empty()) {
        Outcome out = refuse(4060, 11,
                             "Cannot open database \"" + login.database +
                                 "\" requested by the login. The login failed.");
        out.delay = turn;
        return out;
    }
    Outcome accepted = accept(login, catalogue);
    accepted.delay = turn;
    return accepted;
}

Session::Outcome Session::accept(const Login7& login, const std::string& catalogue)
{
    m_catalogue = catalogue;
    m_state = State::LoggedIn;
    TokenWriter out;
    out.envChangeText(1, m_catalogue, "master");
    out.envChangeCollation();
    out.loginAck((login.tdsVersion >> 24) >= 0x74 ? kTds74 : login.tdsVersion);
    out.envChangeText(4, std::to_string(kPacketSize), std::to_string(kPacketSize));
    out.done(Done, 0);
    return {frame(out.finish()), false};
}

} // namespace lectora::server::tds
