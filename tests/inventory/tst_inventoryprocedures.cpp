// The count procedures of the stand-in, called directly on freshly seeded
// catalogues: what the demo data answers, and that a recording changes the
// state the next one is judged on.
#include "server/Database.h"
#include "server/ProcedureHost.h"

#include <QTest>
#include <map>
#include <memory>

namespace lectora::server
{
void registerInventory(ProcedureRegistry&);
void seedInventory(Database&, std::string_view catalogue);
} // namespace lectora::server

using namespace lectora::server;

class TestInventoryProcedures : public QObject
{
    Q_OBJECT

    std::unique_ptr<ProcedureRegistry> m_registry;
    std::map<std::string, std::unique_ptr<Database>, std::less<>> m_dbs;
    std::unique_ptr<ProcedureHost> m_host;

    Reply call(const std::string& procedure, std::vector<Value> args,
               const std::string& catalogue = "KV_NORDA_PREVENTA")
    {
        Call c;
        c.procedure = procedure;
        c.catalogue = catalogue;
        for (auto& v : args)
            c.args.push_back(Argument{"", std::move(v), false});
        Reply r = m_host->run(c);
        if (r.error)
            qWarning("%s", r.error->message.c_str());
        return r;
    }
    static QString cell(const Reply& r, std::size_t row, std::size_t column)
    {
        return QString::fromStdString(r.results.at(0).rows.at(row).at(column).toText());
    }
    static int out(const Reply& r, const char* name)
    {
        return static_cast<int>(r.outputs.at(name).toInt().value_or(-99));
    }
    Reply scan(int count, const char* warehouse, const char* location, int product,
               const char* series, int quantity, const std::string& catalogue = "KV_NORDA_PREVENTA")
    {
        return call(
            "sp_KVR_ScaneoInventarioDet;1",
            {"7", count, warehouse, location, product, series, "", quantity, Value(), Value()},
            catalogue);
    }

private Q_SLOTS:
    void init()
    {
        m_host.reset();
        m_registry = std::make_unique<ProcedureRegistry>();
        registerInventory(*m_registry);
        m_dbs.clear();
        for (const char* name : kCatalogues) {
            auto db = std::make_unique<Database>(":memory:", name);
            db->transaction([&] { seedInventory(*db, name); });
            m_dbs.emplace(name, std::move(db));
        }
        m_host = std::make_unique<ProcedureHost>(*m_registry, [this](std::string_view name) {
            auto it = m_dbs.find(name);
            return it == m_dbs.end() ? nullptr : it->second.get();
        });
    }

    // Each catalogue lists its own open counts, in registration order.
    void openCountsPerCatalogue_data()
    {
        QTest::addColumn<QString>("catalogue");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("preventa") << "KV_NORDA_PREVENTA"
                                  << "NP";
        QTest::newRow("pavrel") << "KV_NORDAPAVREL"
                                << "PV";
        QTest::newRow("ulmar") << "KV_ULMAR"
                               << "UL";
    }
    void openCountsPerCatalogue()
    {
        QFETCH(QString, catalogue);
        QFETCH(QString, prefix);
        Reply r = call("sp_KVR_ConsultaCatInventarioConteo;1", {1}, catalogue.toStdString());
        QStringList refs;
        for (std::size_t i = 0; i < r.results.at(0).rows.size(); ++i)
            refs << cell(r, i, 1);
        QCOMPARE(refs, QStringList({prefix + "-CIC-01", prefix + "-WTW-01", prefix + "-PAR-01",
                                    prefix + "-PAR-02", prefix + "-NUE-01"}));
        QCOMPARE(call("sp_KVR_ConsultaCatInventarioConteo;1", {Value()}, catalogue.toStdString())
                     .results.at(0)
                     .rows.size(),
                 std::size_t(6));
    }

