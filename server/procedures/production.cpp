// Procedures and demo data of the production windows: a pallet of a production
// order is delivered to its station, received in production, handed to
// quality, labelled with the client's pallet and put at a location of the
// released area. Each recording moves the pallet one status on, so a second
// identical scan is judged on the new status. Everything lives on the main
// catalogue; the client catalogues have no production data.
#include "server/AsciiCase.h"
#include "server/Database.h"
#include "server/ProcedureHost.h"
#include "server/procedures/Answers.h"

#include <optional>
#include <string>

namespace lectora::server
{

namespace
{

using namespace answers;

// The pallet's statuses, in the order of its life; shown as they are by the query.
const std::string kEnAlmacen = "En almacen";
const std::string kEntregada = "Entregada a mesa";
const std::string kRecibida = "Recibida en produccion";
const std::string kEnCalidad = "En calidad";
const std::string kLiberada = "Liberada";

struct Pallet {
    bool found = false;
    std::string code, order, station, status;
    bool orderAllowsStationChange = true;
};

Pallet findPallet(Database& db, const std::string& code)
{
    ResultSet rs = db.query("SELECT t.tarima, t.orden, COALESCE(t.mesa, ''), t.estatus, "
                            "o.cambio_mesa "
                            "FROM prd_tarima t JOIN prd_orden o ON o.orden = t.orden "
                            "WHERE t.tarima = ?1",
                            {code});
    Pallet p;
    if (rs.rows.empty())
        return p;
    const auto& r = rs.rows.front();
    p.found = true;
    p.code = r[0].toText();
    p.order = r[1].toText();
    p.station = r[2].toText();
    p.status = r[3].toText();
    p.orderAllowsStationChange = r[4].toInt().value_or(1) != 0;
    return p;
}

// The station as the catalogue spells it, or "" when there is none.
std::string findStation(Database& db, const std::string& station)
{
    return db.scalar("SELECT mesa FROM prd_mesa WHERE mesa = ?1", {station}).toText();
}

// Statuses after `status` in the pallet's life (for "already done" answers).
int stage(const std::string& status)
{
    const std::string order[] = {kEnAlmacen, kEntregada, kRecibida, kEnCalidad, kLiberada};
    for (int i = 0; i < 5; ++i)
        if (order[i] == status)
            return i;
    return -1;
}

void advance(Database& db, const std::string& pallet, const std::string& status,
             const char* dateColumn, const std::string& operatorId)
{
    db.query(std::string("UPDATE prd_tarima SET estatus = ?1, ") + dateColumn + " = " + kNow +
                 ", id_persona = ?2 WHERE tarima = ?3",
             {status, operatorId, pallet});
}

// What delivery and station change both refuse: 2 no such pallet, 3 no such
// station, 4 the pallet has left the warehouse. Fills the pallet and the
// station's code when neither is refused.
std::optional<Reply> refuseUnlessInWarehouse(Database& db, const std::string& pallet,
                                             const std::string& station, Pallet& p,
                                             std::string& mesa)
{
    p = findPallet(db, pallet);
    if (!p.found)
        return status("2", "La tarima " + pallet + " no existe.");
    mesa = findStation(db, station);
    if (mesa.empty())
        return status("3", "La mesa " + station + " no existe.");
    if (p.status != kEnAlmacen)
        return status("4", "La tarima " + p.code + " ya no esta en almacen (" + p.status + ").");
    return std::nullopt;
}

// Delivery of a pallet to a production station. 0 delivered; 1 the pallet is
// assigned to another station (the terminal offers to reassign it); 2 no such
// pallet; 3 no such station; 4 the pallet has left the warehouse already;
// 5 the station is out of service.
Reply validaEntrega(Call& call)
{
    Database& db = *call.db;
    const std::string pallet = arg(call, 0), station = arg(call, 1), who = arg(call, 2);
    Pallet p;
    std::string mesa;
    if (std::optional<Reply> refused = refuseUnlessInWarehouse(db, pallet, station, p, mesa))
        return *refused;
    if (!p.station.empty() && !equalsNoCase(p.station, station))
        return status("1", "La tarima " + p.code + " esta asignada a la mesa " + p.station + ".");
    // A pallet may be planned for a station under maintenance, but not delivered to it.
    if (db.scalar("SELECT en_servicio FROM prd_mesa WHERE mesa = ?1", {mesa}).toInt().value_or(0) ==
        0)
        return status("5", "La mesa " + mesa + " esta fuera de servicio.");
    db.transaction([&] {
        db.query("UPDATE prd_tarima SET mesa = ?1 WHERE tarima = ?2", {mesa, p.code});
        advance(db, p.code, kEntregada, "fecha_entrega", who);
    });
    return status("0", "Tarima " + p.code + " entregada a la mesa " + mesa + ".");
}

// Reassigns a pallet still in the warehouse to another station. 0 done; 2 no
// such pallet; 3 no such station; 4 the pallet has left the warehouse; 6 its
// order is planned on a fixed station.
Reply cambiaMesa(Call& call)
{
    Database& db = *call.db;
    const std::string pallet = arg(call, 0), station = arg(call, 1), who = arg(call, 2);
    Pallet p;
    std::string mesa;
    if (std::optional<Reply> refused = refuseUnlessInWarehouse(db, pallet, station, p, mesa))
        return *refused;
    if (!p.orderAllowsStationChange)
        return status("6", "La orden " + p.order + " no permite cambio de mesa.");
    db.transaction([&] {
        db.query("UPDATE prd_tarima SET mesa = ?1, id_persona = ?2 WHERE tarima = ?3",
                 {mesa, who, p.code});
    });
    return status("0", "Tarima " + p.code + " asignada a la mesa " + mesa + ".");
}

// One step of a pallet's life that a single scan records: the pallet must be
// exactly at `from`. 0 recorded; 2 no such pallet; 4 not at `from` yet;
// 5 past it already.
struct Step {
    const std::string& from;
    const std::string& to;
    const char* dateColumn;
    const char* notYet; // "... no ha sido <notYet>."
    const char* done;   // "... ya fue <done>." / "Tarima ... <done>."
};

Reply recordStep(Call& call, const Step& step)
{
    Database& db = *call.db;
    const std::string pallet = arg(call, 0), who = arg(call, 1);
    Pallet p = findPallet(db, pallet);
    if (!p.found)
        return status("2", "La tarima " + pallet + " no existe.");
    if (stage(p.status) < stage(step.from))
        return status("4", "La tarima " + p.code + " no ha sido " + step.notYet + ".");
    if (stage(p.status) > stage(step.from))
        return status("5", "La tarima " + p.code + " ya fue " + step.done + ".");
    db.transaction([&] { advance(db, p.code, step.to, step.dateColumn, who); });
    return status("0", "Tarima " + p.code + " " + step.done + ".");
}

// Receipt in the production area of a pallet delivered to its station.
Reply recepcion(Call& call)
{
    return recordStep(call, {kEntregada, kRecibida, "fecha_recepcion", "entregada a una mesa",
                             "recibida en produccion"});
}

// Hand-over to quality of a pallet received in production.
Reply entregaCalidad(Call& call)
{
    return recordStep(call, {kRecibida, kEnCalidad, "fecha_calidad", "recibida en produccion",
                             "entregada a calidad"});
}

// 1 no such pallet; 2 the pallet is not in quality (the terminal only stops on
// 1: the save judges the status); 0 ready for the released area.
Reply validaTarimaProduccion(Call& call)
{
    Pallet p = findPallet(*call.db, arg(call, 0));
    if (!p.found)
        return status("1", "No existe la tarima.");
    if (p.status != kEnCalidad)
        return status("2", "La tarima " + p.code + " no esta en calidad (" + p.status + ").");
    return status("0", "");
}

// Locations of the released area with room left, the emptiest first; the
// locations already holding the pallet's product come before the others.
Reply sugiereLocalidad(Call& call)
{
    Database& db = *call.db;
    ResultSet rs = db.query(
        "SELECT l.localidad AS Localidad, l.zona AS Zona, l.capacidad AS Capacidad, "
        "  COUNT(t.tarima) AS Ocupadas, l.capacidad - COUNT(t.tarima) AS Disponibles "
        "FROM prd_localidad l "
        "LEFT JOIN prd_tarima t ON t.localidad = l.localidad AND t.estatus = ?2 "
        "GROUP BY l.localidad "
        "HAVING l.capacidad > COUNT(t.tarima) "
        "ORDER BY MAX(CASE WHEN t.orden IN (SELECT o.orden FROM prd_orden o WHERE o.producto = "
        "  (SELECT o2.producto FROM prd_orden o2 JOIN prd_tarima t2 ON t2.orden = o2.orden "
        "   WHERE t2.tarima = ?1)) THEN 1 ELSE 0 END) DESC, "
        "  Disponibles DESC, l.localidad",
        {arg(call, 0), kLiberada});
    rs.columns = {{"Localidad", ColumnType::Text},
                  {"Zona", ColumnType::Text},
                  {"Capacidad", ColumnType::Int},
                  {"Ocupadas", ColumnType::Int},
                  {"Disponibles", ColumnType::Int}};
    return Reply::rows(std::move(rs));
}

// 1 no such client label; 2 the label is on another pallet already; 0 free.
Reply validaTarimaCliente(Call& call)
{
    Database& db = *call.db;
    const std::string label = arg(call, 0);
    if (db.scalar("SELECT tarima_cliente FROM prd_etiqueta_cliente WHERE tarima_cliente = ?1",
                  {label})
            .isNull())
        return status("1", "No existe la tarima.");
    const Value owner =
        db.scalar("SELECT tarima FROM prd_tarima WHERE tarima_cliente = ?1", {label});
    if (!owner.isNull())
        return status("2",
                      "La etiqueta " + label + " ya esta en la tarima " + owner.toText() + ".");
    return status("0", "");
}

// Puts a pallet handed to quality, with its client label, at a location of the
// released area. Answers Error and Mensaje: 0 saved; 2 no such pallet; 3 no
// such client label; 4 no such location; 5 the pallet is not in quality;
// 6 the label is on another pallet; 7 the location is full.
Reply guardaUbicacion(Call& call)
{
    Database& db = *call.db;
    const std::string pallet = arg(call, 0), label = arg(call, 1), location = arg(call, 2),
                      who = arg(call, 3);
    auto answer = [](const std::string& code, const std::string& text) {
        return status(code, text, "Mensaje");
    };
    Pallet p = findPallet(db, pallet);
    if (!p.found)
        return answer("2", "No existe la tarima " + pallet + ".");
    const Value labelCode = db.scalar(
        "SELECT tarima_cliente FROM prd_etiqueta_cliente WHERE tarima_cliente = ?1", {label});
    if (labelCode.isNull())
        return answer("3", "No existe la tarima del cliente " + label + ".");
    const Value locationCode =
        db.scalar("SELECT localidad FROM prd_localidad WHERE localidad = ?1", {location});
    if (locationCode.isNull())
        return answer("4", "No existe la localidad " + location + ".");
    if (p.status != kEnCalidad)
        return answer("5", "La tarima " + p.code + " no esta en calidad (" + p.status + ").");
    const Value owner =
        db.scalar("SELECT tarima FROM prd_tarima WHERE tarima_cliente = ?1 AND tarima <> ?2",
                  {label, p.code});
    if (!owner.isNull())
        return answer("6",
                      "La etiqueta " + label + " ya esta en la tarima " + owner.toText() + ".");
    const Value room = db.scalar("SELECT l.capacidad - (SELECT COUNT(*) FROM prd_tarima t "
                                 "WHERE t.localidad = l.localidad AND t.estatus = ?2) "
                                 "FROM prd_localidad l WHERE l.localidad = ?1",
                                 {location, kLiberada});
    if (room.toInt().value_or(0) <= 0)
        return answer("7", "La localidad " + locationCode.toText() + " esta llena.");
    db.transaction([&] {
        db.query("UPDATE prd_tarima SET localidad = ?1, tarima_cliente = ?2 WHERE tarima = ?3",
                 {locationCode, labelCode, p.code});
        advance(db, p.code, kLiberada, "fecha_liberacion", who);
    });
    return answer("0", "Tarima " + p.code + " en " + locationCode.toText() + ".");
}

// 1 no such pallet; 0 it exists, in whatever status.
Reply verificaTarima(Call& call)
{
    if (!findPallet(*call.db, arg(call, 0)).found)
        return status("1", "No existe la tarima.");
    return status("0", "");
}

// What is known of a pallet: its order and product, quantity, station,
// status, client label, location and the date of each step so far.
Reply consultaTarima(Call& call)
{
    ResultSet rs = call.db->query(
        "SELECT t.tarima, t.orden, o.producto, o.descripcion, t.cantidad, t.mesa, t.estatus, "
        "  t.localidad, t.tarima_cliente, t.fecha_entrega, t.fecha_recepcion, t.fecha_calidad, "
        "  t.fecha_liberacion, t.id_persona "
        "FROM prd_tarima t JOIN prd_orden o ON o.orden = t.orden WHERE t.tarima = ?1",
        {arg(call, 0)});
    ResultSet out;
    out.columns = {{"Tarima", ColumnType::Text},          {"Orden", ColumnType::Text},
                   {"Producto", ColumnType::Text},        {"Descripcion", ColumnType::Text},
                   {"Cantidad", ColumnType::Int},         {"Mesa", ColumnType::Text},
                   {"Estatus", ColumnType::Text},         {"Localidad", ColumnType::Text},
                   {"TarimaCliente", ColumnType::Text},   {"FechaEntrega", ColumnType::Text},
                   {"FechaRecepcion", ColumnType::Text},  {"FechaCalidad", ColumnType::Text},
                   {"FechaLiberacion", ColumnType::Text}, {"Operador", ColumnType::Text}};
    out.rows = std::move(rs.rows);
    return Reply::rows(std::move(out));
}

} // namespace

void registerProduction(ProcedureRegistry& registry)
{
    registry.add(
        {"sp_KVR_OrdenProduccionValidaEntrega", {"@Tarima", "@Mesa", "@IdPersona"}, validaEntrega});
    registry.add(
        {"sp_KVR_OrdenProduccionCambiaMesa", {"@Tarima", "@Mesa", "@IdPersona"}, cambiaMesa});
    registry.add(
        {"sp_KVR_OrdenProduccionRecepcionEnAreaProduccion", {"@Tarima", "@IdPersona"}, recepcion});
    registry.add(
        {"sp_KVR_OrdenProduccionEntregaEnAreaCalidad", {"@Tarima", "@IdPersona"}, entregaCalidad});
    registry.add({"sp_KVR_ValidaTarimaProduccion", {"@Tarima"}, validaTarimaProduccion});
    registry.add({"sp_KVR_SugiereLocalidadProduccion", {"@Tarima"}, sugiereLocalidad});
    registry.add({"sp_KVR_ValidaTarimaCliente", {"@TarimaCliente"}, validaTarimaCliente});
    registry.add({"sp_KVR_GuardaUbicacionTarimaProduccion",
                  {"@Tarima", "@TarimaCliente", "@Localidad", "@IdPersona"},
                  guardaUbicacion});
    registry.add({"sp_KVR_VerificaTarima", {"@Tarima"}, verificaTarima});
    registry.add({"sp_KVR_ConsultaTarimaProduccion", {"@Tarima"}, consultaTarima});
}

// Seed data: the schema and its demo rows read best as one listing.
// NOLINTNEXTLINE(readability-function-size)
void seedProduction(Database& db, std::string_view catalogue)
{
    if (catalogue != kMainCatalogue)
        return;
    db.exec(R"sql(
CREATE TABLE IF NOT EXISTS prd_mesa (
    mesa TEXT PRIMARY KEY COLLATE NOCASE,
    descripcion TEXT NOT NULL,
    en_servicio INTEGER NOT NULL DEFAULT 1);
CREATE TABLE IF NOT EXISTS prd_orden (
    orden TEXT PRIMARY KEY COLLATE NOCASE,
    producto TEXT NOT NULL,
    descripcion TEXT NOT NULL,
    cambio_mesa INTEGER NOT NULL DEFAULT 1);
CREATE TABLE IF NOT EXISTS prd_etiqueta_cliente (
    tarima_cliente TEXT PRIMARY KEY COLLATE NOCASE,
    cliente TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS prd_localidad (
    localidad TEXT PRIMARY KEY COLLATE NOCASE,
    zona TEXT NOT NULL,
    capacidad INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS prd_tarima (
    tarima TEXT PRIMARY KEY COLLATE NOCASE,
    orden TEXT NOT NULL REFERENCES prd_orden(orden),
    cantidad INTEGER NOT NULL,
    mesa TEXT REFERENCES prd_mesa(mesa) COLLATE NOCASE,
    estatus TEXT NOT NULL,
    localidad TEXT REFERENCES prd_localidad(localidad) COLLATE NOCASE,
    tarima_cliente TEXT UNIQUE REFERENCES prd_etiqueta_cliente(tarima_cliente) COLLATE NOCASE,
    fecha_entrega TEXT,
    fecha_recepcion TEXT,
    fecha_calidad TEXT,
    fecha_liberacion TEXT,
    id_persona TEXT);
)sql");
    if (db.scalar("SELECT COUNT(*) FROM prd_tarima").toInt().value_or(0) > 0)
        return;
    db.exec(R"sql(
INSERT INTO prd_mesa (mesa, descripcion, en_servicio) VALUES
    ('MESA-01', 'Ensamble linea 1', 1),
    ('MESA-02', 'Ensamble linea 2', 1),
    ('MESA-03', 'Empaque', 1),
    ('MESA-04', 'Soldadura (en mantenimiento)', 0);
INSERT INTO prd_orden VALUES
    ('OP-2301', 'PT-4410', 'Arnes principal 12 vias', 1),
    ('OP-2302', 'PT-4410', 'Arnes principal 12 vias', 1),
    ('OP-2303', 'PT-5120', 'Modulo de control sellado', 0),
    ('OP-2304', 'PT-6032', 'Cable coaxial 5 m', 1);
INSERT INTO prd_etiqueta_cliente VALUES
    ('VE-5001', 'VElmor'), ('VE-5002', 'VElmor'), ('VE-5003', 'VElmor'),
    ('VE-5004', 'VElmor'), ('VE-5005', 'VElmor'), ('VE-5006', 'VElmor');
INSERT INTO prd_localidad VALUES
    ('LIB-A-01', 'Liberado A', 4),
    ('LIB-A-02', 'Liberado A', 2),
    ('LIB-B-01', 'Liberado B', 1);
INSERT INTO prd_tarima (tarima, orden, cantidad, mesa, estatus, localidad, tarima_cliente,
                        fecha_entrega, fecha_recepcion, fecha_calidad, fecha_liberacion, id_persona) VALUES
    ('TP-1001', 'OP-2301', 120, 'MESA-01', 'En almacen', NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    ('TP-1002', 'OP-2302', 80, 'MESA-01', 'En almacen', NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    ('TP-1003', 'OP-2303', 40, 'MESA-03', 'En almacen', NULL, NULL, NULL, NULL, NULL, NULL, NULL),
    ('TP-1004', 'OP-2301', 120, 'MESA-01', 'Entregada a mesa', NULL, NULL,
     '2026-11-30 07:40:00', NULL, NULL, NULL, '7'),
    ('TP-1005', 'OP-2304', 300, 'MESA-02', 'Recibida en produccion', NULL, NULL,
     '2026-11-30 07:45:00', '2026-11-30 08:05:00', NULL, NULL, '7'),
    ('TP-1006', 'OP-2304', 300, 'MESA-02', 'En calidad', NULL, NULL,
     '2026-11-30 07:50:00', '2026-11-30 08:10:00', '2026-11-30 10:30:00', NULL, '7'),
    ('TP-1007', 'OP-2301', 120, 'MESA-01', 'Liberada', 'LIB-B-01', 'VE-5006',
     '2026-11-29 07:30:00', '2026-11-29 08:00:00', '2026-11-29 11:15:00', '2026-11-29 12:40:00', '7');
)sql");
}

} // namespace lectora::server
