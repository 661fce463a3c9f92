// The procedure host and its storage, without the wire: name resolution,
// scripts, failures turned into replies, value conversions, transactions and
// the login procedure on the demo data.
#include "server/AsciiCase.h"
#include "server/Database.h"
#include "server/EmbeddedServer.h"
#include "server/PasswordHash.h"
#include "server/ProcedureHost.h"
#include "server/password/Scheme.h"

#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <limits>
#include <stdexcept>
#include <unistd.h>

using namespace lectora::server;

Q_DECLARE_METATYPE(Value)

namespace lectora::server
{
void registerLogin(ProcedureRegistry&);
void seedLogin(Database&, std::string_view catalogue);
} // namespace lectora::server

namespace
{

Procedure named(const std::string& name, const std::string& answer,
                std::vector<std::string> params = {})
{
    return Procedure{name, std::move(params), [answer](Call&) {
                         return Reply::rows(ResultSet::texts({"Answer"}).row({answer}));
                     }};
}

std::string answerOf(const Reply& r)
{
    if (r.error || r.results.empty() || r.results[0].rows.empty())
        return "<none>";
    return r.results[0].rows[0][0].toText();
}

Call callOf(const std::string& name, std::vector<Value> values = {})
{
    Call c;
    c.procedure = name;
    c.catalogue = "KV_NORDA_PREVENTA";
    for (auto& v : values)
        c.args.push_back(Argument{{}, std::move(v), false});
    return c;
}

} // namespace

class TestProcedureHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void key_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("key");
        QTest::newRow("plain") << "sp_KVR_Persona"
                               << "sp_kvr_persona";
        QTest::newRow("group") << "sp_KVR_ObtieneIDProducto;1"
                               << "sp_kvr_obtieneidproducto";
        QTest::newRow("schema") << "dbo.sp_KVR_Persona"
                                << "sp_kvr_persona";
        QTest::newRow("brackets") << "[dbo].[sp_KVR_Persona];1"
                                  << "sp_kvr_persona";
        QTest::newRow("three parts") << "KV_ULMAR.dbo.sp_Kvr_Valida"
                                     << "sp_kvr_valida";
        QTest::newRow("dot in brackets") << "[odd.name]"
                                         << "odd.name";
    }
    void key()
    {
        QFETCH(QString, name);
        QFETCH(QString, key);
        QCOMPARE(QString::fromStdString(ProcedureRegistry::key(name.toStdString())), key);
    }

    // Names and codes fold A-Z only: a byte of a UTF-8 letter never matches
    // another, whatever the locale would say of it.
    void caseFolding_data()
    {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<bool>("equal");
        QTest::newRow("letters") << QByteArray("MESA-01") << QByteArray("mesa-01") << true;
        QTest::newRow("mixed") << QByteArray("sp_KvR_X") << QByteArray("SP_kVr_x") << true;
        QTest::newRow("longer") << QByteArray("KV_ULMAR") << QByteArray("KV_ULMAR ") << false;
        QTest::newRow("not letters") << QByteArray("[@_]") << QByteArray("{`\x7f") << false;
        QTest::newRow("utf-8 n tilde") << QByteArray("\xc3\x91") << QByteArray("\xc3\xb1") << false;
        QTest::newRow("latin-1 bytes") << QByteArray("\xc9") << QByteArray("\xe9") << false;
    }
    void caseFolding()
    {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(bool, equal);
        QCOMPARE(equalsNoCase(a.toStdString(), b.toStdString()), equal);
        QCOMPARE(toLowerAscii(a.toStdString()) == toLowerAscii(b.toStdString()), equal);
        QCOMPARE(toUpperAscii(a.toStdString()) == toUpperAscii(b.toStdString()), equal);
    }

    void resolution()
    {
        ProcedureRegistry registry;
        registry.add(named("sp_KVR_ObtieneIDProducto", "builtin"));
        ProcedureHost host(registry, nullptr);

        for (const char* spelling : {"sp_KVR_ObtieneIDProducto;1", "SP_KVR_OBTIENEIDPRODUCTO",
                                     "dbo.sp_kvr_obtieneidproducto"}) {
            auto c = callOf(spelling);
            QCOMPARE(answerOf(host.run(c)), std::string("builtin"));
        }

        auto unknown = callOf("sp_KVR_NoExiste;1");
        const auto reply = host.run(unknown);
        QVERIFY(reply.error);
        QCOMPARE(reply.error->number, 2812);
        QCOMPARE(reply.error->severity, 16);
        QCOMPARE(reply.error->message,
                 std::string("Could not find stored procedure 'sp_KVR_NoExiste'."));
    }

    void scriptsOverrideAndGoAway()
    {
        ProcedureRegistry registry;
        registry.add(named("sp_KVR_Persona", "builtin", {"@Usuario", "@Password"}));
        ProcedureHost host(registry, nullptr);

        registry.script("SP_KVR_PERSONA;1", [](Call& c) {
            // The script inherits the built-in parameter names.
            return Reply::rows(ResultSet::texts({"Answer"}).row({c.arg("@password").toText()}));
        });
        auto c = callOf("sp_KVR_Persona", {"demo", "secret"});
        QCOMPARE(answerOf(host.run(c)), std::string("secret"));

        registry.unscript("sp_kvr_persona");
        auto again = callOf("sp_KVR_Persona");
        QCOMPARE(answerOf(host.run(again)), std::string("builtin"));

        registry.script("sp_KVR_Otro", [](Call&) { return Reply{}; });
        registry.clearScripts();
        auto gone = callOf("sp_KVR_Otro");
        QCOMPARE(host.run(gone).error->number, 2812);
    }

    void failuresBecomeReplies_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("runtime_error") << 0 << "boom";
        QTest::newRow("database error") << 1 << "no such table: Nada";
        QTest::newRow("not an exception") << 2 << "The procedure sp_KVR_Falla failed.";
        QTest::newRow("empty body") << 3 << "bad_function_call";
    }
    void failuresBecomeReplies()
    {
        QFETCH(int, kind);
        QFETCH(QString, message);
        Database db(":memory:", "KV_NORDA_PREVENTA");
        ProcedureRegistry registry;
        ProcedureBody body;
        if (kind == 0)
            body = [](Call&) -> Reply { throw std::runtime_error("boom"); };
        else if (kind == 1)
            body = [](Call& c) -> Reply { return Reply::rows(c.db->query("SELECT * FROM Nada")); };
        else if (kind == 2)
            body = [](Call&) -> Reply { throw 42; };
        registry.add(Procedure{"sp_KVR_Falla", {}, body});
        ProcedureHost host(registry, [&](std::string_view) { return &db; });

        auto c = callOf("sp_KVR_Falla");
        const auto reply = host.run(c);
        QVERIFY(reply.error);
        QVERIFY2(QString::fromStdString(reply.error->message).contains(message),
                 reply.error->message.c_str());
        QVERIFY(reply.error->severity >= 11);
        // The catalogue's lock was released despite the failure.
        QVERIFY(db.mutex().try_lock());
        db.mutex().unlock();
    }

    void callSeesNamesLockAndOutputs()
    {
        Database db(":memory:", "KV_NORDA_PREVENTA");
        ProcedureRegistry registry;
        bool lockedDuringCall = false;
        registry.add(Procedure{
            "sp_KVR_ObtieneIDProducto", {"@RETURN_VALUE", "@Serie", "@id_producto"}, [&](Call& c) {
                lockedDuringCall = !c.db->mutex().try_lock();
                if (!lockedDuringCall)
                    c.db->mutex().unlock();
                Reply r;
                if (c.arg("@Serie").toText() == "SER-1")
                    r.outputs["@ID_PRODUCTO"] = Value(41);
                return r;
            }});
        std::string asked;
        ProcedureHost host(registry, [&](std::string_view catalogue) {
            asked = std::string(catalogue);
            return &db;
        });

        Call c = callOf("sp_KVR_ObtieneIDProducto;1");
        c.args = {
            {{}, Value(), true}, {{}, "SER-1", false}, {{}, Value(), true}, {{}, "extra", false}};
        auto reply = host.run(c);
        QCOMPARE(asked, std::string("KV_NORDA_PREVENTA"));
        QVERIFY(lockedDuringCall);
        QCOMPARE(c.args[1].name, std::string("@Serie"));
        QVERIFY(c.args[3].name.empty());
        // Set outputs come back under the declared spelling, unset ones as sent.
        QCOMPARE(reply.outputs.count("@id_producto"), 1u);
        QCOMPARE(reply.outputs["@id_producto"], Value(41));
        QCOMPARE(reply.outputs.count("@ID_PRODUCTO"), 0u);
        QVERIFY(reply.outputs.at("@RETURN_VALUE").isNull());

        Call other = callOf("sp_KVR_ObtieneIDProducto");
        other.args = {{{}, Value(), true}, {{}, "SER-2", false}, {{}, Value(7), true}};
        QCOMPARE(host.run(other).outputs.at("@id_producto"), Value(7));
    }

    // Arguments bind to the declared parameters by position, or by name in
    // any order and letter case; what SQL Server refuses is refused alike.
    void argumentsBindByName_data()
    {
        QTest::addColumn<QStringList>("args"); // "@name=value" or "value"
        QTest::addColumn<QString>("expected"); // @a|@b|@c as the body sees them, or the error
        QTest::newRow("by position") << QStringList{"1", "2", "3"} << "1|2|3";
        QTest::newRow("named, reversed") << QStringList{"@c=3", "@b=2", "@a=1"} << "1|2|3";
        QTest::newRow("position, then names") << QStringList{"1", "@C=3"} << "1||3";
        QTest::newRow("unknown name") << QStringList{"@a=1", "@d=4"} << "error:8145";
        QTest::newRow("given twice") << QStringList{"1", "@a=1"} << "error:8143";
        QTest::newRow("position after a name") << QStringList{"@b=2", "1"} << "error:119";
    }
    void argumentsBindByName()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        ProcedureRegistry registry;
        registry.add(Procedure{"sp_Tres", {"@a", "@b", "@c"}, [](Call& c) {
                                   return Reply::rows(ResultSet::texts({"v"}).row(
                                       {c.text(0) + "|" + c.text(1) + "|" + c.text(2)}));
                               }});
        ProcedureHost host(registry, nullptr);
        Call c = callOf("sp_Tres");
        for (const QString& a : args) {
            const auto eq = a.indexOf('=');
            c.args.push_back(Argument{eq < 0 ? std::string() : a.left(eq).toStdString(),
                                      Value(a.mid(eq + 1).toStdString()), false});
        }
        const Reply reply = host.run(c);
        QCOMPARE(reply.error ? QStringLiteral("error:%1").arg(reply.error->number)
                             : QString::fromStdString(answerOf(reply)),
                 expected);
    }

    void toText_data()
    {
        QTest::addColumn<Value>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("null") << Value() << "";
        QTest::newRow("int") << Value(42) << "42";
        QTest::newRow("negative") << Value(std::int64_t{-9000000000}) << "-9000000000";
        QTest::newRow("real") << Value(2.5) << "2.5";
        QTest::newRow("whole real") << Value(3.0) << "3";
        QTest::newRow("six digits") << Value(3.14159265) << "3.14159";
        QTest::newRow("large real") << Value(123456789.0) << "1.23457e+008";
        QTest::newRow("text kept as is") << Value(" 3 ") << " 3 ";
    }
    void toText()
    {
        QFETCH(Value, value);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(value.toText()), text);
    }

    void toInt_data()
    {
        QTest::addColumn<Value>("value");
        QTest::addColumn<bool>("converts");
        QTest::addColumn<qint64>("number");
        QTest::newRow("null") << Value() << true << qint64(0);
        QTest::newRow("int") << Value(7) << true << qint64(7);
        QTest::newRow("real truncates") << Value(-3.9) << true << qint64(-3);
        QTest::newRow("padded text") << Value("  12 ") << true << qint64(12);
        QTest::newRow("signed text") << Value("-5") << true << qint64(-5);
        QTest::newRow("plus sign") << Value("+5") << true << qint64(5);
        QTest::newRow("empty text") << Value("") << true << qint64(0);
        QTest::newRow("blank text") << Value("   ") << true << qint64(0);
        QTest::newRow("leading zero") << Value("007") << true << qint64(7);
        QTest::newRow("decimal text") << Value("3.0") << false << qint64(0);
        QTest::newRow("letters") << Value("12a") << false << qint64(0);
        QTest::newRow("inner blank") << Value("1 2") << false << qint64(0);
        QTest::newRow("bare sign") << Value("-") << false << qint64(0);
        QTest::newRow("max") << Value("9223372036854775807") << true
                             << qint64(9223372036854775807LL);
        QTest::newRow("min") << Value("-9223372036854775808") << true
                             << std::numeric_limits<qint64>::min();
        QTest::newRow("overflow") << Value("9223372036854775808") << false << qint64(0);
    }
    void toInt()
    {
        QFETCH(Value, value);
        QFETCH(bool, converts);
        QFETCH(qint64, number);
        const auto n = value.toInt();
        QCOMPARE(n.has_value(), converts);
        if (converts)
            QCOMPARE(qint64(*n), number);
    }

    void transactions()
    {
        Database db(":memory:", "KV_NORDA_PREVENTA");
        db.exec("CREATE TABLE Mov (Id INTEGER PRIMARY KEY, Serie TEXT NOT NULL)");

        QVERIFY_THROWS_EXCEPTION(std::runtime_error, db.transaction([&] {
            db.query("INSERT INTO Mov (Serie) VALUES (?1)", {"A"});
            db.query("INSERT INTO Mov (Serie) VALUES (?1)", {Value()}); // NOT NULL fails
        }));
        QCOMPARE(db.scalar("SELECT count(*) FROM Mov"), Value(0));

        // An inner failure caught by the outer work undoes only the inner part.
        db.transaction([&] {
            db.query("INSERT INTO Mov (Serie) VALUES (?1)", {"outer"});
            try {
                db.transaction([&] {
                    db.query("INSERT INTO Mov (Serie) VALUES (?1)", {"inner"});
                    throw std::runtime_error("inner");
                });
            } catch (const std::runtime_error&) {
            }
        });
        auto rows = db.query("SELECT Serie FROM Mov");
        QCOMPARE(rows.rows.size(), 1u);
        QCOMPARE(rows.rows[0][0], Value("outer"));

        // After a rollback the handle takes new transactions.
        db.transaction([&] { db.query("INSERT INTO Mov (Serie) VALUES (?1)", {"next"}); });
        QCOMPARE(db.scalar("SELECT count(*) FROM Mov"), Value(2));
    }

    void queryBindsValuesAndTypesColumns()
    {
        Database db(":memory:", "KV_NORDA_PREVENTA");
        db.exec("CREATE TABLE T (Txt TEXT, N INTEGER, R REAL, Mixed)");
        const std::string hostile = "x'); DROP TABLE T; --";
        db.query("INSERT INTO T VALUES (?1, ?2, ?3, ?4)", {hostile, 5, 1.5, "a"});
        db.query("INSERT INTO T VALUES (?1, ?2, ?3, ?4)", {"b", Value(), 2.0, 9});
        QCOMPARE(db.changes(), 1);

        auto rs = db.query("SELECT Txt, N, R, Mixed FROM T ORDER BY rowid");
        QCOMPARE(rs.rows.size(), 2u);
        QCOMPARE(rs.rows[0][0], Value(hostile));
        QCOMPARE(rs.columns[1].type, ColumnType::Int);
        QCOMPARE(rs.columns[2].type, ColumnType::Float);
        QCOMPARE(rs.columns[3].type, ColumnType::Text);
        QCOMPARE(rs.rows[1][3], Value("9"));
        QVERIFY(rs.rows[1][1].isNull());

        auto empty = db.query("SELECT N FROM T WHERE 0");
        QCOMPARE(empty.columns[0].type, ColumnType::Int);

        QVERIFY_THROWS_EXCEPTION(DatabaseError, db.query("SELECT 1; SELECT 2"));
        QVERIFY_THROWS_EXCEPTION(DatabaseError, db.query("SELEC 1"));
        // A failed query leaves the cached statement reusable.
        QVERIFY_THROWS_EXCEPTION(DatabaseError,
                                 db.query("INSERT INTO T (Txt) VALUES (?1)", {1, 2}));
        QCOMPARE(db.scalar("SELECT count(*) FROM T WHERE Txt = ?1", {"b"}), Value(1));

        // Many distinct texts (past the statement cache's bound) keep working.
        for (int i = 0; i < 600; ++i)
            QCOMPARE(db.scalar("SELECT " + std::to_string(i) + " + ?1", {1}), Value(i + 1));
        QCOMPARE(db.scalar("SELECT count(*) FROM T WHERE Txt = ?1", {"b"}), Value(1));
    }

    void databaseFile()
    {
        QVERIFY_THROWS_EXCEPTION(DatabaseError, Database("/nonexistent-dir/x/y.db", "KV_ULMAR"));
        const auto dir =
            std::filesystem::temp_directory_path() / ("lectora-host-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        {
            Database db(dir / "KV_ULMAR.db", "KV_ULMAR");
            QCOMPARE(db.scalar("PRAGMA journal_mode"), Value("wal"));
            QCOMPARE(db.scalar("PRAGMA synchronous"), Value(1));
            db.transaction([&] { db.exec("CREATE TABLE K (v); INSERT INTO K VALUES (1)"); });
        }
        {
            Database again(dir / "KV_ULMAR.db", "KV_ULMAR");
            QCOMPARE(again.scalar("SELECT v FROM K"), Value(1));
        }
        std::filesystem::remove_all(dir);
    }

    void login_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("id");
        QTest::newRow("demo") << "demo"
                              << "demo"
                              << "1";
        QTest::newRow("user case ignored") << "DEMO"
                                           << "demo"
                                           << "1";
        QTest::newRow("password case kept") << "demo"
                                            << "DEMO"
                                            << "";
        QTest::newRow("wrong password") << "demo"
                                        << "x"
                                        << "";
        QTest::newRow("accented password") << "almacen"
                                           << "Velmór2"
                                           << "2";
        QTest::newRow("inactive operator") << "baja"
                                           << "baja"
                                           << "";
        QTest::newRow("injection is just a name") << "demo' OR '1'='1"
                                                  << "demo"
                                                  << "";
    }
    void login()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, id);
        Database db(":memory:", "KV_NORDA_PREVENTA");
        db.transaction([&] { seedLogin(db, "KV_NORDA_PREVENTA"); });
        ProcedureRegistry registry;
        registerLogin(registry);
        ProcedureHost host(registry, [&](std::string_view) { return &db; });

        auto c = callOf("sp_KVR_Persona", {user.toStdString(), password.toStdString()});
        const auto reply = host.run(c);
        QVERIFY(!reply.error);
        QCOMPARE(reply.results.size(), 1u);
        QCOMPARE(reply.results[0].columns.at(0).name, std::string("ID_Persona"));
        if (id.isEmpty())
            QVERIFY(reply.results[0].rows.empty());
        else
            QCOMPARE(QString::fromStdString(answerOf(reply)), id);
    }

    void loginArgumentCount()
    {
        ProcedureRegistry registry;
        registerLogin(registry);
        ProcedureHost host(registry, nullptr);
        auto one = callOf("sp_KVR_Persona", {"demo"});
        QCOMPARE(host.run(one).error->number, 201);
        auto three = callOf("sp_KVR_Persona", {"demo", "demo", "x"});
        QCOMPARE(host.run(three).error->number, 8144);
    }

    void seedIsDeterministic()
    {
        auto dump = [] {
            Database db(":memory:", "KV_NORDA_PREVENTA");
            db.transaction([&] { seedLogin(db, "KV_NORDA_PREVENTA"); });
            db.transaction(
                [&] { seedLogin(db, "KV_NORDA_PREVENTA"); }); // a second run changes nothing
            auto rs = db.query("SELECT * FROM Persona ORDER BY ID_Persona");
            std::string all;
            for (auto& row : rs.rows)
                for (auto& v : row)
                    all += v.toText() + "|";
            return all;
        };
        const auto first = dump();
        const auto demo = first.find("|demo|") + 6;
        QVERIFY2(password::isCurrent(first.substr(demo, first.find('|', demo) - demo)),
                 first.c_str());
        QCOMPARE(dump(), first);
    }

    // Named arguments bind by name in any order; the password is a declared
    // secret under its name and at its position.
    void loginBindsByName()
    {
        Database db(":memory:", "KV_NORDA_PREVENTA");
        db.transaction([&] { seedLogin(db, "KV_NORDA_PREVENTA"); });
        ProcedureRegistry registry;
        registerLogin(registry);
        ProcedureHost host(registry, [&](std::string_view) { return &db; });
        Call c;
        c.procedure = "sp_KVR_Persona";
        c.args = {Argument{"@Password", Value("demo"), false},
                  Argument{"@usuario", Value("demo"), false}};
        QCOMPARE(QString::fromStdString(answerOf(host.run(c))), QStringLiteral("1"));
        QVERIFY(registry.isSecret("sp_KVR_Persona;1", 1, ""));
        QVERIFY(registry.isSecret("dbo.sp_kvr_persona", 0, "@PASSWORD"));
        QVERIFY(!registry.isSecret("sp_KVR_Persona", 1, "@Usuario"));
        registry.script("sp_KVR_Persona", [](Call&) { return Reply{}; });
        QVERIFY2(registry.isSecret("sp_KVR_Persona", 1, ""), "a script keeps the secret");
    }

    // A catalogue made before passwords were hashed: every plain password
    // is replaced by its hash at start, and the operators log in as before.
    void plainPasswordsAreUpgraded()
    {
        QTemporaryDir dir;
        const std::filesystem::path file = dir.filePath("KV_NORDA_PREVENTA.sqlite").toStdString();
        {
            Database old(file, "KV_NORDA_PREVENTA");
            old.exec("CREATE TABLE Persona (ID_Persona INTEGER PRIMARY KEY, Usuario TEXT NOT NULL"
                     " UNIQUE COLLATE NOCASE, Contrasena TEXT NOT NULL, Nombre TEXT NOT NULL,"
                     " Activo INTEGER NOT NULL DEFAULT 1);"
                     "INSERT INTO Persona VALUES (1, 'demo', 'demo', 'x', 1),"
                     " (9, 'turno', 'Noche-9', 'y', 1); PRAGMA user_version = 1;");
        }
        ServerOptions options;
        options.dataDir = dir.path().toStdString();
        EmbeddedServer server;
        server.start(options);
        Database& db = server.catalogue("KV_NORDA_PREVENTA");
        for (const auto& row : db.query("SELECT Contrasena FROM Persona").rows)
            QVERIFY2(password::isCurrent(row[0].toText()), row[0].toText().c_str());
        ProcedureHost host(server.procedures(), [&](std::string_view) { return &db; });
        auto c = callOf("sp_KVR_Persona", {"turno", "Noche-9"});
        QCOMPARE(QString::fromStdString(answerOf(host.run(c))), QStringLiteral("9"));
    }

    // A hash in the older PBKDF2 form still lets its operator in, and is
    // written in the current form by that login: not at start, not by a
    // wrong password. A current hash stays as it is.
    void olderHashesAreRewrittenAtLogin()
    {
        QTemporaryDir dir;
        const std::string older = password::pbkdf2().make("Noche-9");
        {
            Database old(dir.filePath("KV_NORDA_PREVENTA.sqlite").toStdString(),
                         "KV_NORDA_PREVENTA");
            seedLogin(old, "KV_NORDA_PREVENTA");
            old.query("UPDATE Persona SET Contrasena = ?1 WHERE ID_Persona = 2", {older});
            old.exec("PRAGMA user_version = 1;");
        }
        ServerOptions options;
        options.dataDir = dir.path().toStdString();
        EmbeddedServer server;
        server.start(options);
        Database& db = server.catalogue("KV_NORDA_PREVENTA");
        auto stored = [&](int id) {
            return db.scalar("SELECT Contrasena FROM Persona WHERE ID_Persona = ?1", {id}).toText();
        };
        const std::string demo = stored(1);
        QCOMPARE(stored(2), older);
        ProcedureHost host(server.procedures(), [&](std::string_view) { return &db; });
        auto login = [&](const char* user, const char* plain) {
            auto c = callOf("sp_KVR_Persona", {user, plain});
            return QString::fromStdString(answerOf(host.run(c)));
        };
        const QString refused = QStringLiteral("<none>");
        QCOMPARE(login("almacen", "Noche-8"), refused);
        QCOMPARE(stored(2), older);
        QCOMPARE(login("almacen", "Noche-9"), QStringLiteral("2"));
        const std::string rewritten = stored(2);
        QVERIFY2(password::isCurrent(rewritten) && !password::isCurrent(older), rewritten.c_str());
        QVERIFY(password::matches("Noche-9", rewritten));
        QCOMPARE(login("almacen", "Noche-9"), QStringLiteral("2"));
        QCOMPARE(login("almacen", "noche-9"), refused);
        QCOMPARE(stored(2), rewritten);
        QCOMPARE(login("demo", "demo"), QStringLiteral("1"));
        QCOMPARE(stored(1), demo);
    }
};

QTEST_GUILESS_MAIN(TestProcedureHost)
#include "tst_procedurehost.moc"