    void countDetails_data()
    {
        QTest::addColumn<QString>("reference");
        QTest::addColumn<QStringList>("row"); // type, warehouse, producto, clave, mode
        QTest::newRow("cyclic") << "NP-CIC-01"
                                << QStringList{"Cíclico", "Almacen General", "-1", "", "n"};
        QTest::newRow("wall to wall, restricted")
            << "NP-WTW-01" << QStringList{"Wall to Wall", "Almacen General", "102", "PRD-200", "N"};
        QTest::newRow("trailing blanks match")
            << "NP-PAR-02   " << QStringList{"Parcial", "Almacen General", "101", "PRD-100", "n"};
        QTest::newRow("no warehouse yet")
            << "NP-NUE-01" << QStringList{"Parcial", "", "-1", "", "s"};
        QTest::newRow("unknown") << "NP-XXX" << QStringList{};
    }
    void countDetails()
    {
        QFETCH(QString, reference);
        QFETCH(QStringList, row);
        Reply r = call("sp_KVR_InventarioConsultaConteo", {reference.toStdString()});
        QStringList got;
        for (std::size_t i = 0; !r.results.at(0).rows.empty() && i < 5; ++i)
            got << cell(r, 0, i);
        QCOMPARE(got, row);
    }

    void validations_data()
    {
        QTest::addColumn<QString>("procedure");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        const QString loc = "sp_KVR_InventarioValidaLocalidad",
                      prod = "sp_KVR_InventarioValidaProductoLocalidad";
        QTest::newRow("location there") << loc << QStringList{"Almacen General", "A-01-02"} << "0";
        QTest::newRow("location of another warehouse")
            << loc << QStringList{"Almacen General", "B-01-01"} << "1";
        QTest::newRow("no location") << loc << QStringList{"Almacen General", ""} << "1";
        QTest::newRow("series there")
            << prod << QStringList{"Almacen General", "A-01-01", "S-1002"} << "0";
        QTest::newRow("key of a product there")
            << prod << QStringList{"Almacen General", "A-01-02", "PRD-200"} << "0";
        QTest::newRow("series elsewhere")
            << prod << QStringList{"Producto Terminado", "B-01-01", "S-2101"} << "1";
    }
    void validations()
    {
        QFETCH(QString, procedure);
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        std::vector<Value> values;
        for (const QString& a : args)
            values.push_back(a.toStdString());
        QCOMPARE(cell(call(procedure.toStdString(), values), 0, 0), error);
    }

    void productIds()
    {
        QCOMPARE(out(call("sp_KVR_ObtieneIDProducto;1", {"S-2003", Value()}), "@id_producto"), 102);
        QCOMPARE(out(call("sp_KVR_ObtieneIDProducto;1", {"PRD-300", Value()}), "@id_producto"),
                 103);
        QCOMPARE(out(call("sp_KVR_ObtieneIDProducto;1", {"S-0000", Value()}), "@id_producto"), -1);
        QCOMPARE(out(call("sp_KVR_ScaneoSalidaObtieneIdProducto;1", {"PRD-100", Value()}),
                     "@id_producto"),
                 101);
    }

