#include "server/tds/Session.h"

namespace lectora::server::tds
{

Session::Session(SessionContext context, int connectionId)
    : m_ctx(std::move(context)), m_mask(m_ctx.registry), m_connectionId(connectionId)
{
}

std::string Session::frame(std::string tokens)
{
    return framePackets(PacketType::Reply, tokens, static_cast<std::uint16_t>(m_connectionId));
}

void Session::record(bool rpc, std::string text, std::string procedure, std::vector<Value> args)
{
    if (!m_ctx.journal)
        return;
    JournalEntry e;
    e.connectionId = m_connectionId;
    e.catalogue = m_catalogue;
    e.text = std::move(text);
    e.rpc = rpc;
    e.procedure = std::move(procedure);
    e.args = std::move(args);
    m_ctx.journal->record(std::move(e));
}

Session::Outcome Session::handle(const Message& message)
{
    try {
        if (m_state != State::LoggedIn)
            return login(message);
        if (message.oversized) {
            // What SQL Server answers a request it has no memory for; the
            // session goes on with the next one.
            TokenWriter out;
            out.message(true, 701, 1, 17,
                        "There is insufficient system memory in resource pool 'default' to run "
                        "this query.");
            out.done(Done, DoneError);
            return {frame(out.finish()), false};
        }
        switch (message.type) {
        case PacketType::SqlBatch: {
            std::string text;
            try {
                text = batchText(message.payload);
            } catch (const ProtocolError& e) {
                TokenWriter out;
                out.message(true, 8009, 1, 16,
                            std::string("The request is malformed: ") + e.what());
                out.done(Done, DoneError);
                return {frame(out.finish()), false};
            }
            return {runBatch(text), false};
        }
        case PacketType::Rpc:
            return {runRpc(message.payload), false};
        case PacketType::Attention: {
            // Replies are written whole before the next request is read, so
            // there is nothing left to cancel: acknowledge.
            TokenWriter out;
            out.done(Done, DoneAttention);
            return {frame(out.finish()), false};
        }
        case PacketType::TransactionManager: {
            TokenWriter out;
            out.done(Done, 0);
            return {frame(out.finish()), false};
        }
        default:
            return {{}, true};
        }
    } catch (const std::exception&) {
        return {{}, true};
    }
}

} // namespace lectora::server::tds
