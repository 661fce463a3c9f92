// Delivery of a pallet to a station: the validation, the reassignment question
// and the second validation, as the server receives them and the operator sees them.
#include "production/U_SalidaCajaRollo.h"
#include "tests/production/ProductionTestSupport.h"
#include "tests/support/TerminalFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTest>

using namespace production_test;

Q_DECLARE_METATYPE(std::vector<Reply>)

namespace
{

const QString kValidation =
    QStringLiteral("EXEC sp_KVR_OrdenProduccionValidaEntrega 'TP-1','M-2', 7");
const QString kChange = QStringLiteral("execute sp_KVR_OrdenProduccionCambiaMesa 'TP-1' ,'M-2', 7");
const QString kAviso = QStringLiteral("E|Aviso|Aviso: #");
const QString kQuestion = QStringLiteral("Q|Confirmacion|Desea reasignar tarima?");

} // namespace

class TestSalidaCajaRollo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void delivery_data()
    {
        QTest::addColumn<std::vector<Reply>>("validations");
        QTest::addColumn<Reply>("change");
        QTest::addColumn<bool>("reassign");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("emptied");

        const Reply ok = status("0", "Tarima entregada.");
        const Reply assigned = status("1", "Asignada a la mesa M-1.");
        const Reply refused = status("4", "La tarima ya no esta en almacen.");
        const QStringList once{kValidation};
        const QStringList twice{kValidation, kChange, kValidation};
        const QString assignedBox = kAviso + "1.\r\nAsignada a la mesa M-1.";

        QTest::newRow("validated") << std::vector{ok} << ok << true << once << QStringList{}
                                   << "Validacion correcta." << true;
        QTest::newRow("other code: fields stay")
            << std::vector{refused} << ok << true << once
            << QStringList{kAviso + "4.\r\nLa tarima ya no esta en almacen."} << "" << false;
        QTest::newRow("no row: empty code and description")
            << std::vector{noRow()} << ok << true << once << QStringList{kAviso + ".\r\n"} << ""
            << false;
        QTest::newRow("1 with blanks is not a reassignment")
            << std::vector{status(" 1 ", "x")} << ok << true << once
            << QStringList{kAviso + "1.\r\nx"} << "" << false;
        QTest::newRow("1, No") << std::vector{assigned} << ok << false << once
                               << QStringList{assignedBox, kQuestion} << "" << false;
        QTest::newRow("1, Yes, change ok, validated")
            << std::vector{assigned, ok} << status("0", "Reasignada") << true << twice
            << QStringList{assignedBox, kQuestion} << "Validacion correcta." << true;
        QTest::newRow("1, Yes, change ok, second validation fails")
            << std::vector{assigned, status("3", "Mesa cerrada")} << status("0", "") << true
            << twice << QStringList{assignedBox, kQuestion, "E|Error|Error: #3.\r\nMesa cerrada"}
            << "Asignación correcta de mesa." << true;
        QTest::newRow("1, Yes, change fails, second validation fails")
            << std::vector{assigned, assigned} << status(" 6 ", " Orden fija ") << true << twice
            << QStringList{assignedBox, kQuestion, "E|Error|Error: #6.\r\nOrden fija",
                           "E|Error|Error: #1.\r\nAsignada a la mesa M-1."}
            << "" << true;
        QTest::newRow("1, Yes, change fails, second validation ok")
            << std::vector{assigned, ok} << status("6", "Orden fija") << true << twice
            << QStringList{assignedBox, kQuestion, "E|Error|Error: #6.\r\nOrden fija"}
            << "Validacion correcta." << true;
        QTest::newRow("server error is dropped")
            << std::vector{serverError()} << ok << true << once << QStringList{} << "" << false;
        QTest::newRow("server error in the change is dropped")
            << std::vector{assigned, ok} << serverError() << true
            << QStringList{kValidation, kChange} << QStringList{assignedBox, kQuestion} << ""
            << false;
    }
    void delivery()
    {
        QFETCH(std::vector<Reply>, validations);
        QFETCH(Reply, change);
        QFETCH(bool, reassign);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, messages);
        QFETCH(QString, notice);
        QFETCH(bool, emptied);

        TerminalFixture fx;
        fx.server().script("sp_KVR_OrdenProduccionValidaEntrega", inTurn(validations));
        fx.server().script("sp_KVR_OrdenProduccionCambiaMesa", inTurn({change}));
        MessageService::instance().setNextAnswers({reassign ? QMessageBox::Yes : QMessageBox::No});
        auto* w = new TFr_SalidaCajaRollo;
        fx.open(w, QStringLiteral("Entrega Tarima a Estación de producción"));
        auto* edTarima = w->findChild<QLineEdit*>("edTarima");
        auto* edMesa = w->findChild<QLineEdit*>("edMesa");
        auto* lbAvisos = w->findChild<QLabel*>("lbAvisos");

        TerminalFixture::scan(edTarima, QStringLiteral("  TP-1 "));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edMesa"));
        QVERIFY(fx.journal().isEmpty());
        TerminalFixture::scan(edMesa, QStringLiteral("M-2  "));

        QCOMPARE(fx.journal(), sent);
        QCOMPARE(shownMessages(), messages);
        QCOMPARE(lbAvisos->text(), notice);
        QCOMPARE(lbAvisos->isHidden(), notice.isEmpty());
        QCOMPARE(edTarima->text().isEmpty(), emptied);
        QCOMPARE(edMesa->text().isEmpty(), emptied);
        QCOMPARE(TerminalFixture::focusName(),
                 emptied ? QStringLiteral("edTarima") : QStringLiteral("edMesa"));
    }

    void emptyPalletSendsNothing()
    {
        TerminalFixture fx;
        auto* w = new TFr_SalidaCajaRollo;
        fx.open(w, QStringLiteral("Entrega Tarima a Estación de producción"));
        auto* edTarima = w->findChild<QLineEdit*>("edTarima");
        QTest::keyClicks(edTarima, QStringLiteral("   "));
        TerminalFixture::scan(w->findChild<QLineEdit*>("edMesa"), QStringLiteral("MESA-01"));
        QCOMPARE(shownMessages(), QStringList{"P|Ingrese la tarima."});
        QVERIFY(fx.journal().isEmpty());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));
    }

    // An empty station is not checked here: the server judges it.
    void emptyStationIsSentQuoted()
    {
        TerminalFixture fx;
        fx.server().script("sp_KVR_OrdenProduccionValidaEntrega", inTurn({status("3", "x")}));
        auto* w = new TFr_SalidaCajaRollo;
        fx.open(w, QStringLiteral("Entrega Tarima a Estación de producción"));
        TerminalFixture::scan(w->findChild<QLineEdit*>("edTarima"), QStringLiteral("O'Neil"));
        TerminalFixture::pressEnter(w->findChild<QLineEdit*>("edMesa"));
        QCOMPARE(fx.journal(),
                 QStringList{"EXEC sp_KVR_OrdenProduccionValidaEntrega 'O''Neil','', 7"});
    }

    // After a success the notice stays on screen; the next key only empties it.
    void typingEmptiesTheNoticeButKeepsItShown()
    {
        TerminalFixture fx;
        fx.server().script("sp_KVR_OrdenProduccionValidaEntrega", inTurn({status("0", "")}));
        auto* w = new TFr_SalidaCajaRollo;
        fx.open(w, QStringLiteral("Entrega Tarima a Estación de producción"));
        auto* edTarima = w->findChild<QLineEdit*>("edTarima");
        auto* lbAvisos = w->findChild<QLabel*>("lbAvisos");
        QVERIFY(lbAvisos->isHidden());
        TerminalFixture::scan(edTarima, QStringLiteral("TP-1"));
        TerminalFixture::scan(w->findChild<QLineEdit*>("edMesa"), QStringLiteral("M-1"));
        QCOMPARE(lbAvisos->text(), QStringLiteral("Validacion correcta."));
        QTest::keyClick(edTarima, Qt::Key_T);
        QCOMPARE(lbAvisos->text(), QString());
        QVERIFY(!lbAvisos->isHidden());
    }
};

QTEST_MAIN(TestSalidaCajaRollo)
#include "tst_salidacajarollo.moc"
