// The protocol layer without sockets: the batch parser, text
// encodings and whole sessions fed hand-built requests.
#include "server/Database.h"
#include "server/PasswordHash.h"
#include "server/ProcedureHost.h"
#include "server/tds/Batch.h"
#include "server/tds/Login.h"
#include "server/tds/Session.h"
#include "server/tds/Types.h"
#include "server/tds/Wire.h"
#include "tests/support/TdsRequests.h"

#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <sstream>

using namespace lectora::server;
using namespace lectora::server::tds;

Q_DECLARE_METATYPE(std::vector<lectora::server::Value>)

namespace
{

// --- requests as a client builds them -------------------------------------------

std::string utf16(std::string_view s)
{
    return utf8ToUtf16le(s);
}

std::string allHeaders()
{
    Writer w;
    w.u32le(22);
    w.u32le(18);
    w.u16le(2);
    w.bytes(std::string(8, '\0'));
    w.u32le(1);
    return std::move(w.data());
}

std::string batch(std::string_view text)
{
    return allHeaders() + utf16(text);
}

struct Param {
    std::string name;
    bool output;
    std::string typeAndValue; // TYPE_INFO then the value, as raw bytes
};

std::string rpc(const std::string& procedure, const std::vector<Param>& params)
{
    Writer w;
    w.bytes(allHeaders());
    w.usVarchar(procedure);
    w.u16le(0);
    for (const auto& p : params) {
        w.bVarchar(p.name);
        w.u8(p.output ? 1 : 0);
        w.bytes(p.typeAndValue);
    }
    return std::move(w.data());
}

std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

// An nvarchar(4000) parameter's TYPE_INFO and value.
std::string nvarchar(std::string_view text)
{
    const std::string w = utf16(text);
    return bytes({0xE7, 0x40, 0x1F, 9, 4, 0xD0, 0, 0x34}) +
           bytes({int(w.size() & 0xff), int(w.size() >> 8)}) + w;
}

// An RPC for a system procedure by its number (10 is sp_executesql).
std::string rpcById(int id, const std::vector<Param>& params)
{
    std::string r = rpc("x", params);
    r.replace(22, 4, bytes({0xFF, 0xFF, id, 0}));
    return r;
}

// --- replies as a client reads them ----------------------------------------------

struct Token {
    int id = 0;
    int status = 0; // DONE family
    std::uint64_t count = 0;
    int number = 0;   // ERROR / INFO
    std::string text; // ERROR / INFO message, RETURNVALUE name
    TypeInfo type;    // RETURNVALUE
    Value value;      // RETURNVALUE / RETURNSTATUS
    std::vector<std::vector<Value>> rows;
};

std::vector<Token> tokens(const std::string& framed)
{
    Deframer d;
    d.append(framed);
    auto message = d.next();
    if (!message)
        throw std::runtime_error("no whole reply");
    Reader in(message->payload);
    std::vector<Token> out;
    std::vector<TypeInfo> columns;
    while (!in.atEnd()) {
        Token t;
        t.id = in.u8();
        switch (t.id) {
        case 0xFD:
        case 0xFE:
        case 0xFF:
            t.status = in.u16le();
            in.u16le();
            t.count = in.u64le();
            break;
        case 0xAA:
        case 0xAB: {
            in.u16le();
            t.number = static_cast<int>(in.u32le());
            in.u8();
            in.u8();
            t.text = in.usVarchar();
            in.bVarchar();
            in.bVarchar();
            in.u32le();
            break;
        }
        case 0x79:
            t.value = Value(static_cast<std::int64_t>(static_cast<std::int32_t>(in.u32le())));
            break;
        case 0xAC:
            in.u16le();
            t.text = in.bVarchar();
            in.u8();
            in.u32le();
            in.u16le();
            t.type = readTypeInfo(in);
            t.value = decodeValue(t.type, readValue(in, t.type));
            break;
        case 0x81: {
            columns.clear();
            const int n = in.u16le();
            for (int i = 0; i < n; ++i) {
                in.u32le();
                in.u16le();
                columns.push_back(readTypeInfo(in));
                t.text += (i ? "," : "") + in.bVarchar();
            }
            break;
        }
        case 0xD1: {
            std::vector<Value> row;
            for (const auto& c : columns)
                row.push_back(decodeValue(c, readValue(in, c)));
            if (!out.empty() && (out.back().id == 0x81 || out.back().id == 0xD1)) {
                out.back().rows.push_back(std::move(row));
                continue;
            }
            t.rows.push_back(std::move(row));
            break;
        }
        case 0xE3:
        case 0xAD:
            in.skip(in.u16le());
            break;
        default:
            throw std::runtime_error("unexpected token " + std::to_string(t.id));
        }
        out.push_back(std::move(t));
    }
    return out;
}

// The demo operator's password in the table of call forms: with a quote, so
// that it is written doubled in a literal.
constexpr const char* kSecret = "O'Velmór2";

std::string ids(const std::vector<Token>& ts)
{
    std::string s;
    for (const auto& t : ts) {
        if (t.id == 0xD1)
            continue;
        char buf[8];
        std::snprintf(buf, sizeof buf, "%s%02X", s.empty() ? "" : " ", t.id);
        s += buf;
    }
    return s;
}

} // namespace