    // Counts 1 NP-CIC-01 (cyclic, Almacen General), 2 NP-WTW-01 (PRD-200 only),
    // 3 NP-PAR-01 (Producto Terminado), 6 the closed NP-CIC-00.
    void scanRefusals_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("warehouse");
        QTest::addColumn<QString>("location");
        QTest::addColumn<int>("product");
        QTest::addColumn<QString>("series");
        QTest::addColumn<int>("quantity");
        QTest::addColumn<int>("error");
        QTest::newRow("recorded") << 3 << "Producto Terminado"
                                  << "B-01-01" << 101 << "S-1101" << 2 << 0;
        QTest::newRow("cyclic without location") << 1 << "Almacen General"
                                                 << "" << 0 << "S-1001" << 1 << 0;
        QTest::newRow("key counted by id, no series") << 2 << "Almacen General"
                                                      << "A-01-02" << 102 << "" << 5 << 0;
        QTest::newRow("no count") << 99 << "Almacen General"
                                  << "A-01-01" << 101 << "S-1001" << 1 << 1;
        QTest::newRow("closed count") << 6 << "Almacen General"
                                      << "A-01-01" << 101 << "S-1001" << 1 << 2;
        QTest::newRow("other warehouse") << 3 << "Almacen General"
                                         << "A-01-01" << 101 << "S-1001" << 1 << 3;
        QTest::newRow("not cyclic without location") << 3 << "Producto Terminado"
                                                     << "" << 101 << "S-1101" << 1 << 4;
        QTest::newRow("unknown product") << 1 << "Almacen General"
                                         << "A-01-01" << 0 << "" << 1 << 5;
        QTest::newRow("not the count's product") << 2 << "Almacen General"
                                                 << "A-01-01" << 101 << "S-1001" << 1 << 6;
        QTest::newRow("quantity below 1") << 3 << "Producto Terminado"
                                          << "B-01-01" << 101 << "S-1101" << -2 << 8;
    }
    void scanRefusals()
    {
        QFETCH(int, count);
        QFETCH(QString, warehouse);
        QFETCH(QString, location);
        QFETCH(int, product);
        QFETCH(QString, series);
        QFETCH(int, quantity);
        QFETCH(int, error);
        Reply r = call("sp_KVR_ScaneoInventarioDet;1",
                       {"7", count, warehouse.toStdString(), location.toStdString(), product,
                        series.toStdString(), "", quantity, Value(), Value()});
        QCOMPARE(out(r, "@Error"), error);
        QCOMPARE(r.outputs.at("@ErrorDescripcion").toText().empty(), error == 0);
        Database& db = *m_dbs.at("KV_NORDA_PREVENTA");
        QCOMPARE(db.scalar("SELECT count(*) FROM inv_escaneo").toInt(), error == 0 ? 1 : 0);
    }

    // A series counts once per count; a product key counts every time.
    void recordingChangesState()
    {
        QCOMPARE(out(scan(1, "Almacen General", "A-01-01", 101, "S-1001", 1), "@Error"), 0);
        QCOMPARE(out(scan(1, "Almacen General", "A-01-01", 101, "S-1001", 1), "@Error"), 7);
        QCOMPARE(out(scan(4, "Almacen General", "A-01-01", 101, "S-1001", 1), "@Error"), 0);
        QCOMPARE(out(scan(4, "Almacen General", "A-01-01", 101, "PRD-100", 1), "@Error"), 0);
        QCOMPARE(out(scan(4, "Almacen General", "A-01-01", 101, "PRD-100", 1), "@Error"), 0);
        // The same scan in another catalogue is judged there.
        QCOMPARE(out(scan(1, "Almacen General", "A-01-01", 101, "S-1001", 1, "KV_ULMAR"), "@Error"),
                 0);

        // Closing a count through its edit procedure refuses further scans.
        Reply closed =
            call("sp_KVR_ScaneoInventarioRegConteoEdit;1", {"7", 2, "NP-PAR-02", Value(), Value()});
        QCOMPARE(out(closed, "@Error"), 0);
        QCOMPARE(out(scan(4, "Almacen General", "A-01-01", 101, "S-1002", 1), "@Error"), 2);

        // A newly registered count has no warehouse: nothing can be recorded in it.
        QCOMPARE(
            out(call("sp_KVR_ScaneoInventarioRegConteo;1", {"7", 1, "NP-NEW", Value(), Value()}),
                "@Error"),
            0);
        QCOMPARE(
            out(call("sp_KVR_ScaneoInventarioRegConteo;1", {"7", 1, "NP-NEW", Value(), Value()}),
                "@Error"),
            2);
        QCOMPARE(out(scan(7, "Almacen General", "A-01-01", 101, "S-1003", 1), "@Error"), 3);
    }

    void locationsAndWarehouses()
    {
        Reply locs = call("sp_KVR_ConsultaCatLocalidad;1", {0, 2, ""});
        QCOMPARE(locs.results.at(0).rows.size(), std::size_t(2));
        QCOMPARE(cell(locs, 1, 0), QString("B-01-02"));
        Reply all = call("sp_KVR_ConsultaCatAlmacen;1", {0, Value(), Value(), Value(), Value()});
        QCOMPARE(cell(all, 1, 1), QString("Producto Terminado"));
    }
};

QTEST_GUILESS_MAIN(TestInventoryProcedures)
#include "tst_inventoryprocedures.moc"
