// The wire unit on its own: packet headers both ways, a byte stream cut into
// messages however it arrives and whatever it holds, and the PRELOGIN table.
#include "wire/Deframer.h"
#include "wire/Packet.h"
#include "wire/PreLogin.h"

#include <QTest>

using namespace lectora::wire;

namespace
{
QByteArray bytes(const std::string& s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}
std::string text(const QByteArray& b)
{
    return std::string(b.constData(), std::size_t(b.size()));
}
} // namespace

class TstWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every field lands at its offset, big-endian, and reads back the same.
    void headerRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QList<int>>("fields"); // type, status, length, spid, id, window
        QTest::newRow("last reply packet")
            << QByteArray("\x04\x01\x10\x00\x00\x03\x02\x00", 8) << QList{4, 1, 4096, 3, 2, 0};
        QTest::newRow("every bit set") << QByteArray("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8)
                                       << QList{255, 255, 65535, 65535, 255, 255};
        QTest::newRow("mid-message batch")
            << QByteArray("\x01\x00\x01\x02\x12\x34\x07\x09", 8) << QList{1, 0, 258, 0x1234, 7, 9};
    }
    void headerRoundTrip()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QList<int>, fields);
        const std::optional<PacketHeader> h = readHeader(text(wire));
        QVERIFY(h);
        QCOMPARE((QList<int>{h->type, h->status, h->length, h->spid, h->packetId, h->window}),
                 fields);
        QCOMPARE(h->endOfMessage(), bool(fields[1] & kStatusEndOfMessage));
        QCOMPARE(bytes(headerBytes(*h)), wire);
        QVERIFY(!readHeader(text(wire.left(7))));
    }

    void framing()
    {
        // A reply larger than a packet is cut at 4096 bytes with the end bit
        // only on the last piece, and reassembles to the same payload even
        // when it arrives a few bytes at a time.
        std::string payload(10000, '\0');
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>(i * 7);
        const std::string framed = framePackets(PacketType::Reply, payload, 3);
        QCOMPARE(framed.size(), payload.size() + 3 * kHeaderSize);
        QCOMPARE(int(std::uint8_t(framed[1])), 0);
        QCOMPARE(int(readHeader(framed)->length), 4096);
        QCOMPARE(int(std::uint8_t(framed[4096 + 6])), 2);
        QCOMPARE(int(std::uint8_t(framed[8192 + 1])), 1);
        Deframer d;
        std::optional<Message> m;
        for (std::size_t at = 0; at < framed.size(); at += 5) {
            QVERIFY(!m);
            d.append(std::string_view(framed).substr(at, 5));
            m = d.next();
        }
        QVERIFY(m);
        QCOMPARE(int(m->type), int(PacketType::Reply));
        QVERIFY(m->payload == payload);
        QCOMPARE(d.pending(), std::size_t{0});
    }

    // A client that abandons a request half sent marks its last packet
    // "ignore"; what it sends next is a message of its own.
    void abandonedRequest()
    {
        Deframer d;
        std::string first = framePackets(PacketType::SqlBatch, std::string(5000, 'a'), 0);
        first[4096 + 1] = kStatusEndOfMessage | kStatusIgnore;
        d.append(first);
        QVERIFY(!d.next());
        d.append(framePackets(PacketType::Attention, {}, 0));
        auto m = d.next();
        QVERIFY(m);
        QCOMPARE(int(m->type), int(PacketType::Attention));
        QVERIFY(m->payload.empty());
    }

    void brokenFraming_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("length shorter than header")
            << QByteArray("\x01\x01\x00\x04\x00\x00\x01\x00", 8);
        QTest::newRow("unknown type") << QByteArray("\x55\x01\x00\x08\x00\x00\x01\x00", 8);
        QTest::newRow("type changes mid-message")
            << QByteArray("\x01\x00\x00\x09\x00\x00\x01\x00X\x03\x01\x00\x09\x00\x00\x02\x00Y", 18);
    }

    void brokenFraming()
    {
        QFETCH(QByteArray, bytes);
        Deframer d;
        d.append(std::string_view(bytes.constData(), bytes.size()));
        QVERIFY_THROWS_EXCEPTION(ProtocolError, d.next());
    }

    // Past the cap or the shared budget, a message ends the stream, or (when
    // the deframer answers for it) comes out oversized at once, its remaining
    // packets dropped and the next message whole.
    void oversizedMessage_data()
    {
        QTest::addColumn<bool>("answered");
        QTest::addColumn<std::size_t>("budget"); // 0: none
        QTest::newRow("past the cap ends the stream") << false << std::size_t(0);
        QTest::newRow("past the cap is answered") << true << std::size_t(0);
        QTest::newRow("past the budget is answered") << true << std::size_t(100);
    }
    void oversizedMessage()
    {
        QFETCH(bool, answered);
        QFETCH(std::size_t, budget);
        MessageBudget shared(budget);
        Deframer d(budget ? 1000 : 100, budget ? &shared : nullptr);
        d.setLimit(budget ? 1000 : 100, answered);
        std::string packet = framePackets(PacketType::SqlBatch, std::string(60, 'x'), 0, 68);
        packet[1] = 0; // no end of message: the client keeps sending
        d.append(packet + packet);
        if (!answered) {
            QVERIFY_THROWS_EXCEPTION(ProtocolError, d.next());
            return;
        }
        const std::optional<Message> refused = d.next();
        QVERIFY(refused && refused->oversized && refused->payload.empty());
        QCOMPARE(shared.used(), std::size_t(0));
        d.append(packet + framePackets(PacketType::SqlBatch, "end", 0));
        d.append(framePackets(PacketType::Rpc, "next", 0));
        const std::optional<Message> next = d.next();
        QVERIFY(next && !next->oversized);
        QCOMPARE(int(next->type), int(PacketType::Rpc));
        QCOMPARE(next->payload, std::string("next"));
    }

    // A PRELOGIN table is read whole or refused: entries within the payload,
    // a terminator within 64 entries.
    void preLoginTable_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("encryption"); // -1: none given, -2: refused
        QTest::newRow("a client's request") << bytes(preLoginRequest(EncryptOn)) << int(EncryptOn);
        QTest::newRow("no ENCRYPTION") << bytes(preLoginRequest()) << -1;
        QTest::newRow("the last ENCRYPTION counts")
            << bytes(writePreLogin({{OptionEncryption, "\x01"}, {OptionEncryption, "\x03"}})) << 3;
        QTest::newRow("empty ENCRYPTION") << bytes(writePreLogin({{OptionEncryption, ""}})) << -1;
        QTest::newRow("empty payload") << QByteArray() << -2;
        QTest::newRow("entry cut short") << QByteArray("\x01\x00\x06", 3) << -2;
        QTest::newRow("data past the end") << QByteArray("\x01\x00\x06\x00\x02\xFF\x01", 7) << -2;
        QTest::newRow("no terminator") << QByteArray("\x01\x00\x05\x00\x00", 5) << -2;
        QTest::newRow("65 entries") << QByteArray(65 * 5, '\0') + '\xFF' << -2;
    }
    void preLoginTable()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, encryption);
        const std::string p = text(payload);
        if (encryption == -2) {
            QVERIFY_THROWS_EXCEPTION(ProtocolError, readPreLogin(p));
            return;
        }
        const std::optional<std::uint8_t> read = encryptionOf(p, readPreLogin(p));
        QCOMPARE(read ? int(*read) : -1, encryption);
    }
};

QTEST_APPLESS_MAIN(TstWire)
#include "tst_wire.moc"
