// SQL batches: each statement of the text run in turn, a procedure call
// through the host, and its results written as tokens.

#include "server/tds/Session.h"

#include "server/AsciiCase.h"
#include "server/tds/SessionParts.h"

#include <optional>
#include <thread>

namespace lectora::server::tds
{

using parts::failed;
using parts::notFound;

std::string Session::runBatch(const std::string& text)
{
    const std::vector<Statement> statements = parseBatch(text);
    std::string procedure;
    std::vector<Argument> args;
    for (const auto& st : statements) {
        if (st.kind != Statement::Kind::Call)
            continue;
        procedure = st.procedure;
        for (const auto& a : st.args)
            args.push_back(Argument{a.name, a.value, false});
        break;
    }
    record(false, m_mask.batch(text, statements), procedure, m_mask.values(procedure, args));

    TokenWriter out;
    runStatements(out, statements, false, nullptr);
    if (out.empty())
        out.done(Done, 0);
    return frame(out.finish());
}

namespace
{

// The call's arguments with each variable replaced by its value; nullopt,
// with the error written, when one was never declared.
std::optional<std::vector<Argument>> boundArguments(TokenWriter& out, const Statement& st,
                                                    const std::vector<RpcParam>* variables,
                                                    std::uint8_t statementEnd)
{
    std::vector<Argument> args;
    for (const auto& a : st.args) {
        Argument arg{a.name, a.value, false};
        if (!a.variable.empty()) {
            const RpcParam* found = nullptr;
            if (variables)
                for (const auto& p : *variables)
                    if (equalsNoCase(p.name, a.variable))
                        found = &p;
            if (!found) {
                out.error(ServerError{137, 15, 2,
                                      "Must declare the scalar variable \"" + a.variable + "\"."});
                out.done(statementEnd, DoneError);
                return std::nullopt;
            }
            arg.value = found->value;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

} // namespace

void Session::runStatements(TokenWriter& out, const std::vector<Statement>& statements, bool inProc,
                            const std::vector<RpcParam>* variables)
{
    const bool secrets = m_mask.hasSecrets(statements);
    for (const auto& st : statements) {
        switch (st.kind) {
        case Statement::Kind::Set:
            if (!inProc)
                out.done(Done, 0, kCmdSet);
            break;
        case Statement::Kind::Error:
            refuseStatement(out, st, inProc, secrets);
            break;
        case Statement::Kind::Call:
            runCall(out, st, inProc, variables);
            break;
        }
    }
}

void Session::refuseStatement(TokenWriter& out, const Statement& st, bool inProc, bool secrets)
{
    ServerError e = st.error;
    // The parser's message quotes the text near the fault, which may be a secret.
    if (secrets && e.number == 105)
        e.message = "Unclosed quotation mark.";
    else if (secrets && e.number == 102)
        e.message = "Incorrect syntax.";
    out.error(e);
    out.done(inProc ? DoneInProc : Done, DoneError);
}

void Session::runCall(TokenWriter& out, const Statement& st, bool inProc,
                      const std::vector<RpcParam>* variables)
{
    const std::uint8_t statementEnd = inProc ? DoneInProc : Done;
    std::optional<std::vector<Argument>> args = boundArguments(out, st, variables, statementEnd);
    if (!args)
        return;
    const std::uint8_t procEnd = inProc ? DoneInProc : DoneProc;
    if (ProcedureRegistry::key(st.procedure) == "sp_executesql") {
        executeSql(out, *args, procEnd);
        return;
    }
    if (isTypeInfo(ProcedureRegistry::key(st.procedure))) {
        std::vector<Value> values;
        for (const auto& a : *args)
            values.push_back(a.value);
        typeInfo(out, values, procEnd);
        return;
    }
    if (!m_ctx.registry || !m_ctx.registry->find(st.procedure)) {
        out.error(notFound(st.procedure));
        out.done(statementEnd, DoneError);
        return;
    }
    Call call;
    call.procedure = st.procedure;
    call.catalogue = m_catalogue;
    call.connectionId = m_connectionId;
    call.client = m_ctx.client;
    call.args = std::move(*args);
    Reply reply = callProcedure(out, call);
    out.returnStatus(reply.returnStatus);
    out.done(procEnd, failed(reply) ? DoneError : 0, kCmdExecute);
}

// sp_executesql written in a batch: its text, its declaration, then the
// values, by position in the declaration's order or by name.
void Session::executeSql(TokenWriter& out, const std::vector<Argument>& args, std::uint8_t end)
{
    const std::vector<std::string> names =
        declaredNames(args.size() > 1 ? args[1].value.toText() : std::string());
    std::vector<RpcParam> variables;
    for (std::size_t i = 2; i < args.size(); ++i) {
        RpcParam p;
        p.name = args[i].name.empty() && i - 2 < names.size() ? names[i - 2] : args[i].name;
        p.value = args[i].value;
        variables.push_back(std::move(p));
    }
    runStatements(out, parseBatch(args.empty() ? std::string() : args[0].value.toText()), true,
                  &variables);
    out.returnStatus(0);
    out.done(end, 0, kCmdExecute);
}

Reply Session::callProcedure(TokenWriter& out, Call& call)
{
    const std::vector<std::string> secrets = m_mask.secretsOf(call.procedure, call.args);

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
