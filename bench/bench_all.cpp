// The one benchmark run: every figure beside its baseline or its limit,
// measured in this run on this machine, printed as a table and written as
// JSON for comparing runs (default build/bench/results.json, or --json PATH).
//  - a scan through a real window (its Enter keys to the handlers done) for
//    the count recording, the shipment validation and the entry
//    verification, beside a bare ODBC loop sending the same texts and calls
//    over the same driver to the same in-process stand-in, and the data
//    module alone; the UI thread's CPU per scan;
//  - the same scans through a relay that delays the link by a round-trip
//    time of 0, 2 and 20 ms: the requests that cross it per scan against the
//    commands the window sends, and the scan's time against its physical
//    limit, requests x round-trip time;
//  - a client connection's first use (CxUlmar) over the 20 ms link;
//  - a connection's open and the count scan's commands with encrypt=off,
//    login and on, side by side;
//  - start to login window shown, and memory after login with the three count
//    windows open (a fresh process per run);
//  - a 100,000-row grid answer shown, beside the same answer fetched bare;
//  - the stand-in under 32 simulated terminals (bare ODBC clients);
//  - with --before BUILD_DIR, the start-up, the memory and the 32 terminals
//    beside an older build's, in turn, as ratios (BUILD_DIR holds that
//    build's bench/bench_all and server/lectora-server).
// --startup-child is the terminal's own start-up, run by this program.
#include "app/Startup.h"
#include "app/U_Menu.h"
#include "app/shell/DataGrid.h"
#include "app/shell/DiagnosticLog.h"
#include "app/shell/LectoraApplication.h"
#include "app/shell/MessageService.h"
#include "app/shell/SessionLog.h"
#include "bench/BenchKit.h"
#include "bench/DelayRelay.h"
#include "bench/StartupChild.h"
#include "data/Connection.h"
#include "data/OdbcString.h"
#include "data/U_Data.h"
#include "inbound/U_EntradaCajaRollo.h"
#include "inbound/U_EntradaPallet.h"
#include "inventory/U_Inventario.h"
#include "shipping/U_Consulta.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <thread>

using namespace lectora::server;
using bench::BareOdbc;

