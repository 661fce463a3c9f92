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

namespace
{

// Names declared in a parameter list such as "@P1 varchar(30),@P2 decimal(9,2)".
std::vector<std::string> declaredNames(std::string_view declaration)
{
    std::vector<std::string> names;
    int depth = 0;
    bool expectName = true;
    for (std::size_t i = 0; i < declaration.size(); ++i) {
        const char c = declaration[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            depth = std::max(depth - 1, 0);
        } else if (c == ',' && depth == 0) {
            expectName = true;
        } else if (c == '@' && expectName) {
            std::size_t e = i + 1;
            while (
                e < declaration.size() &&
                (std::isalnum(static_cast<unsigned char>(declaration[e])) || declaration[e] == '_'))
                ++e;
            names.emplace_back(declaration.substr(i, e - i));
            expectName = false;
            i = e - 1;
        }
    }
    return names;
}

} // namespace

void Session::typeInfo(TokenWriter& out, const std::vector<Value>& args)
{
    // What ODBC drivers ask for on connect; only the shape matters to them.
    ResultSet rs;
    const char* textCols[] = {"TYPE_NAME", "LITERAL_PREFIX", "LITERAL_SUFFIX", "CREATE_PARAMS",
                              "LOCAL_TYPE_NAME"};
    auto col = [&](const char* name) {
        bool text = std::any_of(std::begin(textCols), std::end(textCols),
                                [&](const char* t) { return std::string_view(t) == name; });
        rs.columns.push_back({name, text ? ColumnType::Text : ColumnType::Int});
    };
    for (const char* name : {"TYPE_NAME",
                             "DATA_TYPE",
                             "PRECISION",
                             "LITERAL_PREFIX",
                             "LITERAL_SUFFIX",
                             "CREATE_PARAMS",
                             "NULLABLE",
                             "CASE_SENSITIVE",
                             "SEARCHABLE",
                             "UNSIGNED_ATTRIBUTE",
                             "MONEY",
                             "AUTO_INCREMENT",
                             "LOCAL_TYPE_NAME",
                             "MINIMUM_SCALE",
                             "MAXIMUM_SCALE",
                             "SQL_DATA_TYPE",
                             "SQL_DATETIME_SUB",
                             "NUM_PREC_RADIX",
                             "INTERVAL_PRECISION",
                             "USERTYPE"})
        col(name);
    struct TypeRow {
        const char* name;
        int odbcType;
        int precision;
        const char* prefix;
        int minScale;
        int maxScale;
    };
    static const TypeRow types[] = {
        {"bit", -7, 1, nullptr, 0, 0},      {"int", 4, 10, nullptr, 0, 0},
        {"decimal", 3, 38, nullptr, 0, 38}, {"float", 6, 53, nullptr, 0, 0},
        {"varchar", 12, 8000, "'", 0, 0},   {"nvarchar", -9, 4000, "N'", 0, 0},
        {"datetime", 11, 23, "'", 3, 3},
    };
    const std::int64_t wanted = args.empty() ? 0 : args[0].toInt().value_or(0);
    for (const auto& t : types) {
        if (wanted != 0 && wanted != t.odbcType)
            continue;
        const bool quoted = t.prefix != nullptr;
        Value prefix = quoted ? Value(t.prefix) : Value();
        Value suffix = quoted ? Value("'") : Value();
        rs.row({t.name,
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
                0});
    }
    out.resultSet(rs);
    out.done(DoneInProc, DoneCount, kCmdSelect, rs.rows.size());
}

