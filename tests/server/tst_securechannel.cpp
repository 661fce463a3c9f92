// The channel between socket and packet reader, driven by a client that wraps
// its handshake in PRELOGIN packets and then sends records bare, as drivers do.
#include "TlsTestClient.h"
#include "server/tds/SecureChannel.h"

#include <QTemporaryDir>
#include <QTest>

using namespace lectora::server::tds;
using Phase = SecureChannel::Phase;
using Link = EncryptionOutcome::Link;

Q_DECLARE_METATYPE(EncryptionOutcome::Link)

namespace
{

// The TDS side of a driver's TLS: flights out wrapped, the server's unwrapped.
struct WrappingClient {
    WrappingClient(const std::string& caFile, int version = 0, std::size_t packet = kPacketSize)
        : tls(caFile, "127.0.0.1", version), packetSize(packet)
    {
    }
    TlsTestClient tls;
    Deframer fromServer;
    std::size_t packetSize = kPacketSize;
    bool onlyPreLogin = true; // every handshake reply came in PRELOGIN packets

    std::string flight(const std::string& serverBytes, int& state)
    {
        fromServer.append(serverBytes);
        std::string in;
        while (auto m = fromServer.next()) {
            onlyPreLogin = onlyPreLogin && m->type == PacketType::PreLogin;
            in += m->payload;
        }
        state = tls.step(in);
        const std::string out = tls.take();
        return out.empty() ? out : framePackets(PacketType::PreLogin, out, 0, packetSize);
    }
};

SecureChannel::Received deliver(SecureChannel& channel, const std::string& bytes, bool byteByByte)
{
    if (!byteByByte)
        return channel.receive(bytes);
    SecureChannel::Received all;
    for (char c : bytes) {
        auto r = channel.receive(std::string_view(&c, 1));
        all.tds += r.tds;
        all.toClient += r.toClient;
    }
    return all;
}

// Runs the handshake; returns what the client still has to send of it.
std::string shake(WrappingClient& client, SecureChannel& channel, bool byteByByte)
{
    int state = 0;
    std::string toServer = client.flight({}, state);
    for (int round = 0; round < 10 && state == 0; ++round)
        toServer = client.flight(deliver(channel, toServer, byteByByte).toClient, state);
    return state == 1 ? toServer : std::string("handshake failed");
}

const std::string kLogin = framePackets(PacketType::Login7, "user sa password tolvexra", 0);
const std::string kBatch = framePackets(PacketType::SqlBatch, "EXECUTE sp_KVR_Persona", 0);

} // namespace

