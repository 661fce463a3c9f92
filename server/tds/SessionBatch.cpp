// SQL batches: each statement of the text run in turn, a procedure call
// through the host, and its results written as tokens.

#include "server/tds/Session.h"

#include "server/AsciiCase.h"
#include "server/tds/SessionParts.h"

#include <thread>

namespace lectora::server::tds
{

using parts::failed;
using parts::notFound;

std::string Session::runBatch(const std::string& text)
{
    const std::vector<Statement> statements = parseBatch(text);
    std::string procedure;
    std::vector<Value> args;
    for (const auto& st : statements) {
        if (st.kind != Statement::Kind::Call)
            continue;
        procedure = st.procedure;
        for (const auto& a : st.args)
            args.push_back(a.value);
        break;
    }
    record(false, m_mask.batch(text, statements), procedure, m_mask.values(procedure, args));

    TokenWriter out;
    runStatements(out, statements, false, nullptr);
    if (out.empty())
        out.done(Done, 0);
    return frame(out.finish());
}

void Session::runStatements(TokenWriter& out, const std::vector<Statement>& statements, bool inProc,
                            const std::vector<RpcParam>* variables)
{
    const std::uint8_t statementEnd = inProc ? DoneInProc : Done;
    for (const auto& st : statements) {
        if (st.kind == Statement::Kind::Set) {
            if (!inProc)
                out.done(Done, 0, kCmdSet);
            continue;
        }
        if (st.kind == Statement::Kind::Error) {
            ServerError e = st.error;
            if (m_mask.mentionsSecretProcedure(st.text))
                e.message = e.number == 105 ? "Unclosed quotation mark." : "Incorrect syntax.";
            out.error(e);
            out.done(statementEnd, DoneError);
            continue;
        }
        std::vector<Argument> args;
        bool undeclared = false;
        for (const auto& a : st.args) {
            Argument arg{a.name, a.value, false};
            if (!a.variable.empty()) {
                const RpcParam* found = nullptr;
                if (variables)
                    for (const auto& p : *variables)
                        if (equalsNoCase(p.name, a.variable))
                            found = &p;
                if (!found) {
                    out.error(ServerError{
                        137, 15, 2, "Must declare the scalar variable \"" + a.variable + "\"."});
                    out.done(statementEnd, DoneError);
                    undeclared = true;
                    break;
                }
                arg.value = found->value;
            }
            args.push_back(std::move(arg));
        }
        if (undeclared)
            continue;
        const std::string key = ProcedureRegistry::key(st.procedure);
        const std::uint8_t procEnd = inProc ? DoneInProc : DoneProc;
        if (key == "sp_datatype_info_100" || key == "sp_datatype_info") {
            std::vector<Value> values;
            for (const auto& a : args)
                values.push_back(a.value);
            typeInfo(out, values);
            out.returnStatus(0);
            out.done(procEnd, 0, kCmdExecute);
            continue;
        }
        if (!m_ctx.registry || !m_ctx.registry->find(st.procedure)) {
            out.error(notFound(st.procedure));
            out.done(statementEnd, DoneError);
            continue;
        }
        Call call;
        call.procedure = st.procedure;
        call.catalogue = m_catalogue;
        call.connectionId = m_connectionId;
        call.args = std::move(args);
        Reply reply = callProcedure(out, call);
        out.returnStatus(reply.returnStatus);
        out.done(procEnd, failed(reply) ? DoneError : 0, kCmdExecute);
    }
}

Reply Session::callProcedure(TokenWriter& out, Call& call)
{
    std::vector<Value> values;
    for (const auto& a : call.args)
        values.push_back(a.value);
    const std::vector<std::string> secrets = m_mask.secretsOf(call.procedure, values);

    Reply reply;
    try {
        reply = m_ctx.host->run(call);
    } catch (const std::exception& e) {
        reply = Reply::fail(e.what());
    }
    if (reply.delay.count() > 0)
        std::this_thread::sleep_for(reply.delay);
    for (const auto& text : reply.infos)
        out.info(0, SecretMask::withoutSecrets(text, secrets));
    for (const auto& rs : reply.results) {
        if (rs.columns.empty())
            continue;
        out.resultSet(rs);
        out.done(DoneInProc, DoneCount, kCmdSelect, rs.rows.size());
    }
    if (reply.error) {
        ServerError e = *reply.error;
        e.message = SecretMask::withoutSecrets(e.message, secrets);
        out.error(e, ProcedureRegistry::key(call.procedure));
    }
    return reply;
}

} // namespace lectora::server::tds
