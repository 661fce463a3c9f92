// The data module through the real ODBC path against the in-process stand-in:
// command texts as the server receives them, the shared-query protocol, the
// procedure components' in/out parameters, the connections' first use and
// their recovery after a lost link.
#include "data/CommandText.h"
#include "data/DbError.h"
#include "data/U_Data.h"
#include "data/WholeNumber.h"
#include "server/EmbeddedServer.h"
#include "tests/support/TerminalFixture.h"

#include <QTest>

#include <climits>
#include <cmath>

using namespace lectora::server;

namespace
{

// Answers one row with the number of arguments received and each argument as text.
Reply echo(Call& c)
{
    std::vector<std::string> names = {"Cuantos"};
    std::vector<Value> row = {Value(static_cast<int>(c.args.size()))};
    for (std::size_t i = 0; i < c.args.size(); ++i) {
        names.push_back("A" + std::to_string(i));
        row.push_back(c.args[i].value.isNull() ? Value("<null>") : Value(c.args[i].value.toText()));
    }
    return Reply::rows(ResultSet::texts(names).row(row));
}

std::vector<JournalEntry> commandsFor(const EmbeddedServer& server, const std::string& procedureKey)
{
    std::vector<JournalEntry> found;
    for (const auto& e : server.journal()) {
        if (ProcedureRegistry::key(e.procedure) == procedureKey)
            found.push_back(e);
    }
    return found;
}

} // namespace