// Requests that carry statement text rather than a procedure: sp_executesql,
// the prepare family (what ODBC's SQLPrepare/SQLExecute become) and
// sp_cursoropen. Each statement runs directly, inside the request.
void Session::statementRequest(TokenWriter& out, RpcRequest& rq, const std::string& key)
{
    const std::string name = rq.procId ? systemProcName(rq.procId) : rq.procedure;
    auto textAt = [&](std::size_t i) {
        return i < rq.params.size() ? rq.params[i].value.toText() : std::string();
    };
    std::string statement;
    std::string declaration;
    std::size_t statementAt = 0;
    std::size_t valuesFrom = rq.params.size();
    std::int64_t handle = 0;
    bool execute = true;
    if (key == "sp_executesql") {
        statementAt = 0;
        declaration = textAt(1);
        valuesFrom = 2;
    } else if (key == "sp_cursoropen") {
        statementAt = 1;
    } else if (key == "sp_prepexec" || key == "sp_prepare") {
        statementAt = 2;
        declaration = textAt(1);
        valuesFrom = key == "sp_prepare" ? rq.params.size() : 3;
        execute = key == "sp_prepexec";
        handle = m_nextHandle++;
        // A client that never unprepares must not grow the session without bound.
        if (m_prepared.size() >= 4096)
            m_prepared.erase(m_prepared.begin());
        m_prepared[handle] = {textAt(2), declaration};
    } else {
        statementAt = rq.params.size();
        handle = rq.params.empty() ? 0 : rq.params[0].value.toInt().value_or(0);
        auto it = m_prepared.find(handle);
        if (it == m_prepared.end()) {
            record(true, Journal::callText(name, {}), "", {});
            out.error(ServerError{8179, 16, 2,
                                  "Could not find prepared statement with handle " +
                                      std::to_string(handle) + "."});
            out.done(DoneProc, DoneError, kCmdExecute);
            return;
        }
        statement = it->second.first;
        declaration = it->second.second;
        valuesFrom = 1;
    }
    if (statementAt < rq.params.size())
        statement = textAt(statementAt);

    const std::vector<Statement> statements = parseBatch(statement);

    // Values given positionally take the names the declaration lists.
    const std::size_t first = std::min(valuesFrom, rq.params.size());
    std::vector<RpcParam> variables(rq.params.begin() + first, rq.params.end());
    const std::vector<std::string> names = declaredNames(declaration);
    for (std::size_t i = 0; i < variables.size() && i < names.size(); ++i)
        if (variables[i].name.empty())
            variables[i].name = names[i];

    std::vector<Value> journalValues;
    for (const auto& p : rq.params)
        journalValues.push_back(p.value);
    if (statementAt < journalValues.size())
        journalValues[statementAt] = Value(m_mask.batch(statement, statements));
    // A secret passed through a variable is masked where its value travels.
    for (const auto& st : statements) {
        if (st.kind != Statement::Kind::Call)
            continue;
        for (std::size_t a = 0; a < st.args.size(); ++a) {
            if (st.args[a].variable.empty() || !m_mask.isSecret(st.procedure, a))
                continue;
            for (std::size_t v = 0; v < variables.size(); ++v)
                if (equalsNoCase(variables[v].name, st.args[a].variable))
                    journalValues[first + v] = Value(Journal::kMask);
        }
    }
    std::string inner;
    for (const auto& st : statements)
        if (st.kind == Statement::Kind::Call && inner.empty())
            inner = st.procedure;
    if (statementAt >= rq.params.size() && !statement.empty())
        journalValues.insert(journalValues.begin(), Value(m_mask.batch(statement, statements)));
    record(true, Journal::callText(name, journalValues), execute ? inner : std::string(), {});

    if (key == "sp_cursoropen")
        out.info(16954, "Executing SQL directly; no cursor.");
    if (execute)
        runStatements(out, statements, true, &variables);
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
    out.returnStatus(0);
    out.done(DoneProc, 0, kCmdExecute);
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
    const std::string name = rq.procId ? systemProcName(rq.procId) : rq.procedure;
    const std::string key = ProcedureRegistry::key(name);
    std::vector<Value> values;
    for (const auto& p : rq.params)
        values.push_back(p.value);

    if (key == "sp_executesql" || key == "sp_cursoropen" || key == "sp_prepexec" ||
        key == "sp_prepare" || key == "sp_execute") {
        statementRequest(out, rq, key);
        return;
    }

    // Releasing a prepared statement or cursor is the driver's housekeeping,
    // not a command: it is journalled without a procedure, like SET.
    const bool housekeeping = key == "sp_unprepare" || key == "sp_cursorclose";
    record(true, Journal::callText(name, m_mask.values(name, values)),
           housekeeping ? std::string() : name, m_mask.values(name, values));

    if (key == "sp_unprepare" && !rq.params.empty())
        m_prepared.erase(rq.params[0].value.toInt().value_or(0));
    if (key == "sp_cursorclose" || key == "sp_unprepare") {
        out.returnStatus(0);
        out.done(DoneProc, 0, kCmdExecute);
        return;
    }
    if (key == "sp_datatype_info_100" || key == "sp_datatype_info") {
        typeInfo(out, values);
        out.returnStatus(0);
        out.done(DoneProc, 0, kCmdExecute);
        return;
    }
    if (rq.procId || !m_ctx.registry || !m_ctx.registry->find(name)) {
        out.error(rq.procId
                      ? ServerError{16999, 16, 1,
                                    "The request " + name + " is not supported by this server."}
                      : notFound(name));
        out.done(DoneProc, DoneError, kCmdExecute);
        return;
    }

    Call call;
    call.procedure = name;
    call.catalogue = m_catalogue;
    call.connectionId = m_connectionId;
    for (const auto& p : rq.params)
        call.args.push_back(Argument{p.name, p.value, p.output});
    Reply reply = callProcedure(out, call);

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
    out.returnStatus(reply.returnStatus);
    out.done(DoneProc, failed(reply) ? DoneError : 0, kCmdExecute);
}

} // namespace lectora::server::tds
