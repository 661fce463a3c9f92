// RPC requests: registered procedures called by name, and the system
// procedures ODBC drivers use for statements (sp_executesql, the prepare
// family, cursors, the type catalogue), emulated by running the statement
// text directly.

#include "server/tds/Session.h"

#include "server/AsciiCase.h"
#include "server/tds/SessionParts.h"

#include <algorithm>
#include <cctype>

namespace lectora::server::tds
{

using parts::failed;
using parts::notFound;

// Where a statement request carries its text, its parameter declaration and
// its values, and whether it runs the text now.
struct Session::StatementCall {
    std::string name; // as the journal shows it
    std::string statement;
    std::string declaration;
    // Position of the text among the parameters; past them when it was prepared earlier.
    std::size_t statementAt = 0;
    std::size_t valuesFrom = 0;
    std::int64_t handle = 0;
    bool execute = true;
};

namespace
{

std::string requestName(const RpcRequest& rq)
{
    return rq.procId ? systemProcName(rq.procId) : rq.procedure;
}

bool isStatementRequest(std::string_view key)
{
    return key == "sp_executesql" || key == "sp_cursoropen" || key == "sp_prepexec" ||
           key == "sp_prepare" || key == "sp_execute";
}

// The values of a statement request from `first` on, named as its
// declaration lists them when they were given by position.
std::vector<RpcParam> namedVariables(const RpcRequest& rq, std::size_t first,
                                     std::string_view declaration)
{
    std::vector<RpcParam> variables(rq.params.begin() + first, rq.params.end());
    const std::vector<std::string> names = declaredNames(declaration);
    for (std::size_t i = 0; i < variables.size() && i < names.size(); ++i)
        if (variables[i].name.empty())
            variables[i].name = names[i];
    return variables;
}

// The first procedure the statements call, or "".
std::string firstProcedure(const std::vector<Statement>& statements)
{
    for (const auto& st : statements)
        if (st.kind == Statement::Kind::Call)
            return st.procedure;
    return {};
}

void statementOutputs(TokenWriter& out, const RpcRequest& rq, std::string_view key,
                      std::int64_t handle)
{
    for (std::size_t i = 0; i < rq.params.size(); ++i) {
        const auto& p = rq.params[i];
        if (!p.output)
            continue;
        // A statement run directly has no cursor: its handle is 0.
        Value v = p.value;
        if (i == 0 && key == "sp_cursoropen")
            v = Value(0);
        else if (i == 0 && (key == "sp_prepexec" || key == "sp_prepare"))
            v = Value(handle);
        out.returnValue(static_cast<std::uint16_t>(i), p.name, nullableVariant(p.type), v);
    }
}

// The output parameters of a procedure call, with the values it set.
void procedureOutputs(TokenWriter& out, const RpcRequest& rq, const Call& call, Reply& reply)
{
    for (std::size_t i = 0; i < rq.params.size(); ++i) {
        const auto& p = rq.params[i];
        if (!p.output)
            continue;
        const std::string declared = i < call.args.size() ? call.args[i].name : p.name;
        const Value* v = &p.value;
        for (const auto& [outName, outValue] : reply.outputs)
            if (equalsNoCase(outName, declared) ||
                (!p.name.empty() && equalsNoCase(outName, p.name)))
                v = &outValue;
        const TypeInfo type = nullableVariant(p.type);
        bool overflow = !representable(type, *v);
        if (overflow) {
            // Cutting the number to the client's declared size would hand it
            // a different value: refuse as SQL Server does.
            out.error(ServerError{8115, 16, 2,
                                  "Arithmetic overflow error converting the output parameter " +
                                      declared + "."});
            reply.error = ServerError{8115, 16, 2, {}};
        }
        out.returnValue(static_cast<std::uint16_t>(i), p.name.empty() ? declared : p.name, type,
                        overflow ? Value() : *v);
    }
}

struct TypeRow {
    const char* name;
    int odbcType;
    int precision;
    const char* prefix;
    int minScale;
    int maxScale;
};

constexpr TypeRow kTypes[] = {
    {"bit", -7, 1, nullptr, 0, 0},      {"int", 4, 10, nullptr, 0, 0},
    {"decimal", 3, 38, nullptr, 0, 38}, {"float", 6, 53, nullptr, 0, 0},
    {"varchar", 12, 8000, "'", 0, 0},   {"nvarchar", -9, 4000, "N'", 0, 0},
    {"datetime", 11, 23, "'", 3, 3},
};

ResultSet typeCatalogueShape()
{
    using T = ColumnType;
    ResultSet rs;
    rs.columns = {{"TYPE_NAME", T::Text},
                  {"DATA_TYPE", T::Int},
                  {"PRECISION", T::Int},
                  {"LITERAL_PREFIX", T::Text},
                  {"LITERAL_SUFFIX", T::Text},
                  {"CREATE_PARAMS", T::Text},
                  {"NULLABLE", T::Int},
                  {"CASE_SENSITIVE", T::Int},
                  {"SEARCHABLE", T::Int},
                  {"UNSIGNED_ATTRIBUTE", T::Int},
                  {"MONEY", T::Int},
                  {"AUTO_INCREMENT", T::Int},
                  {"LOCAL_TYPE_NAME", T::Text},
                  {"MINIMUM_SCALE", T::Int},
                  {"MAXIMUM_SCALE", T::Int},
                  {"SQL_DATA_TYPE", T::Int},
                  {"SQL_DATETIME_SUB", T::Int},
                  {"NUM_PREC_RADIX", T::Int},
                  {"INTERVAL_PRECISION", T::Int},
                  {"USERTYPE", T::Int}};
    return rs;
}

std::vector<Value> typeCatalogueRow(const TypeRow& t)
{
    const bool quoted = t.prefix != nullptr;
    Value prefix = quoted ? Value(t.prefix) : Value();
    Value suffix = quoted ? Value("'") : Value();
    return {t.name,
            t.odbcType,
            t.precision,
            prefix,
            suffix,
            Value(),
            1,
            quoted ? 1 : 0,
            3,
            Value(),
            0,
            Value(),
            t.name,
            t.minScale,
            t.maxScale,
            t.odbcType == 11 ? 9 : t.odbcType,
            t.odbcType == 11 ? 3 : Value(),
            quoted ? Value() : Value(10),
            Value(),
            0};
}

} // namespace

bool Session::isTypeInfo(std::string_view key)
{
    return key == "sp_datatype_info_100" || key == "sp_datatype_info";
}

void Session::typeInfo(TokenWriter& out, const std::vector<Value>& args, std::uint8_t end)
{
    // What ODBC drivers ask for on connect; only the shape matters to them.
    ResultSet rs = typeCatalogueShape();
    const std::int64_t wanted = args.empty() ? 0 : args[0].toInt().value_or(0);
    for (const auto& t : kTypes)
        if (wanted == 0 || wanted == t.odbcType)
            rs.row(typeCatalogueRow(t));
    out.resultSet(rs);
    out.done(DoneInProc, DoneCount, kCmdSelect, rs.rows.size());
    out.returnStatus(0);
    out.done(end, 0, kCmdExecute);
}

// Requests that carry statement text rather than a procedure: sp_executesql,
// the prepare family (what ODBC's SQLPrepare/SQLExecute become) and
// sp_cursoropen. Each statement runs directly, inside the request.
void Session::statementRequest(TokenWriter& out, RpcRequest& rq, const std::string& key)
{
    const std::optional<StatementCall> call = locateStatement(out, rq, key);
    if (!call)
        return;
    const std::vector<Statement> statements = parseBatch(call->statement);
    // Values given positionally take the names the declaration lists.
    const std::size_t first = std::min(call->valuesFrom, rq.params.size());
    const std::vector<RpcParam> variables = namedVariables(rq, first, call->declaration);
    recordStatement(rq, *call, statements, variables, first);

    if (key == "sp_cursoropen")
        out.info(16954, "Executing SQL directly; no cursor.");
    if (call->execute)
        runStatements(out, statements, true, &variables);
    statementOutputs(out, rq, key, call->handle);
    out.returnStatus(0);
    out.done(DoneProc, 0, kCmdExecute);
}

std::optional<Session::StatementCall>
Session::locateStatement(TokenWriter& out, const RpcRequest& rq, const std::string& key)
{
    auto textAt = [&](std::size_t i) {
        return i < rq.params.size() ? rq.params[i].value.toText() : std::string();
    };
    StatementCall c;
    c.name = requestName(rq);
    c.valuesFrom = rq.params.size();
    if (key == "sp_executesql") {
        c.statementAt = 0;
        c.declaration = textAt(1);
        c.valuesFrom = 2;
    } else if (key == "sp_cursoropen") {
        c.statementAt = 1;
    } else if (key == "sp_prepexec" || key == "sp_prepare") {
        c.statementAt = 2;
        c.declaration = textAt(1);
        c.valuesFrom = key == "sp_prepare" ? rq.params.size() : 3;
        c.execute = key == "sp_prepexec";
        c.handle = prepare(textAt(2), c.declaration);
    } else if (!recallPrepared(out, rq, c)) {
        return std::nullopt;
    }
    if (c.statementAt < rq.params.size())
        c.statement = textAt(c.statementAt);
    return c;
}

std::int64_t Session::prepare(std::string statement, std::string declaration)
{
    const std::int64_t handle = m_nextHandle++;
    // A client that never unprepares must not grow the session without bound.
    if (m_prepared.size() >= 4096)
        m_prepared.erase(m_prepared.begin());
    m_prepared[handle] = {std::move(statement), std::move(declaration)};
    return handle;
}

// sp_execute: the text and declaration come from an earlier sp_prepare.
bool Session::recallPrepared(TokenWriter& out, const RpcRequest& rq, StatementCall& c)
{
    c.statementAt = rq.params.size();
    c.handle = rq.params.empty() ? 0 : rq.params[0].value.toInt().value_or(0);
    auto it = m_prepared.find(c.handle);
    if (it == m_prepared.end()) {
        record(true, Journal::callText(c.name, {}), "", {});
        out.error(ServerError{8179, 16, 2,
                              "Could not find prepared statement with handle " +
                                  std::to_string(c.handle) + "."});
        out.done(DoneProc, DoneError, kCmdExecute);
        return false;
    }
    c.statement = it->second.first;
    c.declaration = it->second.second;
    c.valuesFrom = 1;
    return true;
}

void Session::recordStatement(const RpcRequest& rq, const StatementCall& call,
                              const std::vector<Statement>& statements,
                              const std::vector<RpcParam>& variables, std::size_t first)
{
    std::vector<Value> values;
    for (const auto& p : rq.params)
        values.push_back(p.value);
    if (call.statementAt < values.size())
        values[call.statementAt] = Value(m_mask.batch(call.statement, statements));
    // A secret passed through a variable is masked where its value travels.
    for (std::size_t v = 0; v < variables.size(); ++v)
        if (m_mask.isSecretVariable(statements, variables[v].name))
            values[first + v] = Value(Journal::kMask);
    if (call.statementAt >= rq.params.size() && !call.statement.empty())
        values.insert(values.begin(), Value(m_mask.batch(call.statement, statements)));
    record(true, Journal::callText(call.name, values),
           call.execute ? firstProcedure(statements) : std::string(), {});
}

std::string Session::runRpc(std::string_view payload)
{
    TokenWriter out;
    std::vector<RpcRequest> requests;
    try {
        requests = parseRpc(payload);
    } catch (const ProtocolError& e) {
        out.message(true, 8009, 1, 16,
                    std::string("The incoming remote procedure call is malformed: ") + e.what());
        out.done(DoneProc, DoneError);
        return frame(out.finish());
    }
    for (auto& rq : requests)
        rpcRequest(out, rq);
    return frame(out.finish());
}

void Session::rpcRequest(TokenWriter& out, RpcRequest& rq)
{
    const std::string name = requestName(rq);
    const std::string key = ProcedureRegistry::key(name);
    if (isStatementRequest(key)) {
        statementRequest(out, rq, key);
        return;
    }
    std::vector<Value> values;
    std::vector<Argument> args;
    for (const auto& p : rq.params) {
        values.push_back(p.value);
        args.push_back(Argument{p.name, p.value, p.output});
    }

    // Releasing a prepared statement or cursor is the driver's housekeeping,
    // not a command: it is journalled without a procedure, like SET.
    const bool housekeeping = key == "sp_unprepare" || key == "sp_cursorclose";
    std::vector<Value> shown = m_mask.values(name, args);
    std::string text = Journal::callText(name, shown);
    record(true, std::move(text), housekeeping ? std::string() : name, std::move(shown));

    if (housekeeping) {
        if (key == "sp_unprepare" && !rq.params.empty())
            m_prepared.erase(rq.params[0].value.toInt().value_or(0));
        out.returnStatus(0);
        out.done(DoneProc, 0, kCmdExecute);
    } else if (isTypeInfo(key)) {
        typeInfo(out, values, DoneProc);
    } else if (rq.procId || !m_ctx.registry || !m_ctx.registry->find(name)) {
        out.error(rq.procId
                      ? ServerError{16999, 16, 1,
                                    "The request " + name + " is not supported by this server."}
                      : notFound(name));
        out.done(DoneProc, DoneError, kCmdExecute);
    } else {
        procedureRequest(out, rq, name);
    }
}

void Session::procedureRequest(TokenWriter& out, const RpcRequest& rq, const std::string& name)
{
    Call call;
    call.procedure = name;
    call.catalogue = m_catalogue;
    call.connectionId = m_connectionId;
    call.client = m_ctx.client;
    for (const auto& p : rq.params)
        call.args.push_back(Argument{p.name, p.value, p.output});
    Reply reply = callProcedure(out, call);
    procedureOutputs(out, rq, call, reply);
    out.returnStatus(reply.returnStatus);
    out.done(DoneProc, failed(reply) ? DoneError : 0, kCmdExecute);
}

} // namespace lectora::server::tds
