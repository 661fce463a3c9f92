#include "production/U_EntregaTarimaACalidad.h"
#include "ui_U_EntregaTarimaACalidad.h"

#include "app/shell/MessageService.h"
#include "app/shell/Refusal.h"
#include "data/U_Data.h"

namespace
{

WindowTraits entregaCalidadTraits()
{
    return {.keyPreview = false,
            .formEnterMove = false,
            .close = WindowTraits::Close::Minimise,
            .buttons = WindowTraits::SystemMenu | WindowTraits::Minimise | WindowTraits::Maximise,
            .sizeable = true};
}

} // namespace

TfrEntregaTarimaACalidad::TfrEntregaTarimaACalidad(QWidget* parent)
    : WorkflowWindow(entregaCalidadTraits(), parent),
      ui(std::make_unique<Ui::TfrEntregaTarimaACalidad>())
{
    ui->setupUi(this);
    ui->lbAvisos->clear();
    ui->lbAvisos->hide();
    onKeyDown(ui->edTarima, [this](int key) { edTarimaKeyDown(key); });
}

TfrEntregaTarimaACalidad::~TfrEntregaTarimaACalidad() = default;

void TfrEntregaTarimaACalidad::edTarimaKeyDown(int key)
{
    ui->lbAvisos->clear();
    if (!isEnter(key))
        return;
    const QString pallet = ui->edTarima->text().trimmed();
    if (pallet.isEmpty()) {
        messages().plain(QStringLiteral("Ingrese la Tarima."));
        ui->edTarima->setFocus();
        return;
    }
    // A failure is dropped and the pallet stays in the field, so Enter tries again.
    try {
        SharedQuery& q = Dm_Velmor->Qr_Aux;
        q.run(Dm_Velmor->Cx,
              CommandText(QStringLiteral("EXEC sp_KVR_OrdenProduccionEntregaEnAreaCalidad"))
                  .quoted(pallet)
                  .bare(idPersona(), QStringLiteral(", ")));
        if (q.text(QStringLiteral("Error")).trimmed() != QLatin1String("0")) {
            showRefusal(q);
            startNextPallet();
            return;
        }
        ui->lbAvisos->show();
        ui->lbAvisos->setText(QStringLiteral("Entregado correctamente."));
        startNextPallet();
    } catch (const DbError&) {
    } catch (const std::exception&) {
    }
}

void TfrEntregaTarimaACalidad::startNextPallet()
{
    ui->edTarima->clear();
    ui->edTarima->setFocus();
}
