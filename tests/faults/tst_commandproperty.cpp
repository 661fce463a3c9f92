// Bad input: random field texts (quotes, "--", ";", NUL, control characters,
// 10,000-character strings, letters outside Latin-1) must reach the server as
// exactly one call of the right procedure with exactly those values. Checked
// two ways: command texts built as the windows build them, read back by the
// stand-in's own batch parser (many cases, fast); and scans typed into real
// windows, read back from what the stand-in received. LECTORA_PROPERTY_CASES
// sets the number of cases of the first (default 3000; a long run uses
// 1000000). A value that an RPC parameter cannot carry is refused, never sent
// altered.
#include "app/shell/MessageService.h"
#include "data/CommandText.h"
#include "inbound/U_EntradaPallet.h"
#include "inventory/U_Inventario.h"
#include "server/Database.h"
#include "server/tds/Batch.h"
#include "shipping/U_Consulta.h"
#include "shipping/U_Reubicaciones.h"
#include "tests/support/TerminalFixture.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QRandomGenerator>
#include <QTest>

using namespace lectora::server;

namespace
{

// Pieces that break naive command building, mixed with ordinary letters.
QString randomText(QRandomGenerator& rng)
{
    static const QStringList pieces{"'",
                                    "''",
                                    "--",
                                    ";",
                                    " ",
                                    "\t",
                                    QString(QChar(0)),
                                    QString(QChar(1)),
                                    QString(QChar(0x1f)),
                                    "\r\n",
                                    "EXEC sp_KVR_Persona 'x','y'",
                                    "/*",
                                    "*/",
                                    "ñ",
                                    "Ó",
                                    "é",
                                    "中",
                                    "Ж",
                                    "€",
                                    "😀",
                                    "A",
                                    "7",
                                    "-",
                                    ",",
                                    "\\",
                                    "\"",
                                    "[",
                                    "]",
                                    "@P1",
                                    "N'"};
    QString s;
    const int mode = rng.bounded(20);
    if (mode == 0) {
        // A long scan: ten thousand characters with awkward ones inside.
        s.reserve(10000);
        while (s.size() < 10000)
            s += rng.bounded(4) ? QString(QChar(u'a' + rng.bounded(26)))
                                : pieces[rng.bounded(int(pieces.size()))];
        s.truncate(10000);
        if (s.back().isHighSurrogate()) // never half a character
            s.chop(1);
        return s;
    }
    const int n = rng.bounded(12);
    for (int i = 0; i < n; ++i)
        s += rng.bounded(3) ? pieces[rng.bounded(int(pieces.size()))]
                            : QString(QChar(u'A' + rng.bounded(26)));
    return s;
}

// The shape of one command as a window builds it: keyword and procedure,
// the separator before each quoted value, and a trailing operator id.
struct Shape {
    const char* head;
    QStringList separators; // one per quoted value (the first is ignored)
    const char* idSeparator = nullptr;
};

const QList<Shape>& shapes()
{
    static const QList<Shape> all{
        {"EXECUTE sp_Kvr_IdentificaTipoEntrada", {","}},
        {"EXECUTE sp_KVR_SugiereLocalidadEntrada", {","}},
        {"EXECUTE sp_KVR_ValidaPallet", {",", ","}},
        {"EXECUTE sp_KVR_ValidaLocalidad", {","}},
        {"EXECUTE sp_Kvr_GuardaUbicacion", {",", ", ", ", "}, ", "},
        {"EXECUTE sp_KVR_ValidaTicketLectora", {","}},
        {"EXECUTE sp_Kvr_IdentificaProcedimiento", {","}},
        {"EXECUTE sp_KVR_ValidaTarimaComponenteKV", {","}},
        {"EXECUTE sp_KVR_SugiereLocalidadParaSurtir", {","}},
        {"EXEC sp_KVR_ScannerSalidas3", {",", ",", ", ", ", "}, ", "},
        {"EXEC sp_KVR_ValidaEmbarque", {",", ","}, ", "},
        {"EXEC sp_KVR_ValidaTarimaUbicacion", {",", ","}},
        {"execute sp_KVR_CambiaUbicacionTarima", {",", " ,"}},
        {"EXECUTE sp_KVR_InventarioConsultaConteo", {","}},
        {"EXECUTE sp_KVR_InventarioValidaLocalidad", {",", ", "}},
        {"EXECUTE sp_KVR_InventarioValidaProductoLocalidad", {",", ", ", ", "}},
        {"EXECUTE sp_KVR_Persona", {",", ","}},
    };
    return all;
}

// Where a value came back different: lengths and the first differing place.
QString mismatch(int testCase, int argument, const QString& sent, const std::string& parsed)
{
    const QByteArray a = sent.toUtf8(), b = QByteArray::fromStdString(parsed);
    qsizetype at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at])
        ++at;
    return QStringLiteral(
               "case %1, argument %2: sent %3 bytes, parsed %4, differ at %5: [%6] vs [%7]")
        .arg(testCase)
        .arg(argument)
        .arg(a.size())
        .arg(b.size())
        .arg(at)
        .arg(QString::fromLatin1(a.mid(at, 40).toPercentEncoding()))
        .arg(QString::fromLatin1(b.mid(at, 40).toPercentEncoding()));
}