namespace
{

constexpr int kScans = 300;
constexpr int kWarmUp = 10;

struct Figure {
    QString name;
    double value = 0;
    QString unit;
    QString baselineName;
    double baseline = 0; // 0: none
    QString target;      // "<= 1.10" etc.
    bool met = true;
    QString note;
};

QList<Figure> figures;

void add(Figure f)
{
    std::printf("  %-44s %10.3f %-5s", qPrintable(f.name), f.value, qPrintable(f.unit));
    if (f.baseline > 0)
        std::printf("  (%s %.3f)", qPrintable(f.baselineName), f.baseline);
    if (!f.note.isEmpty() && f.target.isEmpty())
        std::printf("\n      %s", qPrintable(f.note));
    if (!f.target.isEmpty())
        std::printf("  target %s: %s", qPrintable(f.target), f.met ? "met" : "MISSED");
    std::printf("\n");
    std::fflush(stdout);
    figures.append(std::move(f));
}

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void fail(const QString& why)
{
    std::fprintf(stderr, "bench_all: %s\n", qPrintable(why));
    std::exit(1);
}

// What a scan's Enter keys cost: the handlers they run, their commands,
// focus moves and paint, in wall time and in this (the UI) thread's CPU.
// The keys typed before each Enter are not timed: a reader sends them at its
// own pace, and synthetic key delivery says nothing about the terminal. Nor is
// the painting of what they typed: at a reader's pace the event loop paints
// the field between keys, long before the Enter arrives.
struct EnterClock {
    double wallMs = 0, cpuMs = 0;
    void press(QWidget* field)
    {
        const qint64 wall = monotonicNs(), cpu = threadCpuNs();
        QTest::keyClick(field, Qt::Key_Return);
        wallMs += static_cast<double>(monotonicNs() - wall) / 1e6;
        cpuMs += static_cast<double>(threadCpuNs() - cpu) / 1e6;
    }
    void scan(QWidget* field, const QString& code)
    {
        QTest::keyClicks(field, code);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        press(field);
    }
};

// One window scan and the same commands sent two other ways: bare ODBC over
// the same driver (the floor), and the data module alone (no window).
struct ScanCase {
    QString name;
    int commands = 0; // what the window sends for this scan
    std::function<void(EnterClock&)> window;
    std::function<void(BareOdbc&)> bare;
    std::function<void()> module;
};

// Runs the loops in turn, one scan each, so that all see the same load;
// each loop returns the ms it measured. The median of each: on a shared
// machine a scan now and then waits for a core, whichever loop it is in.
std::vector<double> alternate(const std::vector<std::function<double()>>& loops, int scans,
                              int warmUp)
{
    for (int i = 0; i < warmUp; ++i)
        for (const auto& loop : loops)
            loop();
    std::vector<std::vector<double>> ms(loops.size());
    for (int i = 0; i < scans; ++i)
        for (std::size_t l = 0; l < loops.size(); ++l)
            ms[l].push_back(loops[l]());
    std::vector<double> medians;
    for (const auto& m : ms)
        medians.push_back(bench::median(m));
    return medians;
}

// The fixture's settings without encryption, as the bare loop connects: the
// scan figures compare the terminal's work with the bare loop's, and the
// relay counts requests it can read. What TLS adds is measured apart.
ConnectionSettings inClear(TerminalFixture& fx)
{
    ConnectionSettings s = fx.settings();
    s.security.encrypt = LinkEncryption::Off;
    s.security.certificateSha256.clear();
    return s;
}

// The link: every connection of the data module goes to `port` from its
// next command on (the relay, or the stand-in itself).
void pointDataModuleAt(TerminalFixture& fx, int port)
{
    ConnectionSettings s = inClear(fx);
    s.port = port;
    for (Connection* c : {&Dm_Velmor->Cx, &Dm_Velmor->CxNordaPavrel, &Dm_Velmor->CxUlmar})
        c->configure(s);
    Dm_Velmor->Qr_Aux.run(Dm_Velmor->Cx, QStringLiteral("EXECUTE sp_KVR_Persona 'demo','demo'"));
    Dm_Velmor->Qr_Aux.close();
}

// The loops must send the same commands: counted on the stand-in's journal.
void sameCommands(TerminalFixture& fx, ScanCase& c, BareOdbc& bare)
{
    const std::vector<std::function<void()>> ways{[&] {
                                                      EnterClock unused;
                                                      c.window(unused);
                                                  },
                                                  [&] { c.bare(bare); }, c.module};
    for (const auto& way : ways) {
        fx.server().clearJournal();
        way();
        const auto sent = fx.server().journal().size();
        if (sent != std::size_t(c.commands))
            fail(QStringLiteral("%1: %2 commands sent where %3 were expected")
                     .arg(c.name)
                     .arg(sent)
                     .arg(c.commands));
    }
}

struct LinkRun {
    double rttMs = 0;
    double requests = 0;   // per scan, on the link
    double windowMs = 0;   // Enter keys to handlers done, median per scan
    double bareMs = 0;     // the same commands bare over the same link
    double latenessUs = 0; // the relay's mean lateness per piece
};

// The window's scans and the bare loop through the relay at `rttMs`.
LinkRun overLink(ScanCase& c, bench::DelayRelay& relay, BareOdbc& bare, double rttMs)
{
    relay.setRoundTrip(std::chrono::microseconds(static_cast<long>(rttMs * 1000)));
    relay.resetLateness();
    const int scans = rttMs >= 10 ? 8 : 24;
    std::vector<double> window, bareMs;
    std::uint64_t requests = 0;
    for (int i = 0; i < scans + 2; ++i) {
        EnterClock clock;
        const std::uint64_t before = relay.requests();
        c.window(clock);
        const std::uint64_t sent = relay.requests() - before;
        const qint64 t0 = monotonicNs();
        c.bare(bare);
        const double b = static_cast<double>(monotonicNs() - t0) / 1e6;
        if (i < 2) // the first scans warm up
            continue;
        requests += sent;
        window.push_back(clock.wallMs);
        bareMs.push_back(b);
    }
    LinkRun run;
    run.rttMs = rttMs;
    run.requests = static_cast<double>(requests) / scans;
    run.windowMs = bench::median(window);
    run.bareMs = bench::median(bareMs);
    run.latenessUs = relay.meanLatenessUs();
    return run;
}

// Every figure of one window scan.
// --loop SCAN WAY N: N scans of one case ("count", "shipment", "entry") one
// way ("window", "module" or "bare") and nothing else, for a profiler.
struct LoopRequest {
    QString scan, way;
    int scans = 0;
};
std::optional<LoopRequest> gLoop;
// --log: the diagnostic log's figure alone.
bool gLogOnly = false;

void profilerLoop(ScanCase& c, BareOdbc& bare)
{
    const qint64 wall = monotonicNs(), cpu = threadCpuNs();
    for (int i = 0; i < gLoop->scans; ++i) {
        if (gLoop->way == QLatin1String("window")) {
            EnterClock clock;
            c.window(clock);
        } else if (gLoop->way == QLatin1String("module")) {
            c.module();
        } else {
            c.bare(bare);
        }
    }
    std::printf("%d %s scans (%s): %.3f ms each, UI-thread CPU %.3f ms each\n", gLoop->scans,
                qPrintable(c.name), qPrintable(gLoop->way),
                static_cast<double>(monotonicNs() - wall) / 1e6 / gLoop->scans,
                static_cast<double>(threadCpuNs() - cpu) / 1e6 / gLoop->scans);
}

void measureScan(TerminalFixture& fx, ScanCase& c, BareOdbc& bare, bench::DelayRelay& relay)
{
    if (gLoop) {
        if (c.name.startsWith(gLoop->scan))
            profilerLoop(c, bare);
        return;
    }
    sameCommands(fx, c, bare);

    // On loopback, straight to the stand-in: where the terminal's own time
    // goes. The bare loop runs on this thread too, so its CPU is the floor.
    std::vector<double> windowCpu, bareCpu;
    auto window = [&] {
        EnterClock clock;
        c.window(clock);
        windowCpu.push_back(clock.cpuMs);
        return clock.wallMs;
    };
    auto bareScan = [&] {
        const qint64 t0 = monotonicNs(), cpu0 = threadCpuNs();
        c.bare(bare);
        bareCpu.push_back(static_cast<double>(threadCpuNs() - cpu0) / 1e6);
        return static_cast<double>(monotonicNs() - t0) / 1e6;
    };
    auto module = [&] {
        const qint64 t0 = monotonicNs();
        c.module();
        return static_cast<double>(monotonicNs() - t0) / 1e6;
    };
    // All on one core: each connection's stand-in thread then shares the
    // client's core alike, instead of whichever core the scheduler chose for
    // it once and kept (a factor of two between two connections).
    const bool pinned = bench::pinThreads(0, 0);
    const std::vector<double> ms = alternate({window, bareScan, module}, kScans, kWarmUp);
    if (pinned)
        bench::pinThreads(-1, -1);
    const double windowMs = ms[0], bareMs = ms[1], moduleMs = ms[2];
    const double cpu = bench::median(windowCpu);
    add({QStringLiteral("%1: Enter to done / bare ODBC").arg(c.name), windowMs / bareMs, "x",
         QStringLiteral("window %1 ms, bare").arg(windowMs, 0, 'f', 3), bareMs, "<= 1.10",
         windowMs / bareMs <= 1.10});
    add({QStringLiteral("  data module alone / bare ODBC"), moduleMs / bareMs, "x",
         QStringLiteral("data module %1 ms, bare").arg(moduleMs, 0, 'f', 3), bareMs, "<= 1.30",
         moduleMs / bareMs <= 1.30});
    add({QStringLiteral("  UI-thread CPU per scan, Enter keys"), cpu, "ms", "bare ODBC",
         bench::median(bareCpu), "<= 0.20 ms", cpu <= 0.20});

    // Through the relay: what the link costs, against its physical limit.
    const std::unique_ptr<BareOdbc> bareOnLink =
        std::make_unique<BareOdbc>(bench::odbcConnectionString(relay.port()));
    pointDataModuleAt(fx, relay.port());
    std::vector<LinkRun> runs;
    for (double rtt : {0.0, 2.0, 20.0})
        runs.push_back(overLink(c, relay, *bareOnLink, rtt));
    relay.setRoundTrip({});
    pointDataModuleAt(fx, fx.server().port());

    bool equal = true;
    QStringList perRtt;
    for (const LinkRun& r : runs) {
        equal = equal && r.requests == c.commands;
        perRtt << QStringLiteral("RTT %1 ms: %2 requests, window %3 ms, bare %4 ms, relay late "
                                 "%5 us a piece")
                      .arg(r.rttMs, 0, 'f', 0)
                      .arg(r.requests, 0, 'f', 2)
                      .arg(r.windowMs, 0, 'f', 3)
                      .arg(r.bareMs, 0, 'f', 3)
                      .arg(r.latenessUs, 0, 'f', 0);
    }
    Figure requests{QStringLiteral("  requests per scan on the link"),
                    runs.back().requests,
                    "",
                    "commands the window sends",
                    double(c.commands),
                    QStringLiteral("= %1").arg(c.commands),
                    equal};
    add(requests);
    const LinkRun& slow = runs.back();
    const double limit = c.commands * slow.rttMs;
    Figure atLimit{QStringLiteral("  at 20 ms: scan / (requests x RTT)"),
                   slow.windowMs / limit,
                   "x",
                   QStringLiteral("bare ODBC"),
                   slow.bareMs / limit,
                   "<= 1.02",
                   slow.windowMs / limit <= 1.02};
    atLimit.note = perRtt.join(QStringLiteral("; "));
    add(atLimit);
    // The same link and the same wake-ups of client, relay and stand-in, with
    // nothing of the terminal: on a machine whose scheduler alone takes more
    // than the 2 % above, this is what is left to the terminal.
    add({QStringLiteral("  at 20 ms: scan / bare ODBC scan"), slow.windowMs / slow.bareMs, "x",
         QStringLiteral("bare ODBC %1 ms, window").arg(slow.bareMs, 0, 'f', 3), slow.windowMs,
         "<= 1.02", slow.windowMs / slow.bareMs <= 1.02});
    for (const QString& line : perRtt)
        std::printf("      %s\n", qPrintable(line));
}

// The count scan through the window with the diagnostic log at level
// commands against the same scan at level off, scan by scan in turn on one
// core: what writing every command's line costs a scan.
void logCost(ScanCase& c)
{
    QTemporaryDir folder;
    LogSettings settings;
    settings.folder = folder.path();
    if (!diagnosticlog::start(settings))
        fail("the benchmark's log cannot be opened in " + folder.path());
    SessionLog::instance().begin(QString(), QStringLiteral("bench"));
    // Between two scans the event loop runs, as it does while the reader
    // sends the next code: the log puts its lines together then.
    const auto scanAt = [&c](LogLevel level) {
        diagnosticlog::setLevel(level);
        EnterClock clock;
        c.window(clock);
        QCoreApplication::processEvents();
        return clock.wallMs;
    };
    const bool pinned = bench::pinThreads(0, 0);
    const std::vector<double> ms = alternate(
        {[&] { return scanAt(LogLevel::Commands); }, [&] { return scanAt(LogLevel::Off); }}, kScans,
        kWarmUp);
    if (pinned)
        bench::pinThreads(-1, -1);
    diagnosticlog::setLevel(LogLevel::Commands);
    SessionLog::instance().end(0);
    const qint64 bytes = QFileInfo(diagnosticlog::filePath()).size();
    diagnosticlog::stop();
    Figure f{QStringLiteral("  log level=commands / level=off"),
             ms[0] / ms[1],
             "x",
             QStringLiteral("commands %1 ms, off").arg(ms[0], 0, 'f', 3),
             ms[1],
             "<= 1.05",
             ms[0] / ms[1] <= 1.05};
    f.note = QStringLiteral("%1 bytes of log for %2 scans").arg(bytes).arg(kScans + kWarmUp);
    add(f);
    std::printf("      %s\n", qPrintable(f.note));
}

// --- scans through the windows ------------------------------------------------------

int gCountId = 0; // NP-PAR-01

// The count window's three commands for one recorded scan, sent bare;
// `lap` is called after each command.
void bareCountScan(BareOdbc& bare, int countId, const std::function<void()>& lap = {})
{
    const auto v = bare.exec("EXECUTE sp_KVR_InventarioValidaProductoLocalidad 'Producto "
                             "Terminado', 'B-01-01', 'PRD-100'");
    if (v.count("Error") && v.at("Error") == "1")
        throw std::runtime_error("bare validation refused");
    if (lap)
        lap();
    std::vector<BareOdbc::Param> lookup{BareOdbc::Param::in(std::string("PRD-100")),
                                        BareOdbc::Param::out(BareOdbc::Param::Kind::Double)};
    bare.call("sp_KVR_ObtieneIDProducto;1", lookup);
    if (lap)
        lap();
    std::vector<BareOdbc::Param> record{
        BareOdbc::Param::in(std::int64_t{7}),
        BareOdbc::Param::in(std::int64_t{countId}),
        BareOdbc::Param::in(std::string("Producto Terminado")),
        BareOdbc::Param::in(std::string("B-01-01")),
        BareOdbc::Param::in(static_cast<std::int64_t>(lookup[1].real)),
        BareOdbc::Param::in(std::string("PRD-100")),
        BareOdbc::Param::in(std::string("")),
        BareOdbc::Param::in(std::int64_t{1}),
        BareOdbc::Param::out(BareOdbc::Param::Kind::Int),
        BareOdbc::Param::out(BareOdbc::Param::Kind::Text, 500)};
    bare.call("sp_KVR_ScaneoInventarioDet;1", record);
    if (record[8].number > 0)
        throw std::runtime_error("bare recording refused: " + record[9].text);
    if (lap)
        lap();
}

// The same three calls through the data module as the window makes them,
// without the window.
void moduleCountScan(int countId)
{
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(Dm_Velmor->Cx, QStringLiteral("EXECUTE sp_KVR_InventarioValidaProductoLocalidad "
                                        "'Producto Terminado', 'B-01-01', 'PRD-100'"));
    q.close();
    StoredProc& lookup = Dm_Velmor->sp_KVR_ObtieneIDProducto;
    lookup.setConnection(Dm_Velmor->Cx);
    lookup.close();
    lookup.setParam(QStringLiteral("@Serie"), QStringLiteral("PRD-100"));
    lookup.execProc();
    StoredProc& record = Dm_Velmor->sp_KVR_ScaneoInventarioDet;
    record.setConnection(Dm_Velmor->Cx);
    record.close();
    record.setParam(QStringLiteral("@id_personausuario"), QStringLiteral("7"));
    record.setParam(QStringLiteral("@id_inventarioconteo"), countId);
    record.setParam(QStringLiteral("@NombreAlmacen"), QStringLiteral("Producto Terminado"));
    record.setParam(QStringLiteral("@id_localidad"), QStringLiteral("B-01-01"));
    record.setParam(QStringLiteral("@id_producto"),
                    lookup.output(QStringLiteral("@id_producto")).toInt());
    record.setParam(QStringLiteral("@serie"), QStringLiteral("PRD-100"));
    record.setParam(QStringLiteral("@lote"), QString(""));
    record.setParam(QStringLiteral("@IndCantidad"), 1);
    record.execProc();
    if (record.output(QStringLiteral("@Error")).toString().toInt() > 0)
        throw std::runtime_error("data-module recording refused");
}

void inventoryScan(TerminalFixture& fx, BareOdbc& bare, bench::DelayRelay& relay)
{
    auto* w = new TfrInventario;
    fx.open(w, QStringLiteral("Inventario Norda Preventa"));
    auto* combo = w->findChild<QComboBox*>("cmbRegConteo");
    const int index = combo->findText(QStringLiteral("NP-PAR-01"));
    if (index < 0)
        fail("the demo count NP-PAR-01 is missing");
    combo->setCurrentIndex(index);
    Q_EMIT combo->activated(index);
    const int countId = combo->itemData(index).toInt();
    gCountId = countId;
    w->findChild<QLineEdit*>("edLocalidad")->setText(QStringLiteral("B-01-01"));
    auto* product = w->findChild<QLineEdit*>("EdProducto");
    auto* message = w->findChild<QLabel*>("lblMensaje");

    ScanCase c;
    c.name = QStringLiteral("count recording");
    c.commands = 3;
    c.window = [&](EnterClock& clock) {
        clock.scan(product, QStringLiteral("PRD-100"));
        if (message->text() != QLatin1String("1 Producto(s) Escaneado"))
            fail("the count window did not record the scan: " + message->text());
    };
    c.bare = [&](BareOdbc& b) { bareCountScan(b, countId); };
    c.module = [&] { moduleCountScan(countId); };
    if (!gLogOnly)
        measureScan(fx, c, bare, relay);
    if (!gLoop)
        logCost(c);
    fx.area()->closeAllSubWindows();
}

// The demo count NP-PAR-01's id, as the count window lists it, for the
// sections that record count scans without running the window's first.
void findCountId(TerminalFixture& fx)
{
    auto* w = new TfrInventario;
    fx.open(w, QStringLiteral("Inventario Norda Preventa"));
    auto* combo = w->findChild<QComboBox*>("cmbRegConteo");
    const int index = combo->findText(QStringLiteral("NP-PAR-01"));
    if (index < 0)
        fail("the demo count NP-PAR-01 is missing");
    gCountId = combo->itemData(index).toInt();
    fx.area()->closeAllSubWindows();
}

void shipmentScan(TerminalFixture& fx, BareOdbc& bare, bench::DelayRelay& relay)
{
    // The real procedure refuses a pallet already loaded; every scan here
    // must take the success path, so the procedure answers success.
    fx.server().script("sp_KVR_ValidaEmbarque", [](Call&) {
        return Reply::rows(ResultSet::texts({"Error", "ErrorDesc"}).row({"0", ""}));
    });
    auto* w = new TFr_Embarque1;
    fx.open(w, QStringLiteral("Embarque"));
    auto* manifest = w->findChild<QLineEdit*>("edManifiesto");
    auto* pallet = w->findChild<QLineEdit*>("edTarima");
    auto* notice = w->findChild<QLabel*>("lbAvisos");
    ScanCase c;
    c.name = QStringLiteral("shipment validation");
    c.commands = 1;
    c.window = [&](EnterClock& clock) {
        manifest->setFocus();
        clock.scan(manifest, QStringLiteral("MAN-9001"));
        notice->clear();
        clock.scan(pallet, QStringLiteral("PT-7001"));
        if (notice->text() != QLatin1String("Validacion correcta."))
            fail("the shipment window did not validate: " + notice->text());
    };
    c.bare = [](BareOdbc& b) {
        if (b.exec("EXEC sp_KVR_ValidaEmbarque 'MAN-9001','PT-7001', 7")["Error"] != "0")
            fail("bare shipment validation refused");
    };
    c.module = [] {
        Dm_Velmor->Qr_Aux.run(Dm_Velmor->Cx,
                              QStringLiteral("EXEC sp_KVR_ValidaEmbarque 'MAN-9001','PT-7001', 7"));
        if (Dm_Velmor->Qr_Aux.text(QStringLiteral("Error")).trimmed() != QLatin1String("0"))
            fail("data-module shipment validation refused");
    };
    measureScan(fx, c, bare, relay);
    fx.area()->closeAllSubWindows();
    fx.server().procedures().unscript("sp_KVR_ValidaEmbarque");
}

void entryScan(TerminalFixture& fx, BareOdbc& bare, bench::DelayRelay& relay)
{
    // Storing the same pallet twice is refused by the real procedure.
    fx.server().script("sp_Kvr_GuardaUbicacion",
                       [](Call&) { return Reply::rows(ResultSet::texts({"Error"}).row({"0"})); });
    auto* w = new TFr_EntradaPallet;
    fx.open(w, QStringLiteral("Verificacion de Entrada"));
    auto* kv = w->findChild<QLineEdit*>("EdPalletKV");
    auto* label = w->findChild<QLineEdit*>("EdPalletVelmor");
    auto* location = w->findChild<QLineEdit*>("EdUbicacion");
    auto* notice = w->findChild<QLabel*>("lbAvisos");
    ScanCase c;
    c.name = QStringLiteral("entry verification");
    c.commands = 5; // identify and suggest at the pallet; match, validate and store at the location
    c.window = [&](EnterClock& clock) {
        kv->setFocus();
        clock.scan(kv, QStringLiteral("KV-1001"));
        clock.scan(label, QStringLiteral("SSCC-0001"));
        notice->clear();
        clock.scan(location, QStringLiteral("A-01-02"));
        if (notice->text() != QStringLiteral("Verificación correcta"))
            fail("the entry window did not verify: " + notice->text());
    };
    c.bare = [](BareOdbc& b) {
        if (b.exec("EXECUTE sp_Kvr_IdentificaTipoEntrada 'KV-1001'")["ID_Procedimiento"] != "186")
            fail("bare identify: not 186");
        b.exec("EXECUTE sp_KVR_SugiereLocalidadEntrada 'KV-1001'");
        if (b.exec("EXECUTE sp_KVR_ValidaPallet 'KV-1001','SSCC-0001'").empty() ||
            b.exec("EXECUTE sp_KVR_ValidaLocalidad 'A-01-02'").empty())
            fail("bare entry validation refused");
        b.exec("EXECUTE sp_Kvr_GuardaUbicacion 'KV-1001', 'SSCC-0001', 'A-01-02', 7");
    };
    c.module = [] {
        SharedQuery& q = Dm_Velmor->Qr_Aux;
        q.run(Dm_Velmor->Cx, QStringLiteral("EXECUTE sp_Kvr_IdentificaTipoEntrada 'KV-1001'"));
        q.run(Dm_Velmor->Cx, QStringLiteral("EXECUTE sp_KVR_SugiereLocalidadEntrada 'KV-1001'"));
        q.run(Dm_Velmor->Cx, QStringLiteral("EXECUTE sp_KVR_ValidaPallet 'KV-1001','SSCC-0001'"));
        q.run(Dm_Velmor->Cx, QStringLiteral("EXECUTE sp_KVR_ValidaLocalidad 'A-01-02'"));
        q.run(
            Dm_Velmor->Cx,
            QStringLiteral("EXECUTE sp_Kvr_GuardaUbicacion 'KV-1001', 'SSCC-0001', 'A-01-02', 7"));
    };
    measureScan(fx, c, bare, relay);
    fx.area()->closeAllSubWindows();
    fx.server().procedures().unscript("sp_Kvr_GuardaUbicacion");
}

// A client connection's first use: CxUlmar opens (pre-login, login, and
// what the driver and Qt send after it) at 20 ms, then runs its command.
void clientConnectionOpen(TerminalFixture& fx, bench::DelayRelay& relay)
{
    constexpr double kRtt = 20;
    relay.setRoundTrip(std::chrono::microseconds(static_cast<long>(kRtt * 1000)));
    ConnectionSettings s = inClear(fx);
    s.port = relay.port();
    Connection& cx = Dm_Velmor->CxUlmar;
    cx.configure(s);
    const QString command =
        QStringLiteral("EXECUTE sp_KVR_InventarioValidaLocalidad 'Producto Terminado', 'B-01-01'");
    std::vector<double> openMs, firstMs;
    double openRequests = 0, firstRequests = 0;
    std::uint64_t prelogin = 0, login = 0, batches = 0, calls = 0;
    constexpr int kRuns = 3;
    for (int run = 0; run < kRuns; ++run) {
        cx.close();
        const std::uint64_t r0 = relay.requests(), p0 = relay.requests(0x12),
                            l0 = relay.requests(0x10), b0 = relay.requests(0x01),
                            c0 = relay.requests(0x03);
        qint64 t0 = monotonicNs();
        cx.ensureOpen();
        openMs.push_back(static_cast<double>(monotonicNs() - t0) / 1e6);
        openRequests = static_cast<double>(relay.requests() - r0);
        prelogin = relay.requests(0x12) - p0;
        login = relay.requests(0x10) - l0;
        batches = relay.requests(0x01) - b0;
        calls = relay.requests(0x03) - c0;
        // First use: the open and the command together.
        cx.close();
        const std::uint64_t r1 = relay.requests();
        t0 = monotonicNs();
        Dm_Velmor->Qr_Aux.run(cx, command);
        firstMs.push_back(static_cast<double>(monotonicNs() - t0) / 1e6);
        firstRequests = static_cast<double>(relay.requests() - r1);
        Dm_Velmor->Qr_Aux.close();
    }
    relay.setRoundTrip({});
    cx.close();
    cx.configure(inClear(fx));
    const double open = bench::median(openMs), first = bench::median(firstMs);
    Figure f{QStringLiteral("CxUlmar open at 20 ms"), open, "ms", QStringLiteral("requests x RTT"),
             openRequests * kRtt};
    f.note = QStringLiteral("%1 requests (pre-login %2, login %3, batches %4, calls %5); first "
                            "use with its command: %6 requests, %7 ms")
                 .arg(openRequests)
                 .arg(prelogin)
                 .arg(login)
                 .arg(batches)
                 .arg(calls)
                 .arg(firstRequests)
                 .arg(first, 0, 'f', 1);
    add(f);
    add({QStringLiteral("CxUlmar open: requests on the link"), openRequests, "", "", 0, "", true});
}

// --- the link with and without TLS ---------------------------------------------------

// The profile's three ways of talking to a server that can encrypt: nothing
// encrypted, the login packet alone (the default), the whole session. The
// session verifies the stand-in's certificate, as a site with ca_file does.
struct TlsMode {
    const char* name;
    LinkEncryption encrypt;
};
constexpr TlsMode kTlsModes[] = {{"encrypt=off", LinkEncryption::Off},
                                 {"encrypt=login", LinkEncryption::Login},
                                 {"encrypt=on", LinkEncryption::On}};
constexpr int kTlsModeCount = 3;

ConnectionSettings tlsSettings(TerminalFixture& fx, LinkEncryption encrypt)
{
    ConnectionSettings s = fx.settings();
    s.security.encrypt = encrypt;
    s.security.certificateSha256.clear();
    if (encrypt == LinkEncryption::On)
        s.security.caFile = QString::fromStdString(fx.server().certificateFile().string());
    return s;
}

// A bare connection with the string the data module derives for `s`. FreeTDS
// reads a CA file only from its configuration file, so that goes where
// FREETDSCONF points, as the data module puts it.
std::unique_ptr<BareOdbc> tlsBare(const ConnectionSettings& s, const QTemporaryDir& dir)
{
    const OdbcString odbc(s, QStringLiteral("KV_NORDA_PREVENTA"));
    if (!odbc.problem().isEmpty())
        fail("TLS bench: " + odbc.problem());
    if (!odbc.freeTdsConfiguration().isEmpty()) {
        QFile conf(dir.filePath(QStringLiteral("freetds.conf")));
        if (!conf.open(QIODevice::WriteOnly) ||
            conf.write(odbc.freeTdsConfiguration().toUtf8()) < 0)
            fail("TLS bench: cannot write the driver's configuration");
        conf.close();
        qputenv("FREETDSCONF", QFile::encodeName(conf.fileName()));
    }
    return std::make_unique<BareOdbc>(odbc.text().toStdString());
}

// Where the client and the stand-in's connection threads run: on one core
// (every wake-up a switch on that core: what the commands cost in CPU) or a
// core each (every request and reply wakes the other core).
struct Placement {
    const char* name;
    int clientCpu, serverCpu;
};
constexpr Placement kPlacements[] = {{"one core", 0, 0}, {"two cores", 0, 1}};

// Medians per mode of each of the count scan's three commands and of the
// scan, and the CPU per scan of this thread (the terminal's side) and of the
// others (the stand-in's), for one placement.
struct TlsCommands {
    double commandUs[kTlsModeCount][3] = {};
    double scanUs[kTlsModeCount] = {};
    double clientCpuUs[kTlsModeCount] = {};
    double serverCpuUs[kTlsModeCount] = {};
};

// The mode that goes `k`th in round `i`: each round starts with the next
// one, so that none always follows the same one.
int tlsTurn(int i, int k)
{
    return ((i + k) % kTlsModeCount + kTlsModeCount) % kTlsModeCount;
}

// Per mode, the medians of the open of a data-module connection (pre-login,
// the TLS handshake where there is one, the login and what the driver and Qt
// send after it) in ms, and of the CPU it takes in us, this thread's and the
// others' (the stand-in's).
struct TlsOpens {
    double ms[kTlsModeCount] = {};
    double clientCpuUs[kTlsModeCount] = {};
    double serverCpuUs[kTlsModeCount] = {};
};

// Opens and closes one connection per mode in turn, `runs` times.
TlsOpens tlsOpens(TerminalFixture& fx, int runs)
{
    std::vector<std::unique_ptr<Connection>> links;
    std::vector<std::vector<double>> ms(kTlsModeCount), client(kTlsModeCount),
        server(kTlsModeCount);
    for (const TlsMode& m : kTlsModes) {
        links.push_back(std::make_unique<Connection>(QString::fromLatin1(m.name),
                                                     QStringLiteral("KV_NORDA_PREVENTA")));
        links.back()->configure(tlsSettings(fx, m.encrypt));
    }
    for (int i = -3; i < runs; ++i)
        for (int k = 0; k < kTlsModeCount; ++k) {
            const int m = tlsTurn(i, k);
            const bench::CpuClock cpu;
            const qint64 t0 = monotonicNs();
            links[m]->ensureOpen();
            const double took = static_cast<double>(monotonicNs() - t0) / 1e6;
            const bench::CpuSplit used = cpu.since();
            links[m]->close();
            if (i < 0)
                continue;
            ms[m].push_back(took);
            client[m].push_back(used.self);
            server[m].push_back(used.others);
        }
    TlsOpens opens;
    for (int m = 0; m < kTlsModeCount; ++m) {
        opens.ms[m] = bench::median(ms[m]);
        opens.clientCpuUs[m] = bench::median(client[m]);
        opens.serverCpuUs[m] = bench::median(server[m]);
    }
    return opens;
}

// The count scan's commands over one bare connection per mode, a scan of
// each mode in turn, each command timed on its own.
void tlsInterleaved(std::vector<std::unique_ptr<BareOdbc>>& bare, TlsCommands& r, int scans)
{
    std::vector<std::vector<double>> us(kTlsModeCount * 3), scan(kTlsModeCount),
        client(kTlsModeCount), server(kTlsModeCount);
    for (int i = -20; i < scans; ++i)
        for (int k = 0; k < kTlsModeCount; ++k) {
            const int m = tlsTurn(i, k);
            int step = 0;
            const bench::CpuClock cpu;
            qint64 lap = monotonicNs();
            const qint64 t0 = lap;
            bareCountScan(*bare[m], gCountId, [&] {
                const qint64 now = monotonicNs();
                if (i >= 0)
                    us[m * 3 + step].push_back(static_cast<double>(now - lap) / 1e3);
                ++step;
                lap = now;
            });
            const double took = static_cast<double>(monotonicNs() - t0) / 1e3;
            const bench::CpuSplit used = cpu.since();
            if (i < 0)
                continue;
            scan[m].push_back(took);
            client[m].push_back(used.self);
            server[m].push_back(used.others);
        }
    for (int m = 0; m < kTlsModeCount; ++m) {
        for (int c = 0; c < 3; ++c)
            r.commandUs[m][c] = bench::median(us[m * 3 + c]);
        r.scanUs[m] = bench::median(scan[m]);
        r.clientCpuUs[m] = bench::median(client[m]);
        r.serverCpuUs[m] = bench::median(server[m]);
    }
}

// What one mode's commands cost on one placement, for the note beside its figure.
QString tlsNote(const TlsCommands& r, int m)
{
    return QStringLiteral("validation %1 us, product lookup %2 us, recording %3 us; CPU per "
                          "scan: client %4 us, stand-in %5 us")
        .arg(r.commandUs[m][0], 0, 'f', 1)
        .arg(r.commandUs[m][1], 0, 'f', 1)
        .arg(r.commandUs[m][2], 0, 'f', 1)
        .arg(r.clientCpuUs[m], 0, 'f', 1)
        .arg(r.serverCpuUs[m], 0, 'f', 1);
}

void tlsFigures(const TlsOpens& opens, const std::vector<TlsCommands>& placed)
{
    auto cpu = [&](int m) {
        return QStringLiteral("CPU per open: client %1 us, stand-in %2 us")
            .arg(opens.clientCpuUs[m], 0, 'f', 0)
            .arg(opens.serverCpuUs[m], 0, 'f', 0);
    };
    Figure clear{QStringLiteral("open, encrypt=off"), opens.ms[0], "ms"};
    clear.note = cpu(0);
    add(clear);
    for (int m = 1; m < kTlsModeCount; ++m) {
        const double handshake = opens.ms[m] - opens.ms[0];
        Figure f{QStringLiteral("open: %1 - encrypt=off").arg(QLatin1String(kTlsModes[m].name)),
                 handshake,
                 "ms",
                 QStringLiteral("open %1 ms, encrypt=off").arg(opens.ms[m], 0, 'f', 3),
                 opens.ms[0],
                 "<= 5 ms",
                 handshake <= 5};
        f.note = cpu(m);
        add(f);
        std::printf("      %s\n", qPrintable(f.note));
    }
    for (std::size_t p = 0; p < placed.size(); ++p) {
        const TlsCommands& r = placed[p];
        const QLatin1String where(kPlacements[p].name);
        Figure clear{QStringLiteral("count scan, encrypt=off, %1").arg(where), r.scanUs[0], "us"};
        clear.note = tlsNote(r, 0);
        add(clear);
        for (int m = 1; m < kTlsModeCount; ++m) {
            const double ratio = r.scanUs[m] / r.scanUs[0];
            Figure f{QStringLiteral("count scan, %1: %2 / off")
                         .arg(where, QLatin1String(kTlsModes[m].name)),
                     ratio,
                     "x",
                     QStringLiteral("%1 us, encrypt=off").arg(r.scanUs[m], 0, 'f', 1),
                     r.scanUs[0],
                     "<= 1.10",
                     ratio <= 1.10};
            f.note = tlsNote(r, m);
            add(f);
            std::printf("      %s\n", qPrintable(f.note));
        }
    }
}

// Login time and the count scan's commands with encrypt=off, login and on.
void tlsLinks(TerminalFixture& fx)
{
    // Opens on one core: a handshake is a chain of hand-overs between the
    // two ends, and a core each only adds the scheduler's wake-ups to it.
    if (!bench::pinThreads(0, 0))
        fail("cannot place the threads on one core");
    const TlsOpens opens = tlsOpens(fx, 40);
    QTemporaryDir dir;
    std::vector<std::unique_ptr<BareOdbc>> bare;
    for (const TlsMode& m : kTlsModes)
        bare.push_back(tlsBare(tlsSettings(fx, m.encrypt), dir));
    std::vector<TlsCommands> placed;
    for (const Placement& p : kPlacements) {
        if (!bench::pinThreads(p.clientCpu, p.serverCpu)) {
            std::printf("    count scans on %s: not measured, this machine has fewer cores\n",
                        p.name);
            break;
        }
        tlsInterleaved(bare, placed.emplace_back(), 1000);
    }
    bench::pinThreads(-1, -1);
    tlsFigures(opens, placed);
}

// For a profiler: `scans` count scans over bare ODBC in one mode only
// ("off", "login" or "on").
void tlsLoop(TerminalFixture& fx, const QString& mode, int scans)
{
    const auto* m = std::find_if(std::begin(kTlsModes), std::end(kTlsModes), [&](const TlsMode& t) {
        return QLatin1String(t.name).endsWith(QLatin1Char('=') + mode);
    });
    if (m == std::end(kTlsModes) || scans <= 0)
        fail("--tls-loop takes off, login or on and a number of scans");
    QTemporaryDir dir;
    const std::unique_ptr<BareOdbc> bare = tlsBare(tlsSettings(fx, m->encrypt), dir);
    const bench::CpuClock cpu;
    const qint64 wall = monotonicNs();
    for (int i = 0; i < scans; ++i)
        bareCountScan(*bare, gCountId);
    const double us = static_cast<double>(monotonicNs() - wall) / 1e3 / scans;
    const bench::CpuSplit used = cpu.since();
    std::printf("%d count scans (%s): %.1f us each; CPU per scan: this thread %.1f us, the "
                "others %.1f us\n",
                scans, m->name, us, used.self / scans, used.others / scans);
}

// --- the 100,000-row grid -------------------------------------------------------------

void grid(TerminalFixture& fx, BareOdbc& bare)
{
    constexpr int kRows = 100000;
    constexpr int kRuns = 5;
    auto answer = std::make_shared<ResultSet>(ResultSet::texts({"localidad", "tarima"}));
    answer->rows.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
        char location[16], pallet[32];
        std::snprintf(location, sizeof location, "C-%02d-%03d", i / 1000 % 100, i % 1000);
        std::snprintf(pallet, sizeof pallet, "KC-%07d-COMPONENTE", i);
        answer->row({std::string(location), std::string(pallet)});
    }
    fx.server().script("sp_KVR_ValidaTarimaComponenteKV", [](Call&) {
        return Reply::rows(ResultSet::texts({"Error", "ErrorDesc"}).row({"0", ""}));
    });
    fx.server().script("sp_KVR_SugiereLocalidadParaSurtir",
                       [answer](Call&) { return Reply::rows(*answer); });

