#pragma once
// One client connection: the login handshake, then SQL batches and RPC
// requests turned into procedure calls and their replies turned into tokens.
// The session knows procedures only through the registry and the host, and
// never the socket: servePackets (PacketLoop.h) carries its messages.

#include "server/EmbeddedServer.h"
#include "server/Journal.h"
#include "server/LoginThrottle.h"
#include "server/ProcedureHost.h"
#include "server/tds/Batch.h"
#include "server/tds/Login.h"
#include "server/tds/Rpc.h"
#include "server/tds/SecretMask.h"
#include "server/tds/Tls.h"
#include "server/tds/Tokens.h"
#include "server/tds/Wire.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace lectora::server::tds
{

struct SessionContext {
    std::string login;
    std::string password;
    ProcedureRegistry* registry = nullptr;
    ProcedureHost* host = nullptr;
    Journal* journal = nullptr;
    // Canonical catalogue name for a requested database, or "" when unknown.
    std::function<std::string(std::string_view)> resolveCatalogue;
    // What PRELOGIN offers; anything but Off needs the credentials.
    ServerEncryption encryption = ServerEncryption::Off;
    std::shared_ptr<const TlsCredentials> tls;
    // The peer's address ("127.0.0.1"), for what is kept per address.
    std::string client;
    // Makes each wrong login from an address wait longer; null: no wait.
    LoginThrottle* throttle = nullptr;
    // Non-zero: the server already holds this many logged-in connections,
    // and this one's login is refused with the error clients show for it.
    std::size_t fullAt = 0;
};

class Session
{
public:
    Session(SessionContext context, int connectionId);

    struct Outcome {
        std::string reply; // framed packets, possibly empty
        bool close = false;
        // Set by the PRELOGIN answer: TLS (LoginOnly or Whole) starts with
        // the client's next bytes; Refused offers it to a client that said
        // it cannot encrypt when this server requires it.
        EncryptionOutcome::Link tls = EncryptionOutcome::Link::Clear;
        // How long to hold the reply back (a wrong login).
        std::chrono::milliseconds delay{0};
    };
    // Handles one whole request message. Never throws: broken input closes.
    Outcome handle(const Message& message);

    const std::string& catalogue() const { return m_catalogue; }
    bool loggedIn() const { return m_state == State::LoggedIn; }
    const TlsCredentials* credentials() const { return m_ctx.tls.get(); }
    // The link is encrypted for the whole session: a client that said it
    // could not encrypt but did is not refused for what it said.
    void linkEncrypted() { m_refusal.clear(); }

private:
    enum class State { AwaitPreLogin, AwaitLogin, LoggedIn };

    Outcome preLogin(const Message& message);
    Outcome login(const Message& message);
    Outcome refuse(int number, std::uint8_t severity, const std::string& text);
    Outcome wrongCredentials(const Login7& login);
    Outcome accept(const Login7& login, const std::string& catalogue);
    std::string runBatch(const std::string& text);
    std::string runRpc(std::string_view payload);

    // The statements of a batch; inside a procedure (sp_executesql, a cursor
    // statement) row counts and ends go out as DONEINPROC.
    void runStatements(TokenWriter& out, const std::vector<Statement>& statements, bool inProc,
                       const std::vector<RpcParam>* variables);
    // `secrets`: the statements name a procedure with secrets, so the
    // refusal does not quote the text.
    void refuseStatement(TokenWriter& out, const Statement& st, bool inProc, bool secrets);
    void runCall(TokenWriter& out, const Statement& st, bool inProc,
                 const std::vector<RpcParam>* variables);
    void executeSql(TokenWriter& out, const std::vector<Argument>& args, std::uint8_t end);
    // Runs one registered procedure and writes its results; returns the reply.
    Reply callProcedure(TokenWriter& out, Call& call);

    // The type catalogue ODBC drivers ask for, ended as a procedure with `end`.
    static bool isTypeInfo(std::string_view key);
    void typeInfo(TokenWriter& out, const std::vector<Value>& args, std::uint8_t end);
    void rpcRequest(TokenWriter& out, RpcRequest& rq);
    void procedureRequest(TokenWriter& out, const RpcRequest& rq, const std::string& name);

    struct StatementCall;
    void statementRequest(TokenWriter& out, RpcRequest& rq, const std::string& key);
    std::optional<StatementCall> locateStatement(TokenWriter& out, const RpcRequest& rq,
                                                 const std::string& key);
    // Keeps a prepared statement and returns its handle.
    std::int64_t prepare(std::string statement, std::string declaration);
    bool recallPrepared(TokenWriter& out, const RpcRequest& rq, StatementCall& call);
    void recordStatement(const RpcRequest& rq, const StatementCall& call,
                         const std::vector<Statement>& statements,
                         const std::vector<RpcParam>& variables, std::size_t first);

    std::string frame(std::string tokens);
    void record(bool rpc, std::string text, std::string procedure, std::vector<Value> args);

    SessionContext m_ctx;
    SecretMask m_mask;
    int m_connectionId;
    State m_state = State::AwaitPreLogin;
    std::string m_refusal; // why PRELOGIN's encryption outcome bars the login
    std::string m_catalogue;
    // Prepared statements by handle: text and parameter declaration.
    std::map<std::int64_t, std::pair<std::string, std::string>> m_prepared;
    std::int64_t m_nextHandle = 1;
};

} // namespace lectora::server::tds
