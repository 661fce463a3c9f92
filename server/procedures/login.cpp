// Procedures and demo data of the login windows: the operators and the login
// check. Every catalogue holds the same operators, because the client
// databases record the operator id of the one logged in on the main one.
#include "server/Database.h"
#include "server/ProcedureHost.h"

namespace lectora::server
{

namespace
{

Reply persona(Call& call)
{
    // A real server refuses a call that leaves out a parameter without a
    // default rather than treating it as null.
    if (call.args.size() < 2) {
        const char* missing = call.args.empty() ? "@Usuario" : "@Password";
        return Reply::fail(
            std::string("Procedure or function 'sp_KVR_Persona' expects parameter '") + missing +
                "', which was not supplied.",
            201);
    }
    if (call.args.size() > 2)
        return Reply::fail("Procedure or function sp_KVR_Persona has too many arguments.",
                           8144);

    ResultSet rs;
    rs.columns = {Column{"ID_Persona", ColumnType::Int}};
    if (!call.db)
        return Reply::rows(std::move(rs));
    // The user name compares as the server's default collation does (case and
    // trailing blanks ignored); the password must match exactly.
    auto found =
        call.db->query("SELECT ID_Persona FROM Persona"
                       " WHERE rtrim(Usuario) = rtrim(?1) COLLATE NOCASE AND Contrasena = ?2"
                       " AND Activo = 1 ORDER BY ID_Persona",
                       {call.arg(0).toText(), call.arg(1).toText()});
    rs.rows = std::move(found.rows);
    return Reply::rows(std::move(rs));
}

} // namespace

void registerLogin(ProcedureRegistry& registry)
{
    registry.add(Procedure{"sp_KVR_Persona", {"@Usuario", "@Password"}, persona});
}

void seedLogin(Database& db, std::string_view)
{
    db.exec("CREATE TABLE IF NOT EXISTS Persona ("
            " ID_Persona INTEGER PRIMARY KEY,"
            " Usuario TEXT NOT NULL UNIQUE COLLATE NOCASE,"
            " Contrasena TEXT NOT NULL,"
            " Nombre TEXT NOT NULL,"
            " Activo INTEGER NOT NULL DEFAULT 1);"
            "INSERT OR IGNORE INTO Persona (ID_Persona, Usuario, Contrasena, Nombre, Activo) VALUES"
            " (1, 'demo', 'demo', 'Operador de demostración', 1),"
            " (2, 'almacen', 'Velmór2', 'Jefe de almacén', 1),"
            " (3, 'baja', 'baja', 'Operador dado de baja', 0);");
}

} // namespace lectora::server
