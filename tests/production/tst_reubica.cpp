// Transfer to the released area: the two validations, the suggestion grid and
// the save, which takes whatever the three fields hold.
#include "app/shell/DataGrid.h"
#include "production/U_Reubica.h"
#include "tests/production/ProductionTestSupport.h"
#include "tests/support/TerminalFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace production_test;
using lectora::server::Column;
using lectora::server::ColumnType;

namespace
{

const QString kCaption = QStringLiteral("Transferencia al área de producto liberado");
const QString kNotFound = QStringLiteral("E|No existe la tarima.|No existe la tarima.");

Reply suggestions(std::vector<std::string> locations)
{
    ResultSet rs;
    rs.columns = {Column{"Localidad", ColumnType::Text}, Column{"Disponibles", ColumnType::Int}};
    for (auto& l : locations)
        rs.rows.push_back({l, 2});
    return Reply::rows(rs);
}

struct Reubica {
    TerminalFixture fx;
    TfrLiberacionCalidadVElmor* w = new TfrLiberacionCalidadVElmor;
    QLineEdit* kv;
    QLineEdit* client;
    QLineEdit* location;
    DataGrid* grid;
    QLabel* notice;

    Reubica()
    {
        fx.open(w, kCaption);
        kv = w->findChild<QLineEdit*>("edTarimaKV");
        client = w->findChild<QLineEdit*>("edTarimaVElmor");
        location = w->findChild<QLineEdit*>("edLocalidadTarima");
        grid = w->findChild<DataGrid*>("dbgLocalidadTarima");
        notice = w->findChild<QLabel*>("lbAvisos");
    }
};

} // namespace

