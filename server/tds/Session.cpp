#include "server/tds/Session.h"

#include "server/tds/Login.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace lectora::server::tds
{

namespace
{

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool mentionsSecretProcedure(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("sp_kvr_persona") != std::string::npos;
}

// Replaces every occurrence of a secret value in a message meant for the
// client or the journal.
std::string withoutSecrets(std::string text, const std::vector<std::string>& secrets)
{
    for (const auto& s : secrets) {
        if (s.empty())
            continue;
        for (std::size_t at = text.find(s); at != std::string::npos;
             at = text.find(s, at + std::char_traits<char>::length(Journal::kMask)))
            text.replace(at, s.size(), Journal::kMask);
    }
    return text;
}

// The batch text as the journal shows it: secret arguments replaced in place,
// and a statement too broken to find its arguments in cut after the name.
std::string maskedBatch(std::string text, const std::vector<Statement>& statements)
{
    for (auto st = statements.rbegin(); st != statements.rend(); ++st) {
        if (st->kind == Statement::Kind::Call) {
            for (std::size_t i = st->args.size(); i-- > 0;) {
                if (!Journal::isSecret(st->procedure, i))
                    continue;
                const auto& a = st->args[i];
                if (a.variable.empty())
                    text.replace(st->begin + a.begin, a.end - a.begin, Journal::kMask);
            }
        } else if (st->kind == Statement::Kind::Error && mentionsSecretProcedure(st->text)) {
            std::string lower = st->text;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const std::size_t cut = lower.find("sp_kvr_persona") + 14;
            text.replace(st->begin + cut, st->text.size() - cut, " " + std::string(Journal::kMask));
        }
    }
    return text;
}

std::vector<Value> maskedValues(std::string_view procedure, std::vector<Value> values)
{
    for (std::size_t i = 0; i < values.size(); ++i)
        if (Journal::isSecret(procedure, i) && !values[i].isNull())
            values[i] = Value(Journal::kMask);
    return values;
}

std::vector<std::string> secretsOf(std::string_view procedure, const std::vector<Value>& values)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (Journal::isSecret(procedure, i) && !values[i].isNull())
            out.push_back(values[i].toText());
    return out;
}

const char* systemProcName(std::uint16_t id)
{
    switch (static_cast<SystemProc>(id)) {
    case SystemProc::CursorOpen:
        return "sp_cursoropen";
    case SystemProc::CursorFetch:
        return "sp_cursorfetch";
    case SystemProc::CursorClose:
        return "sp_cursorclose";
    case SystemProc::ExecuteSql:
        return "sp_executesql";
    case SystemProc::Prepare:
        return "sp_prepare";
    case SystemProc::Execute:
        return "sp_execute";
    case SystemProc::PrepExec:
        return "sp_prepexec";
    case SystemProc::Unprepare:
        return "sp_unprepare";
    }
    return "";
}

ServerError notFound(std::string_view name)
{
    return ServerError{2812, 16, 62,
                       "Could not find stored procedure '" + std::string(name) + "'."};
}

constexpr std::uint16_t kCmdSelect = 0xC1;

bool failed(const Reply& r)
{
    return r.error && r.error->severity > 10;
}

} // namespace

Session::Session(SessionContext context, int connectionId)
    : m_ctx(std::move(context)), m_connectionId(connectionId)
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
    if (!iequals(login.userName, m_ctx.login) || login.password != m_ctx.password) {
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
    record(false, maskedBatch(text, statements), procedure, maskedValues(procedure, args));

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
            if (mentionsSecretProcedure(st.text))
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
                        if (iequals(p.name, a.variable))
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
    const std::vector<std::string> secrets = secretsOf(call.procedure, values);

    Reply reply;
    try {
        reply = m_ctx.host->run(call);
    } catch (const std::exception& e) {
        reply = Reply::fail(e.what());
    }
    if (reply.delay.count() > 0)
        std::this_thread::sleep_for(reply.delay);
    for (const auto& text : reply.infos)
        out.info(0, withoutSecrets(text, secrets));
    for (const auto& rs : reply.results) {
        if (rs.columns.empty())
            continue;
        out.resultSet(rs);
        out.done(DoneInProc, DoneCount, kCmdSelect, rs.rows.size());
    }
    if (reply.error) {
        ServerError e = *reply.error;
        e.message = withoutSecrets(e.message, secrets);
        out.error(e, ProcedureRegistry::key(call.procedure));
    }
    return reply;
}

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
        journalValues[statementAt] = Value(maskedBatch(statement, statements));
    // A secret passed through a variable is masked where its value travels.
    for (const auto& st : statements) {
        if (st.kind != Statement::Kind::Call)
            continue;
        for (std::size_t a = 0; a < st.args.size(); ++a) {
            if (st.args[a].variable.empty() || !Journal::isSecret(st.procedure, a))
                continue;
            for (std::size_t v = 0; v < variables.size(); ++v)
                if (iequals(variables[v].name, st.args[a].variable))
                    journalValues[first + v] = Value(Journal::kMask);
        }
    }
    std::string inner;
    for (const auto& st : statements)
        if (st.kind == Statement::Kind::Call && inner.empty())
            inner = st.procedure;
    if (statementAt >= rq.params.size() && !statement.empty())
        journalValues.insert(journalValues.begin(), Value(maskedBatch(statement, statements)));
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
    record(true, Journal::callText(name, maskedValues(name, values)),
           housekeeping ? std::string() : name, maskedValues(name, values));

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
            if (iequals(outName, declared) || (!p.name.empty() && iequals(outName, p.name)))
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

void Session::serve(int fd)
{
    Deframer deframer;
    std::string buffer(64 * 1024, '\0');
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        deframer.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        for (;;) {
            std::optional<Message> message;
            try {
                message = deframer.next();
            } catch (const ProtocolError&) {
                return;
            }
            if (!message)
                break;
            Outcome outcome = handle(*message);
            std::size_t sent = 0;
            while (sent < outcome.reply.size()) {
                const ssize_t w = ::send(fd, outcome.reply.data() + sent,
                                         outcome.reply.size() - sent, MSG_NOSIGNAL);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    return;
                sent += static_cast<std::size_t>(w);
            }
            if (outcome.close)
                return;
        }
    }
}

} // namespace lectora::server::tds
