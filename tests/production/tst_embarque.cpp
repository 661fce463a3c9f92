// Production pallet query: the check and the grid it fills.
#include "app/shell/DataGrid.h"
#include "production/U_Embarque.h"
#include "tests/production/ProductionTestSupport.h"
#include "tests/support/TerminalFixture.h"

#include <QLineEdit>
#include <QTest>

using namespace production_test;

namespace
{

const QString kCaption = QStringLiteral("Consulta Tarima de Producción");

Reply palletRows(int rows)
{
    ResultSet rs = ResultSet::texts({"Tarima", "Estatus", "Localidad"});
    for (int i = 0; i < rows; ++i)
        rs.row({"TP-" + std::to_string(i), "Liberada", "LIB-A-01"});
    return Reply::rows(rs);
}

} // namespace

class TestEmbarque : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondScan_data()
    {
        QTest::addColumn<Reply>("check");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("rows"); // in the grid after the second scan

        QTest::newRow("accepted: rows replaced") << status("0", "") << QStringList{} << 1;
        QTest::newRow("no row: the query runs") << noRow() << QStringList{} << 1;
        QTest::newRow("01: the query runs") << status("01", "") << QStringList{} << 1;
        QTest::newRow("refused: rows kept")
            << status(" 1", "") << QStringList{"E|No existe la tarima.|No existe la tarima."} << 3;
    }
    void secondScan()
    {
        QFETCH(Reply, check);
        QFETCH(QStringList, messages);
        QFETCH(int, rows);

        TerminalFixture fx;
        fx.server().script("sp_KVR_VerificaTarima", inTurn({status("0", ""), check}));
        fx.server().script("sp_KVR_ConsultaTarimaProduccion",
                           inTurn({palletRows(3), palletRows(1)}));
        auto* w = new Tfr_Embarque;
        fx.open(w, kCaption);
        auto* edTarima = w->findChild<QLineEdit*>("edTarima");
        auto* grid = w->findChild<DataGrid*>("dbgLocalidadTarima");
        QCOMPARE(grid->rows(), 0);

        TerminalFixture::scan(edTarima, QStringLiteral("TP-1"));
        QCOMPARE(grid->titles(), (QStringList{"Tarima", "Estatus", "Localidad"}));
        QCOMPARE(grid->rows(), 3);
        // The field keeps the code and the focus: the next scan goes over it.
        QCOMPARE(edTarima->text(), QStringLiteral("TP-1"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));

        fx.clearJournal();
        edTarima->clear();
        TerminalFixture::scan(edTarima, QStringLiteral(" TP-2 "));
        QStringList sent{"EXECUTE sp_KVR_VerificaTarima 'TP-2'"};
        if (messages.isEmpty())
            sent << "EXECUTE sp_KVR_ConsultaTarimaProduccion 'TP-2'";
        QCOMPARE(fx.journal(), sent);
        QCOMPARE(shownMessages(), messages);
        QCOMPARE(grid->rows(), rows);
        QCOMPARE(edTarima->selectedText(),
                 messages.isEmpty() ? QString() : QStringLiteral(" TP-2 "));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));
    }

    void emptyCodeIsAnErrorBox()
    {
        TerminalFixture fx;
        auto* w = new Tfr_Embarque;
        fx.open(w, kCaption);
        TerminalFixture::scan(w->findChild<QLineEdit*>("edTarima"), QStringLiteral("  "));
        QCOMPARE(shownMessages(), QStringList{"E|Error|Ingrese la tarima."});
        QVERIFY(fx.journal().isEmpty());
    }
};

QTEST_MAIN(TestEmbarque)
#include "tst_embarque.moc"
