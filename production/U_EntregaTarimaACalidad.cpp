#include "production/U_EntregaTarimaACalidad.h"
#include "ui_U_EntregaTarimaACalidad.h"

#include "production/PalletScan.h"

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
    recordPalletScan(ui->edTarima, ui->lbAvisos,
                     QStringLiteral("EXEC sp_KVR_OrdenProduccionEntregaEnAreaCalidad"),
                     QStringLiteral("Entregado correctamente."));
}
