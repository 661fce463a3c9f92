// Procedures and demo data of the inbound windows. Incoming pallets are
// identified by their entry kind, matched with the client's label and stored
// in a location of their warehouse; storing stamps the location with its
// affectation date, so the location takes no second pallet. Component pallets
// are supplied against exit tickets: each supply takes its quantity off the
// pallet, so a second identical supply is judged on what is left.
//
// The pallet and location tables (wh_) are shared with the shipping
// procedures, which move pallets between locations.
#include "server/Database.h"
#include "server/ProcedureHost.h"
#include "server/procedures/Answers.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

namespace lectora::server
{

// Creates the warehouse tables that inbound and shipping share; harmless when they exist.
void createWarehouseTables(Database& db)
{
    db.exec(R"sql(
CREATE TABLE IF NOT EXISTS wh_localidad (
    id_localidad     TEXT PRIMARY KEY COLLATE NOCASE,
    almacen          TEXT NOT NULL COLLATE NOCASE,
    fecha_afectacion TEXT
);
CREATE TABLE IF NOT EXISTS wh_tarima (
    tarima        TEXT PRIMARY KEY COLLATE NOCASE,
    almacen       TEXT NOT NULL COLLATE NOCASE,
    tipo_entrada  INTEGER,
    sscc          TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    componente    INTEGER NOT NULL DEFAULT 0,
    producto      TEXT NOT NULL DEFAULT '',
    milesimas     INTEGER NOT NULL DEFAULT 0,
    id_localidad  TEXT COLLATE NOCASE,
    fecha_entrada TEXT NOT NULL,
    verificada_por TEXT,
    fecha_verificacion TEXT
);
)sql");
}

namespace
{

using namespace answers;

// Quantities are kept in thousandths, so boxes and metres of roll add up exactly.
// Accepts "12", "12.5", "0.125"; anything else (signs, exponents, more than
// three decimals, blanks) is not a quantity.
std::optional<std::int64_t> thousandths(const std::string& text)
{
    std::int64_t whole = 0, fraction = 0;
    int digits = 0, decimals = 0;
    bool point = false;
    for (char c : text) {
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        if (point) {
            if (++decimals > 3)
                return std::nullopt;
            fraction = fraction * 10 + (c - '0');
        } else {
            if (++digits > 12)
                return std::nullopt;
            whole = whole * 10 + (c - '0');
        }
    }
    if (digits + decimals == 0)
        return std::nullopt;
    for (int i = decimals; i < 3; ++i)
        fraction *= 10;
    return whole * 1000 + fraction;
}

std::string quantityText(std::int64_t milesimas)
{
    std::string s = std::to_string(milesimas / 1000);
    if (std::int64_t rest = milesimas % 1000) {
        std::string f = std::to_string(rest);
        f.insert(0, 3 - f.size(), '0');
        while (f.back() == '0')
            f.pop_back();
        s += "." + f;
    }
    return s;
}

// Frees a location when its last pallet leaves it.
void releaseIfEmpty(Database& db, const std::string& location)
{
    if (location.empty())
        return;
    db.query("UPDATE wh_localidad SET fecha_afectacion = NULL WHERE id_localidad = ?1 AND "
             "NOT EXISTS (SELECT 1 FROM wh_tarima WHERE id_localidad = ?1)",
             {location});
}

// --- entry verification -----------------------------------------------------

Reply identificaTipoEntrada(Call& call)
{
    return Reply::rows(call.db->query("SELECT tipo_entrada AS ID_Procedimiento FROM wh_tarima "
                                      "WHERE tarima = ?1 AND tipo_entrada IS NOT NULL",
                                      {arg(call, 0)}));
}

// The first free location of the pallet's warehouse.
Reply sugiereLocalidadEntrada(Call& call)
{
    return Reply::rows(call.db->query("SELECT l.id_localidad AS ID_Localidad FROM wh_tarima t "
                                      "JOIN wh_localidad l ON l.almacen = t.almacen "
                                      "WHERE t.tarima = ?1 AND l.fecha_afectacion IS NULL "
                                      "ORDER BY l.id_localidad LIMIT 1",
                                      {arg(call, 0)}));
}

// A row when the client's label belongs to the pallet; pallets of kind 187
// carry no client label and match an empty one.
Reply validaPallet(Call& call)
{
    return Reply::rows(call.db->query(
        "SELECT tarima, sscc FROM wh_tarima WHERE tarima = ?1 AND tipo_entrada IS NOT NULL AND "
        "(sscc = ?2 OR (tipo_entrada = 187 AND ?2 = ''))",
        {arg(call, 0), arg(call, 1)}));
}

Reply validaLocalidad(Call& call)
{
    return Reply::rows(call.db->query(
        "SELECT id_localidad, almacen FROM wh_localidad WHERE id_localidad = ?1", {arg(call, 0)}));
}

// 3 the location already holds a pallet (it has its affectation date); 4 the
// location is not one of the pallet's warehouse; 0 stored. The terminal takes
// every answer but 3 and 4 for stored, so nothing else is ever answered.
Reply guardaUbicacion(Call& call)
{
    Database& db = *call.db;
    const std::string pallet = arg(call, 0), location = arg(call, 2), who = arg(call, 3);
    ResultSet rs = db.query("SELECT l.id_localidad, l.fecha_afectacion, "
                            "COALESCE(t.id_localidad, ''), t.tarima FROM wh_tarima t "
                            "JOIN wh_localidad l ON l.almacen = t.almacen AND l.id_localidad = ?2 "
                            "WHERE t.tarima = ?1 AND t.tipo_entrada IS NOT NULL",
                            {pallet, location});
    if (rs.rows.empty())
        return status("4", "La localidad " + location + " no existe en el almacen de la tarima.");
    const auto& r = rs.rows.front();
    const std::string place = r[0].toText(), previous = r[2].toText(), code = r[3].toText();
    if (!r[1].isNull())
        return status("3", "La localidad " + place + " ya tiene fecha de afectacion " +
                               r[1].toText() + ".");
    db.transaction([&] {
        db.query(std::string("UPDATE wh_tarima SET id_localidad = ?1, verificada_por = ?2, "
                             "fecha_verificacion = ") +
                     kNow + " WHERE tarima = ?3",
                 {place, who, code});
        db.query(std::string("UPDATE wh_localidad SET fecha_afectacion = ") + kNow +
                     " WHERE id_localidad = ?1",
                 {place});
        if (previous != place)
            releaseIfEmpty(db, previous);
    });
    return status("0", "Tarima " + code + " registrada en " + place + ".");
}

// --- supply by box or roll --------------------------------------------------

struct Ticket {
    bool found = false;
    bool active = false;
    std::int64_t procedure = 0;
};

Ticket findTicket(Database& db, const std::string& ticket)
{
    ResultSet rs =
        db.query("SELECT activo, procedimiento FROM inb_ticket WHERE ticket = ?1", {ticket});
    Ticket t;
    if (rs.rows.empty())
        return t;
    t.found = true;
    t.active = rs.rows.front()[0].toInt().value_or(0) != 0;
    t.procedure = rs.rows.front()[1].toInt().value_or(0);
    return t;
}

Reply validaTicketLectora(Call& call)
{
    const std::string ticket = arg(call, 0);
    Ticket t = findTicket(*call.db, ticket);
    if (!t.found)
        return status("1", "No existe el ticket " + ticket + ".");
    if (!t.active)
        return status("2", "El ticket " + ticket + " no se encuentra activo.");
    return status("0", "Ticket " + ticket + " activo.");
}

// `cuantos`: how many of the ticket procedure's supply steps go straight to
// the line; 0 means the components are put on a production pallet.
Reply identificaProcedimiento(Call& call)
{
    return Reply::rows(
        call.db->query("SELECT COUNT(d.procedimiento) AS cuantos FROM inb_ticket t "
                       "LEFT JOIN inb_procedimiento_directo d ON d.procedimiento = t.procedimiento "
                       "WHERE t.ticket = ?1 GROUP BY t.ticket",
                       {arg(call, 0)}));
}

Reply validaTarimaComponente(Call& call)
{
    const std::string pallet = arg(call, 0);
    Value found = call.db->scalar(
        "SELECT tarima FROM wh_tarima WHERE tarima = ?1 AND componente = 1", {pallet});
    if (found.isNull())
        return status("1", "No existe la tarima " + pallet + ".");
    return status("0", "Tarima " + found.toText() + " de componente.");
}

// Pallets of the same component that still hold some, oldest entry first.
Reply sugiereLocalidadParaSurtir(Call& call)
{
    return Reply::rows(
        call.db->query("SELECT o.id_localidad AS localidad, o.tarima AS tarima FROM wh_tarima t "
                       "JOIN wh_tarima o ON o.producto = t.producto AND o.componente = 1 "
                       "WHERE t.tarima = ?1 AND t.componente = 1 AND o.milesimas > 0 "
                       "AND o.id_localidad IS NOT NULL ORDER BY o.fecha_entrada, o.tarima",
                       {arg(call, 0)}));
}

// Records a supply. 1 no such ticket; 2 ticket not active; 3 no such component
// pallet; 4 the quantity is not a positive number; 5 more than the pallet
// holds; 6 the ticket needs a production pallet; 7 no such production pallet;
// 8 the component is not on the ticket; 0 recorded.
Reply scannerSalidas3(Call& call)
{
    Database& db = *call.db;
    const std::string ticket = arg(call, 0), component = arg(call, 1), production = arg(call, 2),
                      quantity = arg(call, 3), who = arg(call, 4);
    Ticket t = findTicket(db, ticket);
    if (!t.found)
        return status("1", "No existe el ticket " + ticket + ".");
    if (!t.active)
        return status("2", "El ticket " + ticket + " no se encuentra activo.");
    ResultSet rs = db.query("SELECT tarima, producto, milesimas FROM wh_tarima "
                            "WHERE tarima = ?1 AND componente = 1",
                            {component});
    if (rs.rows.empty())
        return status("3", "No existe la tarima de componente " + component + ".");
    const std::string pallet = rs.rows.front()[0].toText();
    const std::string product = rs.rows.front()[1].toText();
    const std::int64_t held = rs.rows.front()[2].toInt().value_or(0);

    const auto wanted = thousandths(quantity);
    if (!wanted || *wanted <= 0)
        return status("4", "La cantidad " + quantity +
                               " no es un numero mayor que cero con hasta tres decimales.");
    if (*wanted > held)
        return status("5", "La cantidad " + quantity + " excede lo que tiene la tarima " + pallet +
                               " (" + quantityText(held) + ").");

    const bool direct =
        db.scalar("SELECT COUNT(*) FROM inb_procedimiento_directo WHERE procedimiento = ?1",
                  {t.procedure})
            .toInt()
            .value_or(0) > 0;
    std::string productionPallet;
    if (!direct && production.empty())
        return status("6", "El ticket " + ticket + " requiere la tarima de produccion.");
    if (!production.empty()) {
        Value p =
            db.scalar("SELECT tarima FROM inb_tarima_produccion WHERE tarima = ?1", {production});
        if (p.isNull())
            return status("7", "No existe la tarima de produccion " + production + ".");
        productionPallet = p.toText();
    }
    if (db.scalar("SELECT producto FROM inb_ticket_componente WHERE ticket = ?1 AND producto = ?2",
                  {ticket, product})
            .isNull())
        return status("8",
                      "El componente " + product + " no corresponde al ticket " + ticket + ".");

    db.transaction([&] {
        db.query("UPDATE wh_tarima SET milesimas = milesimas - ?1 WHERE tarima = ?2",
                 {*wanted, pallet});
        db.query(std::string("INSERT INTO inb_surtido (ticket, tarima_componente, "
                             "tarima_produccion, milesimas, id_persona, fecha) "
                             "VALUES (?1, ?2, ?3, ?4, ?5, ") +
                     kNow + ")",
                 {ticket, pallet, productionPallet, *wanted, who});
    });
    return status("0", "Surtido registrado: " + quantityText(*wanted) + " de " + product +
                           ". Quedan " + quantityText(held - *wanted) + " en la tarima " + pallet +
                           ".");
}

} // namespace

void registerInbound(ProcedureRegistry& registry)
{
    registry.add({"sp_Kvr_IdentificaTipoEntrada", {"@Tarima"}, identificaTipoEntrada});
    registry.add({"sp_KVR_SugiereLocalidadEntrada", {"@Tarima"}, sugiereLocalidadEntrada});
    registry.add({"sp_KVR_ValidaPallet", {"@Tarima", "@SSCC"}, validaPallet});
    registry.add({"sp_KVR_ValidaLocalidad", {"@Localidad"}, validaLocalidad});
    registry.add({"sp_Kvr_GuardaUbicacion",
                  {"@Tarima", "@SSCC", "@Localidad", "@ID_Persona"},
                  guardaUbicacion});
    registry.add({"sp_KVR_ValidaTicketLectora", {"@Ticket"}, validaTicketLectora});
    registry.add({"sp_Kvr_IdentificaProcedimiento", {"@Ticket"}, identificaProcedimiento});
    registry.add({"sp_KVR_ValidaTarimaComponenteKV", {"@Tarima"}, validaTarimaComponente});
    registry.add({"sp_KVR_SugiereLocalidadParaSurtir", {"@Tarima"}, sugiereLocalidadParaSurtir});
    registry.add({"sp_KVR_ScannerSalidas3",
                  {"@Ticket", "@TarimaComponente", "@TarimaProduccion", "@Cantidad", "@ID_Persona"},
                  scannerSalidas3});
}

// Seed data: the schema and its demo rows read best as one listing.
// NOLINTNEXTLINE(readability-function-size)
void seedInbound(Database& db, std::string_view catalogue)
{
    createWarehouseTables(db);
    db.exec(R"sql(
CREATE TABLE IF NOT EXISTS inb_ticket (
    ticket        TEXT PRIMARY KEY COLLATE NOCASE,
    activo        INTEGER NOT NULL,
    procedimiento INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS inb_procedimiento_directo (
    procedimiento INTEGER NOT NULL,
    paso          TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS inb_ticket_componente (
    ticket   TEXT NOT NULL COLLATE NOCASE,
    producto TEXT NOT NULL COLLATE NOCASE,
    PRIMARY KEY (ticket, producto)
);
CREATE TABLE IF NOT EXISTS inb_tarima_produccion (
    tarima TEXT PRIMARY KEY COLLATE NOCASE
);
CREATE TABLE IF NOT EXISTS inb_surtido (
    id                INTEGER PRIMARY KEY AUTOINCREMENT,
    ticket            TEXT NOT NULL,
    tarima_componente TEXT NOT NULL,
    tarima_produccion TEXT NOT NULL,
    milesimas         INTEGER NOT NULL,
    id_persona        TEXT NOT NULL,
    fecha             TEXT NOT NULL
);
)sql");
    if (catalogue != kMainCatalogue)
        return;

    db.exec(R"sql(
INSERT INTO wh_localidad (id_localidad, almacen, fecha_afectacion) VALUES
    ('A-01-01', 'ALM1', '2026-11-30 08:15:00'),
    ('A-01-02', 'ALM1', NULL),
    ('A-01-03', 'ALM1', NULL),
    ('A-01-04', 'ALM1', NULL),
    ('A-02-01', 'ALM1', NULL),
    ('A-02-02', 'ALM1', NULL),
    ('B-01-01', 'ALM2', NULL),
    ('B-01-02', 'ALM2', NULL),
    ('C-01-01', 'ALM1', '2026-10-01 09:00:00'),
    ('C-01-02', 'ALM1', '2026-10-05 09:00:00'),
    ('C-01-03', 'ALM1', '2026-10-07 09:00:00'),
    ('C-01-04', 'ALM1', '2026-10-09 09:00:00'),
    ('C-01-05', 'ALM1', '2026-10-11 09:00:00');

INSERT INTO wh_tarima (tarima, almacen, tipo_entrada, sscc, componente, producto, milesimas,
                       id_localidad, fecha_entrada) VALUES
    ('KV-1001', 'ALM1', 186, 'SSCC-0001', 0, 'PT-100', 0, NULL, '2026-12-07 07:00:00'),
    ('KV-1002', 'ALM1', 186, 'SSCC-0002', 0, 'PT-100', 0, NULL, '2026-12-07 07:05:00'),
    ('KV-1003', 'ALM1', 187, '',          0, 'PT-200', 0, NULL, '2026-12-07 07:10:00'),
    ('KV-1004', 'ALM1', 187, '',          0, 'PT-200', 0, NULL, '2026-12-07 07:15:00'),
    ('KV-1005', 'ALM1', 190, '',          0, 'PT-300', 0, NULL, '2026-12-07 07:20:00'),
    ('KV-1006', 'ALM2', 186, 'SSCC-0006', 0, 'PT-100', 0, NULL, '2026-12-07 07:25:00'),
    ('KC-2001', 'ALM1', NULL, '', 1, 'CMP-CAJA-01',  50000,  'C-01-01', '2026-10-01 09:00:00'),
    ('KC-2002', 'ALM1', NULL, '', 1, 'CMP-CAJA-01',  30000,  'C-01-02', '2026-10-05 09:00:00'),
    ('KC-2003', 'ALM1', NULL, '', 1, 'CMP-ROLLO-01', 120500, 'C-01-03', '2026-10-07 09:00:00'),
    ('KC-2004', 'ALM1', NULL, '', 1, 'CMP-ROLLO-01', 0,      'C-01-04', '2026-10-09 09:00:00'),
    ('KC-2005', 'ALM1', NULL, '', 1, 'CMP-ETIQ-01',  1000000, 'C-01-05', '2026-10-11 09:00:00');

INSERT INTO inb_ticket (ticket, activo, procedimiento) VALUES
    ('TS-5001', 1, 10),
    ('TS-5002', 1, 20),
    ('TS-5003', 0, 10);
INSERT INTO inb_procedimiento_directo (procedimiento, paso) VALUES (20, 'Surtido a linea');
INSERT INTO inb_ticket_componente (ticket, producto) VALUES
    ('TS-5001', 'CMP-CAJA-01'), ('TS-5001', 'CMP-ROLLO-01'),
    ('TS-5002', 'CMP-ROLLO-01'), ('TS-5003', 'CMP-CAJA-01');
INSERT INTO inb_tarima_produccion (tarima) VALUES ('TP-3001'), ('TP-3002');
)sql");
}

} // namespace lectora::server