int caseCount()
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("LECTORA_PROPERTY_CASES", &ok);
    return ok && n > 0 ? n : 3000;
}

} // namespace

class TstCommandProperty : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> fx;

    // The calls of `procedure` the stand-in received since the journal was cleared.
    std::vector<JournalEntry> calls(const char* procedure)
    {
        std::vector<JournalEntry> out;
        for (const auto& e : fx->server().journal())
            if (ProcedureRegistry::key(e.procedure) == ProcedureRegistry::key(procedure))
                out.push_back(e);
        return out;
    }

    // A NUL cannot go through the driver's C-string interface, and half a
    // character (a length limit that cuts a surrogate pair) would arrive as
    // another one: such a command is refused before it is sent, never sent
    // cut short or altered.
    static bool carried(const QString& value)
    {
        return !value.contains(QChar(0)) && value.isValidUtf16();
    }
    static bool carried(const QString& a, const QString& b) { return carried(a) && carried(b); }

    // Fills `field` as a scanner would leave it (setText keeps the field's
    // length limit) and returns what the command must carry.
    static QString fill(QLineEdit* field, const QString& text)
    {
        field->setText(text);
        QString expected = text.left(field->maxLength()).trimmed();
        return expected;
    }

private Q_SLOTS:
    // Every command shape with random values: one statement, the right
    // procedure, the values back exactly.
    void commandTextsParseBack()
    {
        QRandomGenerator rng(20261208);
        const int cases = caseCount();
        for (int i = 0; i < cases; ++i) {
            const Shape& shape = shapes()[i % shapes().size()];
            QStringList values;
            CommandText command{QString::fromLatin1(shape.head)};
            for (const QString& separator : shape.separators) {
                values << randomText(rng).trimmed();
                command.quoted(values.last(), separator);
            }
            const QString id = QString::number(rng.bounded(100000));
            if (shape.idSeparator)
                command.bare(id, QString::fromLatin1(shape.idSeparator));

            const QByteArray utf8 = command.text().toUtf8();
            const auto statements =
                tds::parseBatch(std::string_view(utf8.constData(), utf8.size()));
            QVERIFY2(statements.size() == 1, qPrintable(command.text().left(200)));
            const tds::Statement& st = statements.front();
            QCOMPARE(int(st.kind), int(tds::Statement::Kind::Call));
            QCOMPARE(QString::fromStdString(st.procedure),
                     QString::fromLatin1(shape.head).section(' ', 1));
            QCOMPARE(int(st.args.size()), int(values.size() + (shape.idSeparator ? 1 : 0)));
            for (int a = 0; a < values.size(); ++a)
                QVERIFY2(QString::fromStdString(st.args[a].value.toText()) == values[a],
                         qPrintable(mismatch(i, a, values[a], st.args[a].value.toText())));
            if (shape.idSeparator)
                QCOMPARE(st.args.back().value.toInt().value_or(-1), id.toLongLong());
        }
    }

    // Scans typed into real windows: the stand-in receives one call with the
    // trimmed field texts, whatever they hold.
    void windowsSendFieldsExactly()
    {
        fx = std::make_unique<TerminalFixture>();
        QRandomGenerator rng(8122026);
        // One window at a time, the active one, as the operator works.
        TFr_Embarque1* shipment = nullptr;
        TFr_EntradaPallet* entry = nullptr;
        TfrReubicaciones* relocation = nullptr;
        QLineEdit *manifest = nullptr, *pallet = nullptr, *kv = nullptr, *tarima = nullptr,
                  *mesa = nullptr;
        auto openWindow = [&](int which) {
            fx->area()->closeAllSubWindows();
            if (which == 0) {
                shipment = new TFr_Embarque1;
                fx->open(shipment, "Embarque");
                manifest = shipment->findChild<QLineEdit*>("edManifiesto");
                pallet = shipment->findChild<QLineEdit*>("edTarima");
            } else if (which == 1) {
                entry = new TFr_EntradaPallet;
                fx->open(entry, "Verificacion de Entrada");
                kv = entry->findChild<QLineEdit*>("EdPalletKV");
            } else {
                relocation = new TfrReubicaciones;
                fx->open(relocation, "Reubicaciones");
                tarima = relocation->findChild<QLineEdit*>("edTarima");
                mesa = relocation->findChild<QLineEdit*>("edMesa");
            }
        };
        const int cases = std::max(60, caseCount() / 20);
        for (int i = 0; i < cases; ++i) {
            if (i % (cases / 3) == 0 && i / (cases / 3) < 3)
                openWindow(i / (cases / 3));
            TerminalFixture::clearMessages();
            fx->clearJournal();
            switch (std::min(2, i / (cases / 3))) {
            case 0: {
                const QString m = fill(manifest, randomText(rng) + "M");
                const QString p = fill(pallet, randomText(rng) + "P");
                pallet->setFocus();
                TerminalFixture::pressEnter(pallet);
                const auto c = calls("sp_KVR_ValidaEmbarque");
                if (m.isEmpty() || p.isEmpty()) {
                    // A field cut to blanks counts as empty: a message, nothing sent.
                    QVERIFY(c.empty());
                    QCOMPARE(MessageService::instance().shown().size(), 1);
                    break;
                }
                if (!carried(m, p)) {
                    QVERIFY(c.empty()); // dropped silently by this window
                    break;
                }
                QCOMPARE(int(c.size()), 1);
                QCOMPARE(int(c[0].args.size()), 3);
                QCOMPARE(QString::fromStdString(c[0].args[0].toText()), m);
                QCOMPARE(QString::fromStdString(c[0].args[1].toText()), p);
                QCOMPARE(QString::fromStdString(c[0].args[2].toText()), QStringLiteral("7"));
                break;
            }
            case 1: {
                kv->setFocus();
                const QString p = fill(kv, randomText(rng));
                TerminalFixture::pressEnter(kv);
                const auto c = calls("sp_Kvr_IdentificaTipoEntrada");
                if (!carried(p)) {
                    QVERIFY(c.empty());
                    QCOMPARE(MessageService::instance().shown().size(), 1); // the default report
                    break;
                }
                QCOMPARE(int(c.size()), 1);
                QCOMPARE(int(c[0].args.size()), 1);
                QCOMPARE(QString::fromStdString(c[0].args[0].toText()), p);
                break;
            }
            case 2: {
                const QString t = fill(tarima, randomText(rng) + "T");
                const QString m = fill(mesa, randomText(rng) + "L");
                mesa->setFocus();
                MessageService::instance().setNextAnswers({QMessageBox::No});
                TerminalFixture::pressEnter(mesa);
                const auto c = calls("sp_KVR_ValidaTarimaUbicacion");
                if (t.isEmpty()) {
                    QVERIFY(c.empty());
                    QCOMPARE(MessageService::instance().shown().size(), 1);
                    break;
                }
                if (!carried(t, m)) {
                    QVERIFY(c.empty());
                    break;
                }
                QCOMPARE(int(c.size()), 1);
                QCOMPARE(int(c[0].args.size()), 2);
                QCOMPARE(QString::fromStdString(c[0].args[0].toText()), t);
                QCOMPARE(QString::fromStdString(c[0].args[1].toText()), m);
                break;
            }
            }
        }
        fx.reset();
    }

    // A field cut inside a surrogate pair holds half a character: the batch
    // is refused before it is sent (the entry window's default report shows
    // why) instead of reaching the server with another character.
    void halfCharacterIsRefusedNotAltered()
    {
        fx = std::make_unique<TerminalFixture>();
        auto* entry = new TFr_EntradaPallet;
        fx->open(entry, "Verificacion de Entrada");
        auto* kv = entry->findChild<QLineEdit*>("EdPalletKV");
        TerminalFixture::clearMessages();
        fx->clearJournal();
        kv->setFocus();
        kv->setText(QStringLiteral("KV-1001") + QChar(0xD83D));
        TerminalFixture::pressEnter(kv);
        for (const auto& e : fx->server().journal())
            QVERIFY2(e.text.find("KV-1001") == std::string::npos, e.text.c_str());
        QCOMPARE(MessageService::instance().shown().size(), 1);
        QCOMPARE(MessageService::instance().shown().first().form, MessageService::Form::ErrorBox);

        // The whole character goes through unchanged.
        TerminalFixture::clearMessages();
        kv->setText(QStringLiteral("KV-1001😀"));
        TerminalFixture::pressEnter(kv);
        const auto c = calls("sp_Kvr_IdentificaTipoEntrada");
        QCOMPARE(int(c.size()), 1);
        QCOMPARE(QString::fromStdString(c[0].args[0].toText()), QStringLiteral("KV-1001😀"));
        fx.reset();
    }

    // A series with letters outside the parameter's code page cannot travel
    // in the count window's procedure calls: the step's own failure handling
    // reports it and nothing reaches the recording, rather than a series with
    // its letters replaced.
    void unrepresentableValueIsRefusedNotAltered_data()
    {
        QTest::addColumn<QString>("series");
        QTest::newRow("CJK") << QStringLiteral("S-中文");
        QTest::newRow("Cyrillic") << QStringLiteral("S-Ж1");
        QTest::newRow("emoji") << QStringLiteral("S-😀");
    }
    void unrepresentableValueIsRefusedNotAltered()
    {
        QFETCH(QString, series);
        fx = std::make_unique<TerminalFixture>();
        auto* w = new TfrInventario;
        fx->open(w, "Inventario Norda Preventa");
        auto* combo = w->findChild<QComboBox*>("cmbRegConteo");
        const int index = combo->findText("NP-CIC-01");
        QVERIFY(index >= 0);
        combo->setCurrentIndex(index);
        Q_EMIT combo->activated(index);
        TerminalFixture::clearMessages();
        fx->clearJournal();

        auto* product = w->findChild<QLineEdit*>("EdProducto");
        product->setFocus();
        product->setText(series);
        TerminalFixture::pressEnter(product);

        QStringList shown;
        for (const auto& m : MessageService::instance().shown())
            shown << m.text;
        QCOMPARE(shown, QStringList{"No es posible realizar la operacion"});
        for (const auto& e : fx->server().journal())
            for (const Value& v : e.args)
                QVERIFY2(v.toText().find('?') == std::string::npos, e.text.c_str());
        QVERIFY(calls("sp_KVR_ScaneoInventarioDet").empty());
        QCOMPARE(fx->server()
                     .catalogue("KV_NORDA_PREVENTA")
                     .scalar("SELECT COUNT(*) FROM inv_escaneo WHERE serie LIKE 'S-%' AND "
                             "id_inventarioconteo = (SELECT id_inventarioconteo FROM inv_conteo "
                             "WHERE referencia = 'NP-CIC-01')")
                     .toInt()
                     .value_or(-1),
                 std::int64_t{0});
        fx.reset();
    }
};

QTEST_MAIN(TstCommandProperty)
#include "tst_commandproperty.moc"
