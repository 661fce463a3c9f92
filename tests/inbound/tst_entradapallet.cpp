// Entry verification window, driven as the operator does it, through the
// real ODBC path to the in-process stand-in.
#include "app/shell/MessageService.h"
#include "inbound/U_EntradaPallet.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <memory>

using namespace lectora::server;

namespace
{

Reply oneRow(const std::string& column, const std::optional<std::string>& value)
{
    ResultSet rs = ResultSet::texts({column});
    if (value)
        rs.row({*value});
    return Reply::rows(rs);
}

} // namespace

class TstEntradaPallet : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> fx;
    TFr_EntradaPallet* w = nullptr;
    QLineEdit *kv = nullptr, *velmor = nullptr, *ubicacion = nullptr;
    QLabel *sugerida = nullptr, *avisos = nullptr;

    // Scripts the three checks so a location scan reaches the store with `store`.
    void scriptChecksPass()
    {
        fx->server().script("sp_KVR_ValidaPallet",
                            [](Call&) { return oneRow("tarima", std::string("P")); });
        fx->server().script("sp_KVR_ValidaLocalidad",
                            [](Call&) { return oneRow("id_localidad", std::string("L")); });
    }

private Q_SLOTS:
    void init()
    {
        fx = std::make_unique<TerminalFixture>();
        w = new TFr_EntradaPallet;
        fx->open(w, QStringLiteral("Verificacion de Entrada"));
        kv = w->findChild<QLineEdit*>("EdPalletKV");
        velmor = w->findChild<QLineEdit*>("EdPalletVelmor");
        ubicacion = w->findChild<QLineEdit*>("EdUbicacion");
        sugerida = w->findChild<QLabel*>("lbLocalidadSugerida");
        avisos = w->findChild<QLabel*>("lbAvisos");
        QVERIFY(kv && velmor && ubicacion && sugerida && avisos);
        kv->setFocus();
        fx->clearJournal();
        TerminalFixture::clearMessages();
    }
    void cleanup()
    {
        fx.reset(); // the frame owns the window
        w = nullptr;
    }

    void identify_data()
    {
        QTest::addColumn<QString>("pallet");
        QTest::addColumn<QString>("kind"); // "-" for no row
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<bool>("suggests");

        QTest::newRow("186") << "KV-1"
                             << "186" << false << "EdPalletVelmor" << true;
        QTest::newRow("186 with blanks") << "KV-1"
                                         << " 186 " << false << "EdPalletVelmor" << true;
        QTest::newRow("187") << "KV-1"
                             << "187" << true << "EdUbicacion" << true;
        QTest::newRow("other kind") << "KV-1"
                                    << "190" << false << "EdPalletVelmor" << false;
        QTest::newRow("no row") << "KV-1"
                                << "-" << false << "EdPalletVelmor" << false;
        QTest::newRow("1860 is not 186") << "KV-1"
                                         << "1860" << false << "EdPalletVelmor" << false;
        QTest::newRow("empty pallet still identifies")
            << ""
            << "186" << false << "EdPalletVelmor" << true;
        QTest::newRow("pallet trimmed") << "  KV-1 "
                                        << "186" << false << "EdPalletVelmor" << true;
    }
    void identify()
    {
        QFETCH(QString, pallet);
        QFETCH(QString, kind);
        QFETCH(bool, readOnly);
        QFETCH(QString, focus);
        QFETCH(bool, suggests);
        fx->server().script("sp_Kvr_IdentificaTipoEntrada", [kind](Call&) {
            return oneRow("ID_Procedimiento",
                          kind == "-" ? std::nullopt : std::optional(kind.toStdString()));
        });
        fx->server().script("sp_KVR_SugiereLocalidadEntrada",
                            [](Call&) { return oneRow("ID_Localidad", std::string(" A-09 ")); });
        velmor->setText("old label");

        TerminalFixture::type(kv, pallet);

        const QString code = pallet.trimmed();
        QStringList expected{"EXECUTE sp_Kvr_IdentificaTipoEntrada '" + code + "'"};
        if (suggests)
            expected << "EXECUTE sp_KVR_SugiereLocalidadEntrada '" + code + "'";
        QCOMPARE(fx->journal(), expected);
        QCOMPARE(velmor->isReadOnly(), readOnly);
        QCOMPARE(velmor->text(), suggests ? QString() : QStringLiteral("old label"));
        QCOMPARE(sugerida->text(), suggests ? QStringLiteral("A-09") : QString());
        QCOMPARE(TerminalFixture::focusName(), focus);
        QVERIFY(TerminalFixture::shown().isEmpty());
    }

    // An unknown kind leaves what the last identified pallet set up.
    void otherKindKeepsPreviousPallet()
    {
        QString kind = "187";
        fx->server().script("sp_Kvr_IdentificaTipoEntrada", [&kind](Call&) {
            return oneRow("ID_Procedimiento", kind.toStdString());
        });
        fx->server().script("sp_KVR_SugiereLocalidadEntrada",
                            [](Call&) { return oneRow("ID_Localidad", std::string("A-07")); });
        TerminalFixture::type(kv, "KV-1");
        QVERIFY(velmor->isReadOnly());

        kind = "999";
        kv->clear();
        TerminalFixture::type(kv, "KV-2");
        QVERIFY(velmor->isReadOnly());
        QCOMPARE(sugerida->text(), QStringLiteral("A-07"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("EdPalletVelmor"));

        // Only a 186 pallet makes the label editable again.
        kind = "186";
        kv->clear();
        TerminalFixture::type(kv, "KV-3");
        QVERIFY(!velmor->isReadOnly());
    }

    void store_data()
    {
        QTest::addColumn<QString>("answer"); // "-" for no row
        QTest::addColumn<QString>("text");   // empty: stored
        QTest::addColumn<QString>("caption");

        QTest::newRow("0") << "0"
                           << ""
                           << "";
        QTest::newRow("1") << "1"
                           << ""
                           << "";
        QTest::newRow("empty") << ""
                               << ""
                               << "";
        QTest::newRow("no row") << "-"
                                << ""
                                << "";
        QTest::newRow("3 padded")
            << " 3 "
            << QString::fromUtf8(
                   "No es posible registrar la localidad por que ya tiene fecha de afectación.")
            << QString::fromUtf8("No es posible registrar la localidad por "
                                 "que ya tiene fecha de afectación");
        QTest::newRow("4") << "4" << QString::fromUtf8("La localidad no existe en el almacén.")
                           << QString::fromUtf8("La localidad no existe en el almacén.");
    }
    void store()
    {
        QFETCH(QString, answer);
        QFETCH(QString, text);
        QFETCH(QString, caption);
        scriptChecksPass();
        fx->server().script("sp_Kvr_GuardaUbicacion", [answer](Call&) {
            return oneRow("Error",
                          answer == "-" ? std::nullopt : std::optional(answer.toStdString()));
        });
        avisos->setText("before");
        kv->setText(" KV-1 ");
        velmor->setText("S-1 ");
        ubicacion->setText("L-1");

        TerminalFixture::type(ubicacion, "");

        QCOMPARE(fx->journal(),
                 QStringList({"EXECUTE sp_KVR_ValidaPallet 'KV-1','S-1'",
                              "EXECUTE sp_KVR_ValidaLocalidad 'L-1'",
                              "EXECUTE sp_Kvr_GuardaUbicacion 'KV-1', 'S-1', 'L-1', 7"}));
        if (text.isEmpty()) {
            QVERIFY(TerminalFixture::shown().isEmpty());
            QCOMPARE(avisos->text(), QString::fromUtf8("Verificación correcta"));
        } else {
            QCOMPARE(TerminalFixture::shown().size(), 1);
            QCOMPARE(TerminalFixture::shown()[0].form, MessageService::Form::ErrorBox);
            QCOMPARE(TerminalFixture::shown()[0].text, text);
            QCOMPARE(TerminalFixture::shown()[0].caption, caption);
            QCOMPARE(avisos->text(), QStringLiteral("before"));
        }
        // Stored or refused, the pallet starts over from its code.
        QVERIFY(kv->text().isEmpty() && velmor->text().isEmpty() && ubicacion->text().isEmpty());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("EdPalletKV"));
    }

    void rejectedScansKeepFields_data()
    {
        QTest::addColumn<bool>("labelMatches");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("commands");

        QTest::newRow("labels differ")
            << false << QString::fromUtf8("No corresponde el pallet Velmór con el pallet KV")
            << "EdPalletVelmor" << 1;
        QTest::newRow("bad location") << true << "Localidad Incorrecta"
                                      << "EdUbicacion" << 2;
    }
    void rejectedScansKeepFields()
    {
        QFETCH(bool, labelMatches);
        QFETCH(QString, text);
        QFETCH(QString, focus);
        QFETCH(int, commands);
        fx->server().script("sp_KVR_ValidaPallet", [labelMatches](Call&) {
            return oneRow("tarima", labelMatches ? std::optional<std::string>("P") : std::nullopt);
        });
        fx->server().script("sp_KVR_ValidaLocalidad",
                            [](Call&) { return oneRow("id_localidad", std::nullopt); });
        kv->setText("KV-1");
        velmor->setText("S-9");
        TerminalFixture::type(ubicacion, "ZZ");

        QCOMPARE(fx->journal().size(), commands);
        QCOMPARE(TerminalFixture::shown().size(), 1);
        QCOMPARE(TerminalFixture::shown()[0].text, text);
        QCOMPARE(TerminalFixture::shown()[0].caption, text);
        QCOMPARE(TerminalFixture::shown()[0].icon, QMessageBox::Critical);
        QCOMPARE(kv->text(), QStringLiteral("KV-1"));
        QCOMPARE(velmor->text(), QStringLiteral("S-9"));
        QCOMPARE(ubicacion->text(), QStringLiteral("ZZ"));
        auto* target = w->findChild<QLineEdit*>(focus);
        QCOMPARE(TerminalFixture::focusName(), focus);
        QCOMPARE(target->selectedText(), target->text());
    }

    void skippedLabelIsSentEmpty()
    {
        fx->server().script("sp_Kvr_IdentificaTipoEntrada",
                            [](Call&) { return oneRow("ID_Procedimiento", std::string("187")); });
        fx->server().script("sp_KVR_ValidaPallet",
                            [](Call&) { return oneRow("tarima", std::nullopt); });
        velmor->setText("typed before");
        TerminalFixture::type(kv, "KV-1003");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("EdUbicacion"));
        fx->clearJournal();
        TerminalFixture::type(ubicacion, "A-01");
        QCOMPARE(fx->journal().value(0),
                 QStringLiteral("EXECUTE sp_KVR_ValidaPallet 'KV-1003',''"));
    }

    void noticeClearedOnlyByTheLabelField()
    {
        avisos->setText(QString::fromUtf8("Verificación correcta"));
        kv->setFocus();
        QTest::keyClicks(kv, "K");
        QCOMPARE(avisos->text(), QString::fromUtf8("Verificación correcta"));
        QVERIFY(fx->journal().isEmpty());

        velmor->setReadOnly(true); // also when the label is skipped
        velmor->setFocus();
        QTest::keyClick(velmor, Qt::Key_Shift);
        QVERIFY(avisos->text().isEmpty());
    }

    void serverErrorReachesDefaultHandler()
    {
        fx->server().script("sp_Kvr_IdentificaTipoEntrada",
                            [](Call&) { return Reply::fail("identificacion caida"); });
        velmor->setText("kept");
        TerminalFixture::type(kv, "KV-1");
        QCOMPARE(TerminalFixture::shown().size(), 1);
        QVERIFY(TerminalFixture::shown()[0].text.contains("identificacion caida"));
        QCOMPARE(velmor->text(), QStringLiteral("kept"));
    }

    // The demo warehouse: a pallet is stored once; its location then takes no other.
    void demoCycle()
    {
        TerminalFixture::type(kv, "KV-1001");
        QCOMPARE(sugerida->text(), QStringLiteral("A-01-02"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("EdPalletVelmor"));
        TerminalFixture::type(velmor, "SSCC-0001");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("EdUbicacion"));
        TerminalFixture::type(ubicacion, "A-01-02");
        QVERIFY(TerminalFixture::shown().isEmpty());
        QCOMPARE(avisos->text(), QString::fromUtf8("Verificación correcta"));

        // The same pallet and location again: the location is taken now.
        TerminalFixture::type(kv, "KV-1001");
        QCOMPARE(sugerida->text(), QStringLiteral("A-01-03"));
        TerminalFixture::type(velmor, "SSCC-0001");
        TerminalFixture::type(ubicacion, "A-01-02");
        QCOMPARE(TerminalFixture::shown().size(), 1);
        QVERIFY(TerminalFixture::shown()[0].text.startsWith("No es posible registrar"));

        // A location of another warehouse.
        TerminalFixture::clearMessages();
        TerminalFixture::type(kv, "KV-1002");
        TerminalFixture::type(velmor, "SSCC-0002");
        TerminalFixture::type(ubicacion, "B-01-01");
        QCOMPARE(TerminalFixture::shown().value(0).text,
                 QString::fromUtf8("La localidad no existe en el almacén."));

        // Kind 187 skips the label; unknown locations and labels are refused.
        TerminalFixture::clearMessages();
        TerminalFixture::type(kv, "KV-1003");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("EdUbicacion"));
        TerminalFixture::type(ubicacion, "NO-EXISTE");
        QCOMPARE(TerminalFixture::shown().value(0).text, QStringLiteral("Localidad Incorrecta"));
        TerminalFixture::clearMessages();
        kv->clear();
        ubicacion->clear();
        TerminalFixture::type(kv, "KV-1002");
        TerminalFixture::type(velmor, "SSCC-0001");
        TerminalFixture::type(ubicacion, "A-01-03");
        QCOMPARE(TerminalFixture::shown().value(0).caption,
                 QString::fromUtf8("No corresponde el pallet Velmór con el pallet KV"));
    }
};

QTEST_MAIN(TstEntradaPallet)
#include "tst_entradapallet.moc"
