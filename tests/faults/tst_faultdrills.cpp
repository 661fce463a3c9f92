// Fault drills: the stand-in goes away in the middle of a scan, is killed
// while many terminals record, drops the link after recording, or one client
// catalogue cannot be reached. Each drill checks what the operator is shown
// and what the database holds afterwards.
#include "app/shell/MessageService.h"
#include "bench/BenchKit.h"
#include "inbound/U_EntradaPallet.h"
#include "inventory/U_Inventario.h"
#include "inventory/U_Inventario_NordaPavrel.h"
#include "inventory/U_Inventario_Ulmar.h"
#include "server/Database.h"
#include "shipping/U_Consulta.h"
#include "tests/support/TerminalFixture.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

using namespace lectora::server;

namespace
{

QStringList texts()
{
    QStringList out;
    for (const auto& s : MessageService::instance().shown())
        out << s.text;
    return out;
}

int countOf(const std::vector<JournalEntry>& journal, const char* procedure)
{
    int n = 0;
    for (const auto& e : journal)
        if (ProcedureRegistry::key(e.procedure) == ProcedureRegistry::key(procedure))
            ++n;
    return n;
}

enum class Drill { CountScan, EntryVerification, ShipmentValidation };

} // namespace

Q_DECLARE_METATYPE(Drill)

class TstFaultDrills : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> fx;
    QTemporaryDir dataDir;
    ServerOptions onDisk;

    template <typename T> T* field(QWidget* w, const char* name)
    {
        auto* f = w->findChild<T*>(QString::fromLatin1(name));
        if (!f)
            qFatal("no field %s", name);
        return f;
    }

    void choose(QWidget* w, const QString& reference)
    {
        auto* combo = field<QComboBox>(w, "cmbRegConteo");
        const int i = combo->findText(reference);
        QVERIFY2(i >= 0, qPrintable(reference));
        combo->setCurrentIndex(i);
        Q_EMIT combo->activated(i);
    }

    int scansOf(const char* catalogue, const QString& series)
    {
        return static_cast<int>(
            fx->server()
                .catalogue(catalogue)
                .scalar("SELECT COUNT(*) FROM inv_escaneo WHERE serie = ?1", {series.toStdString()})
                .toInt()
                .value_or(-1));
    }

    // Makes `procedure` stop the whole stand-in while the terminal waits for
    // its answer: the port closes and the command never comes back.
    std::thread stopper;
    std::atomic<bool> stopperSet{false}; // `stopper` is assigned on the server's thread
    void stopDuring(const char* procedure)
    {
        EmbeddedServer* server = &fx->server();
        fx->server().script(procedure, [this, server](Call&) {
            stopper = std::thread([server] { server->stop(); });
            stopperSet = true;
            Reply r = Reply::rows(ResultSet::texts({"Error"}).row({"0"}));
            r.delay = std::chrono::milliseconds(300);
            return r;
        });
    }
    void restart(const char* procedure)
    {
        for (int i = 0; i < 5000 && !stopperSet; ++i)
            QThread::msleep(1);
        QVERIFY(stopperSet);
        stopper.join();
        stopperSet = false;
        QVERIFY(!fx->server().running());
        fx->server().procedures().unscript(procedure);
        fx->server().start(onDisk);
    }

