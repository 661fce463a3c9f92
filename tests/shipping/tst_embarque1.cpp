// Shipment window: manifest and pallet validated together, through the real
// ODBC path to the in-process stand-in.
#include "app/shell/MessageService.h"
#include "shipping/U_Consulta.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <memory>

using namespace lectora::server;

class TstEmbarque1 : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> fx;
    TFr_Embarque1* w = nullptr;
    QLineEdit *manifiesto = nullptr, *tarima = nullptr;
    QLabel* avisos = nullptr;

private Q_SLOTS:
    void init()
    {
        fx = std::make_unique<TerminalFixture>();
        w = new TFr_Embarque1;
        fx->open(w, QStringLiteral("Embarque"));
        manifiesto = w->findChild<QLineEdit*>("edManifiesto");
        tarima = w->findChild<QLineEdit*>("edTarima");
        avisos = w->findChild<QLabel*>("lbAvisos");
        QVERIFY(manifiesto && tarima && avisos);
        fx->clearJournal();
        TerminalFixture::clearMessages();
    }
    void cleanup()
    {
        fx.reset();
        w = nullptr;
    }

    void enterInManifestMovesOn()
    {
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edManifiesto"));
        TerminalFixture::type(manifiesto, "MAN-1");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));
        QVERIFY(fx->journal().isEmpty());
    }

    void emptyFields_data()
    {
        QTest::addColumn<QString>("manifest");
        QTest::addColumn<QString>("pallet");
        QTest::addColumn<QString>("message");

        QTest::newRow("both empty") << ""
                                    << ""
                                    << "Ingrese el manifiesto.";
        QTest::newRow("blank manifest") << "   "
                                        << "PT-1"
                                        << "Ingrese el manifiesto.";
        QTest::newRow("blank pallet") << "MAN-1"
                                      << "  "
                                      << "Ingrese la tarima.";
    }
    void emptyFields()
    {
        QFETCH(QString, manifest);
        QFETCH(QString, pallet);
        QFETCH(QString, message);
        manifiesto->setText(manifest);
        tarima->setText(pallet);
        TerminalFixture::type(tarima, "");
        QVERIFY(fx->journal().isEmpty());
        QCOMPARE(TerminalFixture::shown().size(), 1);
        QCOMPARE(TerminalFixture::shown()[0].form, MessageService::Form::Plain);
        QCOMPARE(TerminalFixture::shown()[0].text, message);
        QCOMPARE(TerminalFixture::shown()[0].caption, QStringLiteral("LectoraVelmor"));
        // Even an empty manifest leaves the operator in the pallet field.
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));
    }

    void validated()
    {
        fx->server().script("sp_KVR_ValidaEmbarque", [](Call&) {
            return Reply::rows(ResultSet::texts({"Error", "ErrorDesc"}).row({" 0 ", "ok"}));
        });
        manifiesto->setText(" MAN-1 ");
        TerminalFixture::type(tarima, " PT-1 ");
        QCOMPARE(fx->journal(), QStringList({"EXEC sp_KVR_ValidaEmbarque 'MAN-1','PT-1', 7"}));
        QVERIFY(TerminalFixture::shown().isEmpty());
        QVERIFY(avisos->isVisible());
        QCOMPARE(avisos->text(), QStringLiteral("Validacion correcta."));
        QVERIFY(manifiesto->text().isEmpty() && tarima->text().isEmpty());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edManifiesto"));
    }

    void refusedOrFailing_data()
    {
        QTest::addColumn<int>("kind"); // 0 refusal, 1 no row, 2 server error, 3 missing column
        QTest::addColumn<QString>("message");

        QTest::newRow("refused") << 0 << "Error: #4.\r\nNo pertenece";
        QTest::newRow("no row is not 0") << 1 << "Error: #.\r\n";
        QTest::newRow("server error dropped") << 2 << "";
        QTest::newRow("missing column dropped") << 3 << "";
    }
    void refusedOrFailing()
    {
        QFETCH(int, kind);
        QFETCH(QString, message);
        fx->server().script("sp_KVR_ValidaEmbarque", [kind](Call&) {
            ResultSet rs = ResultSet::texts({"Error", "ErrorDesc"});
            switch (kind) {
            case 0:
                return Reply::rows(rs.row({"4 ", " No pertenece "}));
            case 1:
                return Reply::rows(rs);
            case 2:
                return Reply::fail("sin servicio");
            default:
                return Reply::rows(ResultSet::texts({"Error"}).row({"1"}));
            }
        });
        // A notice from an earlier pallet stays through the refusal.
        avisos->setText("Validacion correcta.");
        avisos->show();
        manifiesto->setText("MAN-1");
        TerminalFixture::type(tarima, "PT-1");
        QCOMPARE(fx->journal().size(), 1);
        if (message.isEmpty()) {
            QVERIFY(TerminalFixture::shown().isEmpty());
        } else {
            QCOMPARE(TerminalFixture::shown().size(), 1);
            QCOMPARE(TerminalFixture::shown()[0].form, MessageService::Form::ErrorBox);
            QCOMPARE(TerminalFixture::shown()[0].text, message);
            QCOMPARE(TerminalFixture::shown()[0].caption, QStringLiteral("Error"));
        }
        QCOMPARE(manifiesto->text(), QStringLiteral("MAN-1"));
        QCOMPARE(tarima->text(), QStringLiteral("PT-1"));
        QVERIFY(avisos->isVisible());
        QCOMPARE(avisos->text(), QStringLiteral("Validacion correcta."));
    }

    // The demo manifest: a pallet is loaded once.
    void demoManifest_data()
    {
        QTest::addColumn<QString>("manifest");
        QTest::addColumn<QString>("pallet");
        QTest::addColumn<QString>("prefix");

        QTest::newRow("unknown manifest") << "MAN-0000"
                                          << "PT-7001"
                                          << "Error: #1.";
        QTest::newRow("closed manifest") << "MAN-9002"
                                         << "PT-7003"
                                         << "Error: #2.";
        QTest::newRow("unknown pallet") << "MAN-9001"
                                        << "PT-0000"
                                        << "Error: #3.";
        QTest::newRow("not on manifest") << "MAN-9001"
                                         << "KV-1001"
                                         << "Error: #4.";
        QTest::newRow("valid, then again") << "man-9001"
                                           << "PT-7001"
                                           << "Error: #5.";
    }
    void demoManifest()
    {
        QFETCH(QString, manifest);
        QFETCH(QString, pallet);
        QFETCH(QString, prefix);
        manifiesto->setText(manifest);
        TerminalFixture::type(tarima, pallet);
        if (prefix == "Error: #5.") {
            QVERIFY(TerminalFixture::shown().isEmpty());
            manifiesto->setText(manifest);
            TerminalFixture::type(tarima, pallet);
        }
        QCOMPARE(TerminalFixture::shown().size(), 1);
        QVERIFY2(TerminalFixture::shown()[0].text.startsWith(prefix),
                 qPrintable(TerminalFixture::shown()[0].text));
    }
};

QTEST_MAIN(TstEmbarque1)
#include "tst_embarque1.moc"