    auto* w = new TFr_EntradaCajaRollo;
    fx.open(w, QStringLiteral("Surtido"));
    auto* comp = w->findChild<QLineEdit*>("TxtPalletComp");
    auto* dbg = w->findChild<DataGrid*>("dbgLocalidadTarima");
    comp->setText("KC-0000001");
    QApplication::processEvents();
    const long rssBefore = bench::procStatusKb("VmRSS:");
    long rssAfter = 0;
    std::vector<double> shown, bareMs;
    const bench::CpuSplit cpu0 = bench::cpuSplit();
    for (int run = 0; run < kRuns; ++run) {
        comp->setFocus();
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(comp, Qt::Key_Return);
        dbg->viewport()->repaint();
        shown.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        if (dbg->rows() != kRows)
            fail(QStringLiteral("the grid shows %1 rows").arg(dbg->rows()));
        QApplication::processEvents();
        if (run == 0)
            rssAfter = bench::procStatusKb("VmRSS:");
    }
    const bench::CpuSplit cpu1 = bench::cpuSplit();
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer timer;
        timer.start();
        std::size_t rows = 0;
        bare.exec("EXECUTE sp_KVR_SugiereLocalidadParaSurtir 'KC-0000001'", &rows);
        bareMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        if (rows != kRows)
            fail("bare grid fetch: wrong row count");
    }
    const double ms = bench::median(shown);
    Figure f{QStringLiteral("100,000-row grid: Enter to painted"),
             ms,
             "ms",
             "bare ODBC fetch of the rows",
             bench::median(bareMs),
             "<= 300 ms",
             ms <= 300};
    f.note = QStringLiteral("CPU per run: terminal thread %1 ms, stand-in %2 ms; +%3 MB RSS")
                 .arg((cpu1.self - cpu0.self) / kRuns, 0, 'f', 0)
                 .arg((cpu1.others - cpu0.others) / kRuns, 0, 'f', 0)
                 .arg(static_cast<double>(rssAfter - rssBefore) / 1024, 0, 'f', 1);
    add(f);
    std::printf("    %s\n", qPrintable(f.note));
    fx.area()->closeAllSubWindows();
    fx.server().procedures().unscript("sp_KVR_SugiereLocalidadParaSurtir");
    fx.server().procedures().unscript("sp_KVR_ValidaTarimaComponenteKV");
}