class TestReubica : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void productionPallet_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("found");
        QTest::newRow("0") << "0" << true;
        QTest::newRow("1") << "1" << false;
        QTest::newRow("1 with blanks") << " 1 " << false;
        QTest::newRow("01") << "01" << true;
        QTest::newRow("2: the save judges") << "2" << true;
    }
    void productionPallet()
    {
        QFETCH(QString, code);
        QFETCH(bool, found);
        Reubica r;
        r.fx.server().script("sp_KVR_SugiereLocalidadProduccion",
                             inTurn({suggestions({"LIB-A-01", "LIB-A-02"}), suggestions({"X"})}));
        r.fx.server().script("sp_KVR_ValidaTarimaProduccion",
                             inTurn({status("0", ""), status(code, "")}));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarimaKV"));
        TerminalFixture::scan(r.kv, QStringLiteral("TP-1"));
        QCOMPARE(r.grid->titles(), (QStringList{"Localidad", "Disponibles"}));
        QCOMPARE(r.grid->rows(), 2);
        r.fx.clearJournal();

        r.kv->clear();
        TerminalFixture::scan(r.kv, QStringLiteral(" TP-2 "));
        QStringList sent{"EXECUTE sp_KVR_ValidaTarimaProduccion 'TP-2'"};
        if (found)
            sent << "EXECUTE sp_KVR_SugiereLocalidadProduccion 'TP-2'";
        QCOMPARE(r.fx.journal(), sent);
        QCOMPARE(shownMessages(), found ? QStringList{} : QStringList{kNotFound});
        // A refused pallet keeps the last suggestion; an accepted one replaces it.
        QCOMPARE(r.grid->rows(), found ? 1 : 2);
        QCOMPARE(r.grid->cell(0, 0), found ? QStringLiteral("X") : QStringLiteral("LIB-A-01"));
        QCOMPARE(TerminalFixture::focusName(),
                 found ? QStringLiteral("edTarimaVElmor") : QStringLiteral("edTarimaKV"));
        QCOMPARE(r.kv->selectedText(), found ? QString() : QStringLiteral(" TP-2 "));
    }

    void clientPallet_data()
    {
        QTest::addColumn<Reply>("answer");
        QTest::addColumn<bool>("found");
        QTest::newRow("0") << status("0", "") << true;
        QTest::newRow("no row") << noRow() << true;
        QTest::newRow("1") << status("1", "") << false;
    }
    void clientPallet()
    {
        QFETCH(Reply, answer);
        QFETCH(bool, found);
        Reubica r;
        r.fx.server().script("sp_KVR_ValidaTarimaCliente", inTurn({answer}));
        TerminalFixture::scan(r.client, QStringLiteral("VE-1"));
        QCOMPARE(r.fx.journal(), QStringList{"EXECUTE sp_KVR_ValidaTarimaCliente 'VE-1'"});
        QCOMPARE(shownMessages(), found ? QStringList{} : QStringList{kNotFound});
        QCOMPARE(TerminalFixture::focusName(),
                 found ? QStringLiteral("edLocalidadTarima") : QStringLiteral("edTarimaVElmor"));
        QCOMPARE(r.client->selectedText(), found ? QString() : QStringLiteral("VE-1"));
    }

    // Nothing forces the order of the scans: Enter in the location saves what
    // the three fields hold, refusals keep them for another try, and a
    // success's notice outlives later refusals.
    void saveTakesTheFieldsAsTheyAre()
    {
        Reubica r;
        r.fx.server().script("sp_KVR_GuardaUbicacionTarimaProduccion",
                             inTurn({status("5", " No esta en calidad ", "Mensaje"),
                                     status("0", "", "Mensaje"), status("7", "Llena", "Mensaje")}));
        QTest::keyClicks(r.client, QStringLiteral("VE-1 "));
        QTest::keyClicks(r.kv, QStringLiteral("TP-1"));
        r.location->setFocus();
        TerminalFixture::scan(r.location, QStringLiteral("LIB-A-01"));
        const QString save = QStringLiteral(
            "EXECUTE sp_KVR_GuardaUbicacionTarimaProduccion 'TP-1','VE-1','LIB-A-01',7");
        QCOMPARE(r.fx.journal(), QStringList{save});
        QCOMPARE(shownMessages(), QStringList{"E|Error|Error: #5.\r\nNo esta en calidad"});
        QCOMPARE(r.kv->text(), QStringLiteral("TP-1"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edLocalidadTarima"));

        TerminalFixture::pressEnter(r.location);
        QCOMPARE(r.fx.journal(), (QStringList{save, save}));
        QCOMPARE(r.notice->text(), QStringLiteral("Localidad Actualizada"));
        QVERIFY(r.kv->text().isEmpty() && r.client->text().isEmpty() &&
                r.location->text().isEmpty());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarimaKV"));

        TerminalFixture::clearMessages();
        TerminalFixture::pressEnter(r.location);
        QCOMPARE(r.fx.journal().last(),
                 QStringLiteral("EXECUTE sp_KVR_GuardaUbicacionTarimaProduccion '','','',7"));
        QCOMPARE(shownMessages(), QStringList{"E|Error|Error: #7.\r\nLlena"});
        QCOMPARE(r.notice->text(), QStringLiteral("Localidad Actualizada"));
    }

    // Failures are not caught here: the default report shows them and the
    // window stays usable.
    void serverErrorReachesTheDefaultReport()
    {
        Reubica r;
        r.fx.server().script("sp_KVR_SugiereLocalidadProduccion", inTurn({serverError()}));
        r.fx.server().script("sp_KVR_ValidaTarimaProduccion", inTurn({status("0", "")}));
        TerminalFixture::scan(r.kv, QStringLiteral("TP-1"));
        const QStringList shown = shownMessages();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown.first().startsWith("E|LectoraVelmor|") &&
                     shown.first().contains("Deadlock en la tabla de ordenes"),
                 qPrintable(shown.first()));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarimaKV"));
    }

    // The tab order starts at the client's label, not at the first field on screen.
    void tabOrder()
    {
        Reubica r;
        r.client->setFocus();
        QTest::keyClick(r.client, Qt::Key_Tab);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edLocalidadTarima"));
        QTest::keyClick(r.location, Qt::Key_Tab);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarimaKV"));
        QTest::keyClick(r.kv, Qt::Key_Tab);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("dbgLocalidadTarima"));
    }
};

QTEST_MAIN(TestReubica)
#include "tst_reubica.moc"