class TdsProtocolTest : public QObject
{
    Q_OBJECT

    ProcedureRegistry m_registry;
    ProcedureHost m_host{m_registry, [](std::string_view) { return nullptr; }};
    Journal m_journal;

    Session loggedIn() { return loggedIn(m_registry, m_host, m_journal); }
    static Session loggedIn(ProcedureRegistry& registry, ProcedureHost& host, Journal& journal)
    {
        SessionContext c;
        c.login = "sa";
        c.password = "tolvexra";
        c.registry = &registry;
        c.host = &host;
        c.journal = &journal;
        c.resolveCatalogue = [](std::string_view db) {
            return db == "KV_ULMAR" ? std::string("KV_ULMAR") : std::string();
        };
        Session s(c, 9);
        auto o = s.handle({PacketType::Login7, login7Request("sa", "tolvexra", "KV_ULMAR")});
        if (o.close || !s.loggedIn())
            throw std::runtime_error("login failed");
        return s;
    }

private Q_SLOTS:
    void init()
    {
        m_registry.clearScripts();
        m_journal.clear();
    }

    void batchParser_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // kind:procedure|args or error number

        QTest::newRow("quoted, no blank") << "EXECUTE sp_KVR_Persona 'demo','demo'"
                                          << "call:sp_KVR_Persona|'demo','demo'";
        QTest::newRow("blank after comma") << "EXEC sp_x 'a', 'b'"
                                           << "call:sp_x|'a','b'";
        QTest::newRow("blank before comma") << "execute sp_x 'a' ,'b'"
                                            << "call:sp_x|'a','b'";
        QTest::newRow("blanks both sides, tabs") << "EXEC  sp_x\t'a' \t,\t 'b'  "
                                                 << "call:sp_x|'a','b'";
        QTest::newRow("doubled quote") << "EXEC sp_x 'it''s', ''''"
                                       << "call:sp_x|'it's','''";
        QTest::newRow("empty string") << "EXEC sp_x ''"
                                      << "call:sp_x|''";
        QTest::newRow("bare number is a number") << "EXEC sp_x 'a',7"
                                                 << "call:sp_x|'a',7";
        QTest::newRow("negative and decimal") << "EXEC sp_x -3, 1.5"
                                              << "call:sp_x|-3,1.5";
        QTest::newRow("bare word is text") << "EXEC sp_x A-01, X7"
                                           << "call:sp_x|'A-01','X7'";
        QTest::newRow("null") << "EXEC sp_x NULL, null"
                              << "call:sp_x|NULL,NULL";
        QTest::newRow("no arguments") << "EXEC sp_x"
                                      << "call:sp_x|";
        QTest::newRow("unicode literal") << "EXEC sp_x N'Velmór', 'Cíclico'"
                                         << "call:sp_x|'Velmór','Cíclico'";
        QTest::newRow("bare name first") << "sp_datatype_info_100 11"
                                         << "call:sp_datatype_info_100|11";
        QTest::newRow("brackets and group") << "EXEC [dbo].[sp_x];1 'a'"
                                            << "call:dbo.sp_x;1|'a'";
        QTest::newRow("named argument") << "EXEC sp_x @Serie = 'S-1'"
                                        << "call:sp_x|@Serie='S-1'";
        QTest::newRow("trailing semicolon") << "EXEC sp_x 'a';"
                                            << "call:sp_x|'a'";
        QTest::newRow("set") << "SET QUOTED_IDENTIFIER ON"
                             << "set";
        QTest::newRow("set lines")
            << "set textsize 2147483647\r\nset arithabort on\nset xact_abort off"
            << "set;set;set";
        QTest::newRow("two calls on lines") << "EXEC sp_a 1\nEXEC sp_b 'x'"
                                            << "call:sp_a|1;call:sp_b|'x'";
        QTest::newRow("line break inside quotes") << "EXEC sp_a 'x\ny'"
                                                  << "call:sp_a|'x\ny'";
        QTest::newRow("semicolon inside quotes") << "EXEC sp_a 'x;y'"
                                                 << "call:sp_a|'x;y'";
        QTest::newRow("blank batch") << "  \r\n\t "
                                     << "";
        QTest::newRow("empty argument") << "EXEC sp_x 'a',,'b'"
                                        << "error:102";
        QTest::newRow("trailing comma") << "EXEC sp_x 'a',"
                                        << "error:102";
        QTest::newRow("missing comma") << "EXEC sp_x 'a' 'b'"
                                       << "error:102";
        QTest::newRow("unclosed quote") << "EXEC sp_x 'abc"
                                        << "error:105";
        QTest::newRow("no procedure") << "EXEC "
                                      << "error:102";
        QTest::newRow("select") << "SELECT 1"
                                << "error:102";
        QTest::newRow("glued keyword") << "EXECsp_x 1"
                                       << "call:EXECsp_x|1";
        QTest::newRow("arguments over lines") << "EXEC sp_x\n  @a = 'a',\r\n  'b'\nEXEC sp_y"
                                              << "call:sp_x|@a='a','b';call:sp_y|";
        QTest::newRow("comments are blanks")
            << "EXEC sp_x /* 'no', /* nested */ */ 'a', -- 'b'\n'c'"
            << "call:sp_x|'a','c'";
        QTest::newRow("comment marks inside quotes") << "EXEC sp_x '--', '/*'"
                                                     << "call:sp_x|'--','/*'";
        QTest::newRow("unclosed comment") << "EXEC sp_x 'a' /* 'b'\nEXEC sp_y"
                                          << "error:113";
        QTest::newRow("error does not stop the next") << "EXEC sp_x 'a',\nEXEC sp_y"
                                                      << "error:102;call:sp_y|";
    }

    void batchParser()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QStringList got;
        for (const auto& st : parseBatch(text.toStdString())) {
            if (st.kind == Statement::Kind::Set) {
                got << "set";
            } else if (st.kind == Statement::Kind::Error) {
                got << QString("error:%1").arg(st.error.number);
            } else {
                QStringList args;
                for (const auto& a : st.args) {
                    QString v = a.value.isNull() ? "NULL"
                                : std::holds_alternative<std::string>(a.value.data)
                                    ? "'" + QString::fromStdString(a.value.toText()) + "'"
                                    : QString::fromStdString(a.value.toText());
                    args << (a.name.empty() ? "" : QString::fromStdString(a.name) + "=") + v;
                }
                got << QString("call:%1|%2")
                           .arg(QString::fromStdString(st.procedure), args.join(','));
            }
        }
        QCOMPARE(got.join(';'), expected);
    }

    void textEncodings()
    {
        const std::string accents = "Cíclico Contraseña Velmór €…";
        QCOMPARE(cp1252ToUtf8(utf8ToCp1252(accents)), accents);
        QCOMPARE(utf8ToCp1252("ñ€"), std::string("\xF1\x80"));
        QCOMPARE(utf8ToCp1252("日"), std::string("?"));
        const std::string astral = "a\U0001F600b";
        QCOMPARE(utf8ToUtf16le(astral).size(), std::size_t{8});
        QCOMPARE(utf16leToUtf8(utf8ToUtf16le(astral)), astral);
        // Broken input is replaced, never trusted.
        QCOMPARE(utf16leToUtf8(std::string("\x00\xD8", 2)), std::string("\xEF\xBF\xBD"));
        QCOMPARE(utf8ToUtf16le("\xC3"), std::string("\xFD\xFF", 2));
        // 'a' is 0x61: nibbles swapped 0x16, then XOR 0xA5.
        QCOMPARE(obfuscatePassword(std::string("a\0", 2)), std::string("\xB3\xA5", 2));
        QCOMPARE(deobfuscatePassword(obfuscatePassword(utf16("Contraseña"))), utf16("Contraseña"));
    }

    // A client's table lists VERSION before ENCRYPTION; a client that names
    // no ENCRYPTION cannot encrypt.
    void preLoginEncryptionOption_data()
    {
        QTest::addColumn<int>("sent"); // -1: no ENCRYPTION option
        QTest::addColumn<int>("read");
        QTest::newRow("none") << -1 << int(EncryptNotSupported);
        for (int v : {EncryptOff, EncryptOn, EncryptNotSupported, EncryptRequired})
            QTest::addRow("value %d", v) << v << v;
    }
    void preLoginEncryptionOption()
    {
        QFETCH(int, sent);
        QFETCH(int, read);
        const auto request = sent < 0 ? preLoginRequest() : preLoginRequest(std::uint8_t(sent));
        QCOMPARE(int(preLoginEncryption(request)), read);
    }

    void login_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("database");
        QTest::addColumn<int>("error"); // 0: logged in
        QTest::newRow("right pair") << "sa"
                                    << "tolvexra"
                                    << "KV_ULMAR" << 0;
        QTest::newRow("login name case-insensitive") << "SA"
                                                     << "tolvexra"
                                                     << "KV_ULMAR" << 0;
        QTest::newRow("password with the NUL Qt appends")
            << "sa" << QString("tolvexra") + QChar(0) << "KV_ULMAR" << 0;
        QTest::newRow("wrong password") << "sa"
                                        << "tolvexrA"
                                        << "KV_ULMAR" << 18456;
        QTest::newRow("wrong user") << "sb"
                                    << "tolvexra"
                                    << "KV_ULMAR" << 18456;
        QTest::newRow("empty password") << "sa"
                                        << ""
                                        << "KV_ULMAR" << 18456;
        QTest::newRow("unknown catalogue") << "sa"
                                           << "tolvexra"
                                           << "master" << 4060;
    }

    void login()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, database);
        QFETCH(int, error);
        SessionContext c;
        c.login = "sa";
        c.password = "tolvexra";
        c.registry = &m_registry;
        c.host = &m_host;
        c.resolveCatalogue = [](std::string_view db) {
            return db == "KV_ULMAR" ? std::string("KV_ULMAR") : std::string();
        };
        Session s(c, 1);
        auto pre = s.handle({PacketType::PreLogin, preLoginRequest()});
        QVERIFY(!pre.close);
        Deframer d;
        d.append(pre.reply);
        auto preReply = d.next();
        QVERIFY(preReply);
        // ENCRYPTION is the second option; its one byte must say "not supported".
        Reader r(preReply->payload);
        r.skip(5);
        QCOMPARE(int(r.u8()), 0x01);
        const int at = r.u16be();
        QCOMPARE(int(std::uint8_t(preReply->payload[at])), 0x02);

        auto o =
            s.handle({PacketType::Login7, login7Request(user.toStdString(), password.toStdString(),
                                                        database.toStdString())});
        auto ts = tokens(o.reply);
        if (error == 0) {
            QVERIFY(!o.close);
            QVERIFY(s.loggedIn());
            QCOMPARE(ids(ts), std::string("E3 E3 AD E3 FD"));
            QCOMPARE(s.catalogue(), std::string("KV_ULMAR"));
        } else {
            QVERIFY(o.close);
            QVERIFY(!s.loggedIn());
            QCOMPARE(ts.front().number, error);
            QCOMPARE(ts.back().status & DoneError, int(DoneError));
        }
    }

    void requestsBeforeLoginClose()
    {
        SessionContext c;
        Session s(c, 1);
        QVERIFY(s.handle({PacketType::SqlBatch, batch("EXEC sp_x")}).close);
        Session t(c, 2);
        QVERIFY(t.handle({PacketType::Login7, std::string(30, '\xff')}).close);
    }

    void batchReplies()
    {
        m_registry.script("sp_Dos", [](Call&) {
            Reply r;
            r.results.push_back(ResultSet::texts({"A"}).row({"x"}).row({"y"}));
            r.results.push_back(ResultSet::texts({"B"}));
            r.infos.push_back("aviso");
            return r;
        });
        m_registry.script("sp_Falla", [](Call&) { return Reply::fail("No hay pallet", 50001); });
        Session s = loggedIn();
        auto ts =
            tokens(s.handle({PacketType::SqlBatch,
                             batch("SET NOCOUNT ON\nEXEC sp_Dos\nEXEC sp_Falla 1\nEXEC sp_Nadie")})
                       .reply);
        // SET: DONE; sp_Dos: INFO, two sets each with DONEINPROC, status, DONEPROC;
        // sp_Falla: ERROR, status, DONEPROC; unknown: ERROR, DONE.
        QCOMPARE(ids(ts), std::string("FD AB 81 FF 81 FF 79 FE AA 79 FE AA FD"));
        std::vector<int> statuses;
        for (const auto& t : ts)
            if (t.id >= 0xFD)
                statuses.push_back(t.status);
        QCOMPARE(statuses, (std::vector<int>{DoneMore, DoneMore | DoneCount, DoneMore | DoneCount,
                                             DoneMore, DoneMore | DoneError, DoneError}));
        QCOMPARE(ts[3].count, std::uint64_t{2});
        QCOMPARE(ts[2].rows.size(), std::size_t{2});
        QCOMPARE(ts[8].number, 50001);
        QCOMPARE(ts[11].number, 2812);
    }

    void resultTypes()
    {
        m_registry.script("sp_Tipos", [](Call&) {
            ResultSet rs;
            rs.columns = {{"t", ColumnType::Text},
                          {"i", ColumnType::Int},
                          {"d", ColumnType::Decimal},
                          {"b", ColumnType::Bit},
                          {"f", ColumnType::Float}};
            rs.row({"Velmór", std::int64_t{5000000000}, "12.50", 1, 0.25});
            rs.row({Value(), Value(), -3, 0, Value()});
            rs.row({"corto"}); // missing values go out as NULL
            Reply r = Reply::rows(rs);
            // Past 4000 characters a text column is sent whole, not cut.
            r.results.push_back(ResultSet::texts({"largo"}).row({std::string(4500, 'n') + "ñ"}));
            return r;
        });
        Session s = loggedIn();
        auto ts = tokens(s.handle({PacketType::SqlBatch, batch("EXEC sp_Tipos")}).reply);
        QCOMPARE(ts[0].id, 0x81);
        const auto& rows = ts[0].rows;
        QCOMPARE(rows.size(), std::size_t{3});
        QCOMPARE(rows[0][0], Value("Velmór"));
        QCOMPARE(rows[0][1], Value(std::int64_t{5000000000}));
        QCOMPARE(rows[0][2], Value(12.5));
        QCOMPARE(rows[0][3], Value(1));
        QCOMPARE(rows[0][4], Value(0.25));
        QVERIFY(rows[1][0].isNull() && rows[1][1].isNull() && rows[1][4].isNull());
        QCOMPARE(rows[1][2], Value(-3.0));
        QVERIFY(rows[2][1].isNull());
        QCOMPARE(ts[2].id, 0x81);
        QCOMPARE(ts[2].rows[0][0], Value(std::string(4500, 'n') + "ñ"));
    }

    // Severity 10 or less is informational: INFO, and the call does not fail.
    void lowSeverityIsInformation()
    {
        m_registry.script("sp_Aviso", [](Call&) {
            Reply r;
            r.error = ServerError{50005, 10, 1, "solo un aviso"};
            return r;
        });
        Session s = loggedIn();
        auto ts = tokens(s.handle({PacketType::SqlBatch, batch("EXEC sp_Aviso")}).reply);
        QCOMPARE(ids(ts), std::string("AB 79 FE"));
        QCOMPARE(ts[2].status, 0);
    }

    void rpcParametersAndOutputs()
    {
        Call seen;
        m_registry.script("sp_Rpc",
                          [&](Call& call) {
                              seen = call;
                              Reply r;
                              r.outputs["@id"] = Value(std::int64_t{123456789});
                              r.outputs["@desc"] =
                                  Value("Contraseña demasiado larga para el hueco");
                              r.returnStatus = 4;
                              return r;
                          },
                          {"@n", "@txt", "@big", "@nul", "@id", "@err", "@desc"});
        Session s = loggedIn();
        const std::string request = rpc(
            "sp_Rpc;1",
            {
                {"", false, bytes({0x26, 4, 4, 0x2A, 0, 0, 0})}, // INTN 42
                {"", false,
                 bytes(
                     {0xA7, 0x10, 0, 9, 4, 0xD0, 0, 0x34, 3, 0, 'V', 0xE9, 'l'})}, // "Vél" in 1252
                {"", false, bytes({0xA7, 0xFF, 0xFF, 9, 4,   0xD0, 0, 0x34, 3, 0,   0,
                                   0,    0,    0,    0, 0,   2,    0, 0,    0, 'a', 'b',
                                   1,    0,    0,    0, 'c', 0,    0, 0,    0})}, // varchar(max) in
                                                                                  // chunks
                {"", false,
                 bytes({0xE7, 0x20, 0, 9, 4, 0xD0, 0, 0x34, 0xFF, 0xFF})}, // NVARCHAR NULL
                {"", true, bytes({0x6A, 5, 9, 0, 0})},                     // DECIMAL(9,0) out, NULL
                {"", true, bytes({0x26, 4, 4, 7, 0, 0, 0})},               // INTN out, untouched
                {"", true, bytes({0xA7, 10, 0, 9, 4, 0xD0, 0, 0x34, 1, 0, ' '})}, // varchar(10) out
            });
        auto ts = tokens(s.handle({PacketType::Rpc, request}).reply);
        QCOMPARE(seen.procedure, std::string("sp_Rpc;1"));
        QCOMPARE(seen.arg("@n"), Value(42));
        QCOMPARE(seen.arg("@txt"), Value("Vél"));
        QCOMPARE(seen.arg("@big"), Value("abc"));
        QVERIFY(seen.arg("@nul").isNull());
        QCOMPARE(ids(ts), std::string("AC AC AC 79 FE"));
        QCOMPARE(ts[0].type.id, std::uint8_t(DecimalN));
        QCOMPARE(int(ts[0].type.precision), 9);
        QCOMPARE(ts[0].value, Value(std::int64_t{123456789}));
        QCOMPARE(ts[0].text, std::string("@id"));
        QCOMPARE(ts[1].value, Value(7));
        QCOMPARE(ts[2].type.id, std::uint8_t(BigVarChar));
        QCOMPARE(ts[2].value, Value("Contraseña")); // cut at the client's declared size
        QCOMPARE(ts[3].value, Value(4));
        QCOMPARE(ts[4].status, 0);
    }

    // A number too large for the type the client declared is refused, not cut.
    void outputOverflow_data()
    {
        QTest::addColumn<QByteArray>("type"); // TYPE_INFO and a NULL value
        QTest::addColumn<qlonglong>("value");
        QTest::addColumn<bool>("fits");
        QTest::newRow("decimal(9) fits")
            << QByteArray("\x6a\x05\x09\x00\x00", 5) << 999999999LL << true;
        QTest::newRow("decimal(9) overflows")
            << QByteArray("\x6a\x05\x09\x00\x00", 5) << 10000000000LL << false;
        QTest::newRow("decimal(9,2) overflows")
            << QByteArray("\x6a\x05\x09\x02\x00", 5) << 10000000LL << false;
        QTest::newRow("int fits") << QByteArray("\x26\x04\x00", 3) << -2147483648LL << true;
        QTest::newRow("int overflows") << QByteArray("\x26\x04\x00", 3) << 2147483648LL << false;
        QTest::newRow("tinyint negative") << QByteArray("\x26\x01\x00", 3) << -1LL << false;
    }

    void outputOverflow()
    {
        QFETCH(QByteArray, type);
        QFETCH(qlonglong, value);
        QFETCH(bool, fits);
        m_registry.script("sp_Grande",
                          [value](Call&) {
                              Reply r;
                              r.outputs["@n"] = Value(std::int64_t{value});
                              return r;
                          },
                          {"@n"});
        Session s = loggedIn();
        auto ts = tokens(
            s.handle({PacketType::Rpc,
                      rpc("sp_Grande", {{"", true, std::string(type.constData(), type.size())}})})
                .reply);
        if (fits) {
            QCOMPARE(ids(ts), std::string("AC 79 FE"));
            QCOMPARE(ts[0].value.toInt(), std::optional<std::int64_t>(value));
        } else {
            QCOMPARE(ids(ts), std::string("AA AC 79 FE"));
            QCOMPARE(ts[0].number, 8115);
            QVERIFY(ts[1].value.isNull());
            QCOMPARE(ts[3].status, int(DoneError));
        }
    }

    void systemRequests()
    {
        Session s = loggedIn();
        // Qt sends this on open, wrapped in a cursor request.
        std::string stmt = utf16("SET QUOTED_IDENTIFIER ON");
        Writer w;
        w.u16le(static_cast<std::uint16_t>(stmt.size()));
        w.bytes(stmt);
        Writer body;
        body.bytes(allHeaders() + bytes({0xFF, 0xFF, 2, 0, 0, 0})); // by id: sp_cursoropen
        body.bVarchar("");
        body.u8(1);
        body.bytes(bytes({0x26, 4, 4, 9, 9, 9, 9})); // cursor handle out
        body.bVarchar("");
        body.u8(0);
        body.bytes(bytes({0xE7, 0x40, 0x1F, 9, 4, 0xD0, 0, 0x34}));
        body.bytes(w.data());
        auto ts = tokens(s.handle({PacketType::Rpc, body.data()}).reply);
        QCOMPARE(ids(ts), std::string("AB AC 79 FE"));
        QCOMPARE(ts[0].number, 16954);
        QCOMPARE(ts[1].value, Value(0));

        auto info =
            tokens(s.handle({PacketType::SqlBatch, batch("sp_datatype_info_100 11")}).reply);
        QCOMPARE(ids(info), std::string("81 FF 79 FE"));
        QCOMPARE(info[0].rows.size(), std::size_t{1});

        auto attention = tokens(s.handle({PacketType::Attention, {}}).reply);
        QCOMPARE(attention.size(), std::size_t{1});
        QCOMPARE(attention[0].status, int(DoneAttention));
    }

    // What ODBC's SQLPrepare/SQLExecute become: the statement runs with the
    // values bound to the names its declaration lists, and again by handle.
    void preparedStatements()
    {
        m_registry.script("sp_Eco", [](Call& call) {
            return Reply::rows(ResultSet::texts({"v"}).row({call.arg(0)}));
        });
        Session s = loggedIn();
        auto first = tokens(
            s.handle({PacketType::Rpc, rpcById(13, {{"", true, bytes({0x26, 4, 0})},
                                                    {"", false, nvarchar("@P1 nvarchar(10)")},
                                                    {"", false, nvarchar("EXEC sp_Eco @P1")},
                                                    {"", false, nvarchar("uno")}})})
                .reply);
        QCOMPARE(ids(first), std::string("81 FF 79 FF AC 79 FE"));
        QCOMPARE(first[0].rows[0][0], Value("uno"));
        const Value handle = first[4].value;
        QVERIFY(!handle.isNull());
        const auto h = static_cast<int>(*handle.toInt());
        auto again = tokens(
            s.handle({PacketType::Rpc, rpcById(12, {{"", false, bytes({0x26, 4, 4, h, 0, 0, 0})},
                                                    {"", false, nvarchar("dos")}})})
                .reply);
        QCOMPARE(again[0].rows[0][0], Value("dos"));
        s.handle({PacketType::Rpc, rpcById(15, {{"", false, bytes({0x26, 4, 4, h, 0, 0, 0})}})});
        auto gone = tokens(
            s.handle({PacketType::Rpc, rpcById(12, {{"", false, bytes({0x26, 4, 4, h, 0, 0, 0})}})})
                .reply);
        QCOMPARE(gone[0].number, 8179);
        const auto entries = m_journal.entries();
        QCOMPARE(entries.size(), std::size_t{4});
        QCOMPARE(entries[0].procedure, std::string("sp_Eco"));
        QCOMPARE(entries[2].procedure, std::string());
    }

    void malformedRequestsKeepTheSession_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("rpc: headers too long")
            << int(PacketType::Rpc) << QByteArray("\xff\xff\x00\x00", 4);
        QTest::newRow("rpc: name cut short")
            << int(PacketType::Rpc) << QByteArray("\x04\x00\x00\x00\x09\x00s\x00", 8);
        QTest::newRow("rpc: unknown type")
            << int(PacketType::Rpc)
            << QByteArray("\x04\x00\x00\x00\x01\x00x\x00\x00\x00\x00\x00\x99", 13);
        QTest::newRow("rpc: decimal precision 0")
            << int(PacketType::Rpc)
            << QByteArray("\x04\x00\x00\x00\x01\x00x\x00\x00\x00\x00\x00\x6a\x05\x00\x00\x00", 17);
        QTest::newRow("batch: no headers") << int(PacketType::SqlBatch) << QByteArray("\x01", 1);
    }

    void malformedRequestsKeepTheSession()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, payload);
        Session s = loggedIn();
        auto o = s.handle(
            {static_cast<PacketType>(type), std::string(payload.constData(), payload.size())});
        QVERIFY(!o.close);
        auto ts = tokens(o.reply);
        QCOMPARE(ts.front().number, 8009);
        // And the session still answers.
        auto next = tokens(s.handle({PacketType::SqlBatch, batch("SET NOCOUNT ON")}).reply);
        QCOMPARE(ids(next), std::string("FD"));
    }

    // The operator's password, in every form a call can carry it, reaches
    // neither the journal (file and memory) nor a reply, and the login it
    // belongs to succeeds whatever order its arguments are named in.
    void passwordNeverShown_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("expected"); // ID_Persona, or the error number
        auto sql = [](const char* text) {
            const std::string b = batch(text);
            return QByteArray(b.data(), qsizetype(b.size()));
        };
        auto call = [](const std::string& r) { return QByteArray(r.data(), qsizetype(r.size())); };
        const int SQL = int(PacketType::SqlBatch);
        const int RPC = int(PacketType::Rpc);
        const std::string user = nvarchar("almacen");
        const std::string secret = nvarchar(kSecret);

        QTest::newRow("by position")
            << SQL << sql("EXEC sp_KVR_Persona 'almacen', 'O''Velmór2'") << 2;
        QTest::newRow("named, reversed")
            << SQL << sql("EXEC sp_KVR_Persona @Password='O''Velmór2', @Usuario='almacen'") << 2;
        QTest::newRow("named, unicode, blanks")
            << SQL
            << sql("EXECUTE sp_KVR_Persona @Usuario = N'almacen' , @Password = N'O''Velmór2'") << 2;
        QTest::newRow("over lines with comments")
            << SQL
            << sql("EXEC sp_KVR_Persona -- entrada\r\n  @Password = 'O''Velmór2', /* la\n"
                   "clave */\n  @Usuario = 'almacen'")
            << 2;
        QTest::newRow("positional over lines")
            << SQL << sql("EXECUTE\nsp_KVR_Persona 'almacen'\n,\n'O''Velmór2'") << 2;
        QTest::newRow("schema, group, lower case")
            << SQL << sql("exec dbo.sp_kvr_persona;1 'almacen','O''Velmór2'") << 2;
        QTest::newRow("missing comma")
            << SQL << sql("EXEC sp_KVR_Persona 'almacen' 'O''Velmór2'") << 102;
        QTest::newRow("unclosed quote")
            << SQL << sql("EXEC sp_KVR_Persona 'almacen',\n'O''Velmór2") << 105;
        QTest::newRow("unclosed comment")
            << SQL << sql("EXEC sp_KVR_Persona 'almacen' /* 'O''Velmór2'") << 113;
        QTest::newRow("secret in a comment")
            << SQL << sql("EXEC sp_KVR_Persona 'almacen', /* O'Velmór2 */ 'O''Velmór2'") << 2;
        QTest::newRow("after a semicolon")
            << SQL << sql("EXEC sp_KVR_Persona 'almacen'; 'O''Velmór2'") << 201;
        QTest::newRow("unknown name")
            << SQL << sql("EXEC sp_KVR_Persona @Usuario='almacen', @Clave='O''Velmór2'") << 8145;
        QTest::newRow("position after a name")
            << SQL << sql("EXEC sp_KVR_Persona @Usuario='almacen', 'O''Velmór2'") << 119;
        // A variable of the batch carries the secret to the call: its value
        // is hidden wherever it is assigned.
        QTest::newRow("variable declared and set in the batch")
            << SQL
            << sql("DECLARE @p varchar(30)\nSET @p = 'O''Velmór2'\n"
                   "EXEC sp_KVR_Persona 'almacen', @p")
            << 102;
        QTest::newRow("variable set in the batch")
            << SQL << sql("SET @p = 'O''Velmór2'; EXEC sp_KVR_Persona 'almacen', @p") << 137;
        QTest::newRow("sp_executesql in a batch, variables")
            << SQL
            << sql("EXEC sp_executesql N'EXEC sp_KVR_Persona @u, @p', N'@u varchar(30), "
                   "@p varchar(30)', @u='almacen', @p='O''Velmór2'")
            << 2;
        QTest::newRow("sp_executesql in a batch, literals")
            << SQL << sql("sp_executesql N'EXEC sp_KVR_Persona ''almacen'', ''O''''Velmór2'''")
            << 2;
        QTest::newRow("rpc by position")
            << RPC << call(rpc("sp_KVR_Persona", {{"", false, user}, {"", false, secret}})) << 2;
        QTest::newRow("rpc named, reversed")
            << RPC
            << call(rpc("sp_KVR_Persona;1",
                        {{"@Password", false, secret}, {"@Usuario", false, user}}))
            << 2;
        QTest::newRow("rpc sp_executesql, named values")
            << RPC
            << call(rpc("sp_executesql", {{"", false, nvarchar("EXEC sp_KVR_Persona @u, @p")},
                                          {"", false, nvarchar("@u nvarchar(30), @p nvarchar(30)")},
                                          {"@u", false, user},
                                          {"@p", false, secret}}))
            << 2;
        QTest::newRow("rpc sp_executesql by id, values by position, named inside")
            << RPC
            << call(rpcById(10, {{"", false,
                                  nvarchar("EXEC sp_KVR_Persona @Password = @P1, @Usuario = @P2")},
                                 {"", false, nvarchar("@P1 nvarchar(30),@P2 nvarchar(30)")},
                                 {"", false, secret},
                                 {"", false, user}}))
            << 2;
    }
    void passwordNeverShown()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, request);
        QFETCH(int, expected);
        ProcedureRegistry registry;
        for (const auto& module : procedureModules())
            module.registerProcedures(registry);
        Database db(":memory:", "KV_ULMAR");
        for (const auto& module : procedureModules())
            if (module.name == std::string_view("login"))
                module.seed(db, "KV_ULMAR");
        static const std::string stored = password::hash(kSecret);
        db.query("UPDATE Persona SET Contrasena = ?1 WHERE Usuario = 'almacen'", {stored});
        ProcedureHost host(registry, [&](std::string_view) { return &db; });
        QTemporaryDir dir;
        const std::string file = dir.filePath("journal.log").toStdString();
        Journal journal;
        journal.openFile(file);
        Session s = loggedIn(registry, host, journal);

        const std::string reply =
            s.handle({static_cast<PacketType>(type), request.toStdString()}).reply;
        int got = 0;
        for (const auto& t : tokens(reply)) {
            if (t.id == 0xAA && got == 0)
                got = t.number;
            if (t.id == 0x81 && !t.rows.empty())
                got = int(t.rows[0][0].toInt().value_or(-1));
        }
        QCOMPARE(got, expected);

        journal.closeFile();
        std::stringstream shown;
        shown << std::ifstream(file).rdbuf();
        const auto entries = journal.entries();
        QCOMPARE(entries.size(), std::size_t{1});
        for (const auto& e : entries)
            shown << Journal::line(e);
        // The mask takes the secret alone: the user name stays readable.
        if (expected == 2)
            QVERIFY2(shown.str().find("almacen") != std::string::npos, shown.str().c_str());
        const std::string marker = "Velmór2";
        for (const std::string& where : {shown.str(), reply})
            QVERIFY2(where.find(marker) == std::string::npos &&
                         where.find(utf16(marker)) == std::string::npos,
                     shown.str().c_str());
    }

    // What is secret is the procedure's declaration: the login's password and
    // any other procedure's declared secret alike, in every call form.
    void journalMasksThePassword()
    {
        const auto nothing = [](Call&) { return Reply{}; };
        m_registry.add(
            Procedure{"sp_KVR_Persona", {"@Usuario", "@Password"}, nothing, {"@Password"}});
        m_registry.add(Procedure{"sp_Clave", {"@Codigo", "@Pin"}, nothing, {"@Pin"}});
        Session s = loggedIn();
        s.handle({PacketType::SqlBatch, batch("EXECUTE sp_KVR_Persona 'demo','s3cret'")});
        s.handle({PacketType::SqlBatch, batch("EXECUTE sp_KVR_Persona 'demo' 's3cret'")});
        s.handle(
            {PacketType::Rpc,
             rpc("sp_KVR_Persona;1",
                 {{"", false, bytes({0xE7, 8, 0, 9, 4, 0xD0, 0, 0x34, 2, 0, 'd', 0})},
                  {"", false, bytes({0xE7, 8, 0, 9, 4, 0xD0, 0, 0x34, 4, 0, 's', 0, '3', 0})}})});
        s.handle({PacketType::SqlBatch, batch("EXEC sp_Clave 'A-1', '4s3'")});
        s.handle({PacketType::SqlBatch, batch("EXEC SP_CLAVE 'A-1' '4s3'")});
        const auto entries = m_journal.entries();
        QCOMPARE(entries.size(), std::size_t{5});
        QCOMPARE(entries[0].text, std::string("EXECUTE sp_KVR_Persona 'demo','****'"));
        QCOMPARE(entries[0].args, (std::vector<Value>{"demo", "****"}));
        QCOMPARE(entries[0].connectionId, 9);
        QCOMPARE(entries[0].catalogue, std::string("KV_ULMAR"));
        QCOMPARE(entries[1].text, std::string("EXECUTE sp_KVR_Persona ****"));
        QCOMPARE(entries[2].text, std::string("sp_KVR_Persona;1 ('d', '****')"));
        QVERIFY(entries[2].rpc);
        QCOMPARE(entries[3].text, std::string("EXEC sp_Clave 'A-1', '****'"));
        QCOMPARE(entries[3].args, (std::vector<Value>{"A-1", "****"}));
        QCOMPARE(entries[4].text, std::string("EXEC SP_CLAVE ****"));
        for (const auto& e : entries)
            QVERIFY(Journal::line(e).find("s3") == std::string::npos);
    }
};

QTEST_GUILESS_MAIN(TdsProtocolTest)
#include "tst_tdsprotocol.moc"
