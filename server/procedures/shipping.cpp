// Procedures and demo data of the shipping windows. A manifest lists the
// pallets it ships; validating a pallet marks it as loaded, so scanning it
// again is refused. A relocation moves a pallet between locations of its
// warehouse: the destination takes its affectation date and the origin is
// freed when no pallet is left there. The pallet and location tables are the
// inbound ones (wh_).
#include "server/Database.h"
#include "server/ProcedureHost.h"
#include "server/procedures/Answers.h"

#include <optional>
#include <string>

namespace lectora::server
{

void createWarehouseTables(Database& db); // inbound.cpp

namespace
{

using namespace answers;

// 1 no such manifest; 2 the manifest is not open; 3 no such pallet; 4 the
// pallet is not on the manifest; 5 already validated; 0 validated and recorded.
Reply validaEmbarque(Call& call)
{
    Database& db = *call.db;
    const std::string manifest = arg(call, 0), pallet = arg(call, 1), who = arg(call, 2);
    ResultSet m = db.query("SELECT manifiesto, estatus FROM shp_manifiesto WHERE manifiesto = ?1",
                           {manifest});
    if (m.rows.empty())
        return status("1", "No existe el manifiesto " + manifest + ".");
    const std::string code = m.rows.front()[0].toText();
    if (m.rows.front()[1].toText() != "Abierto")
        return status("2", "El manifiesto " + code + " esta " + m.rows.front()[1].toText() + ".");
    if (db.scalar("SELECT tarima FROM wh_tarima WHERE tarima = ?1", {pallet}).isNull())
        return status("3", "No existe la tarima " + pallet + ".");
    ResultSet line = db.query("SELECT tarima, fecha_validacion FROM shp_manifiesto_tarima "
                              "WHERE manifiesto = ?1 AND tarima = ?2",
                              {code, pallet});
    if (line.rows.empty())
        return status("4", "La tarima " + pallet + " no pertenece al manifiesto " + code + ".");
    if (!line.rows.front()[1].isNull())
        return status("5", "La tarima " + pallet + " ya fue validada el " +
                               line.rows.front()[1].toText() + ".");
    db.transaction([&] {
        db.query(std::string("UPDATE shp_manifiesto_tarima SET validada_por = ?1, "
                             "fecha_validacion = ") +
                     kNow + " WHERE manifiesto = ?2 AND tarima = ?3",
                 {who, code, line.rows.front()[0]});
    });
    return status("0", "Tarima " + line.rows.front()[0].toText() + " validada para el manifiesto " +
                           code + ".");
}

struct Move {
    std::string pallet, from, to;
};

// The checks that the validation and the recording share (the recording runs
// them again: another terminal may have taken the location in between).
// 1 no such pallet; 2 no such location; 3 the pallet is there already; 4 the
// location holds another pallet; 5 the pallet is loaded on a manifest; 6 the
// location belongs to another warehouse. Empty when the move may go ahead.
std::optional<Reply> refuseMove(Database& db, const std::string& pallet,
                                const std::string& location, Move& move)
{
    ResultSet p = db.query(
        "SELECT tarima, almacen, COALESCE(id_localidad, '') FROM wh_tarima WHERE tarima = ?1",
        {pallet});
    if (p.rows.empty())
        return status("1", "No existe la tarima " + pallet + ".");
    ResultSet l = db.query(
        "SELECT id_localidad, almacen, fecha_afectacion FROM wh_localidad WHERE id_localidad = ?1",
        {location});
    if (l.rows.empty())
        return status("2", "No existe la localidad " + location + ".");
    move.pallet = p.rows.front()[0].toText();
    move.from = p.rows.front()[2].toText();
    move.to = l.rows.front()[0].toText();
    if (move.from == move.to)
        return status("3",
                      "La tarima " + move.pallet + " ya esta en la localidad " + move.to + ".");
    if (!l.rows.front()[2].isNull())
        return status("4", "La localidad " + move.to + " esta ocupada.");
    if (!db.scalar("SELECT tarima FROM shp_manifiesto_tarima WHERE tarima = ?1 AND "
                   "fecha_validacion IS NOT NULL",
                   {move.pallet})
             .isNull())
        return status("5", "La tarima " + move.pallet + " ya esta validada para embarque.");
    if (l.rows.front()[1].toText() != p.rows.front()[1].toText())
        return status("6", "La localidad " + move.to + " es de otro almacen.");
    return std::nullopt;
}

Reply validaTarimaUbicacion(Call& call)
{
    Move move;
    if (auto refusal = refuseMove(*call.db, arg(call, 0), arg(call, 1), move))
        return *refusal;
    return status("0", "La tarima " + move.pallet + " puede ir a " + move.to + ".");
}

Reply cambiaUbicacionTarima(Call& call)
{
    Database& db = *call.db;
    Move move;
    if (auto refusal = refuseMove(db, arg(call, 0), arg(call, 1), move))
        return *refusal;
    db.transaction([&] {
        db.query("UPDATE wh_tarima SET id_localidad = ?1 WHERE tarima = ?2",
                 {move.to, move.pallet});
        db.query(std::string("UPDATE wh_localidad SET fecha_afectacion = ") + kNow +
                     " WHERE id_localidad = ?1",
                 {move.to});
        if (!move.from.empty())
            db.query("UPDATE wh_localidad SET fecha_afectacion = NULL WHERE id_localidad = ?1 "
                     "AND NOT EXISTS (SELECT 1 FROM wh_tarima WHERE id_localidad = ?1)",
                     {move.from});
        db.query(std::string("INSERT INTO shp_reubicacion (tarima, origen, destino, fecha) "
                             "VALUES (?1, ?2, ?3, ") +
                     kNow + ")",
                 {move.pallet, move.from, move.to});
    });
    return status("0", "Tarima " + move.pallet + " reubicada en " + move.to + ".");
}

} // namespace

void registerShipping(ProcedureRegistry& registry)
{
    registry.add(
        {"sp_KVR_ValidaEmbarque", {"@Manifiesto", "@Tarima", "@ID_Persona"}, validaEmbarque});
    registry.add(
        {"sp_KVR_ValidaTarimaUbicacion", {"@Tarima", "@Localidad"}, validaTarimaUbicacion});
    registry.add(
        {"sp_KVR_CambiaUbicacionTarima", {"@Tarima", "@Localidad"}, cambiaUbicacionTarima});
}

void seedShipping(Database& db, std::string_view catalogue)
{
    createWarehouseTables(db);
    db.exec(R"sql(
CREATE TABLE IF NOT EXISTS shp_manifiesto (
    manifiesto TEXT PRIMARY KEY COLLATE NOCASE,
    estatus    TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS shp_manifiesto_tarima (
    manifiesto       TEXT NOT NULL COLLATE NOCASE,
    tarima           TEXT NOT NULL COLLATE NOCASE,
    validada_por     TEXT,
    fecha_validacion TEXT,
    PRIMARY KEY (manifiesto, tarima)
);
CREATE TABLE IF NOT EXISTS shp_reubicacion (
    id      INTEGER PRIMARY KEY AUTOINCREMENT,
    tarima  TEXT NOT NULL,
    origen  TEXT NOT NULL,
    destino TEXT NOT NULL,
    fecha   TEXT NOT NULL
);
)sql");
    if (catalogue != kMainCatalogue)
        return;

    // Pallets already stored for shipping, beside the inbound demo pallets.
    db.exec(R"sql(
INSERT INTO wh_localidad (id_localidad, almacen, fecha_afectacion) VALUES
    ('D-01-01', 'ALM1', '2026-12-01 10:00:00'),
    ('D-01-02', 'ALM1', '2026-12-01 10:05:00'),
    ('D-01-03', 'ALM1', '2026-12-01 10:10:00'),
    ('D-01-04', 'ALM1', NULL),
    ('D-01-05', 'ALM1', NULL);
INSERT INTO wh_tarima (tarima, almacen, tipo_entrada, sscc, componente, producto, milesimas,
                       id_localidad, fecha_entrada) VALUES
    ('PT-7001', 'ALM1', NULL, '', 0, 'PT-100', 0, 'D-01-01', '2026-12-01 10:00:00'),
    ('PT-7002', 'ALM1', NULL, '', 0, 'PT-100', 0, 'D-01-02', '2026-12-01 10:05:00'),
    ('PT-7003', 'ALM1', NULL, '', 0, 'PT-200', 0, 'D-01-03', '2026-12-01 10:10:00');
INSERT INTO shp_manifiesto (manifiesto, estatus) VALUES
    ('MAN-9001', 'Abierto'), ('MAN-9002', 'Cerrado');
INSERT INTO shp_manifiesto_tarima (manifiesto, tarima, validada_por, fecha_validacion) VALUES
    ('MAN-9001', 'PT-7001', NULL, NULL),
    ('MAN-9001', 'PT-7002', NULL, NULL),
    ('MAN-9002', 'PT-7003', '7', '2026-12-02 16:00:00');
)sql");
}

} // namespace lectora::server
