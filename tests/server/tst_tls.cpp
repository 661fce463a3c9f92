// The server's TLS pieces without sockets: the PRELOGIN encryption table, the
// self-signed pair made in the data folder, and the engine driven by an
// OpenSSL client that checks the certificate as a careful driver would.
#include "TlsTestClient.h"
#include "server/tds/Login.h"
#include "server/tds/Session.h"
#include "server/tds/Tls.h"
#include "server/tds/Wire.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <vector>

using namespace lectora::server::tds;
using Link = EncryptionOutcome::Link;

Q_DECLARE_METATYPE(ServerEncryption)
Q_DECLARE_METATYPE(EncryptionOutcome::Link)

namespace
{

using TlsClient = TlsTestClient;

// Runs the handshake to its end or its failure; true when both ends finished.
bool shake(TlsClient& client, TlsEngine& server)
{
    std::string toServer = (client.step({}), client.take());
    for (int round = 0; round < 10; ++round) {
        const bool serverDone = server.handshake(toServer);
        const int c = client.step(server.takeOutgoing());
        toServer = client.take();
        if (c < 0)
            return false;
        if (c == 1 && serverDone)
            return true;
        if (c == 1 && toServer.empty())
            return server.handshake({});
    }
    return false;
}

} // namespace

class TstTls : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::shared_ptr<TlsCredentials> m_credentials;
    SelfSignedFiles m_files;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_files = ensureSelfSigned(m_dir.path().toStdString(), "dock-server");
        m_credentials = TlsCredentials::load(m_files.certificate, m_files.key);
    }

    void outcomeTable_data()
    {
        QTest::addColumn<ServerEncryption>("server");
        QTest::addColumn<int>("client");
        QTest::addColumn<int>("answer");
        QTest::addColumn<Link>("link");
        using S = ServerEncryption;
        QTest::newRow("on/off: login only") << S::On << 0 << 0 << Link::LoginOnly;
        QTest::newRow("on/on: whole") << S::On << 1 << 1 << Link::Whole;
        QTest::newRow("on/not supported: clear") << S::On << 2 << 2 << Link::Clear;
        QTest::newRow("on/required: whole") << S::On << 3 << 1 << Link::Whole;
        QTest::newRow("required/off: whole") << S::Required << 0 << 1 << Link::Whole;
        QTest::newRow("required/on: whole") << S::Required << 1 << 1 << Link::Whole;
        QTest::newRow("required/not supported: refused") << S::Required << 2 << 3 << Link::Refused;
        QTest::newRow("required/required: whole") << S::Required << 3 << 1 << Link::Whole;
        QTest::newRow("off/off: clear") << S::Off << 0 << 2 << Link::Clear;
        QTest::newRow("off/on: refused") << S::Off << 1 << 2 << Link::Refused;
        QTest::newRow("off/not supported: clear") << S::Off << 2 << 2 << Link::Clear;
        QTest::newRow("off/required: refused") << S::Off << 3 << 2 << Link::Refused;
        QTest::newRow("client certificate: refused") << S::On << 0x81 << 2 << Link::Refused;
        QTest::newRow("unknown value: refused") << S::Required << 7 << 2 << Link::Refused;
    }
    void outcomeTable()
    {
        QFETCH(ServerEncryption, server);
        QFETCH(int, client);
        QFETCH(int, answer);
        QFETCH(Link, link);
        const EncryptionOutcome o = negotiateEncryption(server, std::uint8_t(client));
        QCOMPARE(int(o.answer), answer);
        QCOMPARE(o.link, link);
    }

    // The session answers PRELOGIN from the table, tells the packet loop
    // what TLS to start, and a login the table bars gets the reason.
    void sessionSettlesPreLogin_data()
    {
        QTest::addColumn<ServerEncryption>("server");
        QTest::addColumn<bool>("credentials");
        QTest::addColumn<int>("client");
        QTest::addColumn<int>("answer");
        QTest::addColumn<Link>("tls");
        QTest::addColumn<QString>("refusal"); // "" when the login goes ahead
        using S = ServerEncryption;
        QTest::newRow("login only") << S::On << true << 0 << 0 << Link::LoginOnly << "";
        QTest::newRow("whole session") << S::On << true << 1 << 1 << Link::Whole << "";
        QTest::newRow("clear client") << S::On << true << 2 << 2 << Link::Clear << "";
        QTest::newRow("no pair: nothing offered") << S::On << false << 0 << 2 << Link::Clear << "";
        QTest::newRow("required, clear client: offered, refused unless taken")
            << S::Required << true << 2 << 3 << Link::Refused << "client cannot encrypt";
        QTest::newRow("client requires, server off")
            << S::Off << true << 3 << 2 << Link::Clear << "this server offers none";
        QTest::newRow("client certificate")
            << S::On << true << 0x80 << 2 << Link::Clear << "does not offer";
    }
    void sessionSettlesPreLogin()
    {
        QFETCH(ServerEncryption, server);
        QFETCH(bool, credentials);
        QFETCH(int, client);
        QFETCH(int, answer);
        QFETCH(Link, tls);
        QFETCH(QString, refusal);
        SessionContext context;
        context.encryption = server;
        if (credentials)
            context.tls = m_credentials;
        Session session(context, 1);
        const Session::Outcome pre =
            session.handle({PacketType::PreLogin, preLoginAnswer(std::uint8_t(client))});
        QVERIFY(!pre.close);
        QCOMPARE(int(preLoginEncryption(pre.reply.substr(kHeaderSize))), answer);
        QCOMPARE(pre.tls, tls);

        // The refusal comes before the login is read, so any body will do.
        const Session::Outcome login = session.handle({PacketType::Login7, std::string(94, '\0')});
        QVERIFY(login.close);
        const auto says = [](const std::string& reply, const std::string& what) {
            return reply.find(utf8ToUtf16le(what)) != std::string::npos;
        };
        QCOMPARE(says(login.reply, refusal.isEmpty() ? "refused" : refusal.toStdString()),
                 !refusal.isEmpty());

        // The client that begins TLS anyway is let in.
        if (tls == Link::Refused) {
            Session taken(context, 2);
            taken.handle({PacketType::PreLogin, preLoginAnswer(std::uint8_t(client))});
            taken.linkEncrypted();
            QVERIFY(
                !says(taken.handle({PacketType::Login7, std::string(94, '\0')}).reply, "refused"));
        }
    }

    void preLoginCarriesBothWays()
    {
        // The answer is a valid PRELOGIN itself, so it reads back.
        for (std::uint8_t v : {EncryptOff, EncryptOn, EncryptNotSupported, EncryptRequired})
            QCOMPARE(int(preLoginEncryption(preLoginAnswer(v))), int(v));
        QCOMPARE(int(preLoginEncryption(std::string("\xff", 1))), int(EncryptNotSupported));
        QVERIFY_THROWS_EXCEPTION(std::exception,
                                 preLoginEncryption(std::string("\x01\x00\x40\x00\x01\xff", 6)));
    }

    void selfSignedPairIsPrivateAndReused()
    {
        QVERIFY(m_files.created);
        struct stat st {
        };
        QCOMPARE(::stat(m_files.key.c_str(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));

        const SelfSignedFiles again = ensureSelfSigned(m_dir.path().toStdString(), "dock-server");
        QVERIFY(!again.created);
        QCOMPARE(TlsCredentials::load(again.certificate, again.key)->fingerprint(),
                 m_credentials->fingerprint());

        // The fingerprint printed is the SHA-256 of the certificate's DER form.
        QFile pem(QString::fromStdString(m_files.certificate.string()));
        QVERIFY(pem.open(QIODevice::ReadOnly));
        QByteArray body = pem.readAll();
        body = body.mid(body.indexOf('\n') + 1);
        body.truncate(body.indexOf("-----END"));
        const QByteArray der = QByteArray::fromBase64(body.replace('\n', ""));
        const QByteArray sha =
            QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper();
        QCOMPARE(QByteArray::fromStdString(m_credentials->fingerprint()), sha);
    }

    void halfAPairIsRefused()
    {
        QTemporaryDir dir;
        QFile key(dir.filePath(QStringLiteral("lectora-server.key")));
        QVERIFY(key.open(QIODevice::WriteOnly));
        key.close();
        QVERIFY_THROWS_EXCEPTION(TlsError, ensureSelfSigned(dir.path().toStdString(), "x"));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("lectora-server.crt"))));
    }

    void unusableKeyIsRefused_data()
    {
        QTest::addColumn<bool>("theirs");
        QTest::addColumn<bool>("everyoneReads");
        QTest::addColumn<QString>("reason");
        QTest::newRow("key of another certificate") << true << false << "does not belong";
        QTest::newRow("key every user can read") << false << true << "every local user";
    }

    void unusableKeyIsRefused()
    {
        QFETCH(bool, theirs);
        QFETCH(bool, everyoneReads);
        QFETCH(QString, reason);
        QTemporaryDir other;
        const SelfSignedFiles pair = ensureSelfSigned(other.path().toStdString(), "x");
        const auto certificate = theirs ? m_files.certificate : pair.certificate;
        if (everyoneReads)
            std::filesystem::permissions(pair.key, std::filesystem::perms::others_read,
                                         std::filesystem::perm_options::add);
        try {
            TlsCredentials::load(certificate, pair.key);
            QFAIL("an unusable key was taken");
        } catch (const TlsError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(reason), e.what());
        }
    }

    void verifiedHandshakeCarriesBothWays_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("loopback address") << QStringLiteral("127.0.0.1");
        QTest::newRow("localhost") << QStringLiteral("localhost");
        QTest::newRow("the name it was made for") << QStringLiteral("dock-server");
    }
    void verifiedHandshakeCarriesBothWays()
    {
        QFETCH(QString, host);
        TlsClient client(m_files.certificate.string(), host.toStdString());
        TlsEngine server(*m_credentials);
        QVERIFY(shake(client, server));
        QVERIFY(server.established());
        QCOMPARE(client.verifyResult(), long(X509_V_OK));

        const std::string login(5000, 'L');
        std::string records = client.seal(login);
        QVERIFY(records.find("LLLL") == std::string::npos);
        // Records arriving byte by byte still make the whole text.
        std::string plain;
        for (char c : records)
            plain += server.decrypt(std::string_view(&c, 1));
        QCOMPARE(plain, login);

        server.encrypt("reply");
        QCOMPARE(client.open(server.takeOutgoing()), std::string("reply"));
    }

    // Records reach the engine in whatever pieces the socket hands over: the
    // text of a record comes out once the record is whole, in order, and
    // nothing is held back after it.
    void recordsInAnyPieces_data()
    {
        QTest::addColumn<QList<int>>("messages"); // what the client seals, one after another
        QTest::addColumn<int>("piece");           // bytes handed in at a time; 0: all at once
        QTest::newRow("one record, whole") << QList<int>{300} << 0;
        QTest::newRow("one record, byte by byte") << QList<int>{300} << 1;
        QTest::newRow("three records at once") << QList<int>{200, 1, 4096} << 0;
        QTest::newRow("records cut across") << QList<int>{200, 1, 4096} << 150;
        QTest::newRow("the largest record") << QList<int>{16384} << 0;
        QTest::newRow("a text over several records") << QList<int>{40000} << 0;
        QTest::newRow("several records in pieces") << QList<int>{40000, 10} << 7000;
    }
    void recordsInAnyPieces()
    {
        QFETCH(QList<int>, messages);
        QFETCH(int, piece);
        TlsClient client(m_files.certificate.string(), "127.0.0.1");
        TlsEngine server(*m_credentials);
        QVERIFY(shake(client, server));
        std::string wire, expected;
        std::vector<std::pair<std::size_t, std::size_t>> ends; // of each message: wire, text
        for (int size : messages) {
            expected += std::string(std::size_t(size), char('a' + ends.size()));
            wire += client.seal(expected.substr(expected.size() - std::size_t(size)));
            ends.emplace_back(wire.size(), expected.size());
        }
        const std::size_t step = piece > 0 ? std::size_t(piece) : wire.size();
        std::string plain;
        for (std::size_t at = 0; at < wire.size(); at += step) {
            plain += server.decrypt(std::string_view(wire).substr(at, step));
            std::size_t due = 0; // the text of every message whose records are all in
            for (const auto& [wireEnd, textEnd] : ends)
                due = wireEnd <= at + step ? textEnd : due;
            QVERIFY(plain.size() >= due);
            QCOMPARE(plain, expected.substr(0, plain.size()));
        }
        QCOMPARE(plain, expected);
    }

    void otherNameFailsVerification()
    {
        TlsClient client(m_files.certificate.string(), "warehouse.example");
        TlsEngine server(*m_credentials);
        QVERIFY(!shake(client, server));
        QCOMPARE(client.verifyResult(), long(X509_V_ERR_HOSTNAME_MISMATCH));
    }

    void garbageIsRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("plain TDS") << QByteArray("\x10\x01\x00\x90\x00\x00\x01\x00", 8);
        QTest::newRow("record header, junk body")
            << QByteArray("\x16\x03\x01\x00\x05\xde\xad\xbe\xef\x00", 10);
        QTest::newRow("alert") << QByteArray("\x15\x03\x03\x00\x02\x02\x28", 7);
    }
    void garbageIsRefused()
    {
        QFETCH(QByteArray, bytes);
        TlsEngine server(*m_credentials);
        QVERIFY_THROWS_EXCEPTION(TlsError, server.handshake(bytes.toStdString()));
        TlsEngine fresh(*m_credentials);
        QVERIFY_THROWS_EXCEPTION(TlsError, fresh.decrypt(bytes.toStdString()));
    }

    void cutHandshakeWaits()
    {
        TlsClient client(m_files.certificate.string(), "127.0.0.1");
        TlsEngine server(*m_credentials);
        client.step({});
        const std::string hello = client.take();
        QVERIFY(!server.handshake(hello.substr(0, hello.size() / 2)));
        QVERIFY(server.takeOutgoing().empty());
        QVERIFY(!server.established());
    }
};

QTEST_GUILESS_MAIN(TstTls)
#include "tst_tls.moc"
