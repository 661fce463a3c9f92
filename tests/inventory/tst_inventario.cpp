// The three count windows through the real ODBC path against the in-process
// stand-in: what each sends, in which catalogue, and what the operator sees.
#include "app/U_Menu.h"
#include "app/shell/MessageService.h"
#include "inventory/U_Inventario.h"
#include "inventory/U_Inventario_NordaPavrel.h"
#include "inventory/U_Inventario_Ulmar.h"
#include "server/Database.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>

#include <algorithm>

using namespace lectora::server;

namespace
{

struct Variant {
    const char* caption;
    const char* catalogue;
    const char* prefix;
};
const Variant kVariants[] = {
    {"Inventario Norda Preventa", "KV_NORDA_PREVENTA", "NP"},
    {"Inventario Norda Pavrel", "KV_NORDAPAVREL", "PV"},
    {"Inventario Ulmar", "KV_ULMAR", "UL"},
};

TfrInventario* makeWindow(int variant)
{
    switch (variant) {
    case 1:
        return new TfrInventarioNordaPavrel;
    case 2:
        return new TfrInventarioUlmar;
    default:
        return new TfrInventario;
    }
}

QStringList texts(const std::vector<Value>& values, std::size_t n)
{
    QStringList out;
    for (std::size_t i = 0; i < n && i < values.size(); ++i)
        out << QString::fromStdString(values[i].toText());
    return out;
}

Reply count(const std::string& type, const std::string& almacen, const std::string& producto,
            const std::string& clave, const std::string& mode)
{
    return Reply::rows(ResultSet::texts({"TipoInventario", "Almacen", "producto", "claveproducto",
                                         "PermiteCapturacantidad"})
                           .row({type, almacen, producto, clave, mode}));
}

} // namespace

class TestInventario : public QObject
{
    Q_OBJECT

    std::unique_ptr<TerminalFixture> fx;
    TfrInventario* w = nullptr;

    template <class T = QLineEdit> T* field(const char* name) { return w->findChild<T*>(name); }
    QString text(const char* name) { return field(name)->text(); }
    QString label(const char* name) { return field<QLabel>(name)->text(); }

    TfrInventario* open(int variant = 0)
    {
        w = makeWindow(variant);
        fx->open(w, kVariants[variant].caption);
        return w;
    }
    // The operator picks a count from the drop-down list.
    void choose(const QString& reference)
    {
        auto* combo = field<QComboBox>("cmbRegConteo");
        const int i = combo->findText(reference);
        QVERIFY2(i >= 0, qPrintable(reference));
        combo->setCurrentIndex(i);
        Q_EMIT combo->activated(i);
    }
    std::vector<JournalEntry> calls(const char* procedure) { return fx->calls(procedure); }
    const QList<MessageService::Shown>& shown() { return TerminalFixture::shown(); }
    QStringList shownTexts()
    {
        QStringList out;
        for (const auto& s : shown())
            out << s.text;
        return out;
    }
    std::int64_t recorded(const char* catalogue, const QString& where = "1")
    {
        Database& db = fx->server().catalogue(catalogue);
        std::lock_guard lock(db.mutex());
        return db.scalar("SELECT count(*) FROM inv_escaneo WHERE " + where.toStdString())
            .toInt()
            .value_or(-1);
    }

private Q_SLOTS:
    void init()
    {
        fx = std::make_unique<TerminalFixture>();
        w = nullptr;
    }
    void cleanup() { fx.reset(); }

