// What one command costs the terminal through its data module against the
// in-process stand-in: the shared query's full protocol, a stored-procedure
// component with in/out parameters, and the reopen after a lost link; beside
// the procedure host alone (no wire) for the same login call. Prints figures.
#include "data/CommandText.h"
#include "data/DbError.h"
#include "data/U_Data.h"
#include "server/Database.h"
#include "server/EmbeddedServer.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace lectora::server;

namespace
{

void report(const char* what, int runs, const std::function<void()>& step)
{
    std::vector<double> micros;
    micros.reserve(runs);
    const auto begin = Clock::now();
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        step();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::sort(micros.begin(), micros.end());
    std::printf("%-44s n=%-6d p50=%8.1f us  p99=%8.1f us  %9.0f /s\n", what, runs,
                micros[micros.size() / 2], micros[micros.size() * 99 / 100], runs / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    EmbeddedServer server;
    server.start();
    server.script("sp_KVR_ScaneoInventarioDet", [](Call& c) {
        Reply r;
        r.outputs["@Error"] = Value(0);
        r.outputs["@ErrorDescripcion"] = Value("Registrado " + c.arg("@serie").toText());
        return r;
    });

    ConnectionSettings settings;
    settings.port = server.port();
    settings.workstation = QStringLiteral("BENCH");
    settings.security.certificateSha256 = QString::fromStdString(server.certificateFingerprint());
    TDm_Velmor dm(settings);

    report("shared query: EXECUTE sp_KVR_Persona", 2000, [&] {
        dm.Qr_Aux.run(dm.Cx, CommandText("EXECUTE sp_KVR_Persona").quoted("demo").quoted("demo"));
        if (dm.Qr_Aux.text("ID_Persona").isEmpty())
            std::fputs("no row\n", stderr);
    });

    auto& sp = dm.sp_KVR_ScaneoInventarioDet;
    sp.setParam("@id_personausuario", 1);
    sp.setParam("@id_inventarioconteo", 1);
    sp.setParam("@NombreAlmacen", "Almacén Norte");
    sp.setParam("@id_localidad", "A-01-01");
    sp.setParam("@id_producto", 41);
    sp.setParam("@lote", "");
    sp.setParam("@IndCantidad", 1);
    int n = 0;
    report("component: sp_KVR_ScaneoInventarioDet;1", 2000, [&] {
        sp.close();
        sp.setParam("@serie", QStringLiteral("SER-%1").arg(++n));
        sp.execProc();
        if (sp.output("@ErrorDescripcion").toString().isEmpty())
            std::fputs("no output\n", stderr);
    });

    report("lost link, then reopen and command", 200, [&] {
        server.dropConnections();
        try {
            dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
        } catch (const DbError&) {
        }
        dm.Qr_Aux.run(dm.Cx, "EXECUTE sp_KVR_Persona 'demo','demo'");
    });

    Database db(":memory:", "KV_NORDA_PREVENTA");
    for (const auto& m : procedureModules())
        if (m.name == std::string("login"))
            db.transaction([&] { m.seed(db, "KV_NORDA_PREVENTA"); });
    ProcedureRegistry registry;
    for (const auto& m : procedureModules())
        m.registerProcedures(registry);
    ProcedureHost host(registry, [&](std::string_view) { return &db; });
    report("host alone: sp_KVR_Persona (no wire)", 20000, [&] {
        Call c;
        c.procedure = "sp_KVR_Persona";
        c.catalogue = "KV_NORDA_PREVENTA";
        c.args = {{{}, "demo", false}, {{}, "demo", false}};
        if (host.run(c).results.at(0).rows.empty())
            std::fputs("no row\n", stderr);
    });
    return 0;
}