// --- start-up, in fresh processes -----------------------------------------------------

// The terminal's start-up up to the login window; then login and the three
// count windows opened from the menu. Prints: shown-at ns, RSS at login
// window kB, RSS with the three windows open kB.
int startupChild(int argc, char** argv)
{
    LectoraApplication app(argc, argv);
    int exitCode = 0;
    std::unique_ptr<Terminal> terminal = bench::startChildTerminal(exitCode);
    if (!terminal)
        return exitCode;
    TFr_Menu* menu = terminal->mainWindow.get();
    if (!QTest::qWaitForWindowExposed(menu))
        return 1;
    const qint64 shownAt = monotonicNs();
    const long rssLogin = bench::procStatusKb("VmRSS:");

    auto* user = menu->findChild<QLineEdit*>("edt_Usuario");
    auto* password = menu->findChild<QLineEdit*>("edt_Contra");
    if (!user || !password)
        return 4;
    user->setText("demo");
    password->setFocus();
    TerminalFixture::scan(password, "demo");
    if (menu->IdPersona().isEmpty())
        return 5;
    for (const char* entry : {"Inventario1", "NordaPavrel1", "Ulmar1"})
        menu->entry(QString::fromLatin1(entry))->trigger();
    QTest::qWait(50);
    if (!MessageService::instance().shown().isEmpty())
        return 6;
    std::printf("%lld %ld %ld\n", static_cast<long long>(shownAt), rssLogin,
                bench::procStatusKb("VmRSS:"));
    return 0;
}