class TstSecureChannel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    SelfSignedFiles m_files;
    std::shared_ptr<TlsCredentials> m_credentials;

    // A channel past the handshake, in the phase `link` gives, and its client.
    std::unique_ptr<WrappingClient> established(SecureChannel& channel, Link link)
    {
        channel.startTls(*m_credentials, link);
        auto client = std::make_unique<WrappingClient>(m_files.certificate.string());
        const std::string last = shake(*client, channel, false);
        channel.receive(last);
        return client;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_files = ensureSelfSigned(m_dir.path().toStdString(), "dock-server");
        m_credentials = TlsCredentials::load(m_files.certificate, m_files.key);
    }

    void loginAndSessionCarried_data()
    {
        QTest::addColumn<int>("offered"); // the client's highest version
        QTest::addColumn<Link>("link");
        QTest::addColumn<bool>("byteByByte");
        QTest::addColumn<int>("packetSize");
        for (int offered : {TLS1_2_VERSION, TLS1_3_VERSION}) {
            const char* v = offered == TLS1_2_VERSION ? "TLS 1.2" : "TLS 1.3";
            for (Link link : {Link::LoginOnly, Link::Whole}) {
                const char* l = link == Link::LoginOnly ? "login only" : "whole session";
                QTest::addRow("%s offered, %s, whole buffers", v, l)
                    << offered << link << false << 4096;
                QTest::addRow("%s offered, %s, byte by byte", v, l)
                    << offered << link << true << 4096;
                QTest::addRow("%s offered, %s, small packets", v, l)
                    << offered << link << false << 64;
            }
        }
    }
    void loginAndSessionCarried()
    {
        QFETCH(int, offered);
        QFETCH(Link, link);
        QFETCH(bool, byteByByte);
        QFETCH(int, packetSize);
        const bool loginOnly = link == Link::LoginOnly;
        SecureChannel channel;
        channel.startTls(*m_credentials, link);
        WrappingClient client(m_files.certificate.string(), offered, std::size_t(packetSize));

        // The login, then a command: sealed for the whole session, clear
        // after the login otherwise. All of it reaches the server at once.
        std::string wire = shake(client, channel, byteByByte);
        QCOMPARE(client.tls.version(), TLS1_2_VERSION);
        wire += client.tls.seal(kLogin);
        wire += loginOnly ? kBatch : client.tls.seal(kBatch);
        QCOMPARE(wire.find("tolvexra"), std::string::npos);
        QCOMPARE(wire.find("sp_KVR") == std::string::npos, !loginOnly);

        const SecureChannel::Received got = deliver(channel, wire, byteByByte);
        QCOMPARE(got.tds, kLogin + kBatch);
        QVERIFY(got.toClient.empty());
        QVERIFY(client.onlyPreLogin);
        QCOMPARE(channel.phase(), loginOnly ? Phase::Clear : Phase::Session);

        const std::string reply = framePackets(PacketType::Reply, "LOGINACK", 1);
        const std::string sent = channel.send(reply);
        QCOMPARE(loginOnly ? sent : client.tls.open(sent), reply);
    }

    void loginWaitsForItsLastRecord()
    {
        SecureChannel channel;
        auto client = established(channel, Link::LoginOnly);
        const std::string first = client->tls.seal(kLogin.substr(0, 3));
        QVERIFY(channel.receive(first).tds.empty());
        QCOMPARE(channel.phase(), Phase::Login);
        const std::string rest = client->tls.seal(kLogin.substr(3)) + kBatch;
        QCOMPARE(channel.receive(rest).tds, kLogin + kBatch);
    }

    void brokenStreamsAreRefused_data()
    {
        QTest::addColumn<int>("phase"); // 0 handshake, else the link past it
        QTest::addColumn<QByteArray>("bytes");
        const auto bytes = [](const std::string& s) { return QByteArray::fromStdString(s); };
        QTest::newRow("clear login instead of the handshake") << 0 << bytes(kLogin);
        QTest::newRow("a bare record during the handshake")
            << 0 << QByteArray("\x16\x03\x01\x00\x02\x01\x00", 7);
        QTest::newRow("garbage wrapped in PRELOGIN")
            << 0 << bytes(framePackets(PacketType::PreLogin, "garbage, not a record", 0));
        QTest::newRow("an alert wrapped in PRELOGIN")
            << 0
            << bytes(framePackets(PacketType::PreLogin, {"\x15\x03\x03\x00\x02\x02\x28", 7}, 0));
        QTest::newRow("clear login where its records are due")
            << int(Link::LoginOnly) << bytes(kLogin);
        QTest::newRow("a record longer than TLS allows")
            << int(Link::LoginOnly) << QByteArray("\x17\x03\x03\xff\xff", 5);
        QTest::newRow("clear command in an encrypted session") << int(Link::Whole) << bytes(kBatch);
    }
    void brokenStreamsAreRefused()
    {
        QFETCH(int, phase);
        QFETCH(QByteArray, bytes);
        SecureChannel channel;
        std::unique_ptr<WrappingClient> client;
        if (phase)
            client = established(channel, Link(phase));
        else
            channel.startTls(*m_credentials, Link::Whole);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, channel.receive(bytes.toStdString()));
    }
};

QTEST_GUILESS_MAIN(TstSecureChannel)
#include "tst_securechannel.moc"
