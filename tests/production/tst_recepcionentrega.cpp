// Receipt in production and hand-over to quality: one field, one recording
// each, the same answers judged the same way.
#include "production/U_EntregaTarimaACalidad.h"
#include "production/U_SalidaPallet.h"
#include "tests/production/ProductionTestSupport.h"
#include "tests/support/TerminalFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace production_test;

namespace
{

enum class Kind { Receipt, Quality };

struct Window {
    WorkflowWindow* window;
    QString caption;
    std::string procedure;
    QString command; // for the pallet "TP-1"
    QString success;
};

Window make(Kind kind)
{
    if (kind == Kind::Receipt)
        return {new TFr_Salida, QStringLiteral("Recibo en Produccion"),
                "sp_KVR_OrdenProduccionRecepcionEnAreaProduccion",
                QStringLiteral("EXEC sp_KVR_OrdenProduccionRecepcionEnAreaProduccion 'TP-1', 7"),
                QStringLiteral("Recibido correctamente.")};
    return {new TfrEntregaTarimaACalidad, QStringLiteral("Entrega de Producción a Calidad"),
            "sp_KVR_OrdenProduccionEntregaEnAreaCalidad",
            QStringLiteral("EXEC sp_KVR_OrdenProduccionEntregaEnAreaCalidad 'TP-1', 7"),
            QStringLiteral("Entregado correctamente.")};
}

} // namespace

Q_DECLARE_METATYPE(Kind)

class TestRecepcionEntrega : public QObject
{
    Q_OBJECT

private:
    void addRows(const char* name, const Reply& answer, const QStringList& messages, bool accepted,
                 const QString& left)
    {
        for (Kind kind : {Kind::Receipt, Kind::Quality})
            QTest::addRow("%s: %s", kind == Kind::Receipt ? "receipt" : "quality", name)
                << kind << answer << messages << accepted << left;
    }

private Q_SLOTS:
    void scan_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<Reply>("answer");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("left"); // the field afterwards

        addRows("accepted", status("0", ""), {}, true, "");
        addRows("0 with blanks is accepted", status(" 0 ", ""), {}, true, "");
        addRows("rejected", status("00", " Ya recibida "), {"E|Error|Error: #00.\r\nYa recibida"},
                false, "");
        addRows("no row", noRow(), {"E|Error|Error: #.\r\n"}, false, "");
        addRows("server error dropped", serverError(), {}, false, " TP-1 ");
        addRows("missing column dropped", Reply::rows(ResultSet::texts({"Codigo"}).row({"0"})), {},
                false, " TP-1 ");
    }
    void scan()
    {
        QFETCH(Kind, kind);
        QFETCH(Reply, answer);
        QFETCH(QStringList, messages);
        QFETCH(bool, accepted);
        QFETCH(QString, left);

        TerminalFixture fx;
        Window win = make(kind);
        fx.server().script(win.procedure, inTurn({answer}));
        fx.open(win.window, win.caption);
        auto* edTarima = win.window->findChild<QLineEdit*>("edTarima");
        auto* lbAvisos = win.window->findChild<QLabel*>("lbAvisos");
        QCOMPARE(lbAvisos->isHidden(), kind == Kind::Quality);

        TerminalFixture::scan(edTarima, QStringLiteral(" TP-1 "));

        QCOMPARE(fx.journal(), QStringList{win.command});
        QCOMPARE(shownMessages(), messages);
        QCOMPARE(edTarima->text(), left);
        QCOMPARE(lbAvisos->text(), accepted ? win.success : QString());
        QCOMPARE(lbAvisos->isHidden(), kind == Kind::Quality && !accepted);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));

        if (accepted) {
            // The next scan's first key empties the notice; the label stays.
            QTest::keyClick(edTarima, Qt::Key_T);
            QCOMPARE(lbAvisos->text(), QString());
            QVERIFY(!lbAvisos->isHidden());
        }
    }

    void blanksAndLimit_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::newRow("receipt") << Kind::Receipt;
        QTest::newRow("quality") << Kind::Quality;
    }
    void blanksAndLimit()
    {
        QFETCH(Kind, kind);
        TerminalFixture fx;
        Window win = make(kind);
        fx.server().script(win.procedure, inTurn({status("0", "")}));
        fx.open(win.window, win.caption);
        auto* edTarima = win.window->findChild<QLineEdit*>("edTarima");

        TerminalFixture::scan(edTarima, QStringLiteral("   "));
        QCOMPARE(shownMessages(), QStringList{"P|Ingrese la Tarima."});
        QVERIFY(fx.journal().isEmpty());

        edTarima->clear();
        TerminalFixture::scan(edTarima, QStringLiteral("TP-123456789012345678"));
        QCOMPARE(fx.journal().size(), 1);
        QVERIFY(fx.journal().first().contains(QLatin1String("'TP-123456789012',")));
    }

    void operatorIdGoesAsStored_data() { blanksAndLimit_data(); }
    void operatorIdGoesAsStored()
    {
        QFETCH(Kind, kind);
        TerminalFixture fx(QStringLiteral(" 12"));
        Window win = make(kind);
        fx.server().script(win.procedure, inTurn({status("0", "")}));
        fx.open(win.window, win.caption);
        TerminalFixture::scan(win.window->findChild<QLineEdit*>("edTarima"),
                              QStringLiteral("TP-1"));
        QCOMPARE(fx.journal(), QStringList{QString(win.command).replace(", 7", ",  12")});
    }
};

QTEST_MAIN(TestRecepcionEntrega)
#include "tst_recepcionentrega.moc"
