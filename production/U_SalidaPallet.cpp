#include "production/U_SalidaPallet.h"
#include "ui_U_SalidaPallet.h"

#include "production/PalletScan.h"

namespace
{

WindowTraits salidaTraits()
{
    return {.keyPreview = true,
            .formEnterMove = true,
            .close = WindowTraits::Close::Destroy,
            .buttons = WindowTraits::NoButtons,
            .sizeable = false};
}

} // namespace

TFr_Salida::TFr_Salida(QWidget* parent)
    : WorkflowWindow(salidaTraits(), parent), ui(std::make_unique<Ui::TFr_Salida>())
{
    ui->setupUi(this);
    onKeyDown(ui->edTarima, [this](int key) { edTarimaKeyDown(key); });
}

TFr_Salida::~TFr_Salida() = default;

void TFr_Salida::FormShow()
{
    ui->edTarima->clear();
    ui->edTarima->setFocus();
}

void TFr_Salida::edTarimaKeyDown(int key)
{
    ui->lbAvisos->clear();
    if (!isEnter(key))
        return;
    recordPalletScan(ui->edTarima, ui->lbAvisos,
                     QStringLiteral("EXEC sp_KVR_OrdenProduccionRecepcionEnAreaProduccion"),
                     QStringLiteral("Recibido correctamente."));
}