struct StartupRun {
    double ms = 0, loginMb = 0, windowsMb = 0;
};

// The child's environment: a home of its own, so that no profile of the
// machine's or the user's is read and the demo data is the child's.
QProcessEnvironment startupEnvironment(const QTemporaryDir& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("LECTORA_PROFILE", QString());
    if (!env.contains("QT_QPA_PLATFORM"))
        env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

// One fresh start of `benchmark`'s --startup-child, timed from the spawn.
StartupRun startOnce(const QString& benchmark, const QProcessEnvironment& env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    const qint64 t0 = monotonicNs();
    p.start(benchmark, {"--startup-child"});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        fail(QStringLiteral("start-up run of %1 failed (%2): %3")
                 .arg(benchmark)
                 .arg(p.exitCode())
                 .arg(QString::fromLocal8Bit(p.readAllStandardError())));
    const QList<QByteArray> v = p.readAllStandardOutput().trimmed().split(' ');
    if (v.size() != 3)
        fail(benchmark + " printed no start-up figures");
    return {static_cast<double>(v[0].toLongLong() - t0) / 1e6, v[1].toDouble() / 1024,
            v[2].toDouble() / 1024};
}

// Medians of `runs` starts of each benchmark, taken in turn so that the
// machine's moods fall on all alike. Each has its own home, made on a first
// start that is not counted (it creates the demo data).
std::vector<StartupRun> startupMedians(const QStringList& benchmarks, int runs,
                                       std::vector<StartupRun>* first = nullptr)
{
    std::vector<std::unique_ptr<QTemporaryDir>> homes;
    std::vector<std::vector<StartupRun>> all(benchmarks.size());
    for (const QString& b : benchmarks) {
        homes.push_back(std::make_unique<QTemporaryDir>());
        const StartupRun r = startOnce(b, startupEnvironment(*homes.back()));
        if (first)
            first->push_back(r);
    }
    for (int i = 0; i < runs; ++i)
        for (qsizetype b = 0; b < benchmarks.size(); ++b)
            all[b].push_back(startOnce(benchmarks[b], startupEnvironment(*homes[b])));
    std::vector<StartupRun> medians;
    for (const std::vector<StartupRun>& r : all) {
        auto of = [&](double StartupRun::*field) {
            std::vector<double> v;
            for (const StartupRun& one : r)
                v.push_back(one.*field);
            return bench::median(v);
        };
        medians.push_back({of(&StartupRun::ms), of(&StartupRun::loginMb),
                           of(&StartupRun::windowsMb)});
    }
    return medians;
}

void startup()
{
    std::vector<StartupRun> first;
    const StartupRun m =
        startupMedians({QCoreApplication::applicationFilePath()}, 7, &first).front();
    add({"start to login window shown", m.ms, "ms", "first start, demo data created",
         first.front().ms, "<= 300 ms", m.ms <= 300});
    add({"RSS after login, three count windows open", m.windowsMb, "MB", "RSS at login window",
         m.loginMb, "<= 80 MB", m.windowsMb <= 80});
}

// --- the stand-in under 32 terminals ------------------------------------------------------

struct LoadFigures {
    double perSecond = 0, p50 = 0, p99 = 0;
};

LoadFigures runLoad(int port)
{
    constexpr int kClients = 32;
    constexpr int kScans = 150; // per client, three commands each
    using Clock = std::chrono::steady_clock;
    std::vector<std::vector<double>> micros(kClients);
    std::atomic<int> errors{0};
    std::barrier start(kClients + 1), finish(kClients + 1);
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&, c] {
            std::unique_ptr<BareOdbc> odbc;
            try {
                odbc = std::make_unique<BareOdbc>(bench::odbcConnectionString(port));
            } catch (const std::exception&) {
                ++errors;
            }
            // A count scan, as the count window sends it: validation, lookup,
            // recording; each command timed on its own.
            auto scan = [&](int) {
                auto t = Clock::now();
                try {
                    if (odbc)
                        bareCountScan(*odbc, gCountId, [&] {
                            const auto now = Clock::now();
                            micros[c].push_back(
                                std::chrono::duration<double, std::micro>(now - t).count());
                            t = now;
                        });
                } catch (const std::exception&) {
                    ++errors;
                }
            };
            for (int i = 0; i < 5; ++i)
                scan(-1 - i);
            micros[c].clear();
            start.arrive_and_wait();
            for (int i = 0; i < kScans; ++i)
                scan(i);
            finish.arrive_and_wait();
        });
    start.arrive_and_wait();
    const bench::CpuSplit cpu0 = bench::cpuSplit();
    const auto t0 = Clock::now();
    finish.arrive_and_wait();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const bench::CpuSplit cpu1 = bench::cpuSplit();
    for (auto& t : threads)
        t.join();
    std::vector<double> all;
    for (auto& v : micros)
        all.insert(all.end(), v.begin(), v.end());
    const LoadFigures f{static_cast<double>(all.size()) / seconds,
                        bench::percentile(all, 0.5) / 1000, bench::percentile(all, 0.99) / 1000};
    std::printf("    %zu commands in %.2f s, %d errors; CPU: clients and stand-in %.0f ms in "
                "%.0f ms wall on %u cores\n",
                all.size(), seconds, errors.load(), cpu1.others - cpu0.others, seconds * 1000,
                std::thread::hardware_concurrency());
    if (errors > 0)
        fail("commands failed under load");
    return f;
}

