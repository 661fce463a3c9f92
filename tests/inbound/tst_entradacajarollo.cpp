// Supply window: ticket, production pallet, component pallet with its
// suggestion grid, and the recorded quantity, through the real ODBC path.
#include "app/shell/DataGrid.h"
#include "app/shell/MessageService.h"
#include "inbound/U_EntradaCajaRollo.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <memory>

using namespace lectora::server;

namespace
{

Reply cuantos(const std::optional<std::string>& value)
{
    ResultSet rs = ResultSet::texts({"cuantos"});
    if (value)
        rs.row({*value});
    return Reply::rows(rs);
}

} // namespace

class TstEntradaCajaRollo : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> fx;
    TFr_EntradaCajaRollo* w = nullptr;
    QLineEdit *ticket = nullptr, *prod = nullptr, *comp = nullptr, *cantidad = nullptr;
    QLabel* avisos = nullptr;
    DataGrid* grid = nullptr;

    void fillAll()
    {
        ticket->setText("TS-1");
        prod->setText("TP-1");
        comp->setText("KC-1");
        cantidad->setText("5");
    }

private Q_SLOTS:
    void init()
    {
        fx = std::make_unique<TerminalFixture>();
        w = new TFr_EntradaCajaRollo;
        fx->open(w, QStringLiteral("Surtido"));
        ticket = w->findChild<QLineEdit*>("TxtTicket");
        prod = w->findChild<QLineEdit*>("TxtPalletProd");
        comp = w->findChild<QLineEdit*>("TxtPalletComp");
        cantidad = w->findChild<QLineEdit*>("txtCantidad");
        avisos = w->findChild<QLabel*>("lbAvisos");
        grid = w->findChild<DataGrid*>("dbgLocalidadTarima");
        QVERIFY(ticket && prod && comp && cantidad && avisos && grid);
        fx->clearJournal();
        TerminalFixture::clearMessages();
    }
    void cleanup()
    {
        fx.reset();
        w = nullptr;
    }

    void startsEmptyInTicket()
    {
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("TxtTicket"));
        QVERIFY(ticket->text().isEmpty());
        QVERIFY(prod->isReadOnly());
        QVERIFY(!avisos->isVisible());
        QCOMPARE(grid->titles(), QStringList({"Localidad", "Tarima"}));
        QCOMPARE(grid->columnWidth(0), 50);
        QCOMPARE(grid->columnWidth(1), 170);
        // Tab order: the quantity comes before the component pallet.
        QStringList order;
        QWidget* at = ticket;
        for (int i = 0; i < 5; ++i) {
            order << at->objectName();
            at = at->nextInFocusChain();
            while (!(at->focusPolicy() & Qt::TabFocus) || !w->isAncestorOf(at))
                at = at->nextInFocusChain();
        }
        QCOMPARE(order, QStringList({"TxtTicket", "TxtPalletProd", "txtCantidad", "TxtPalletComp",
                                     "dbgLocalidadTarima"}));
    }

    void ticketStep_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("error");   // "-" for no row
        QTest::addColumn<QString>("cuantos"); // "-" for no row
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<bool>("prodReadOnly");

        QTest::newRow("unknown") << "T1"
                                 << "1"
                                 << ""
                                 << "No existe el ticket."
                                 << "TxtTicket" << false;
        QTest::newRow("inactive") << "T1"
                                  << " 2"
                                  << ""
                                  << "El ticket no se encuentra activo."
                                  << "TxtTicket" << false;
        QTest::newRow("with production pallet") << "T1"
                                                << "0"
                                                << "0"
                                                << ""
                                                << "TxtPalletProd" << false;
        QTest::newRow("empty error goes on") << "T1"
                                             << ""
                                             << " 0 "
                                             << ""
                                             << "TxtPalletProd" << false;
        QTest::newRow("other code goes on") << "T1"
                                            << "7"
                                            << "3"
                                            << ""
                                            << "TxtPalletComp" << true;
        QTest::newRow("no row goes on") << "T1"
                                        << "-"
                                        << "1"
                                        << ""
                                        << "TxtPalletComp" << true;
        QTest::newRow("cuantos no row") << "T1"
                                        << "0"
                                        << "-"
                                        << ""
                                        << "TxtPalletComp" << true;
        QTest::newRow("empty ticket is sent") << ""
                                              << "0"
                                              << "2"
                                              << ""
                                              << "TxtPalletComp" << true;
    }
    void ticketStep()
    {
        QFETCH(QString, typed);
        QFETCH(QString, error);
        QFETCH(QString, cuantos);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        QFETCH(bool, prodReadOnly);
        auto opt = [](const QString& v) {
            return v == "-" ? std::nullopt : std::optional(v.toStdString());
        };
        fx->server().script("sp_KVR_ValidaTicketLectora",
                            [=](Call&) { return TerminalFixture::status(opt(error)); });
        fx->server().script("sp_Kvr_IdentificaProcedimiento",
                            [=](Call&) { return ::cuantos(opt(cuantos)); });
        // The production pallet flag starts opposite to what the step decides.
        prod->setReadOnly(!prodReadOnly);
        prod->setText("TP-old");
        comp->setText("KC-old");

        TerminalFixture::type(ticket, typed);

        QStringList expected{"EXECUTE sp_KVR_ValidaTicketLectora '" + typed + "'"};
        if (message.isEmpty())
            expected << "EXECUTE sp_Kvr_IdentificaProcedimiento '" + typed + "'";
        QCOMPARE(fx->journal(), expected);
        QCOMPARE(TerminalFixture::focusName(), focus);
        if (!message.isEmpty()) {
            QCOMPARE(TerminalFixture::shown().size(), 1);
            QCOMPARE(TerminalFixture::shown()[0].form, MessageService::Form::ErrorBox);
            QCOMPARE(TerminalFixture::shown()[0].text, message);
            QCOMPARE(TerminalFixture::shown()[0].caption, message);
            QCOMPARE(ticket->selectedText(), ticket->text());
            QCOMPARE(prod->text(), QStringLiteral("TP-old"));
            return;
        }
        QVERIFY(TerminalFixture::shown().isEmpty());
        QCOMPARE(prod->isReadOnly(), prodReadOnly);
        QVERIFY(prod->text().isEmpty());
        QCOMPARE(comp->text(), prodReadOnly ? QString() : QStringLiteral("KC-old"));
    }

    void componentFillsGrid()
    {
        QList<QPair<QString, QString>> rows{{"C-01", "KC-1"}, {"C-02", "KC-2"}};
        QString error = "0";
        fx->server().script("sp_KVR_ValidaTarimaComponenteKV", [&error](Call&) {
            return TerminalFixture::status(error.toStdString());
        });
        fx->server().script("sp_KVR_SugiereLocalidadParaSurtir", [&rows](Call&) {
            ResultSet rs = ResultSet::texts({"tarima", "otro", "localidad"});
            for (const auto& r : rows)
                rs.row({r.second.toStdString(), "x", r.first.toStdString()});
            return Reply::rows(rs);
        });

        TerminalFixture::type(comp, " KC-1 ");
        QCOMPARE(fx->journal(), QStringList({"EXECUTE sp_KVR_ValidaTarimaComponenteKV 'KC-1'",
                                             "EXECUTE sp_KVR_SugiereLocalidadParaSurtir 'KC-1'"}));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("txtCantidad"));
        QCOMPARE(grid->rows(), 2);
        QCOMPARE(grid->cell(1, 0), QStringLiteral("C-02"));
        QCOMPARE(grid->cell(1, 1), QStringLiteral("KC-2"));

        // A rejected pallet leaves the last suggestions in place.
        error = "1";
        comp->setText("KC-9");
        TerminalFixture::type(comp, "");
        QCOMPARE(TerminalFixture::shown().value(0).text, QStringLiteral("No existe la tarima."));
        QCOMPARE(TerminalFixture::shown().value(0).caption, QStringLiteral("No existe la tarima."));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("TxtPalletComp"));
        QCOMPARE(comp->selectedText(), QStringLiteral("KC-9"));
        QCOMPARE(grid->rows(), 2);

        // Accepting again runs the list afresh, also when it comes back empty.
        error = "";
        rows = {{"C-03", "KC-3"}};
        TerminalFixture::type(comp, "");
        QCOMPARE(grid->rows(), 1);
        QCOMPARE(grid->cell(0, 1), QStringLiteral("KC-3"));
        rows.clear();
        TerminalFixture::type(comp, "");
        QCOMPARE(grid->rows(), 0);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("txtCantidad"));
    }

    void quantityStepChecksEmptyInOrder_data()
    {
        QTest::addColumn<QString>("ticketText");
        QTest::addColumn<QString>("compText");
        QTest::addColumn<QString>("qty");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");

        QTest::newRow("all empty") << ""
                                   << ""
                                   << ""
                                   << "Ingrese el Ticket."
                                   << "TxtTicket";
        QTest::newRow("blank ticket") << "  "
                                      << "KC"
                                      << "1"
                                      << "Ingrese el Ticket."
                                      << "TxtTicket";
        QTest::newRow("component") << "T"
                                   << " "
                                   << ""
                                   << "Ingrese el pallet de componente"
                                   << "TxtPalletComp";
        QTest::newRow("quantity") << "T"
                                  << "KC"
                                  << "  "
                                  << "Ingrese la cantidad a apartar"
                                  << "txtCantidad";
    }
    void quantityStepChecksEmptyInOrder()
    {
        QFETCH(QString, ticketText);
        QFETCH(QString, compText);
        QFETCH(QString, qty);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        ticket->setText(ticketText);
        comp->setText(compText);
        cantidad->setText(qty);
        TerminalFixture::type(cantidad, "");
        QVERIFY(fx->journal().isEmpty());
        QCOMPARE(TerminalFixture::shown().size(), 1);
        QCOMPARE(TerminalFixture::shown()[0].form, MessageService::Form::Plain);
        QCOMPARE(TerminalFixture::shown()[0].text, message);
        QCOMPARE(TerminalFixture::shown()[0].caption, QStringLiteral("LectoraVelmor"));
        QCOMPARE(TerminalFixture::focusName(), focus);
    }

    void supplyRecorded()
    {
        fx->server().script("sp_KVR_ScannerSalidas3", [](Call&) {
            return TerminalFixture::status("0", " Surtido registrado. ");
        });
        ticket->setText(" TS-1 ");
        prod->setReadOnly(true);
        comp->setText("KC-1");
        cantidad->setText("abc");
        TerminalFixture::type(cantidad, "");

        // Empty production pallet in third place; the quantity goes as typed.
        QCOMPARE(fx->journal(),
                 QStringList({"EXEC sp_KVR_ScannerSalidas3 'TS-1','KC-1', '', 'abc', 7"}));
        QVERIFY(TerminalFixture::shown().isEmpty());
        QVERIFY(avisos->isVisible());
        QCOMPARE(avisos->text(), QStringLiteral("Surtido registrado."));
        QCOMPARE(ticket->text(), QStringLiteral(" TS-1 "));
        QVERIFY(prod->text().isEmpty() && comp->text().isEmpty() && cantidad->text().isEmpty());
        QVERIFY(prod->isReadOnly());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("TxtTicket"));
        QCOMPARE(ticket->selectedText(), ticket->text());

        // The next key in the ticket hides the notice.
        QTest::keyClicks(ticket, "T");
        QVERIFY(!avisos->isVisible());
    }

    void supplyRefusedOrFailing_data()
    {
        QTest::addColumn<int>("kind"); // 0 refusal, 1 no row, 2 server error, 3 missing column
        QTest::addColumn<QString>("message");

        QTest::newRow("refused") << 0 << "Error: #5.\r\nExcede la tarima";
        QTest::newRow("no row") << 1 << "Error: #.\r\n";
        QTest::newRow("server error") << 2 << "";
        QTest::newRow("missing column") << 3 << "";
    }
    void supplyRefusedOrFailing()
    {
        QFETCH(int, kind);
        QFETCH(QString, message);
        fx->server().script("sp_KVR_ScannerSalidas3", [kind](Call&) {
            switch (kind) {
            case 0:
                return TerminalFixture::status(" 5 ", " Excede la tarima ");
            case 1:
                return TerminalFixture::status(std::nullopt);
            case 2:
                return Reply::fail("se cayo el surtido");
            default:
                return Reply::rows(ResultSet::texts({"Codigo"}).row({"0"}));
            }
        });
        fillAll();
        avisos->setText("anterior");
        TerminalFixture::type(cantidad, "");

        QCOMPARE(fx->journal().size(), 1);
        if (message.isEmpty()) {
            QVERIFY(TerminalFixture::shown().isEmpty());
        } else {
            QCOMPARE(TerminalFixture::shown().size(), 1);
            QCOMPARE(TerminalFixture::shown()[0].form, MessageService::Form::ErrorBox);
            QCOMPARE(TerminalFixture::shown()[0].text, message);
            QCOMPARE(TerminalFixture::shown()[0].caption, QStringLiteral("Error"));
        }
        QCOMPARE(ticket->text() + prod->text() + comp->text() + cantidad->text(),
                 QStringLiteral("TS-1TP-1KC-15"));
        QVERIFY(!avisos->isVisible());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("txtCantidad"));
    }

    // The demo tickets and pallets, end to end: every supply takes its
    // quantity off the pallet, so the same supply is judged on what is left.
    void demoSupply()
    {
        TerminalFixture::type(ticket, "TS-5001");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("TxtPalletProd"));
        TerminalFixture::type(prod, "TP-3001");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("TxtPalletComp"));
        TerminalFixture::type(comp, "KC-2002");
        QCOMPARE(grid->rows(), 2);
        QCOMPARE(grid->cell(0, 0), QStringLiteral("C-01-01"));
        QCOMPARE(grid->cell(0, 1), QStringLiteral("KC-2001"));
        TerminalFixture::type(cantidad, "30");
        QVERIFY(TerminalFixture::shown().isEmpty());
        QVERIFY(avisos->text().contains("Quedan 0"));

        TerminalFixture::type(ticket, "");
        TerminalFixture::type(prod, "TP-3001");
        TerminalFixture::type(comp, "KC-2002");
        QCOMPARE(grid->rows(), 1); // the emptied pallet is no longer suggested
        TerminalFixture::type(cantidad, "1");
        QCOMPARE(TerminalFixture::shown().value(0).text.left(10), QStringLiteral("Error: #5."));

        const QList<QPair<QString, QString>> refusals{
            {"abc", "Error: #4."}, {"0", "Error: #4."}, {"-2", "Error: #4."}};
        for (const auto& [qty, code] : refusals) {
            TerminalFixture::clearMessages();
            comp->setText("KC-2001");
            cantidad->setText(qty);
            TerminalFixture::type(cantidad, "");
            QCOMPARE(TerminalFixture::shown().value(0).text.left(10), code);
        }

        // A direct ticket takes no production pallet; the inactive one is refused.
        TerminalFixture::clearMessages();
        ticket->clear();
        TerminalFixture::type(ticket, "TS-5002");
        QVERIFY(prod->isReadOnly());
        TerminalFixture::type(comp, "KC-2003");
        cantidad->clear();
        TerminalFixture::type(cantidad, "2.5");
        QVERIFY(avisos->text().contains("Quedan 118"));
        ticket->clear();
        TerminalFixture::type(ticket, "TS-5003");
        QCOMPARE(TerminalFixture::shown().value(0).text,
                 QStringLiteral("El ticket no se encuentra activo."));
        ticket->clear();
        TerminalFixture::type(ticket, "TS-9999");
        QCOMPARE(TerminalFixture::shown().value(1).text, QStringLiteral("No existe el ticket."));
    }
};

QTEST_MAIN(TstEntradaCajaRollo)
#include "tst_entradacajarollo.moc"