    void opening_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("productLabel");
        QTest::addColumn<int>("labelWidth");
        QTest::newRow("preventa") << 0 << "Serie" << 30;
        QTest::newRow("pavrel") << 1 << "Producto" << 52;
        QTest::newRow("ulmar") << 2 << "Producto" << 52;
    }
    // The list is filled from the window's own catalogue, nothing is chosen,
    // and filling it does not count as the operator's choice.
    void opening()
    {
        QFETCH(int, variant);
        QFETCH(QString, productLabel);
        QFETCH(int, labelWidth);
        QVERIFY(!fx->dm().CxNordaPavrel.isOpen());
        QVERIFY(!fx->dm().CxUlmar.isOpen());
        open(variant);

        auto* combo = field<QComboBox>("cmbRegConteo");
        const QString p = kVariants[variant].prefix;
        QCOMPARE(combo->count(), 5);
        QCOMPARE(combo->itemText(0), p + "-CIC-01");
        QCOMPARE(combo->itemData(2).toInt(), 3);
        QCOMPARE(combo->currentIndex(), -1);
        QVERIFY(calls("sp_KVR_InventarioConsultaConteo").empty());
        const auto list = calls("sp_KVR_ConsultaCatInventarioConteo");
        QCOMPARE(list.size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(list[0].catalogue), QString(kVariants[variant].catalogue));
        QCOMPARE(QApplication::focusWidget(), combo);

        QCOMPARE(label("Label1"), productLabel);
        auto* caption = field<QLabel>("Label1");
        QCOMPARE(caption->width(), std::max(labelWidth, caption->sizeHint().width()));
        // Every caption shows whole in the screen's font, "Reg. Conteo" too.
        QCOMPARE(TerminalFixture::cutOffCaptions(w).join(u','), QString());
        QCOMPARE(field<QComboBox>("cmbRegConteo")->x(), field("EdProducto")->x());
        QCOMPARE(text("edtCantidadProducto"), QString("1"));
        QVERIFY(field("edtCantidadProducto")->isReadOnly());
        // A variant's connection opens with its first command, and only then.
        QCOMPARE(fx->dm().CxNordaPavrel.timesOpened(), variant == 1 ? 1 : 0);
        QCOMPARE(fx->dm().CxUlmar.timesOpened(), variant == 2 ? 1 : 0);

        // Help is the only title-bar button, and a request to close does nothing.
        const Qt::WindowFlags flags = w->subWindow()->windowFlags();
        QVERIFY(flags & Qt::WindowContextHelpButtonHint);
        for (Qt::WindowType button : {Qt::WindowSystemMenuHint, Qt::WindowCloseButtonHint,
                                      Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint})
            QVERIFY(!(flags & button));
        w->subWindow()->close();
        QVERIFY(w->isVisible());
        QVERIFY(!w->subWindow()->isMinimized());
    }

    // Each count fills type, warehouse, restriction and quantity mode.
    void choosingACount_data()
    {
        QTest::addColumn<QString>("count");
        QTest::addColumn<QStringList>(
            "fields"); // edTipo, edAlmacen, EdProducto, lbProducto, edLocalidad
        QTest::addColumn<bool>("quantityLocked");
        QTest::newRow("cyclic") << "NP-CIC-01"
                                << QStringList{"Cíclico", "Almacen General", "", "", "A-01-01"}
                                << true;
        QTest::newRow("wall to wall empties, keeps the restriction")
            << "NP-WTW-01" << QStringList{"Wall to Wall", "Almacen General", "", "PRD-200", ""}
            << false;
        QTest::newRow("restricted to a product")
            << "NP-PAR-02"
            << QStringList{"Parcial", "Almacen General", "PRD-100", "PRD-100", "A-01-01"} << true;
    }
    void choosingACount()
    {
        QFETCH(QString, count);
        QFETCH(QStringList, fields);
        QFETCH(bool, quantityLocked);
        open();
        field("edLocalidad")->setText("A-01-01");
        choose("NP-PAR-02");
        fx->clearJournal();
        choose(count);
        QCOMPARE(fx->journal(),
                 QStringList{"EXECUTE sp_KVR_InventarioConsultaConteo '" + count + "'"});
        QCOMPARE((QStringList{text("edTipo"), text("edAlmacen"), text("EdProducto"),
                              label("lbProducto"), text("edLocalidad")}),
                 fields);
        QCOMPARE(field("edtCantidadProducto")->isReadOnly(), quantityLocked);
        QCOMPARE(QApplication::focusWidget(), field("edLocalidad"));
    }

    // The reference goes out as listed, blanks and quotes included; the
    // quantity mode is compared exactly after trimming, and a locked quantity
    // starts from 1.
    void countAnswers_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("locked");
        QTest::newRow("n") << " n " << true;
        QTest::newRow("N") << "N" << false;
        QTest::newRow("empty") << "" << false;
    }
    void countAnswers()
    {
        QFETCH(QString, mode);
        QFETCH(bool, locked);
        fx->server().script("sp_KVR_ConsultaCatInventarioConteo", [](Call&) {
            return Reply::rows(ResultSet::texts({"id_inventarioconteo", "inv_referencia"})
                                   .row({"41", "O'NEIL   "}));
        });
        fx->server().script("sp_KVR_InventarioConsultaConteo", [mode](Call&) {
            return count("Parcial", "Almacen General", "-1", "", mode.toStdString());
        });
        open();
        field("edtCantidadProducto")->setReadOnly(false);
        field("edtCantidadProducto")->setText("5");
        choose("O'NEIL   ");
        QCOMPARE(fx->journal().last(),
                 QString("EXECUTE sp_KVR_InventarioConsultaConteo 'O''NEIL   '"));
        QCOMPARE(field("edtCantidadProducto")->isReadOnly(), locked);
        QCOMPARE(text("edtCantidadProducto"), QString(locked ? "1" : "5"));
    }

    // Location Enter: only a trimmed "1" refuses.
    void locationAnswer_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("refused");
        QTest::newRow("1") << "1" << true;
        QTest::newRow("blanks around 1") << " 1 " << true;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("11") << "11" << false;
    }
    void locationAnswer()
    {
        QFETCH(QString, error);
        QFETCH(bool, refused);
        fx->server().script("sp_KVR_InventarioValidaLocalidad", [error](Call&) {
            return TerminalFixture::status(error.toStdString());
        });
        open();
        choose("NP-PAR-01");
        fx->clearJournal();
        TerminalFixture::scan(field("edLocalidad"), " B-01-01 ");
        QCOMPARE(fx->journal(),
                 QStringList{
                     "EXECUTE sp_KVR_InventarioValidaLocalidad 'Producto Terminado', 'B-01-01'"});
        QCOMPARE(shownTexts(), refused ? QStringList{"No existe la localidad."} : QStringList{});
        QCOMPARE(QApplication::focusWidget(), field(refused ? "edLocalidad" : "EdProducto"));
        QCOMPARE(text("edLocalidad"), QString(" B-01-01 "));
    }

    // Checks made before anything is recorded.
    void scanChecks_data()
    {
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("quantity");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("quantityAfter");
        QTest::newRow("no count") << ""
                                  << "B-01-01"
                                  << "1"
                                  << "S-1101"
                                  << "Debes seleccionar un registro de conteo"
                                  << "1";
        QTest::newRow("no warehouse") << "NP-NUE-01"
                                      << "B-01-01"
                                      << "1"
                                      << "S-1101"
                                      << "Debes seleccionar un registro de almacen"
                                      << "1";
        QTest::newRow("no location") << "NP-PAR-01"
                                     << ""
                                     << "1"
                                     << "S-1101"
                                     << "Debes seleccionar un registro de localidad"
                                     << "1";
        QTest::newRow("zero") << "NP-PAR-01"
                              << "B-01-01"
                              << "0"
                              << "S-1101"
                              << "La cantidad del producto no puede ser 0"
                              << "0";
        QTest::newRow("zeros") << "NP-PAR-01"
                               << "B-01-01"
                               << "00"
                               << "S-1101"
                               << "La cantidad del producto no puede ser 0"
                               << "0";
        QTest::newRow("letters") << "NP-PAR-01"
                                 << "B-01-01"
                                 << "3a"
                                 << "S-1101"
                                 << "La cantidad capturada no es numerica"
                                 << "3a";
        QTest::newRow("beyond 32 bits") << "NP-PAR-01"
                                        << "B-01-01"
                                        << "2147483648"
                                        << "S-1101"
                                        << "La cantidad capturada no es numerica"
                                        << "2147483648";
        QTest::newRow("no product") << "NP-PAR-01"
                                    << "B-01-01"
                                    << "1"
                                    << "  "
                                    << "Debes capturar un producto"
                                    << "1";
    }
    void scanChecks()
    {
        QFETCH(QString, count);
        QFETCH(QString, location);
        QFETCH(QString, quantity);
        QFETCH(QString, code);
        QFETCH(QString, message);
        QFETCH(QString, quantityAfter);
        // Let every code pass the location check so that the window's own checks speak.
        fx->server().script("sp_KVR_InventarioValidaProductoLocalidad",
                            [](Call&) { return TerminalFixture::status("0"); });
        open();
        if (!count.isEmpty())
            choose(count);
        field("edLocalidad")->setText(location);
        field("edtCantidadProducto")->setText(quantity);
        fx->clearJournal();
        TerminalFixture::scan(field("EdProducto"), code);
        QCOMPARE(shownTexts(), QStringList{message});
        QCOMPARE(shown().first().form, MessageService::Form::Notice);
        QCOMPARE(text("edtCantidadProducto"), quantityAfter);
        if (message.contains("cantidad"))
            QCOMPARE(QApplication::focusWidget(), field("edtCantidadProducto"));
        QVERIFY(calls("sp_KVR_ObtieneIDProducto").empty());
        QVERIFY(calls("sp_KVR_ScaneoInventarioDet").empty());
    }

    // What each window sends to record a scan, and where it lands.
    void recordedScan_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("series");
        QTest::newRow("preventa") << 0 << "S-1101";
        QTest::newRow("pavrel") << 1 << "S-1101";
        QTest::newRow("ulmar sends no series") << 2 << "";
    }
    void recordedScan()
    {
        QFETCH(int, variant);
        QFETCH(QString, series);
        open(variant);
        choose(QString(kVariants[variant].prefix) + "-PAR-01");
        field("edLocalidad")->setText("B-01-01");
        field("edtCantidadProducto")->setText(" 003");
        fx->clearJournal();
        TerminalFixture::scan(field("EdProducto"), " S-1101");

        QCOMPARE(fx->journal().first(),
                 QString("EXECUTE sp_KVR_InventarioValidaProductoLocalidad 'Producto Terminado', "
                         "'B-01-01', 'S-1101'"));
        const auto lookup = calls("sp_KVR_ObtieneIDProducto");
        const auto record = calls("sp_KVR_ScaneoInventarioDet");
        QCOMPARE(lookup.size(), std::size_t(1));
        QCOMPARE(record.size(), std::size_t(1));
        QCOMPARE(texts(lookup[0].args, 1), QStringList{"S-1101"});
        QCOMPARE(texts(record[0].args, 8),
                 (QStringList{"7", "3", "Producto Terminado", "B-01-01", "101", series, "", "3"}));
        for (const auto& e : fx->server().journal())
            QCOMPARE(e.catalogue, std::string(kVariants[variant].catalogue));

        QCOMPARE(label("lblMensaje"), QString("3 Producto(s) Escaneado"));
        QCOMPARE(text("edtCantidadProducto"), QString("1"));
        QCOMPARE(text("EdProducto"), QString());
        QCOMPARE(QApplication::focusWidget(), field("EdProducto"));
        QCOMPARE(recorded(kVariants[variant].catalogue, "cantidad = 3 AND id_producto = 101"), 1);
    }

    // A cyclic count records without a location and without the location check.
    void cyclicWithoutLocation()
    {
        open();
        choose("NP-CIC-01");
        fx->clearJournal();
        TerminalFixture::scan(field("EdProducto"), "S-3001");
        QVERIFY(calls("sp_KVR_InventarioValidaProductoLocalidad").empty());
        const auto record = calls("sp_KVR_ScaneoInventarioDet");
        QCOMPARE(record.size(), std::size_t(1));
        QCOMPARE(texts(record[0].args, 4).last(), QString());
        QCOMPARE(label("lblMensaje"), QString("1 Producto(s) Escaneado"));
        QCOMPARE(recorded("KV_NORDA_PREVENTA", "id_localidad = '' AND serie = 'S-3001'"), 1);
    }

    // The count's product key restricts what may be scanned; the prefilled
    // key itself is scanned with Enter alone.
    void restriction_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("message");
        QTest::newRow("preventa") << 0 << "Este número de serie no está considerado en el conteo.";
        QTest::newRow("ulmar") << 2 << "Este producto no está considerado en el conteo.";
    }
    void restriction()
    {
        QFETCH(int, variant);
        QFETCH(QString, message);
        open(variant);
        choose(QString(kVariants[variant].prefix) + "-PAR-02");
        field("edLocalidad")->setText("A-01-01");
        field("EdProducto")->setText("S-1001");
        fx->clearJournal();
        TerminalFixture::pressEnter(field("EdProducto"));
        QCOMPARE(shownTexts(), QStringList{message});
        QCOMPARE(shown().first().form, MessageService::Form::ErrorBox);
        QVERIFY(fx->journal().isEmpty());
        QCOMPARE(text("EdProducto"), QString("S-1001"));

        field("EdProducto")->setText("PRD-100");
        TerminalFixture::pressEnter(field("EdProducto"));
        QCOMPARE(label("lblMensaje"), QString("1 Producto(s) Escaneado"));
        QCOMPARE(recorded(kVariants[variant].catalogue, "id_producto = 101"), 1);
    }

    void unknownSeries_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("message");
        QTest::newRow("preventa") << 0 << "El número de serie escaneado no existe";
        QTest::newRow("pavrel") << 1 << "El producto escaneado no existe";
        QTest::newRow("ulmar") << 2 << "El producto escaneado no existe";
    }
    void unknownSeries()
    {
        QFETCH(int, variant);
        QFETCH(QString, message);
        open(variant);
        choose(QString(kVariants[variant].prefix) + "-CIC-01");
        TerminalFixture::scan(field("EdProducto"), "S-0000");
        QCOMPARE(shownTexts(), QStringList{message});
        QCOMPARE(label("lblMensaje"), QString("Error"));
        QCOMPARE(text("EdProducto"), QString());
        QCOMPARE(calls("sp_KVR_ObtieneIDProducto").size(), std::size_t(1));
        QVERIFY(calls("sp_KVR_ScaneoInventarioDet").empty());
    }

    // Retry shows the server's answer again; only Ignore lets the operator go on.
    void refusal()
    {
        fx->server().script("sp_KVR_ScaneoInventarioDet", [](Call&) {
            Reply r;
            r.outputs["@Error"] = Value(5);
            r.outputs["@ErrorDescripcion"] = Value("  El conteo esta cerrado.  ");
            return r;
        });
        open();
        choose("NP-PAR-01");
        field("edLocalidad")->setText("B-01-01");
        field("edtCantidadProducto")->setText("4");
        MessageService::instance().setNextAnswers(
            {QMessageBox::Retry, QMessageBox::Retry, QMessageBox::Ignore});
        TerminalFixture::scan(field("EdProducto"), "S-1101");
        const QString text = "El conteo esta cerrado.\r Deseas Ignorar Este mensaje?";
        QCOMPARE(shownTexts(), (QStringList{text, text, text}));
        QCOMPARE(shown().last().form, MessageService::Form::RetryIgnore);
        QCOMPARE(label("lblMensaje"), QString("Error"));
        QCOMPARE(this->text("EdProducto"), QString());
        QCOMPARE(this->text("edtCantidadProducto"), QString("4"));
    }

    // Only an @Error above 0 is a refusal.
    void errorOutput_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("refused");
        QTest::newRow("0") << 0 << false;
        QTest::newRow("negative") << -3 << false;
        QTest::newRow("null") << -999 << false;
        QTest::newRow("2") << 2 << true;
    }
    void errorOutput()
    {
        QFETCH(int, error);
        QFETCH(bool, refused);
        fx->server().script("sp_KVR_ScaneoInventarioDet", [error](Call&) {
            Reply r;
            r.outputs["@Error"] = error == -999 ? Value() : Value(error);
            r.outputs["@ErrorDescripcion"] = Value("No");
            return r;
        });
        open();
        choose("NP-CIC-01");
        TerminalFixture::scan(field("EdProducto"), "S-1001");
        QCOMPARE(shown().size(), refused ? 1 : 0);
        QCOMPARE(label("lblMensaje"), QString(refused ? "Error" : "1 Producto(s) Escaneado"));
    }

    // A failed lookup leaves product id 0 where the series still goes out;
    // where it does not (Ulmar) the scan is not recorded.
    void lookupFails_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("sent");
        // A NULL id reads back as 0 through the driver; neither names a
        // product, so the two need not be told apart.
        for (const char* answer : {"fails", "null", "zero"}) {
            QTest::addRow("preventa, lookup %s", answer) << 0 << answer << true;
            QTest::addRow("ulmar, lookup %s", answer) << 2 << answer << false;
        }
    }
    void lookupFails()
    {
        QFETCH(int, variant);
        QFETCH(QString, answer);
        QFETCH(bool, sent);
        fx->server().script("sp_KVR_ObtieneIDProducto", [answer](Call&) {
            if (answer == "fails")
                return Reply::fail("Deadlock victim", 1205);
            Reply r;
            r.outputs["@id_producto"] = answer == "null" ? Value() : Value(0);
            return r;
        });
        open(variant);
        choose(QString(kVariants[variant].prefix) + "-CIC-01");
        TerminalFixture::scan(field("EdProducto"), "S-1001");
        const auto record = calls("sp_KVR_ScaneoInventarioDet");
        QCOMPARE(record.size(), std::size_t(sent ? 1 : 0));
        if (sent) {
            QCOMPARE(texts(record[0].args, 5).last(), QString("0"));
            QCOMPARE(recorded(kVariants[variant].catalogue, "id_producto = 101"), 1);
        } else {
            QCOMPARE(shownTexts(), QStringList{"No es posible realizar la operacion"});
        }
    }

    // Failures: guarded steps give the fixed notice, the others the default report.
    void failures()
    {
        fx->server().script("sp_KVR_ConsultaCatInventarioConteo",
                            [](Call&) { return Reply::fail("Timeout expired"); });
        open();
        QCOMPARE(shownTexts(), QStringList{"No es posible realizar la operacion"});
        QCOMPARE(field<QComboBox>("cmbRegConteo")->count(), 0);

        fx->server().procedures().unscript("sp_KVR_ConsultaCatInventarioConteo");
        fx->server().script("sp_KVR_InventarioConsultaConteo", [](Call&) {
            return Reply::rows(ResultSet::texts({"TipoInventario"}).row({"Cíclico"}));
        });
        field<QComboBox>("cmbRegConteo")->addItem("NP-CIC-01", 1);
        TerminalFixture::clearMessages();
        choose("NP-CIC-01");
        QCOMPARE(shown().size(), 1);
        QCOMPARE(shown().first().caption, QString("LectoraVelmor"));
        QCOMPARE(text("edTipo"), QString("Cíclico"));
        QCOMPARE(text("edAlmacen"), QString());

        fx->server().script("sp_KVR_ScaneoInventarioDet",
                            [](Call&) { return Reply::fail("Connection reset"); });
        field("edAlmacen")->setText("Almacen General");
        TerminalFixture::clearMessages();
        TerminalFixture::scan(field("EdProducto"), "S-1001");
        QCOMPARE(shownTexts(), QStringList{"No es posible realizar la operacion"});
        QCOMPARE(text("EdProducto"), QString("S-1001"));
    }

    // The hidden warehouse list: an empty text asks for a warehouse; an item
    // loads its locations into the hidden location list.
    void hiddenLists()
    {
        open();
        auto* almacen = field<QComboBox>("cmbAlmacen");
        Q_EMIT almacen->activated(-1);
        QCOMPARE(shownTexts(), QStringList{"Debes seleccionar un almacen"});
        almacen->addItem("Producto Terminado", 2);
        almacen->setCurrentIndex(0);
        fx->clearJournal();
        Q_EMIT almacen->activated(0);
        const auto list = calls("sp_KVR_ConsultaCatLocalidad");
        QCOMPARE(list.size(), std::size_t(1));
        QCOMPARE(texts(list[0].args, 2), (QStringList{"0", "2"}));
        auto* localidad = field<QComboBox>("cmbLocalidad");
        QCOMPARE(localidad->count(), 2);
        QCOMPARE(localidad->itemText(1), QString("B-01-02"));
    }

    // Three windows used in turn: every scan lands in its own catalogue, and
    // a later command of the main window still runs on Cx.
    void alternatingWindows()
    {
        TfrInventario* windows[3];
        for (int v = 0; v < 3; ++v) {
            windows[v] = open(v);
            choose(QString(kVariants[v].prefix) + "-CIC-01");
        }
        const char* series[] = {"S-1001", "S-1002", "S-1003", "S-1004", "S-2001", "S-2002"};
        for (int i = 0; i < 6; ++i) {
            w = windows[i % 3];
            fx->area()->setActiveSubWindow(w->subWindow());
            TerminalFixture::scan(field("EdProducto"), series[i]);
            QCOMPARE(label("lblMensaje"), QString("1 Producto(s) Escaneado"));
        }
        QCOMPARE(recorded("KV_NORDA_PREVENTA", "serie IN ('S-1001', 'S-1004')"), 2);
        QCOMPARE(recorded("KV_NORDAPAVREL", "serie IN ('S-1002', 'S-2001')"), 2);
        QCOMPARE(recorded("KV_ULMAR", "serie = ''"), 2);
        for (const char* c : {"KV_NORDA_PREVENTA", "KV_NORDAPAVREL", "KV_ULMAR"})
            QCOMPARE(recorded(c), 2);
        QCOMPARE(fx->dm().CxNordaPavrel.timesOpened(), 1);
        QCOMPARE(fx->dm().CxUlmar.timesOpened(), 1);
    }

    // On the demo data, as the operator works: log in, open "Norda Preventa"
    // from the menu, choose a count, scan a location and three series; the
    // count then holds three scans of that operator.
    void endToEnd()
    {
        TFr_Menu menu({"Inventario1", "NordaPavrel1", "Ulmar1"});
        menu.show();
        menu.findChild<QLineEdit*>("edt_Usuario")->setText("demo");
        TerminalFixture::scan(menu.findChild<QLineEdit*>("edt_Contra"), "demo");
        menu.entry("Inventario1")->trigger();
        w = menu.findChild<TfrInventario*>();
        QVERIFY(w);
        QCOMPARE(w->windowTitle(), QString("Inventario Norda Preventa"));
        choose("NP-CIC-01");
        TerminalFixture::scan(field("edLocalidad"), "A-01-01");
        for (const char* s : {"S-1001", "S-1002", "S-1003"})
            TerminalFixture::scan(field("EdProducto"), s);
        QVERIFY(shown().isEmpty());
        QCOMPARE(recorded("KV_NORDA_PREVENTA",
                          "id_inventarioconteo = 1 AND id_localidad = 'A-01-01' AND "
                          "id_personausuario = '1'"),
                 3);
    }
};

QTEST_MAIN(TestInventario)
#include "tst_inventario.moc"
