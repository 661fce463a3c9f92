// The handshake: PRELOGIN, then LOGIN7 checked against the server's login
// and the catalogues it serves.

#include "server/tds/Session.h"

#include "server/AsciiCase.h"
#include "server/tds/Login.h"
#include "server/tds/SessionParts.h"

namespace lectora::server::tds
{

Session::Outcome Session::login(const Message& message)
{
    if (message.type == PacketType::PreLogin && m_state == State::AwaitPreLogin) {
        m_state = State::AwaitLogin;
        return {framePackets(PacketType::Reply, preLoginReply(message.payload), 0), false};
    }
    if (message.type != PacketType::Login7)
        return {{}, true};

    const Login7 login = parseLogin7(message.payload);
    TokenWriter out;
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
