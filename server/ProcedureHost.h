#pragma once
// The procedure host: a registry of stored procedures by name and the values
// they take and answer. It knows nothing of the wire protocol; the TDS session
// turns batches and RPC requests into a Call and a Reply back into tokens.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <variant>
#include <vector>

namespace lectora::server
{

class Database;

// A SQL value as the procedures see it. Text is UTF-8.
struct Value {
    using Data = std::variant<std::monostate, std::int64_t, double, std::string>;
    Data data;

    Value() = default;
    Value(std::int64_t v) : data(v) {}
    Value(int v) : data(std::int64_t{v}) {}
    Value(double v) : data(v) {}
    Value(std::string v) : data(std::move(v)) {}
    Value(const char* v) : data(std::string(v)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(data); }
    // The value as SQL Server would convert it to text / a whole number; a
    // null reads as "" / 0. toInt() of a text that is not a number is nullopt.
    std::string toText() const;
    std::optional<std::int64_t> toInt() const;
    bool operator==(const Value&) const = default;
};

// How a result column is declared on the wire.
enum class ColumnType { Text, Int, Decimal, Bit, Float };

struct Column {
    std::string name;
    ColumnType type = ColumnType::Text;
};

struct ResultSet {
    std::vector<Column> columns;
    std::vector<std::vector<Value>> rows;

    // Convenience for procedures: one text column per name.
    static ResultSet texts(std::vector<std::string> names);
    ResultSet& row(std::vector<Value> values);
};

struct ServerError {
    int number = 50000;
    int severity = 16; // >= 11 makes the client's command fail
    int state = 1;
    std::string message;
};

// One argument of a call, in the order the client sent it. An argument sent
// by position gets its `name` from the procedure's declared parameter list;
// one sent by name keeps the client's spelling.
struct Argument {
    std::string name;
    Value value;
    bool output = false;
};

struct Call {
    std::string procedure; // as received, e.g. "sp_KVR_Persona" or "sp_KVR_ObtieneIDProducto;1"
    std::string catalogue; // "KV_NORDA_PREVENTA", "KV_NORDAPAVREL" or "KV_ULMAR"
    int connectionId = 0;
    std::string client; // the peer's address, for limits kept per address
    std::vector<Argument> args;
    // The procedure's declared parameters, filled by the host before the body runs.
    std::vector<std::string> params;
    Database* db = nullptr; // the catalogue's database; null for scripted calls without data

    // The declared parameter at position i (0-based), whichever way the
    // client passed it; without a declaration the i-th argument sent. A null
    // value when it was not passed.
    const Value& arg(std::size_t i) const;
    // The argument declared under `name` ("@Serie"), case-insensitive, or null.
    const Value& arg(std::string_view name) const;
    // Whether an argument was passed under `name` (by position or by name).
    bool has(std::string_view name) const;
    std::string text(std::size_t i) const { return arg(i).toText(); }
};

struct Reply {
    std::vector<ResultSet> results;
    // Output parameter values by declared name ("@Error"); outputs the client
    // asked for and the procedure did not set come back as they went in.
    std::map<std::string, Value, std::less<>> outputs;
    int returnStatus = 0;
    std::optional<ServerError> error;
    std::vector<std::string> infos;
    // A scripted procedure may ask the session to wait before answering.
    std::chrono::milliseconds delay{0};

    static Reply rows(ResultSet rs)
    {
        Reply r;
        r.results.push_back(std::move(rs));
        return r;
    }
    static Reply fail(std::string message, int number = 50000)
    {
        Reply r;
        r.error = ServerError{number, 16, 1, std::move(message)};
        return r;
    }
};

using ProcedureBody = std::function<Reply(Call&)>;

struct Procedure {
    std::string name;                // canonical spelling
    std::vector<std::string> params; // declared names in order, "@Serie", ...
    ProcedureBody body;
    // Declared names of the arguments that must never be shown (journal,
    // error texts): a password, whichever way the call passes it.
    std::vector<std::string> secrets = {};
};

// Registry of procedures, resolved case-insensitively with any ";N" group
// suffix removed, as SQL Server resolves names. Scripted procedures (tests)
// take precedence over the built-in ones and can be removed again.
class ProcedureRegistry
{
public:
    void add(Procedure p);
    void script(const std::string& name, ProcedureBody body, std::vector<std::string> params = {});
    void unscript(const std::string& name);
    void clearScripts();
    // Copy of the procedure to run (copy, so a script may be replaced while a call runs).
    std::optional<Procedure> find(std::string_view name) const;
    // Name without schema prefix ("dbo.") and group suffix (";1"), lower case.
    static std::string key(std::string_view name);

    // Whether the argument a call passes at `position` (0-based), under
    // `name` when it names it ("" when positional), is a declared secret, or
    // a name the procedure does not declare in a call to one with secrets.
    bool isSecret(std::string_view procedure, std::size_t position, std::string_view name) const;
    // Keys of the procedures that have a secret argument, to recognise a call
    // too broken to find its arguments in.
    std::vector<std::string> withSecrets() const;

private:
    mutable std::shared_mutex m_mutex;
    std::map<std::string, Procedure> m_builtin;
    std::map<std::string, Procedure> m_scripted;
};

// Runs a call: finds the procedure, binds the arguments to its declared
// parameters (by position, or by name in any order, as SQL Server does), locks the catalogue's
// database for the call and runs the body. Unknown procedures answer error 2812; exceptions thrown
// by a body become an error reply (a procedure never takes the server down).
class ProcedureHost
{
public:
    ProcedureHost(ProcedureRegistry& registry,
                  std::function<Database*(std::string_view)> catalogue);
    Reply run(Call& call);

private:
    // Names the positional arguments after the declared parameters and
    // checks the named ones; the error SQL Server gives when they do not fit.
    static std::optional<ServerError> bind(Call& call, const Procedure& procedure);

    ProcedureRegistry& m_registry;
    std::function<Database*(std::string_view)> m_catalogue;
};

// The catalogues the stand-in serves, in this order.
inline constexpr const char* kCatalogues[] = {"KV_NORDA_PREVENTA", "KV_NORDAPAVREL", "KV_ULMAR"};

// Built-in procedures and demo data, one registration function per terminal
// subsystem (server/procedures/*.cpp). `seed` creates the tables and fills the
// demo data of one catalogue; it runs inside a transaction on first start.
struct ProcedureModule {
    const char* name;
    void (*registerProcedures)(ProcedureRegistry&);
    void (*seed)(Database&, std::string_view catalogue);
    // Brings a catalogue made by an older version up to date, losing
    // nothing; runs on every start inside a transaction. May be null.
    void (*upgrade)(Database&) = nullptr;
};
const std::vector<ProcedureModule>& procedureModules();

} // namespace lectora::server
