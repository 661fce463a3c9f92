// What crosses the link for one scan: the terminal is put behind the
// benchmark's relay and the TDS requests of each scan are counted there, so a
// hidden round trip (a metadata query, a cancel, a re-login, a server-side
// cursor) shows as a request the scan's commands do not account for. Also
// the relay's own reading of a TDS stream, fed the ways a socket splits it.
#include "bench/DelayRelay.h"
#include "inbound/U_EntradaPallet.h"
#include "inventory/U_Inventario.h"
#include "shipping/U_Consulta.h"
#include "tests/support/TerminalFixture.h"
#include "wire/Packet.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <functional>
#include <memory>

namespace
{

using Bytes = std::vector<std::uint8_t>;

// A TDS packet of `type` with `payload` bytes; `last` sets end-of-message.
Bytes packet(std::uint8_t type, std::size_t payload, bool last)
{
    using namespace lectora::wire;
    const std::size_t length = payload + kHeaderSize;
    const std::string header = headerBytes(
        {type, std::uint8_t(last ? kStatusEndOfMessage : 0), std::uint16_t(length), 0, 1, 0});
    Bytes b(header.begin(), header.end());
    b.resize(length, 0x41);
    return b;
}

Bytes tlsRecord(std::uint8_t contentType, std::size_t payload)
{
    Bytes b{contentType, 3, 3, std::uint8_t(payload >> 8), std::uint8_t(payload)};
    b.resize(payload + 5, 0x17);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

Q_DECLARE_METATYPE(Bytes)

class TstRoundTrips : public QObject
{
    Q_OBJECT

    std::unique_ptr<TerminalFixture> fx;
    std::unique_ptr<bench::DelayRelay> relay;

    // Every connection of the data module goes through the relay from its
    // next command on.
    void reroute()
    {
        relay = std::make_unique<bench::DelayRelay>(fx->server().port());
        // In clear, so that the relay can read and count the requests.
        ConnectionSettings s = fx->settings();
        s.security.encrypt = LinkEncryption::Off;
        s.security.certificateSha256.clear();
        s.port = relay->port();
        for (Connection* c : {&fx->dm().Cx, &fx->dm().CxNordaPavrel, &fx->dm().CxUlmar})
            c->configure(s);
        fx->dm().Qr_Aux.run(fx->dm().Cx, QStringLiteral("EXECUTE sp_KVR_Persona 'demo','demo'"));
        QCOMPARE(fx->dm().Qr_Aux.text(QStringLiteral("ID_Persona")), QStringLiteral("1"));
    }

    // Runs `step` and checks the requests it sent on the link, and that the
    // stand-in received as many commands (nothing the relay missed).
    void expectRequests(const std::function<void()>& step, int expected)
    {
        fx->clearJournal();
        const std::uint64_t before = relay->requests();
        step();
        QCOMPARE(relay->requests() - before, std::uint64_t(expected));
        QCOMPARE(fx->server().journal().size(), std::size_t(expected));
    }

private Q_SLOTS:
    void init()
    {
        fx = std::make_unique<TerminalFixture>();
        reroute();
        TerminalFixture::clearMessages();
    }
    void cleanup()
    {
        fx.reset();
        relay.reset();
    }

    void countWindow_data()
    {
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("outcome");
        // Validation at the location, series look-up, recording.
        QTest::newRow("recorded") << "NP-PAR-01"
                                  << "B-01-01"
                                  << "PRD-100" << 3 << "1 Producto(s) Escaneado";
        // A cyclic count skips the validation.
        QTest::newRow("cyclic") << "NP-CIC-01"
                                << ""
                                << "S-3001" << 2 << "1 Producto(s) Escaneado";
        // An unknown series ends at the look-up.
        QTest::newRow("unknown series") << "NP-CIC-01"
                                        << ""
                                        << "S-0000" << 1 << "Error";
    }
    void countWindow()
    {
        QFETCH(QString, count);
        QFETCH(QString, location);
        QFETCH(QString, code);
        QFETCH(int, requests);
        QFETCH(QString, outcome);
        auto* w = new TfrInventario;
        fx->open(w, QStringLiteral("Inventario Norda Preventa"));
        auto* combo = w->findChild<QComboBox*>("cmbRegConteo");
        const int index = combo->findText(count);
        QVERIFY(index >= 0);
        combo->setCurrentIndex(index);
        expectRequests([&] { Q_EMIT combo->activated(index); }, 1);
        if (QTest::currentTestFailed())
            return;
        if (!location.isEmpty()) {
            auto* edLocalidad = w->findChild<QLineEdit*>("edLocalidad");
            expectRequests([&] { TerminalFixture::scan(edLocalidad, location); }, 1);
            if (QTest::currentTestFailed())
                return;
        }
        auto* product = w->findChild<QLineEdit*>("EdProducto");
        product->clear();
        // The first scan and a later one (the prepared calls stay prepared;
        // the server may refuse a series counted twice, after the same requests).
        for (int scan = 0; scan < 2; ++scan) {
            expectRequests([&] { TerminalFixture::scan(product, code); }, requests);
            if (QTest::currentTestFailed())
                return;
            if (scan == 0)
                QCOMPARE(w->findChild<QLabel*>("lblMensaje")->text(), outcome);
        }
        QCOMPARE(relay->unreadable(), 0);
    }

    void shipmentWindow()
    {
        auto* w = new TFr_Embarque1;
        fx->open(w, QStringLiteral("Embarque"));
        auto* manifest = w->findChild<QLineEdit*>("edManifiesto");
        auto* pallet = w->findChild<QLineEdit*>("edTarima");
        expectRequests([&] { TerminalFixture::scan(manifest, QStringLiteral("MAN-9001")); }, 0);
        if (QTest::currentTestFailed())
            return;
        expectRequests([&] { TerminalFixture::scan(pallet, QStringLiteral("PT-7001")); }, 1);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(w->findChild<QLabel*>("lbAvisos")->text(), QStringLiteral("Validacion correcta."));
    }

    // The pallet step identifies and suggests; the location step matches the
    // labels, validates the location and stores.
    void entryWindow()
    {
        auto* w = new TFr_EntradaPallet;
        fx->open(w, QStringLiteral("Verificacion de Entrada"));
        auto* kv = w->findChild<QLineEdit*>("EdPalletKV");
        auto* label = w->findChild<QLineEdit*>("EdPalletVelmor");
        auto* location = w->findChild<QLineEdit*>("EdUbicacion");
        expectRequests([&] { TerminalFixture::scan(kv, QStringLiteral("KV-1001")); }, 2);
        if (QTest::currentTestFailed())
            return;
        expectRequests([&] { TerminalFixture::scan(label, QStringLiteral("SSCC-0001")); }, 0);
        if (QTest::currentTestFailed())
            return;
        expectRequests([&] { TerminalFixture::scan(location, QStringLiteral("A-01-02")); }, 3);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(w->findChild<QLabel*>("lbAvisos")->text(),
                 QStringLiteral("Verificación correcta"));
    }

    // How the relay reads a stream: messages, not packets, and not fooled by
    // where the socket happens to cut it.
    void counting_data()
    {
        QTest::addColumn<Bytes>("stream");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("tlsRecords");
        QTest::addColumn<bool>("lost");
        QTest::newRow("one packet") << packet(0x01, 40, true) << 1 << 0 << false;
        QTest::newRow("three packets, one message")
            << packet(0x03, 4088, false) + packet(0x03, 4088, false) + packet(0x03, 10, true) << 1
            << 0 << false;
        QTest::newRow("batch then cancel")
            << packet(0x01, 12, true) + packet(0x06, 0, true) << 2 << 0 << false;
        QTest::newRow("login inside TLS records")
            << packet(0x12, 30, true) + tlsRecord(0x16, 200) + tlsRecord(0x14, 1) +
                   tlsRecord(0x17, 180) + packet(0x01, 20, true)
            << 2 << 1 << false;
        QTest::newRow("not TDS") << Bytes{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'} << 0
                                 << 0 << true;
        QTest::newRow("length below a header")
            << Bytes{0x01, 0x01, 0x00, 0x04, 0, 0, 1, 0} + packet(0x01, 4, true) << 0 << 0 << true;
    }
    void counting()
    {
        QFETCH(Bytes, stream);
        QFETCH(int, requests);
        QFETCH(int, tlsRecords);
        QFETCH(bool, lost);
        // Whole, byte by byte, and in pieces of seven.
        for (std::size_t piece : {stream.size(), std::size_t(1), std::size_t(7)}) {
            bench::TdsMessageCounter counter;
            for (std::size_t at = 0; at < stream.size(); at += piece)
                counter.feed(stream.data() + at, std::min(piece, stream.size() - at));
            QCOMPARE(counter.messages(), requests);
            QCOMPARE(counter.tlsRecords(), std::uint64_t(tlsRecords));
            QCOMPARE(counter.lost(), lost);
        }
    }
};

QTEST_MAIN(TstRoundTrips)
#include "tst_roundtrips.moc"
