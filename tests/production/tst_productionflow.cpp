// The production procedures on the demo data, and one demo pallet taken from
// its station to the released area and then looked up, as an operator would.
#include "app/shell/DataGrid.h"
#include "production/U_Embarque.h"
#include "production/U_EntregaTarimaACalidad.h"
#include "production/U_Reubica.h"
#include "production/U_SalidaCajaRollo.h"
#include "production/U_SalidaPallet.h"
#include "server/Database.h"
#include "tests/production/ProductionTestSupport.h"
#include "tests/support/TerminalFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>

using namespace production_test;
using namespace lectora::server;

namespace lectora::server
{
void registerProduction(ProcedureRegistry&);
void seedProduction(Database&, std::string_view catalogue);
} // namespace lectora::server

namespace
{

QString cellOf(DataGrid* grid, const QString& title)
{
    const int column = grid->titles().indexOf(title);
    return column < 0 ? QStringLiteral("<no column %1>").arg(title) : grid->cell(0, column);
}

} // namespace

class TestProductionFlow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each row is run on fresh demo data after the calls before it.
    void demoAnswers_data()
    {
        QTest::addColumn<QStringList>("before"); // "procedure arg arg ..." run first
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("code");

        const QString deliver = QStringLiteral("sp_KVR_OrdenProduccionValidaEntrega");
        const QString change = QStringLiteral("sp_KVR_OrdenProduccionCambiaMesa");
        const QString receive = QStringLiteral("sp_KVR_OrdenProduccionRecepcionEnAreaProduccion");
        const QString quality = QStringLiteral("sp_KVR_OrdenProduccionEntregaEnAreaCalidad");
        const QString save = QStringLiteral("sp_KVR_GuardaUbicacionTarimaProduccion");
        auto row = [](const char* name, QStringList before, QString call, QString code) {
            QTest::newRow(name) << before << call << code;
        };
        row("deliver", {}, deliver + " TP-1001 MESA-01 7", "0");
        row("deliver: any case, trailing blanks", {}, deliver + "|tp-1001 |mesa-01  |7", "0");
        row("deliver twice", {deliver + " TP-1001 MESA-01 7"}, deliver + " TP-1001 MESA-01 7", "4");
        row("deliver: other station", {}, deliver + " TP-1002 MESA-02 7", "1");
        row("deliver: unknown pallet", {}, deliver + " TP-9999 MESA-01 7", "2");
        row("deliver: unknown station", {}, deliver + " TP-1001 MESA-99 7", "3");
        row("deliver: station out of service", {change + " TP-1002 MESA-04 7"},
            deliver + " TP-1002 MESA-04 7", "5");
        row("reassigned then delivered", {change + " TP-1002 MESA-02 7"},
            deliver + " TP-1002 MESA-02 7", "0");
        row("fixed station", {}, change + " TP-1003 MESA-01 7", "6");
        row("reassign after delivery", {deliver + " TP-1001 MESA-01 7"},
            change + " TP-1001 MESA-02 7", "4");
        row("receive undelivered", {}, receive + " TP-1001 7", "4");
        row("receive delivered", {}, receive + " TP-1004 7", "0");
        row("receive twice", {receive + " TP-1004 7"}, receive + " TP-1004 7", "5");
        row("quality before receipt", {}, quality + " TP-1004 7", "4");
        row("quality", {}, quality + " TP-1005 7", "0");
        row("quality twice", {}, quality + " TP-1006 7", "5");
        row("production pallet unknown", {}, "sp_KVR_ValidaTarimaProduccion TP-9999", "1");
        row("production pallet not in quality", {}, "sp_KVR_ValidaTarimaProduccion TP-1005", "2");
        row("client label unknown", {}, "sp_KVR_ValidaTarimaCliente VE-9999", "1");
        row("client label in use", {}, "sp_KVR_ValidaTarimaCliente VE-5006", "2");
        row("client label free", {}, "sp_KVR_ValidaTarimaCliente VE-5001", "0");
        row("save", {}, save + " TP-1006 VE-5001 LIB-A-01 7", "0");
        row("save twice", {save + " TP-1006 VE-5001 LIB-A-01 7"},
            save + " TP-1006 VE-5001 LIB-A-01 7", "5");
        row("save: unknown pallet", {}, save + " TP-9999 VE-5001 LIB-A-01 7", "2");
        row("save: unknown label", {}, save + " TP-1006 VE-9999 LIB-A-01 7", "3");
        row("save: unknown location", {}, save + " TP-1006 VE-5001 LIB-Z-09 7", "4");
        row("save: not in quality", {}, save + " TP-1005 VE-5001 LIB-A-01 7", "5");
        row("save: label in use", {}, save + " TP-1006 VE-5006 LIB-A-01 7", "6");
        row("save: location full", {}, save + " TP-1006 VE-5001 LIB-B-01 7", "7");
        row("verify unknown", {}, "sp_KVR_VerificaTarima TP-9999", "1");
        row("verify", {}, "sp_KVR_VerificaTarima TP-1001", "0");
    }
    void demoAnswers()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, call);
        QFETCH(QString, code);

        ProcedureRegistry registry;
        registerProduction(registry);
        Database db(":memory:", "KV_NORDA_PREVENTA");
        db.transaction([&] { seedProduction(db, "KV_NORDA_PREVENTA"); });
        ProcedureHost host(registry, [&](std::string_view) { return &db; });
        auto run = [&](const QString& line) {
            // "|" instead of blanks separates arguments that carry blanks.
            QStringList parts = line.split(line.contains('|') ? '|' : ' ');
            Call c;
            c.procedure = parts.takeFirst().toStdString();
            c.catalogue = "KV_NORDA_PREVENTA";
            for (const QString& a : parts)
                c.args.push_back(Argument{{}, Value(a.toStdString()), false});
            return host.run(c);
        };
        for (const QString& line : before)
            run(line);
        const Reply reply = run(call);
        QVERIFY(!reply.error);
        QCOMPARE(reply.results.size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(reply.results[0].rows.at(0).at(0).toText()), code);
    }

    void palletFromStationToReleasedArea()
    {
        TerminalFixture fx;
        auto* query = new Tfr_Embarque;
        fx.open(query, QStringLiteral("Consulta Tarima de Producción"));
        auto* queried = query->findChild<QLineEdit*>("edTarima");
        auto* grid = query->findChild<DataGrid*>("dbgLocalidadTarima");
        TerminalFixture::scan(queried, QStringLiteral("TP-1001"));
        QCOMPARE(cellOf(grid, "Estatus"), QStringLiteral("En almacen"));
        QCOMPARE(cellOf(grid, "FechaEntrega"), QString()); // a NULL on the wire

        auto* delivery = new TFr_SalidaCajaRollo;
        fx.open(delivery, QStringLiteral("Entrega Tarima a Estación de producción"));
        TerminalFixture::scan(delivery->findChild<QLineEdit*>("edTarima"),
                              QStringLiteral("TP-1001"));
        TerminalFixture::scan(delivery->findChild<QLineEdit*>("edMesa"), QStringLiteral("MESA-01"));
        QCOMPARE(delivery->findChild<QLabel*>("lbAvisos")->text(),
                 QStringLiteral("Validacion correcta."));

        auto* receipt = new TFr_Salida;
        fx.open(receipt, QStringLiteral("Recibo en Produccion"));
        TerminalFixture::scan(receipt->findChild<QLineEdit*>("edTarima"),
                              QStringLiteral("TP-1001"));
        QCOMPARE(receipt->findChild<QLabel*>("lbAvisos")->text(),
                 QStringLiteral("Recibido correctamente."));
        TerminalFixture::scan(receipt->findChild<QLineEdit*>("edTarima"),
                              QStringLiteral("TP-1001"));
        QCOMPARE(
            shownMessages(),
            QStringList{"E|Error|Error: #5.\r\nLa tarima TP-1001 ya fue recibida en produccion."});
        TerminalFixture::clearMessages();

        auto* quality = new TfrEntregaTarimaACalidad;
        fx.open(quality, QStringLiteral("Entrega de Producción a Calidad"));
        TerminalFixture::scan(quality->findChild<QLineEdit*>("edTarima"),
                              QStringLiteral("TP-1001"));
        QCOMPARE(quality->findChild<QLabel*>("lbAvisos")->text(),
                 QStringLiteral("Entregado correctamente."));

        auto* released = new TfrLiberacionCalidadVElmor;
        fx.open(released, QStringLiteral("Transferencia al área de producto liberado"));
        TerminalFixture::scan(released->findChild<QLineEdit*>("edTarimaKV"),
                              QStringLiteral("TP-1001"));
        auto* suggested = released->findChild<DataGrid*>("dbgLocalidadTarima");
        QVERIFY(suggested->rows() > 0);
        QCOMPARE(suggested->titles().first(), QStringLiteral("Localidad"));
        const QString location = suggested->cell(0, 0);
        TerminalFixture::scan(released->findChild<QLineEdit*>("edTarimaVElmor"),
                              QStringLiteral("VE-5001"));
        TerminalFixture::scan(released->findChild<QLineEdit*>("edLocalidadTarima"), location);
        QCOMPARE(released->findChild<QLabel*>("lbAvisos")->text(),
                 QStringLiteral("Localidad Actualizada"));

        fx.area()->setActiveSubWindow(query->subWindow());
        queried->clear();
        TerminalFixture::scan(queried, QStringLiteral("TP-1001"));
        QCOMPARE(grid->rows(), 1);
        QCOMPARE(cellOf(grid, "Orden"), QStringLiteral("OP-2301"));
        QCOMPARE(cellOf(grid, "Cantidad"), QStringLiteral("120"));
        QCOMPARE(cellOf(grid, "Mesa"), QStringLiteral("MESA-01"));
        QCOMPARE(cellOf(grid, "Estatus"), QStringLiteral("Liberada"));
        QCOMPARE(cellOf(grid, "Localidad"), location);
        QCOMPARE(cellOf(grid, "TarimaCliente"), QStringLiteral("VE-5001"));
        for (const char* date :
             {"FechaEntrega", "FechaRecepcion", "FechaCalidad", "FechaLiberacion"})
            QVERIFY2(!cellOf(grid, date).isEmpty(), date);
        QCOMPARE(cellOf(grid, "Operador"), QStringLiteral("7"));
        QCOMPARE(shownMessages(), QStringList{});
    }

    // The reassignment paths on the demo pallets planned for other stations.
    void reassignmentOnDemoData()
    {
        TerminalFixture fx;
        auto* w = new TFr_SalidaCajaRollo;
        fx.open(w, QStringLiteral("Entrega Tarima a Estación de producción"));
        auto* edTarima = w->findChild<QLineEdit*>("edTarima");
        auto* edMesa = w->findChild<QLineEdit*>("edMesa");
        auto* lbAvisos = w->findChild<QLabel*>("lbAvisos");

        // Planned for a station under maintenance: the change is made, the delivery refused.
        MessageService::instance().setNextAnswers({QMessageBox::Yes});
        TerminalFixture::scan(edTarima, QStringLiteral("TP-1002"));
        TerminalFixture::scan(edMesa, QStringLiteral("MESA-04"));
        QCOMPARE(
            shownMessages(),
            (QStringList{"E|Aviso|Aviso: #1.\r\nLa tarima TP-1002 esta asignada a la mesa MESA-01.",
                         "Q|Confirmacion|Desea reasignar tarima?",
                         "E|Error|Error: #5.\r\nLa mesa MESA-04 esta fuera de servicio."}));
        QCOMPARE(lbAvisos->text(), QStringLiteral("Asignación correcta de mesa."));
        QVERIFY(edTarima->text().isEmpty() && edMesa->text().isEmpty());

        TerminalFixture::clearMessages();
        MessageService::instance().setNextAnswers({QMessageBox::Yes});
        TerminalFixture::scan(edTarima, QStringLiteral("TP-1002"));
        TerminalFixture::scan(edMesa, QStringLiteral("MESA-02"));
        QCOMPARE(lbAvisos->text(), QStringLiteral("Validacion correcta."));
        QCOMPARE(shownMessages().first(),
                 QStringLiteral(
                     "E|Aviso|Aviso: #1.\r\nLa tarima TP-1002 esta asignada a la mesa MESA-04."));

        TerminalFixture::clearMessages();
        MessageService::instance().setNextAnswers({QMessageBox::Yes});
        TerminalFixture::scan(edTarima, QStringLiteral("TP-1003"));
        TerminalFixture::scan(edMesa, QStringLiteral("MESA-01"));
        QCOMPARE(shownMessages(),
                 (QStringList{
                     "E|Aviso|Aviso: #1.\r\nLa tarima TP-1003 esta asignada a la mesa MESA-03.",
                     "Q|Confirmacion|Desea reasignar tarima?",
                     "E|Error|Error: #6.\r\nLa orden OP-2303 no permite cambio de mesa.",
                     "E|Error|Error: #1.\r\nLa tarima TP-1003 esta asignada a la mesa MESA-03."}));
        QVERIFY(edTarima->text().isEmpty() && edMesa->text().isEmpty());
    }
};

QTEST_MAIN(TestProductionFlow)
#include "tst_productionflow.moc"