private Q_SLOTS:
    void init()
    {
        fx = std::make_unique<TerminalFixture>();
        // The same port and an on-disk catalogue, so that a restarted stand-in
        // serves the same data.
        onDisk = fx->server().options();
        onDisk.port = fx->server().port();
        onDisk.dataDir = dataDir.path().toStdString() + "/" + QTest::currentTestFunction() + "_" +
                         (QTest::currentDataTag() ? QTest::currentDataTag() : "");
        std::filesystem::create_directories(onDisk.dataDir);
        fx->server().stop();
        fx->server().start(onDisk);
        // The stand-in on disk has a certificate of its own, kept across its restarts.
        for (Connection* c : {&fx->dm().Cx, &fx->dm().CxNordaPavrel, &fx->dm().CxUlmar})
            c->configure(fx->settings());
        fx->dm().Cx.close();
        TerminalFixture::clearMessages();
    }
    void cleanup()
    {
        stopperSet = false;
        if (stopper.joinable())
            stopper.join();
        fx.reset();
    }

    // The stand-in ends while the window waits for the answer of its
    // recording: the operator sees what the window's failure handling says,
    // nothing was recorded, and once the stand-in is back on the same port
    // the same scan goes through without restarting the terminal.
    void serverEndsMidScan_data()
    {
        QTest::addColumn<Drill>("drill");
        QTest::addColumn<int>("form"); // -1: nothing shown
        QTest::newRow("count window: notice")
            << Drill::CountScan << int(MessageService::Form::Notice);
        QTest::newRow("entry verification: default error report")
            << Drill::EntryVerification << int(MessageService::Form::ErrorBox);
        QTest::newRow("shipment: dropped silently") << Drill::ShipmentValidation << -1;
    }
    void serverEndsMidScan()
    {
        QFETCH(Drill, drill);
        QFETCH(int, form);

        QWidget* w = nullptr;
        std::function<void()> scan;
        std::function<QString()> success;
        const char* procedure = nullptr;
        QLineEdit* keeps = nullptr;
        switch (drill) {
        case Drill::CountScan: {
            auto* inv = new TfrInventario;
            fx->open(inv, "Inventario Norda Preventa");
            choose(inv, "NP-CIC-01");
            auto* product = field<QLineEdit>(inv, "EdProducto");
            scan = [product] {
                product->setFocus();
                product->clear();
                TerminalFixture::scan(product, "S-1001");
            };
            success = [inv, this] { return field<QLabel>(inv, "lblMensaje")->text(); };
            procedure = "sp_KVR_ScaneoInventarioDet";
            w = inv;
            break;
        }
        case Drill::EntryVerification: {
            auto* e = new TFr_EntradaPallet;
            fx->open(e, "Verificacion de Entrada");
            auto* kv = field<QLineEdit>(e, "EdPalletKV");
            auto* label = field<QLineEdit>(e, "EdPalletVelmor");
            auto* location = field<QLineEdit>(e, "EdUbicacion");
            scan = [=] {
                kv->setFocus();
                kv->clear();
                label->clear();
                location->clear();
                TerminalFixture::scan(kv, "KV-1001");
                TerminalFixture::scan(label, "SSCC-0001");
                TerminalFixture::scan(location, "A-01-02");
            };
            success = [e, this] { return field<QLabel>(e, "lbAvisos")->text(); };
            procedure = "sp_Kvr_GuardaUbicacion";
            keeps = location;
            w = e;
            break;
        }
        case Drill::ShipmentValidation: {
            auto* s = new TFr_Embarque1;
            fx->open(s, "Embarque");
            auto* manifest = field<QLineEdit>(s, "edManifiesto");
            auto* pallet = field<QLineEdit>(s, "edTarima");
            scan = [=] {
                manifest->setFocus();
                manifest->clear();
                pallet->clear();
                TerminalFixture::scan(manifest, "MAN-9001");
                TerminalFixture::scan(pallet, "PT-7001");
            };
            success = [s, this] { return field<QLabel>(s, "lbAvisos")->text(); };
            procedure = "sp_KVR_ValidaEmbarque";
            keeps = pallet;
            w = s;
            break;
        }
        }

        stopDuring(procedure);
        scan();
        if (form < 0) {
            QVERIFY2(texts().isEmpty(), qPrintable(texts().join('|')));
        } else {
            QCOMPARE(MessageService::instance().shown().size(), 1);
            const auto& m = MessageService::instance().shown().first();
            QCOMPARE(int(m.form), form);
            if (drill == Drill::CountScan)
                QCOMPARE(m.text, QStringLiteral("No es posible realizar la operacion"));
            else
                QVERIFY(!m.text.isEmpty());
        }
        if (keeps)
            QVERIFY2(!keeps->text().isEmpty(), "the step ended where it stood");
        QVERIFY(w->isVisible());

        restart(procedure);
        TerminalFixture::clearMessages();
        fx->clearJournal();
        scan();
        QVERIFY2(texts().isEmpty(), qPrintable(texts().join('|')));
        const QString expected =
            drill == Drill::CountScan           ? QStringLiteral("1 Producto(s) Escaneado")
            : drill == Drill::EntryVerification ? QStringLiteral("Verificación correcta")
                                                : QStringLiteral("Validacion correcta.");
        QCOMPARE(success(), expected);
        QCOMPARE(countOf(fx->server().journal(), procedure), 1);
        if (drill == Drill::CountScan)
            QCOMPARE(scansOf("KV_NORDA_PREVENTA", "S-1001"), 1);
    }

    // The link drops after the server recorded the scan and before the answer
    // came back: the terminal reports the failure and does not send the
    // recording again; the database holds it once.
    void droppedLinkNeverRecordsTwice()
    {
        auto real = fx->server().procedures().find("sp_KVR_ScaneoInventarioDet");
        QVERIFY(real);
        std::atomic<int> calls{0};
        EmbeddedServer* server = &fx->server();
        std::thread dropper;
        std::atomic<bool> dropperSet{false}; // assigned on the server's thread
        fx->server().script(
            "sp_KVR_ScaneoInventarioDet",
            [&, body = real->body](Call& call) {
                ++calls;
                Reply r = body(call);
                dropper = std::thread([server] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    server->dropConnections();
                });
                dropperSet = true;
                r.delay = std::chrono::milliseconds(400);
                return r;
            },
            real->params);

        auto* inv = new TfrInventario;
        fx->open(inv, "Inventario Norda Preventa");
        choose(inv, "NP-CIC-01");
        auto* product = field<QLineEdit>(inv, "EdProducto");
        product->setFocus();
        TerminalFixture::scan(product, "S-1002");
        for (int i = 0; i < 5000 && !dropperSet; ++i)
            QThread::msleep(1);
        QVERIFY(dropperSet);
        dropper.join();
        QCOMPARE(texts(), QStringList{"No es posible realizar la operacion"});
        QCOMPARE(calls.load(), 1);
        QCOMPARE(countOf(fx->server().journal(), "sp_KVR_ScaneoInventarioDet"), 1);
        QCOMPARE(scansOf("KV_NORDA_PREVENTA", "S-1002"), 1);

        // The window goes on: the next scan opens a new link and is recorded once.
        fx->server().procedures().unscript("sp_KVR_ScaneoInventarioDet");
        TerminalFixture::clearMessages();
        product->clear();
        TerminalFixture::scan(product, "S-1003");
        QCOMPARE(field<QLabel>(inv, "lblMensaje")->text(),
                 QStringLiteral("1 Producto(s) Escaneado"));
        QCOMPARE(scansOf("KV_NORDA_PREVENTA", "S-1003"), 1);
        QCOMPARE(scansOf("KV_NORDA_PREVENTA", "S-1002"), 1);
    }

    // One client catalogue cannot be reached: its count window reports it in
    // the notice of its guarded steps, while the other count windows go on.
    void clientCatalogueUnreachable()
    {
        ConnectionSettings nowhere = fx->settings();
        nowhere.port = TerminalFixture::closedPort();
        fx->dm().CxNordaPavrel.configure(nowhere);

        auto* pavrel = new TfrInventarioNordaPavrel;
        fx->open(pavrel, "Inventario Norda Pavrel");
        QVERIFY(texts().contains("No es posible realizar la operacion"));
        QCOMPARE(field<QComboBox>(pavrel, "cmbRegConteo")->count(), 0);

        for (auto [window, caption, count, catalogue] :
             {std::tuple<TfrInventario*, const char*, const char*, const char*>{
                  new TfrInventarioUlmar, "Inventario Ulmar", "UL-CIC-01", "KV_ULMAR"},
              {new TfrInventario, "Inventario Norda Preventa", "NP-CIC-01", "KV_NORDA_PREVENTA"}}) {
            TerminalFixture::clearMessages();
            fx->open(window, caption);
            choose(window, count);
            auto* product = field<QLineEdit>(window, "EdProducto");
            product->setFocus();
            TerminalFixture::scan(product, "PRD-100");
            QVERIFY2(texts().isEmpty(), qPrintable(texts().join('|')));
            QCOMPARE(field<QLabel>(window, "lblMensaje")->text(),
                     QStringLiteral("1 Producto(s) Escaneado"));
        }
    }

    // The stand-in process is killed (SIGKILL) while 32 clients record scans.
    // After a restart on the same data every recording that was answered as
    // a success is there, and no series is there twice.
    void killedWhileRecording()
    {
        const QString server = QCoreApplication::applicationDirPath() + "/../server/lectora-server";
        QVERIFY2(QFile::exists(server), qPrintable(server));
        QTemporaryDir data;
        const int port = TerminalFixture::closedPort();
        const QStringList args{"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--data",
                               data.path()};
        QProcess process;
        process.start(server, args);
        QVERIFY(process.waitForStarted());
        auto connect = [port]() -> std::unique_ptr<bench::BareOdbc> {
            for (int i = 0; i < 100; ++i) {
                try {
                    return std::make_unique<bench::BareOdbc>(bench::odbcConnectionString(port));
                } catch (const std::exception&) {
                    QThread::msleep(50);
                }
            }
            return nullptr;
        };
        QVERIFY(connect());

        const std::filesystem::path file =
            std::filesystem::path(data.path().toStdString()) / "KV_NORDA_PREVENTA.sqlite";
        std::int64_t countId = 0, product = 0;
        std::string warehouse;
        {
            Database db(file, "KV_NORDA_PREVENTA");
            const ResultSet r = db.query(
                "SELECT c.id_inventarioconteo, a.nombre FROM inv_conteo c JOIN inv_almacen a "
                "ON a.id_almacen = c.id_almacen WHERE c.referencia = 'NP-CIC-01'");
            QCOMPARE(r.rows.size(), std::size_t(1));
            countId = r.rows[0][0].toInt().value_or(0);
            warehouse = r.rows[0][1].toText();
            product = db.scalar("SELECT MIN(id_producto) FROM inv_producto").toInt().value_or(0);
        }

        constexpr int kClients = 32;
        std::mutex mutex;
        std::set<std::string> acknowledged;
        std::atomic<int> attempts{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c)
            clients.emplace_back([&, c] {
                std::unique_ptr<bench::BareOdbc> odbc;
                try {
                    odbc = std::make_unique<bench::BareOdbc>(bench::odbcConnectionString(port));
                } catch (const std::exception&) {
                    return;
                }
                for (int i = 0; i < 100000; ++i) {
                    const std::string series = "K-" + std::to_string(c) + "-" + std::to_string(i);
                    std::vector<bench::BareOdbc::Param> p{
                        bench::BareOdbc::Param::in(std::int64_t{7}),
                        bench::BareOdbc::Param::in(countId),
                        bench::BareOdbc::Param::in(warehouse),
                        bench::BareOdbc::Param::in(std::string("")),
                        bench::BareOdbc::Param::in(product),
                        bench::BareOdbc::Param::in(series),
                        bench::BareOdbc::Param::in(std::string("")),
                        bench::BareOdbc::Param::in(std::int64_t{1}),
                        bench::BareOdbc::Param::out(bench::BareOdbc::Param::Kind::Int),
                        bench::BareOdbc::Param::out(bench::BareOdbc::Param::Kind::Text, 500)};
                    ++attempts;
                    try {
                        odbc->call("sp_KVR_ScaneoInventarioDet;1", p);
                    } catch (const std::exception&) {
                        return; // the server is gone
                    }
                    if (p[8].indicator != SQL_NULL_DATA && p[8].number == 0) {
                        std::lock_guard lock(mutex);
                        acknowledged.insert(series);
                    }
                }
            });
        // Let the recordings run, then kill in the middle of them.
        for (int i = 0; i < 200 && attempts < 500; ++i)
            QThread::msleep(10);
        process.kill();
        QVERIFY(process.waitForFinished());
        for (auto& t : clients)
            t.join();
        QVERIFY2(acknowledged.size() > 50, "too few recordings before the kill");

        process.start(server, args);
        QVERIFY(process.waitForStarted());
        QVERIFY(connect());
        {
            Database db(file, "KV_NORDA_PREVENTA");
            std::map<std::string, int> stored;
            for (const auto& row :
                 db.query("SELECT serie, COUNT(*) FROM inv_escaneo WHERE serie LIKE 'K-%' "
                          "GROUP BY serie")
                     .rows)
                stored[row[0].toText()] = static_cast<int>(row[1].toInt().value_or(0));
            for (const auto& [series, n] : stored)
                QVERIFY2(n == 1, series.c_str());
            for (const std::string& series : acknowledged)
                QVERIFY2(stored.count(series) == 1, ("lost: " + series).c_str());
        }
        process.terminate();
        process.waitForFinished();
    }
};

QTEST_MAIN(TstFaultDrills)
#include "tst_faultdrills.moc"
