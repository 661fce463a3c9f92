// Procedures and demo data of the count windows. Every catalogue holds its own
// counts (references prefixed by the catalogue: NP-, PV-, UL-), warehouses,
// locations, products and series, so a scan that lands in the wrong catalogue
// is plain to see. A count is restricted to one product or not, lets the
// operator type the quantity or not, and is open (status 1) or closed (2).
// A scan names a series (counted once per count) or a product key (counted
// as often as it is scanned); the recording judges it on the current state.
#include "server/Database.h"
#include "server/ProcedureHost.h"

#include <optional>
#include <string>

namespace lectora::server
{

namespace
{

constexpr int kOpen = 1;
constexpr int kClosed = 2;

// SQL Server compares codes without trailing blanks; the tables are NOCASE
// for the letter case.
std::string rtrim(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

std::string text(const Call& call, std::string_view name)
{
    return rtrim(call.arg(name).toText());
}
std::string text(const Call& call, std::size_t i)
{
    return rtrim(call.text(i));
}

Reply validation(bool refused, const std::string& description)
{
    return Reply::rows(ResultSet::texts({"Error", "ErrorDesc"})
                           .row({refused ? "1" : "0", refused ? description : std::string()}));
}

Reply outputs(int error, const std::string& description)
{
    Reply r;
    r.outputs["@Error"] = Value(error);
    r.outputs["@ErrorDescripcion"] = Value(description);
    return r;
}

std::string prefixOf(std::string_view catalogue)
{
    if (catalogue == "KV_NORDAPAVREL")
        return "PV";
    if (catalogue == "KV_ULMAR")
        return "UL";
    return "NP";
}

// The product a scanned code names: a series first, then a product key; -1 for neither.
std::int64_t productOf(Database& db, const std::string& code)
{
    if (code.empty())
        return -1;
    Value id = db.scalar("SELECT id_producto FROM inv_serie WHERE serie = ?1", {code});
    if (id.isNull())
        id = db.scalar("SELECT id_producto FROM inv_producto WHERE clave = ?1", {code});
    return id.isNull() ? -1 : id.toInt().value_or(-1);
}

bool isSeries(Database& db, const std::string& code)
{
    return !db.scalar("SELECT serie FROM inv_serie WHERE serie = ?1", {code}).isNull();
}

Value warehouseId(Database& db, const std::string& name)
{
    return db.scalar("SELECT id_almacen FROM inv_almacen WHERE nombre = ?1", {name});
}

bool locationExists(Database& db, const std::string& warehouse, const std::string& location)
{
    return !db.scalar("SELECT l.id_localidad FROM inv_localidad l JOIN inv_almacen a "
                      "ON a.id_almacen = l.id_almacen WHERE a.nombre = ?1 AND l.id_localidad = ?2",
                      {warehouse, location})
                .isNull();
}

// sp_KVR_ConsultaCatInventarioConteo @Estatus: the counts with that status
// (every count for a null status), in the order they were registered.
Reply consultaCatInventarioConteo(Call& call)
{
    const Value& status = call.arg("@Estatus");
    ResultSet rs = status.isNull()
                       ? call.db->query("SELECT id_inventarioconteo, referencia AS inv_referencia "
                                        "FROM inv_conteo ORDER BY id_inventarioconteo")
                       : call.db->query("SELECT id_inventarioconteo, referencia AS inv_referencia "
                                        "FROM inv_conteo WHERE estatus = ?1 "
                                        "ORDER BY id_inventarioconteo",
                                        {status.toInt().value_or(-1)});
    return Reply::rows(std::move(rs));
}

// sp_KVR_InventarioConsultaConteo 'reference': the count's type, warehouse
// name, product restriction (-1 for none) and quantity mode; no row for an
// unknown reference.
Reply inventarioConsultaConteo(Call& call)
{
    ResultSet rs = call.db->query(
        "SELECT c.tipo AS TipoInventario, COALESCE(a.nombre, '') AS Almacen, "
        "CAST(c.id_producto AS TEXT) AS producto, COALESCE(p.clave, '') AS claveproducto, "
        "c.permite_cantidad AS PermiteCapturacantidad "
        "FROM inv_conteo c LEFT JOIN inv_almacen a ON a.id_almacen = c.id_almacen "
        "LEFT JOIN inv_producto p ON p.id_producto = c.id_producto "
        "WHERE rtrim(c.referencia) = ?1",
        {text(call, 0)});
    for (auto& c : rs.columns)
        c.type = ColumnType::Text;
    return Reply::rows(std::move(rs));
}

// sp_KVR_InventarioValidaLocalidad 'warehouse', 'location': 1 when the
// warehouse has no such location.
Reply inventarioValidaLocalidad(Call& call)
{
    const std::string warehouse = text(call, 0), location = text(call, 1);
    return validation(!locationExists(*call.db, warehouse, location),
                      "La localidad " + location + " no existe en el almacen " + warehouse + ".");
}

// sp_KVR_InventarioValidaProductoLocalidad 'warehouse', 'location', 'code':
// 1 unless the code is a series kept at that location or the key of a product
// that has a series there.
Reply inventarioValidaProductoLocalidad(Call& call)
{
    const std::string warehouse = text(call, 0), location = text(call, 1), code = text(call, 2);
    const bool there = !call.db
                            ->scalar("SELECT s.serie FROM inv_serie s "
                                     "JOIN inv_almacen a ON a.id_almacen = s.id_almacen "
                                     "JOIN inv_producto p ON p.id_producto = s.id_producto "
                                     "WHERE a.nombre = ?1 AND s.id_localidad = ?2 "
                                     "AND (s.serie = ?3 OR p.clave = ?3) LIMIT 1",
                                     {warehouse, location, code})
                            .isNull();
    return validation(!there, "El producto " + code + " no esta en la localidad " + location + ".");
}

// sp_KVR_ConsultaCatLocalidad @ParaCombo, @id_almacen, @Descripcion: the
// warehouse's locations, filtered by description when one is given.
Reply consultaCatLocalidad(Call& call)
{
    const std::string filter = text(call, "@Descripcion");
    ResultSet rs =
        call.db->query("SELECT id_localidad, descripcion FROM inv_localidad WHERE id_almacen = ?1 "
                       "AND (?2 = '' OR descripcion LIKE '%' || ?2 || '%') ORDER BY id_localidad",
                       {call.arg("@id_almacen").toInt().value_or(-1), filter});
    return Reply::rows(std::move(rs));
}

// sp_KVR_ConsultaCatAlmacen: the warehouses (all of them, or the one asked for).
Reply consultaCatAlmacen(Call& call)
{
    const Value& id = call.arg("@id_almacen");
    ResultSet rs = id.isNull() || id.toInt().value_or(0) <= 0
                       ? call.db->query("SELECT id_almacen, nombre AS Descripcion FROM inv_almacen "
                                        "ORDER BY id_almacen")
                       : call.db->query("SELECT id_almacen, nombre AS Descripcion FROM inv_almacen "
                                        "WHERE id_almacen = ?1",
                                        {id.toInt().value_or(0)});
    return Reply::rows(std::move(rs));
}

// sp_KVR_ObtieneIDProducto @Serie, @id_producto OUTPUT: the product of a
// series or product key; -1 when the code names neither.
Reply obtieneIDProducto(Call& call)
{
    Reply r;
    r.outputs["@id_producto"] = Value(productOf(*call.db, text(call, "@Serie")));
    return r;
}

// sp_KVR_ScaneoSalidaObtieneIdProducto @prd_ClaveProducto, @id_producto OUTPUT.
Reply scaneoSalidaObtieneIdProducto(Call& call)
{
    Value id = call.db->scalar("SELECT id_producto FROM inv_producto WHERE clave = ?1",
                               {text(call, "@prd_ClaveProducto")});
    Reply r;
    r.outputs["@id_producto"] = id.isNull() ? Value(-1) : id;
    return r;
}

// sp_KVR_ScaneoInventarioRegConteo: registers a new open or closed count
// under a reference; its type and warehouse are assigned later.
Reply scaneoInventarioRegConteo(Call& call)
{
    Database& db = *call.db;
    const std::string reference = text(call, "@inv_referencia");
    const int status = static_cast<int>(call.arg("@id_estatus").toInt().value_or(kOpen));
    if (reference.empty())
        return outputs(1, "Debe indicar la referencia del conteo.");
    if (!db.scalar("SELECT id_inventarioconteo FROM inv_conteo WHERE rtrim(referencia) = ?1",
                   {reference})
             .isNull())
        return outputs(2, "El conteo " + reference + " ya existe.");
    db.transaction([&] {
        db.query("INSERT INTO inv_conteo (referencia, tipo, id_almacen, id_producto, "
                 "permite_cantidad, estatus, id_personausuario) VALUES (?1, 'Parcial', NULL, -1, "
                 "'s', ?2, ?3)",
                 {reference, status, call.arg("@id_personausuario")});
    });
    return outputs(0, "");
}

// sp_KVR_ScaneoInventarioRegConteoEdit: changes the status of a count (2 closes it).
Reply scaneoInventarioRegConteoEdit(Call& call)
{
    Database& db = *call.db;
    const std::string reference = text(call, "@inv_referencia");
    const Value status = call.arg("@id_estatus");
    if (status.isNull() || (status.toInt() != kOpen && status.toInt() != kClosed))
        return outputs(3, "El estatus del conteo no es valido.");
    bool found = false;
    db.transaction([&] {
        db.query("UPDATE inv_conteo SET estatus = ?1 WHERE rtrim(referencia) = ?2",
                 {status, reference});
        found = db.changes() > 0;
    });
    return found ? outputs(0, "") : outputs(1, "El conteo " + reference + " no existe.");
}

// sp_KVR_ScaneoInventarioDet: records one scan of a count. Refusals, in the
// order they are judged: 1 no such count; 2 the count is closed; 3 the
// warehouse is not the count's; 4 no such location in the warehouse (an empty
// location is allowed only for a cyclic count); 5 the product cannot be
// identified; 6 the product is not the one the count is restricted to; 7 the
// series was already counted in this count; 8 a quantity below 1.
Reply scaneoInventarioDet(Call& call)
{
    Database& db = *call.db;
    const Value countId = call.arg("@id_inventarioconteo");
    const std::string warehouse = text(call, "@NombreAlmacen");
    const std::string location = text(call, "@id_localidad");
    const std::string series = text(call, "@serie");
    const std::string lot = text(call, "@lote");
    std::int64_t product = call.arg("@id_producto").toInt().value_or(0);
    const std::optional<std::int64_t> quantity = call.arg("@IndCantidad").toInt();

    ResultSet count = db.query("SELECT c.referencia, c.tipo, c.estatus, c.id_producto, "
                               "COALESCE(a.nombre, '') FROM inv_conteo c "
                               "LEFT JOIN inv_almacen a ON a.id_almacen = c.id_almacen "
                               "WHERE c.id_inventarioconteo = ?1",
                               {countId.toInt().value_or(-1)});
    if (count.rows.empty())
        return outputs(1, "El registro de conteo " + countId.toText() + " no existe.");
    const auto& c = count.rows.front();
    const std::string reference = rtrim(c[0].toText()), type = c[1].toText();
    if (c[2].toInt() != kOpen)
        return outputs(2, "El conteo " + reference + " esta cerrado.");
    const std::string countWarehouse = c[4].toText();
    if (countWarehouse.empty() || warehouseId(db, warehouse).isNull() ||
        warehouseId(db, warehouse) != warehouseId(db, countWarehouse))
        return outputs(3,
                       "El almacen " + warehouse + " no corresponde al conteo " + reference + ".");
    if (location.empty() ? type != "Cíclico" : !locationExists(db, warehouse, location))
        return outputs(4,
                       "La localidad " + location + " no existe en el almacen " + warehouse + ".");
    if (product <= 0)
        product = productOf(db, series);
    if (product <= 0 ||
        db.scalar("SELECT id_producto FROM inv_producto WHERE id_producto = ?1", {product})
            .isNull())
        return outputs(5, "No se pudo identificar el producto escaneado.");
    const std::int64_t restriction = c[3].toInt().value_or(-1);
    if (restriction > 0 && restriction != product)
        return outputs(6, "El producto no esta considerado en el conteo " + reference + ".");
    if (!series.empty() && isSeries(db, series) &&
        !db.scalar("SELECT id FROM inv_escaneo WHERE id_inventarioconteo = ?1 AND serie = ?2",
                   {countId, series})
             .isNull())
        return outputs(7,
                       "La serie " + series + " ya fue escaneada en el conteo " + reference + ".");
    if (!quantity || *quantity < 1)
        return outputs(8, "La cantidad debe ser mayor a cero.");

    db.transaction([&] {
        db.query("INSERT INTO inv_escaneo (id_personausuario, id_inventarioconteo, almacen, "
                 "id_localidad, id_producto, serie, lote, cantidad, registrado) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
                 "strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime'))",
                 {call.arg("@id_personausuario"), countId, warehouse, location, product, series,
                  lot, *quantity});
    });
    return outputs(0, "");
}

} // namespace

void registerInventory(ProcedureRegistry& registry)
{
    registry.add({"sp_KVR_ConsultaCatInventarioConteo", {"@Estatus"}, consultaCatInventarioConteo});
    registry.add(
        {"sp_KVR_InventarioConsultaConteo", {"@inv_referencia"}, inventarioConsultaConteo});
    registry.add({"sp_KVR_InventarioValidaLocalidad",
                  {"@Almacen", "@id_localidad"},
                  inventarioValidaLocalidad});
    registry.add({"sp_KVR_InventarioValidaProductoLocalidad",
                  {"@Almacen", "@id_localidad", "@Producto"},
                  inventarioValidaProductoLocalidad});
    registry.add({"sp_KVR_ConsultaCatLocalidad",
                  {"@ParaCombo", "@id_almacen", "@Descripcion"},
                  consultaCatLocalidad});
    registry.add({"sp_KVR_ObtieneIDProducto", {"@Serie", "@id_producto"}, obtieneIDProducto});
    registry.add(
        {"sp_KVR_ScaneoInventarioDet",
         {"@id_personausuario", "@id_inventarioconteo", "@NombreAlmacen", "@id_localidad",
          "@id_producto", "@serie", "@lote", "@IndCantidad", "@Error", "@ErrorDescripcion"},
         scaneoInventarioDet});
    registry.add({"sp_KVR_ConsultaCatAlmacen",
                  {"@ParaCombo", "@id_almacen", "@Descripcion", "@ID_PersonaUsuario", "@ID_Roll"},
                  consultaCatAlmacen});
    registry.add(
        {"sp_KVR_ScaneoInventarioRegConteo",
         {"@id_personausuario", "@id_estatus", "@inv_referencia", "@Error", "@ErrorDescripcion"},
         scaneoInventarioRegConteo});
    registry.add(
        {"sp_KVR_ScaneoInventarioRegConteoEdit",
         {"@id_personausuario", "@id_estatus", "@inv_referencia", "@Error", "@ErrorDescripcion"},
         scaneoInventarioRegConteoEdit});
    registry.add({"sp_KVR_ScaneoSalidaObtieneIdProducto",
                  {"@prd_ClaveProducto", "@id_producto"},
                  scaneoSalidaObtieneIdProducto});
}

// The same shape of data in every catalogue; the count references carry the
// catalogue's prefix.
// Seed data: the schema and its demo rows read best as one listing.
// NOLINTNEXTLINE(readability-function-size)
void seedInventory(Database& db, std::string_view catalogue)
{
    db.exec(R"sql(
CREATE TABLE IF NOT EXISTS inv_almacen (
    id_almacen INTEGER PRIMARY KEY,
    nombre TEXT NOT NULL COLLATE NOCASE UNIQUE);
CREATE TABLE IF NOT EXISTS inv_localidad (
    id_almacen INTEGER NOT NULL REFERENCES inv_almacen(id_almacen),
    id_localidad TEXT NOT NULL COLLATE NOCASE,
    descripcion TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (id_almacen, id_localidad));
CREATE TABLE IF NOT EXISTS inv_producto (
    id_producto INTEGER PRIMARY KEY,
    clave TEXT NOT NULL COLLATE NOCASE UNIQUE,
    descripcion TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS inv_serie (
    serie TEXT PRIMARY KEY COLLATE NOCASE,
    id_producto INTEGER NOT NULL REFERENCES inv_producto(id_producto),
    id_almacen INTEGER,
    id_localidad TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS inv_conteo (
    id_inventarioconteo INTEGER PRIMARY KEY AUTOINCREMENT,
    referencia TEXT NOT NULL COLLATE NOCASE UNIQUE,
    tipo TEXT NOT NULL,
    id_almacen INTEGER,
    id_producto INTEGER NOT NULL DEFAULT -1,
    permite_cantidad TEXT NOT NULL,
    estatus INTEGER NOT NULL,
    id_personausuario INTEGER);
CREATE TABLE IF NOT EXISTS inv_escaneo (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    id_personausuario TEXT,
    id_inventarioconteo INTEGER NOT NULL,
    almacen TEXT NOT NULL,
    id_localidad TEXT NOT NULL,
    id_producto INTEGER NOT NULL,
    serie TEXT NOT NULL COLLATE NOCASE,
    lote TEXT NOT NULL,
    cantidad INTEGER NOT NULL,
    registrado TEXT NOT NULL);
)sql");
    if (db.scalar("SELECT count(*) FROM inv_conteo").toInt().value_or(0) > 0)
        return;

    db.exec(R"sql(
INSERT INTO inv_almacen VALUES (1, 'Almacen General'), (2, 'Producto Terminado');
INSERT INTO inv_localidad VALUES
    (1, 'A-01-01', 'Pasillo A rack 1 nivel 1'), (1, 'A-01-02', 'Pasillo A rack 1 nivel 2'),
    (1, 'A-02-01', 'Pasillo A rack 2 nivel 1'), (2, 'B-01-01', 'Pasillo B rack 1 nivel 1'),
    (2, 'B-01-02', 'Pasillo B rack 1 nivel 2');
INSERT INTO inv_producto VALUES
    (101, 'PRD-100', 'Rollo de pelicula 30 cm'), (102, 'PRD-200', 'Caja de etiquetas'),
    (103, 'PRD-300', 'Tarima de carton');
INSERT INTO inv_serie VALUES
    ('S-1001', 101, 1, 'A-01-01'), ('S-1002', 101, 1, 'A-01-01'), ('S-1003', 101, 1, 'A-01-01'),
    ('S-1004', 101, 1, 'A-01-01'), ('S-2001', 102, 1, 'A-01-01'), ('S-2002', 102, 1, 'A-01-02'),
    ('S-2003', 102, 1, 'A-01-02'), ('S-2004', 102, 1, 'A-01-02'), ('S-3001', 103, 1, 'A-02-01'),
    ('S-3002', 103, 1, 'A-02-01'), ('S-1101', 101, 2, 'B-01-01'), ('S-1102', 101, 2, 'B-01-01'),
    ('S-2101', 102, 2, 'B-01-02'), ('S-9001', 103, NULL, NULL);
)sql");
    const std::string p = prefixOf(catalogue);
    struct Count {
        const char* suffix;
        const char* type;
        std::optional<int> warehouse;
        int product;
        const char* quantityMode;
        int status;
    };
    const Count counts[] = {
        {"-CIC-01", "Cíclico", 1, -1, "n", kOpen},
        {"-WTW-01", "Wall to Wall", 1, 102, "N", kOpen},
        {"-PAR-01", "Parcial", 2, -1, "s", kOpen},
        {"-PAR-02", "Parcial", 1, 101, "n", kOpen},
        {"-NUE-01", "Parcial", std::nullopt, -1, "s", kOpen},
        {"-CIC-00", "Cíclico", 1, -1, "n", kClosed},
    };
    for (const Count& c : counts)
        db.query("INSERT INTO inv_conteo (referencia, tipo, id_almacen, id_producto, "
                 "permite_cantidad, estatus) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                 {p + c.suffix, c.type, c.warehouse ? Value(*c.warehouse) : Value(), c.product,
                  c.quantityMode, c.status});
}

} // namespace lectora::server