void load(int port)
{
    const LoadFigures f = runLoad(port);
    add({"32 terminals: commands per second", f.perSecond, "/s", "", 0, ">= 10,000/s",
         f.perSecond >= 10000});
    add({"32 terminals: p50 latency", f.p50, "ms", "", 0, "", true});
    add({"32 terminals: p99 latency", f.p99, "ms", "", 0, "<= 5 ms", f.p99 <= 5});
}

// --- beside an older build (--before BUILD_DIR) ------------------------------------

// The lectora-server of a build folder, on a port it picks, with a data
// folder of its own, stopped when this goes.
class ServerProcess
{
public:
    explicit ServerProcess(const QString& build)
    {
        m_process.start(build + "/server/lectora-server",
                        {"--listen", "127.0.0.1:0", "--data", m_data.filePath("data")});
        static const QRegularExpression listening(
            QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        QString said;
        while (m_port == 0 && m_process.waitForReadyRead(30000)) {
            said += QString::fromLocal8Bit(m_process.readAllStandardOutput());
            if (const QRegularExpressionMatch m = listening.match(said); m.hasMatch())
                m_port = m.captured(1).toInt();
        }
        if (m_port == 0)
            fail(build + "/server/lectora-server did not start: " + said +
                 QString::fromLocal8Bit(m_process.readAllStandardError()));
    }
    ~ServerProcess()
    {
        m_process.terminate();
        m_process.waitForFinished(10000);
    }
    int port() const { return m_port; }

private:
    QTemporaryDir m_data;
    QProcess m_process;
    int m_port = 0;
};

double ratioOfMedians(const std::vector<double>& today, const std::vector<double>& before)
{
    return bench::median(today) / bench::median(before);
}

// The 32 simulated terminals against today's stand-in and the older one's,
// each as a process of its own, in turn.
void loadBeside(const QString& before)
{
    ServerProcess today(QCoreApplication::applicationDirPath() + "/.."), older(before);
    std::vector<double> rate[2], p99[2];
    for (int i = 0; i < 3; ++i)
        for (int which = 0; which < 2; ++which) {
            const LoadFigures f = runLoad(which == 0 ? today.port() : older.port());
            rate[which].push_back(f.perSecond);
            p99[which].push_back(f.p99);
        }
    const double r = ratioOfMedians(rate[0], rate[1]), p = ratioOfMedians(p99[0], p99[1]);
    add({"32 terminals: commands/s, today / before", r, "x", "before, /s",
         bench::median(rate[1]), ">= 0.95", r >= 0.95});
    add({"32 terminals: p99, today / before", p, "x", "before, ms", bench::median(p99[1]),
         "<= 1.00", p <= 1.0});
}

// Start-up, memory and the stand-in under load, beside the build in `before`
// (a build folder of an older commit, with its bench_all and lectora-server).
void beside(const QString& before)
{
    std::printf("  beside %s:\n", qPrintable(before));
    const std::vector<StartupRun> m =
        startupMedians({QCoreApplication::applicationFilePath(), before + "/bench/bench_all"}, 12);
    const double start = m[0].ms / m[1].ms, login = m[0].loginMb - m[1].loginMb,
                 windows = m[0].windowsMb - m[1].windowsMb;
    add({"start to login window, today / before", start, "x", "before, ms", m[1].ms, "<= 1.05",
         start <= 1.05});
    add({"RSS at login window, today - before", login, "MB", "before, MB", m[1].loginMb,
         "<= +2 MB", login <= 2});
    add({"RSS, three count windows, today - before", windows, "MB", "before, MB",
         m[1].windowsMb, "<= +2 MB", windows <= 2});
    loadBeside(before);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--startup-child") == 0)
        return startupChild(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QString json = QCoreApplication::applicationDirPath() + "/results.json";
    // --scans: the window scans only (for a profiler); nothing is written.
    const bool scansOnly = app.arguments().contains(QStringLiteral("--scans"));
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], "--json") == 0)
            json = QString::fromLocal8Bit(argv[i + 1]);

    std::printf("LectoraVelmor benchmarks (%u cores, platform %s)\n",
                std::thread::hardware_concurrency(), qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("  %-44s %10s %-5s  (baseline)  target\n", "figure", "value", "unit");
    try {
        TerminalFixture fx;
        MessageService::instance().setScripted(true);
        BareOdbc bare(bench::odbcConnectionString(fx.server().port()));
        pointDataModuleAt(fx, fx.server().port());
        const QStringList args = app.arguments();
        const int loop = args.indexOf(QStringLiteral("--loop"));
        if (loop > 0 && loop + 3 < args.size())
            gLoop = LoopRequest{args[loop + 1], args[loop + 2], args[loop + 3].toInt()};
        // --tls: the link with and without TLS alone, nothing written;
        // --tls-loop off|login|on N: N count scans in one mode, for a profiler.
        const int tlsLoopAt = args.indexOf(QStringLiteral("--tls-loop"));
        if (tlsLoopAt > 0 && tlsLoopAt + 2 < args.size()) {
            findCountId(fx);
            tlsLoop(fx, args[tlsLoopAt + 1], args[tlsLoopAt + 2].toInt());
            return 0;
        }
        if (args.contains(QStringLiteral("--tls"))) {
            findCountId(fx);
            tlsLinks(fx);
            return 0;
        }
        bench::DelayRelay relay(fx.server().port());
        gLogOnly = args.contains(QStringLiteral("--log"));
        inventoryScan(fx, bare, relay);
        if (gLogOnly)
            return 0;
        shipmentScan(fx, bare, relay);
        entryScan(fx, bare, relay);
        if (gLoop)
            return 0;
        clientConnectionOpen(fx, relay);
        tlsLinks(fx);
        if (!MessageService::instance().shown().isEmpty())
            fail("a message was shown during the scans: " +
                 MessageService::instance().shown().first().text);
        if (scansOnly)
            return 0;
        grid(fx, bare);
        load(fx.server().port());
    } catch (const std::exception& e) {
        fail(QString::fromUtf8(e.what()));
    }
    startup();
    if (const int at = app.arguments().indexOf(QStringLiteral("--before"));
        at > 0 && at + 1 < argc)
        beside(QDir(app.arguments()[at + 1]).absolutePath());

    QJsonArray list;
    int missed = 0;
    for (const Figure& f : figures) {
        QJsonObject o{{"name", f.name}, {"value", f.value}, {"unit", f.unit}};
        if (f.baseline > 0) {
            o["baseline_name"] = f.baselineName;
            o["baseline"] = f.baseline;
        }
        if (!f.target.isEmpty()) {
            o["target"] = f.target;
            o["met"] = f.met;
            missed += f.met ? 0 : 1;
        }
        if (!f.note.isEmpty())
            o["note"] = f.note;
        list.append(o);
    }
    QJsonObject root{{"cores", static_cast<int>(std::thread::hardware_concurrency())},
                     {"when", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                     {"figures", list}};
    QFile out(json);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(root).toJson()) < 0)
        fail("cannot write " + json);
    std::printf("%d target(s) missed; figures written to %s\n", missed,
                qPrintable(QFileInfo(json).absoluteFilePath()));
    return 0;
}
