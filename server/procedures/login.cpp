// Procedures and demo data of the login windows: the operators and the login
// check. Every catalogue holds the same operators, because the client
// databases record the operator id of the one logged in on the main one.
// Passwords are stored only as slow salted hashes (server/PasswordHash.h),
// an older form rewritten in the current one at the next successful login.
#include "server/Database.h"
#include "server/LoginThrottle.h"
#include "server/PasswordHash.h"
#include "server/ProcedureHost.h"

#include <array>

namespace lectora::server
{

namespace
{

LoginThrottle& operatorThrottle()
{
    static LoginThrottle throttle;
    return throttle;
}

Reply persona(Call& call)
{
    // A real server refuses a call that leaves out a parameter without a
    // default rather than treating it as null.
    for (const char* name : {"@Usuario", "@Password"}) {
        if (!call.has(name))
            return Reply::fail(
                std::string("Procedure or function 'sp_KVR_Persona' expects parameter '") + name +
                    "', which was not supplied.",
                201);
    }
    if (call.args.size() > 2)
        return Reply::fail("Procedure or function sp_KVR_Persona has too many arguments.", 8144);

    ResultSet rs;
    rs.columns = {Column{"ID_Persona", ColumnType::Int}};
    if (!call.db)
        return Reply::rows(std::move(rs));
    // The user name compares as the server's default collation does (case and
    // trailing blanks ignored); the password must match exactly.
    const ResultSet candidates =
        call.db->query("SELECT ID_Persona, Contrasena FROM Persona"
                       " WHERE rtrim(Usuario) = rtrim(?1) COLLATE NOCASE AND Activo = 1"
                       " ORDER BY ID_Persona",
                       {call.arg("@Usuario").toText()});
    const std::string plain = call.arg("@Password").toText();
    for (const auto& row : candidates.rows) {
        const std::string stored = row[1].toText();
        if (!password::matches(plain, stored))
            continue;
        rs.rows.push_back({row[0]});
        // A hash in an older form is written anew now that the password is
        // at hand; the operator logs in as before either way.
        if (!password::isCurrent(stored))
            call.db->query("UPDATE Persona SET Contrasena = ?1 WHERE ID_Persona = ?2",
                           {password::hash(plain), row[0]});
    }
    Reply reply = Reply::rows(std::move(rs));
    // Held until its turn among the address's logins, right or wrong.
    reply.delay = operatorThrottle().attempt(call.client);
    if (!reply.results[0].rows.empty())
        operatorThrottle().succeeded(call.client);
    return reply;
}

// The demo operators' stored passwords, made once per process: every
// catalogue (and every in-memory catalogue a test starts) holds the same
// operators, and each hash costs a deliberate few tens of milliseconds.
const std::array<std::string, 3>& demoHashes()
{
    static const std::array<std::string, 3> hashes = {
        password::hash("demo"), password::hash("Velmór2"), password::hash("baja")};
    return hashes;
}

} // namespace

void registerLogin(ProcedureRegistry& registry)
{
    registry.add(Procedure{"sp_KVR_Persona", {"@Usuario", "@Password"}, persona, {"@Password"}});
}

void seedLogin(Database& db, std::string_view)
{
    db.exec("CREATE TABLE IF NOT EXISTS Persona ("
            " ID_Persona INTEGER PRIMARY KEY,"
            " Usuario TEXT NOT NULL UNIQUE COLLATE NOCASE,"
            " Contrasena TEXT NOT NULL,"
            " Nombre TEXT NOT NULL,"
            " Activo INTEGER NOT NULL DEFAULT 1);");
    const auto& h = demoHashes();
    db.query(
        "INSERT OR IGNORE INTO Persona (ID_Persona, Usuario, Contrasena, Nombre, Activo) VALUES"
        " (1, 'demo', ?1, 'Operador de demostración', 1),"
        " (2, 'almacen', ?2, 'Jefe de almacén', 1),"
        " (3, 'baja', ?3, 'Operador dado de baja', 0)",
        {h[0], h[1], h[2]});
}

// Data folders made before passwords were hashed keep them in plain text:
// each one is replaced by its hash, so the operators log in as before.
void upgradeLogin(Database& db)
{
    if (db.scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'Persona'")
            .toInt()
            .value_or(0) == 0)
        return;
    const ResultSet rows = db.query("SELECT ID_Persona, Contrasena FROM Persona");
    for (const auto& row : rows.rows) {
        const std::string stored = row[1].toText();
        if (!password::isHashed(stored))
            db.query("UPDATE Persona SET Contrasena = ?1 WHERE ID_Persona = ?2",
                     {password::hash(stored), row[0]});
    }
}

} // namespace lectora::server