class TestDataModule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commandText_data()
    {
        QTest::addColumn<QString>("built");
        QTest::addColumn<QString>("expected");
        QTest::newRow("first argument ignores its separator")
            << CommandText("EXECUTE sp_KVR_ValidaPallet").quoted("P1", ", ").text()
            << "EXECUTE sp_KVR_ValidaPallet 'P1'";
        QTest::newRow("separators as given")
            << CommandText("EXECUTE sp_Kvr_GuardaUbicacion")
                   .quoted("P1")
                   .quoted("L1", ", ")
                   .quoted("A-01", " ,")
                   .bare("7", ",")
                   .text()
            << "EXECUTE sp_Kvr_GuardaUbicacion 'P1', 'L1' ,'A-01',7";
        QTest::newRow("quotes doubled")
            << CommandText("EXEC sp_X").quoted("O'Brien").quoted("''").text()
            << "EXEC sp_X 'O''Brien',''''''";
        QTest::newRow("empty value")
            << CommandText("execute sp_X").quoted("").text() << "execute sp_X ''";
        QTest::newRow("no arguments") << CommandText("EXECUTE sp_X").text() << "EXECUTE sp_X";
    }
    void commandText()
    {
        QFETCH(QString, built);
        QFETCH(QString, expected);
        QCOMPARE(built, expected);
    }

    void valuesArriveAsOneArgument_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << "PAL-0001";
        QTest::newRow("quote") << "O'Brien";
        QTest::newRow("closing and injecting") << "x'; DELETE FROM Persona; --";
        QTest::newRow("fake second argument") << "a','b";
        QTest::newRow("accents") << "Contraseña Velmór Cíclico";
        QTest::newRow("outside code page") << "Łódź €";
        QTest::newRow("blanks kept") << "  3 ";
        QTest::newRow("beyond the basic plane") << QString::fromUtf8("caja \xF0\x9F\x93\xA6");
    }
    void valuesArriveAsOneArgument()
    {
        QFETCH(QString, value);
        TerminalFixture f;
        f.server().script("sp_KVR_Eco", echo);
        auto& q = f.dm().Qr_Aux;
        q.run(f.dm().Cx, CommandText("EXECUTE sp_KVR_Eco").quoted(value).bare("7", ", "));
        QCOMPARE(q.text("Cuantos"), QStringLiteral("2"));
        QCOMPARE(q.text("A0"), value);
        QCOMPARE(q.text("A1"), QStringLiteral("7"));
        const auto sent = commandsFor(f.server(), "sp_kvr_eco");
        QCOMPARE(sent.size(), 1u);
        QCOMPARE(sent[0].args.size(), 2u);
        QCOMPARE(QString::fromStdString(sent[0].args[0].toText()), value);
    }

    void sharedQueryProtocol()
    {
        TerminalFixture f;
        auto& q = f.dm().Qr_Aux;
        f.server().script("sp_KVR_Vacio", [](Call&) {
            return Reply::rows(ResultSet::texts({"Error", "ErrorDesc"}));
        });
        f.server().script("sp_KVR_Varios", [](Call&) {
            return Reply::rows(ResultSet::texts({"Error", "Cantidad"})
                                   .row({"3 ", " 12"})
                                   .row({"0", "x"})
                                   .row({"1", ""}));
        });
        f.server().script("sp_KVR_SinResultado", [](Call&) { return Reply{}; });

        q.run(f.dm().Cx, "EXECUTE sp_KVR_Vacio");
        QVERIFY(q.isEmpty());
        QVERIFY(q.eof());
        QCOMPARE(q.text("Error"), QString());
        QCOMPARE(q.integer("ErrorDesc"), 0);
        QVERIFY_THROWS_EXCEPTION(DbError, q.text("Mensaje"));

        q.run(f.dm().Cx, "EXECUTE sp_KVR_Varios");
        QVERIFY(!q.isEmpty());
        QCOMPARE(q.text("Error"), QStringLiteral("3 ")); // untrimmed: the windows trim
        QCOMPARE(q.text("error"), QStringLiteral("3 "));
        QCOMPARE(q.integer("Cantidad"), 12);
        try {
            q.text("Mensaje");
            QFAIL("a missing column must raise");
        } catch (const DbError& e) {
            QCOMPARE(e.kind(), DbError::Kind::MissingColumn);
            QVERIFY(e.text().contains("Mensaje"));
        }
        q.next();
        QCOMPARE(q.text("Error"), QStringLiteral("0"));
        QVERIFY_THROWS_EXCEPTION(DbError, q.integer("Cantidad"));
        const auto rest = q.takeRows();
        QCOMPARE(rest.size(), 2);
        QCOMPARE(rest[1][0].toString(), QStringLiteral("1"));
        QVERIFY(q.eof());
        QCOMPARE(q.text("Error"), QString());

        try {
            q.run(f.dm().Cx, "EXECUTE sp_KVR_SinResultado");
            QFAIL("a command without a result set must raise");
        } catch (const DbError& e) {
            QCOMPARE(e.kind(), DbError::Kind::NoResultSet);
        }

        // A second command replaces the first one's row.
        q.run(f.dm().Cx, "EXECUTE sp_KVR_Varios");
        q.run(f.dm().Cx, "EXECUTE sp_KVR_Vacio");
        QCOMPARE(q.text("Error"), QString());
    }

    // One reading of a value as a whole number, whatever carried it: a
    // rounded or cut value would name another id. -1 below stands for a
    // conversion failure, which the windows treat as they treat any failure.
    void wholeNumbers_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<qint64>("asInt");
        QTest::addColumn<qint64>("asInt64");
        const qint64 failed = -1;
        QTest::newRow("float with a fraction") << QVariant(2.5) << failed << failed;
        QTest::newRow("text with a fraction") << QVariant("2.5") << failed << failed;
        QTest::newRow("float past int") << QVariant(3e9) << failed << qint64(3000000000);
        QTest::newRow("decimal text, no fraction") << QVariant("12.00") << qint64(12) << qint64(12);
        QTest::newRow("empty text") << QVariant("") << qint64(0) << qint64(0);
        QTest::newRow("NULL") << QVariant() << qint64(0) << qint64(0);
        QTest::newRow("null int output") << QVariant(QMetaType::fromType<int>()) << qint64(0)
                                         << qint64(0);
        QTest::newRow("blanks around") << QVariant(" 7 ") << qint64(7) << qint64(7);
        QTest::newRow("signed text") << QVariant("+5") << qint64(5) << qint64(5);
        QTest::newRow("int's lowest") << QVariant("-2147483648") << qint64(INT_MIN)
                                      << qint64(INT_MIN);
        QTest::newRow("text past int") << QVariant("2147483648") << failed << qint64(2147483648);
        QTest::newRow("text past int64") << QVariant("9223372036854775808") << failed << failed;
        QTest::newRow("float at 2^63") << QVariant(9223372036854775808.0) << failed << failed;
        QTest::newRow("exponent text") << QVariant("3e9") << failed << failed;
        QTest::newRow("letters") << QVariant("12a") << failed << failed;
        QTest::newRow("bit column") << QVariant(true) << qint64(1) << qint64(1);
        QTest::newRow("int64 past int") << QVariant(qint64(1) << 40) << failed << (qint64(1) << 40);
        QTest::newRow("not a number") << QVariant(std::nan("")) << failed << failed;
    }
    void wholeNumbers()
    {
        QFETCH(QVariant, value);
        QFETCH(qint64, asInt);
        QFETCH(qint64, asInt64);
        const std::optional<int> narrow = wholenumber::read<int>(value);
        const std::optional<qint64> wide = wholenumber::read<qint64>(value);
        QCOMPARE(narrow ? qint64(*narrow) : qint64(-1), asInt);
        QCOMPARE(wide ? *wide : qint64(-1), asInt64);
    }

    // A column read as a whole number reads the same through the shared query
    // and through a procedure component.
    void integerColumns_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("expected");
        QTest::newRow("blanks around") << " 12 " << true << 12;
        QTest::newRow("negative") << "-3" << true << -3;
        QTest::newRow("decimal without fraction") << "12.00" << true << 12;
        QTest::newRow("empty") << "" << true << 0;
        QTest::newRow("fraction") << "12.5" << false << 0;
        QTest::newRow("letters") << "12a" << false << 0;
    }
    void integerColumns()
    {
        QFETCH(QString, value);
        QFETCH(bool, valid);
        QFETCH(int, expected);
        TerminalFixture f;
        const std::string v = value.toStdString();
        auto answer = [v](Call&) { return Reply::rows(ResultSet::texts({"n"}).row({v})); };
        f.server().script("sp_KVR_Numero", answer);
        f.server().script("sp_KVR_ConsultaCatInventarioConteo", answer);

        auto& q = f.dm().Qr_Aux;
        q.run(f.dm().Cx, "EXECUTE sp_KVR_Numero");
        auto& sp = f.dm().sp_KVR_ConsultaCatInventarioConteo;
        sp.close();
        sp.setParam("@Estatus", 1);
        sp.open();
        if (valid) {
            QCOMPARE(q.integer("n"), expected);
            QCOMPARE(sp.integer("N"), expected);
        } else {
            QVERIFY_THROWS_EXCEPTION(DbError, q.integer("n"));
            QVERIFY_THROWS_EXCEPTION(DbError, sp.integer("n"));
        }
        QVERIFY_THROWS_EXCEPTION(DbError, sp.integer("otra"));
    }

    void commandsInterleaveOnOneConnection()
    {
        TerminalFixture f;
        f.server().script("sp_KVR_Varios", [](Call&) {
            Reply r = Reply::rows(ResultSet::texts({"N"}).row({"1"}).row({"2"}).row({"3"}));
            r.results.push_back(ResultSet::texts({"Otro"}).row({"x"}));
            return r;
        });
        f.server().script("sp_KVR_ObtieneIDProducto", [](Call&) {
            Reply r = Reply::rows(ResultSet::texts({"Serie"}).row({"S"}).row({"T"}));
            r.outputs["@id_producto"] = Value(5);
            return r;
        });
        auto& dm = f.dm();
        // A half-read answer on Cx must not stop the next command on Cx.
        dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Varios");
        auto& sp = dm.sp_KVR_ObtieneIDProducto;
        sp.close();
        sp.setParam("@Serie", "S");
        sp.open();
        SharedQuery grid;
        grid.run(dm.Cx, "EXECUTE sp_KVR_Varios");
        QCOMPARE(grid.takeRows().size(), 3);
        sp.execProc();
        QCOMPARE(sp.output("@id_producto").toInt(), 5);
        dm.Qr_Aux.next();
        QCOMPARE(dm.Qr_Aux.text("N"), QStringLiteral("2"));
        dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
        QCOMPARE(dm.Qr_Aux.text("ID_Persona"), QStringLiteral("1"));
    }

    void serverErrorLeavesConnectionUsable()
    {
        TerminalFixture f;
        f.server().script("sp_KVR_Falla",
                          [](Call&) { return Reply::fail("La tarima no existe", 50001); });
        auto& q = f.dm().Qr_Aux;
        const int opened = f.dm().Cx.timesOpened();
        try {
            q.run(f.dm().Cx, "EXECUTE sp_KVR_Falla 'P1'");
            QFAIL("a server error must raise");
        } catch (const DbError& e) {
            QCOMPARE(e.kind(), DbError::Kind::Server);
            QCOMPARE(e.text(), QStringLiteral("La tarima no existe"));
            QCOMPARE(e.nativeCode(), 50001);
        }
        try {
            q.run(f.dm().Cx, "EXECUTE sp_KVR_NoExiste");
            QFAIL("an unknown procedure must raise");
        } catch (const DbError& e) {
            QCOMPARE(e.nativeCode(), 2812);
        }
        q.run(f.dm().Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
        QCOMPARE(q.text("ID_Persona"), QStringLiteral("1"));
        QCOMPARE(f.dm().Cx.timesOpened(), opened);
    }

    void storedProcedureInOut()
    {
        TerminalFixture f;
        std::vector<Argument> received;
        f.server().script("sp_KVR_ScaneoInventarioDet", [&](Call& c) {
            received = c.args;
            Reply r;
            r.outputs["@Error"] = Value(3);
            std::string accented;
            for (int i = 0; i < 499; ++i)
                accented += "ó";
            r.outputs["@ErrorDescripcion"] = Value(accented + "!");
            return r;
        });
        auto& sp = f.dm().sp_KVR_ScaneoInventarioDet;
        QCOMPARE(sp.procedureName(), QStringLiteral("sp_KVR_ScaneoInventarioDet;1"));
        sp.close();
        sp.setConnection(f.dm().Cx);
        sp.setParam("@id_personausuario", "7");
        sp.setParam("@id_inventarioconteo", 12);
        sp.setParam("@NombreAlmacen", "Almacén Norte");
        sp.setParam("@id_producto", 41);
        sp.setParam("@serie", "SER-0001");
        sp.setParam("@lote", "");
        sp.setParam("@IndCantidad", "");
        sp.execProc();

        QCOMPARE(sp.output("@Error").toInt(), 3);
        QCOMPARE(sp.output("@RETURN_VALUE").toInt(), 0);
        // The whole declared size comes back.
        QCOMPARE(sp.output("@ErrorDescripcion").toString(),
                 QString(499, QChar(u'ó')) + QLatin1Char('!'));
        // The ten parameters in list order (the return value is not an argument).
        QCOMPARE(received.size(), 10u);
        QCOMPARE(received[0].value.toInt().value_or(-1), 7);
        QCOMPARE(received[2].value.toText(), std::string("Almacén Norte"));
        QVERIFY(received[3].value.isNull()); // @id_localidad left unset
        QCOMPARE(received[5].value.toText(), std::string("SER-0001"));
        QCOMPARE(received[6].value, Value("")); // an empty text is not null
        QVERIFY(received[7].value.isNull());    // @IndCantidad set empty
        // The in/out pair nobody set reaches the procedure as no value, not
        // as the room bound for the answer.
        QVERIFY(received[8].output);
        QVERIFY(received[9].output);
        QVERIFY(received[8].value.isNull());
        QVERIFY(received[9].value.isNull());
    }

    void storedProcedureRowsThenOutputs()
    {
        TerminalFixture f;
        f.server().script("sp_KVR_ObtieneIDProducto", [](Call& c) {
            Reply r = Reply::rows(
                ResultSet::texts({"Serie"}).row({c.arg("@Serie").toText()}).row({"otra"}));
            if (c.arg("@Serie").toText() == "SER-9")
                r.outputs["@id_producto"] = Value(123456789);
            return r;
        });
        auto& sp = f.dm().sp_KVR_ObtieneIDProducto;
        sp.close();
        sp.setParam("@Serie", "SER-9");
        sp.open();
        QCOMPARE(sp.text("Serie"), QStringLiteral("SER-9"));
        QVERIFY_THROWS_EXCEPTION(DbError, sp.text("Nada"));
        sp.next();
        sp.next();
        QVERIFY(sp.eof());
        QCOMPARE(sp.output("@id_producto").toLongLong(), 123456789LL);

        sp.close();
        sp.setParam("@Serie", "SER-1");
        sp.execProc();
        // A NULL output reads as 0: the driver reports every numeric output
        // null, so isNull() tells nothing.
        QCOMPARE(sp.output("@id_producto").toString(), QStringLiteral("0"));

        // An in/out text the procedure leaves alone reads back empty, not as the padding it went
        // out with.
        f.server().script("sp_KVR_ScaneoInventarioRegConteo", [](Call&) { return Reply{}; });
        auto& reg = f.dm().sp_KVR_ScaneoInventarioRegConteo;
        reg.setParam("@inv_referencia", "INV-1");
        reg.execProc();
        QCOMPARE(reg.output("@ErrorDescripcion").toString(), QString());
    }

    void valuesTheLinkCannotCarry_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("declaredSize");
        QTest::newRow("outside code page") << QStringLiteral("Łódź") << 0;
        QTest::newRow("emoji") << QString::fromUtf8("caja \xF0\x9F\x93\xA6") << 0;
        QTest::newRow("NUL") << QStringLiteral("A") + QChar(u'\0') + QStringLiteral("B") << 0;
        QTest::newRow("longer than declared") << QString(31, QLatin1Char('L')) << 30;
    }
    void valuesTheLinkCannotCarry()
    {
        QFETCH(QString, value);
        QFETCH(int, declaredSize);
        TerminalFixture f;
        f.server().script("sp_KVR_ScaneoInventarioDet", [](Call&) { return Reply{}; });
        auto& sp = f.dm().sp_KVR_ScaneoInventarioDet;
        sp.close();
        try {
            sp.setParam(declaredSize == 30 ? "@id_localidad" : "@serie", value);
            sp.execProc();
            QFAIL("the value must be refused");
        } catch (const DbError& e) {
            QCOMPARE(e.kind(), DbError::Kind::Conversion);
        }
        QVERIFY(commandsFor(f.server(), "sp_kvr_scaneoinventariodet").empty());

        // Accents of the code page are fine.
        sp.setParam("@serie", "Velmór-Ñ");
        sp.setParam("@id_localidad", QString(30, QLatin1Char('L')));
        sp.execProc();
        QCOMPARE(commandsFor(f.server(), "sp_kvr_scaneoinventariodet").size(), 1u);

        QVERIFY_THROWS_EXCEPTION(DbError,
                                 f.dm().Qr_Aux.run(f.dm().Cx, "EXECUTE sp_KVR_Persona 'a" +
                                                                  QString(QChar(u'\0')) + "','b'"));
        QVERIFY_THROWS_EXCEPTION(DbError, sp.setParam("@IndCantidad", "uno"));
        QVERIFY_THROWS_EXCEPTION(DbError, sp.setParam("@IndCantidad", 2.5));
        QVERIFY_THROWS_EXCEPTION(DbError, sp.setParam("@IndCantidad", "3000000000"));
        QVERIFY_THROWS_EXCEPTION(DbError, sp.setParam("@NoDeclarado", 1));
    }

    void connectionsAndTheirCatalogues()
    {
        TerminalFixture f;
        f.server().script("sp_KVR_Eco", echo);
        auto& dm = f.dm();
        QVERIFY(dm.Cx.isOpen());
        QCOMPARE(dm.CxUlmar.timesOpened(), 0);
        QCOMPARE(dm.CxNordaPavrel.timesOpened(), 0);

        f.clearJournal();
        dm.Qr_Aux.run(dm.CxUlmar, "EXECUTE sp_KVR_Eco 'u'");
        dm.Qr_Aux.run(dm.CxUlmar, "EXECUTE sp_KVR_Eco 'u2'");
        QCOMPARE(dm.CxUlmar.timesOpened(), 1);
        QCOMPARE(dm.CxNordaPavrel.timesOpened(), 0);
        // The next window's command goes through Cx again.
        dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Eco 'c'");
        const auto sent = commandsFor(f.server(), "sp_kvr_eco");
        QCOMPARE(sent.size(), 3u);
        QCOMPARE(sent[0].catalogue, std::string("KV_ULMAR"));
        QCOMPARE(sent[1].catalogue, std::string("KV_ULMAR"));
        QCOMPARE(sent[2].catalogue, std::string("KV_NORDA_PREVENTA"));

        QVERIFY(
            !dm.Cx.odbcConnectionString().endsWith(QStringLiteral("PWD=") + f.settings().password));
        // The installation's limits, in force on the driver as well.
        QCOMPARE(dm.Cx.commandTimeoutSeconds(), 5000);
        QCOMPARE(dm.Cx.connectionTimeoutSeconds(), 5000);
        QVERIFY(dm.Cx.odbcConnectionString().contains(QStringLiteral(";Timeout=5000;")));
    }

    void passwordWithSeparators_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("carried");
        QTest::newRow("semicolon") << "a;b" << true;
        QTest::newRow("closing brace") << "a}b" << true;
        QTest::newRow("opening brace") << "{ab" << true;
        QTest::newRow("blank around") << " ab " << true;
        QTest::newRow("equals") << "a=b" << true;
        QTest::newRow("semicolon and closing brace") << "a;b}c" << true;
        QTest::newRow("ends in a brace") << "ab}" << true;
        QTest::newRow("braces and blanks") << " {x} ; " << true;
        QTest::newRow("closing brace before semicolon") << "a};b" << false;
    }
    void passwordWithSeparators()
    {
        QFETCH(QString, password);
        QFETCH(bool, carried);
        EmbeddedServer server;
        ServerOptions options;
        options.password = password.toStdString();
        server.start(options);
        ConnectionSettings s;
        s.port = server.port();
        s.password = QString::fromStdString(options.password);
        s.security.certificateSha256 = QString::fromStdString(server.certificateFingerprint());
        if (!carried) {
            // Refused before anything is sent, rather than logging in with a cut password.
            try {
                TDm_Velmor dm(s);
                QFAIL("the password cannot be carried and must be refused");
            } catch (const DbError& e) {
                QCOMPARE(e.kind(), DbError::Kind::Conversion);
            }
            QCOMPARE(server.openConnections(), 0);
            return;
        }
        TDm_Velmor dm(s);
        dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
        QCOMPARE(dm.Qr_Aux.text("ID_Persona"), QStringLiteral("1"));
    }

    void unreachableServerFailsAtCreation()
    {
        int port = 0;
        {
            EmbeddedServer server;
            server.start();
            port = server.port();
        }
        ConnectionSettings s;
        s.port = port;
        try {
            TDm_Velmor dm(s);
            QFAIL("the module must not come up without its main connection");
        } catch (const DbError& e) {
            QCOMPARE(e.kind(), DbError::Kind::ConnectionLost);
        }
        QVERIFY(Dm_Velmor == nullptr);
    }

    // A component's call stays prepared from one call to the next: each call
    // must still carry its own values and read its own outputs, and whatever
    // happened to the link in between must cost exactly the call it hit.
    void procedureCallsInTurnOverOneLink_data()
    {
        QTest::addColumn<QString>("between");
        QTest::addColumn<bool>("secondRaises");
        QTest::addColumn<int>("kind");
        QTest::newRow("nothing") << "nothing" << false << 0;
        QTest::newRow("server refuses the second call")
            << "refuse" << true << int(DbError::Kind::Server);
        QTest::newRow("link dropped, the call finds it")
            << "drop" << true << int(DbError::Kind::ConnectionLost);
        QTest::newRow("link dropped, a query finds it and reopens") << "query" << false << 0;
        QTest::newRow("server restarted")
            << "restart" << true << int(DbError::Kind::ConnectionLost);
    }
    void procedureCallsInTurnOverOneLink()
    {
        QFETCH(QString, between);
        QFETCH(bool, secondRaises);
        QFETCH(int, kind);
        TerminalFixture f;
        auto& dm = f.dm();
        auto script = [&f] {
            f.server().script("sp_KVR_ScaneoInventarioDet", [](Call& c) {
                const std::string serie = c.arg("@serie").toText();
                if (serie == "REHUSADA")
                    return Reply::fail("Serie rehusada");
                Reply r;
                r.outputs["@Error"] = Value(static_cast<int>(serie.size()));
                r.outputs["@ErrorDescripcion"] = Value("Registrada " + serie);
                return r;
            });
        };
        script();
        auto& sp = dm.sp_KVR_ScaneoInventarioDet;
        auto scan = [&](const QString& serie, int count) {
            sp.close();
            sp.setParam("@id_personausuario", 7);
            sp.setParam("@id_inventarioconteo", count);
            sp.setParam("@NombreAlmacen", "Almacén Norte");
            sp.setParam("@id_localidad", "B-01-01");
            sp.setParam("@id_producto", 41);
            sp.setParam("@serie", serie);
            sp.setParam("@lote", "");
            sp.setParam("@IndCantidad", 1);
            sp.execProc();
        };
        scan("PRIMERA", 1);
        QCOMPARE(sp.output("@ErrorDescripcion").toString(), QStringLiteral("Registrada PRIMERA"));
        const int opened = dm.Cx.timesOpened();

        if (between == "drop" || between == "query") {
            f.server().dropConnections();
        } else if (between == "restart") {
            ServerOptions options = f.server().options();
            options.port = f.server().port();
            f.server().stop();
            f.server().start(options);
            script();
        }
        if (between == "query") {
            QVERIFY_THROWS_EXCEPTION(DbError,
                                     dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Persona 'a','b'"));
            dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
        }
        f.server().clearJournal();

        try {
            scan(between == "refuse" ? "REHUSADA" : "SEGUNDA", 2);
            QVERIFY(!secondRaises);
            QCOMPARE(sp.output("@Error").toInt(), 7);
            QCOMPARE(sp.output("@ErrorDescripcion").toString(),
                     QStringLiteral("Registrada SEGUNDA"));
        } catch (const DbError& e) {
            QVERIFY2(secondRaises, qPrintable(e.text()));
            QCOMPARE(int(e.kind()), kind);
        }

        scan("TERCERA-B", 3);
        QCOMPARE(sp.output("@Error").toInt(), 9);
        QCOMPARE(sp.output("@ErrorDescripcion").toString(), QStringLiteral("Registrada TERCERA-B"));
        const auto sent = commandsFor(f.server(), "sp_kvr_scaneoinventariodet");
        const std::size_t reached = between == "refuse" ? 2u : (secondRaises ? 1u : 2u);
        QCOMPARE(sent.size(), reached);
        QCOMPARE(sent.back().args.at(1).toText(), std::string("3"));
        QCOMPARE(sent.back().args.at(5).toText(), std::string("TERCERA-B"));
        const bool reopened = between == "drop" || between == "query" || between == "restart";
        QCOMPARE(dm.Cx.timesOpened(), opened + (reopened ? 1 : 0));
    }

    void lostLinkReopensWithoutResending_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::newRow("connections dropped") << false;
        QTest::newRow("server restarted") << true;
    }
    void lostLinkReopensWithoutResending()
    {
        QFETCH(bool, restart);
        TerminalFixture f;
        auto& dm = f.dm();
        auto& q = dm.Qr_Aux;
        q.run(dm.Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
        const int opened = dm.Cx.timesOpened();

        if (restart) {
            ServerOptions options = f.server().options();
            options.port = f.server().port();
            f.server().stop();
            f.server().start(options);
        } else {
            f.server().dropConnections();
        }
        f.server().clearJournal();

        try {
            q.run(dm.Cx, "EXECUTE sp_KVR_Persona 'perdido','x'");
            QFAIL("a command on a dead link must raise");
        } catch (const DbError& e) {
            QCOMPARE(e.kind(), DbError::Kind::ConnectionLost);
            QVERIFY(e.text().contains(QStringLiteral("Cx")));
        }
        q.run(dm.Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
        QCOMPARE(q.text("ID_Persona"), QStringLiteral("1"));
        QCOMPARE(dm.Cx.timesOpened(), opened + 1);
        const auto sent = commandsFor(f.server(), "sp_kvr_persona");
        QCOMPARE(sent.size(), 1u);
        QCOMPARE(sent[0].args.at(0).toText(), std::string("demo"));
    }
};

QTEST_MAIN(TestDataModule)
#include "tst_datamodule.moc"
