// Time per recorded scan in the count window (keys typed, Enter, handler end)
// beside a bare loop that sends the same three calls with QSqlQuery over the
// same ODBC connection to the same in-process stand-in, and the same calls
// through the data module without the window. All run in turns in one process
// so that they see the same machine load; the figures that matter are the ratios.
#include "app/shell/MessageService.h"
#include "bench/BenchKit.h"
#include "data/U_Data.h"
#include "inventory/U_Inventario.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QSqlQuery>
#include <QSqlRecord>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace
{

constexpr int kRounds = 8;
constexpr int kScansPerRound = 40;
constexpr int kWarmUp = 10;

const QString kValidation = QStringLiteral(
    "EXECUTE sp_KVR_InventarioValidaProductoLocalidad 'Producto Terminado', 'B-01-01', 'PRD-100'");

// The three calls of one recorded scan, as a program without the window would send them.
void bareScan(QSqlDatabase db, int countId)
{
    QSqlQuery validate(db);
    validate.setForwardOnly(true);
    if (!validate.exec(kValidation) || !validate.next() ||
        validate.value(validate.record().indexOf("Error")).toString().trimmed() == "1")
        qFatal("validation refused");
    validate.finish();

    QSqlQuery lookup(db);
    lookup.setForwardOnly(true);
    lookup.prepare(QStringLiteral("{? = call sp_KVR_ObtieneIDProducto;1(?,?)}"));
    lookup.bindValue(0, QVariant(QMetaType::fromType<int>()), QSql::Out);
    lookup.bindValue(1, QStringLiteral("PRD-100"));
    lookup.bindValue(2, QVariant(QMetaType::fromType<double>()), QSql::InOut);
    if (!lookup.exec())
        qFatal("lookup failed");
    while (lookup.nextResult()) {
    }
    const int product = lookup.boundValue(2).toInt();

    QSqlQuery record(db);
    record.setForwardOnly(true);
    record.prepare(QStringLiteral("{? = call sp_KVR_ScaneoInventarioDet;1(?,?,?,?,?,?,?,?,?,?)}"));
    record.bindValue(0, QVariant(QMetaType::fromType<int>()), QSql::Out);
    record.bindValue(1, 7);
    record.bindValue(2, countId);
    record.bindValue(3, QStringLiteral("Producto Terminado"));
    record.bindValue(4, QStringLiteral("B-01-01"));
    record.bindValue(5, product);
    record.bindValue(6, QStringLiteral("PRD-100"));
    record.bindValue(7, QString(""));
    record.bindValue(8, 1);
    record.bindValue(9, QVariant(QMetaType::fromType<int>()), QSql::InOut);
    record.bindValue(10, QString(500, QLatin1Char(' ')), QSql::InOut);
    if (!record.exec())
        qFatal("recording failed");
    while (record.nextResult()) {
    }
    if (record.boundValue(9).toInt() > 0)
        qFatal("recording refused");
}

// The same three calls through the data module as the window makes them,
// without the window: separates what the widgets cost from what the data
// module costs.
void dataModuleScan(int countId)
{
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(Dm_Velmor->Cx, kValidation);
    if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("1"))
        qFatal("validation refused");
    q.close();

    StoredProc& lookup = Dm_Velmor->sp_KVR_ObtieneIDProducto;
    lookup.setConnection(Dm_Velmor->Cx);
    lookup.close();
    lookup.setParam(QStringLiteral("@Serie"), QStringLiteral("PRD-100"));
    lookup.execProc();
    const int product = lookup.output(QStringLiteral("@id_producto")).toInt();

    StoredProc& record = Dm_Velmor->sp_KVR_ScaneoInventarioDet;
    record.setConnection(Dm_Velmor->Cx);
    record.close();
    record.setParam(QStringLiteral("@id_personausuario"), QStringLiteral("7"));
    record.setParam(QStringLiteral("@id_inventarioconteo"), countId);
    record.setParam(QStringLiteral("@NombreAlmacen"), QStringLiteral("Producto Terminado"));
    record.setParam(QStringLiteral("@id_localidad"), QStringLiteral("B-01-01"));
    record.setParam(QStringLiteral("@id_producto"), product);
    record.setParam(QStringLiteral("@serie"), QStringLiteral("PRD-100"));
    record.setParam(QStringLiteral("@lote"), QString(""));
    record.setParam(QStringLiteral("@IndCantidad"), 1);
    record.execProc();
    if (record.output(QStringLiteral("@Error")).toString().toInt() > 0)
        qFatal("recording refused");
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TerminalFixture fx;
    MessageService::instance().setScripted(true);

    auto* w = new TfrInventario;
    fx.open(w, QStringLiteral("Inventario Norda Preventa"));
    auto* combo = w->findChild<QComboBox*>("cmbRegConteo");
    const int index = combo->findText(QStringLiteral("NP-PAR-01"));
    if (index < 0)
        qFatal("the demo count NP-PAR-01 is missing");
    combo->setCurrentIndex(index);
    Q_EMIT combo->activated(index);
    const int countId = combo->itemData(index).toInt();
    w->findChild<QLineEdit*>("edLocalidad")->setText(QStringLiteral("B-01-01"));
    auto* product = w->findChild<QLineEdit*>("EdProducto");
    auto* message = w->findChild<QLabel*>("lblMensaje");
    QSqlDatabase db = fx.dm().Cx.database();

    auto windowScan = [&] {
        TerminalFixture::scan(product, QStringLiteral("PRD-100"));
        if (message->text() != QLatin1String("1 Producto(s) Escaneado"))
            qFatal("the window did not record the scan: %s", qPrintable(message->text()));
    };
    for (int i = 0; i < kWarmUp; ++i) {
        windowScan();
        dataModuleScan(countId);
        bareScan(db, countId);
    }

    std::vector<double> windowMs, moduleMs, bareMs;
    QElapsedTimer timer;
    auto measure = [&](std::vector<double>& into, const std::function<void()>& scan) {
        timer.start();
        for (int i = 0; i < kScansPerRound; ++i)
            scan();
        into.push_back(timer.nsecsElapsed() / 1e6 / kScansPerRound);
    };
    for (int round = 0; round < kRounds; ++round) {
        measure(windowMs, windowScan);
        measure(moduleMs, [&] { dataModuleScan(countId); });
        measure(bareMs, [&] { bareScan(db, countId); });
    }
    if (!MessageService::instance().shown().isEmpty())
        qFatal("a message was shown during the run");

    const double window = bench::upperMedian(windowMs), module = bench::upperMedian(moduleMs),
                 bare = bench::upperMedian(bareMs);
    std::printf("recorded scan, %d rounds of %d scans each\n", kRounds, kScansPerRound);
    std::printf("  window (keys, Enter, handler end): median %.3f ms  mean %.3f ms\n", window,
                bench::mean(windowMs));
    std::printf("  data module, same three calls    : median %.3f ms  mean %.3f ms\n", module,
                bench::mean(moduleMs));
    std::printf("  bare QSqlQuery, same three calls : median %.3f ms  mean %.3f ms\n", bare,
                bench::mean(bareMs));
    std::printf("  data module / bare: %.3f\n", module / bare);
    std::printf("  window / bare: %.3f (the window adds %+.1f %%; target <= 10 %%)\n",
                window / bare, (window / bare - 1) * 100);
    return 0;
}
